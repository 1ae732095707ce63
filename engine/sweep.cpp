#include "sweep.hpp"

#include <cmath>
#include <memory>
#include <vector>

#include "attempt.hpp"
#include "energy.hpp"
#include "field.hpp"

namespace tessaly {

Cpm::Cpm(World w, std::uint64_t seed) : world(std::move(w)), rng(seed_from_u64(seed)) {}

namespace {

// Per-call scratch of the copy attempt, so that it allocates nothing.
// `contacts` is copied from the world at the start of each step call:
// nothing changes a type or a contact energy during a step, and the contact
// sum reads one type and two energies per neighbour.
struct Scratch {
    SiteList nb;
    SurfaceDeltas deltas;
    ContactCopy contacts;
};

// One copy attempt: draw a target and one of its neighbours as the source,
// price the copy, decide by the Metropolis rule, guard connectivity, apply.
template <typename Words>
[[gnu::always_inline]] inline void copy_attempt(World& w, Words& rng, const BoltzmannTable& boltzmann, bool all_periodic,
                                                Scratch& s) {
    const Lattice& lat = w.lattice;
    const std::size_t target = rng.site();
    std::size_t source;
    const bool interior = lat.is_interior(target);
    // Where the list's length is known (one entry per offset: interior sites,
    // and every site of a box periodic along all axes) the drawn neighbour is
    // found alone, and the list is built only when the ids differ.
    const bool listed = !interior && !all_periodic;
    if (interior) {
        source = target + static_cast<std::size_t>(lat.offset_step[rng.offset()]);
    } else if (all_periodic) {
        source = periodic_neighbor(lat, target, rng.offset());
    } else {
        neighbors_slow(lat, target, s.nb);
        if (s.nb.empty()) return;
        source = s.nb[rng.below(s.nb.size())];
    }
    const CellId new_id = lat.sites[source];
    const CellId old_id = lat.sites[target];
    if (new_id == old_id) return;
    if (!listed) neighbors_into(lat, target, s.nb);

    // contact, volume and surface
    if (w.surface_active) surface_deltas_into(w, target, new_id, s.nb, s.deltas);
    double dh = delta_hamiltonian_with(w, target, old_id, new_id, s.nb, s.deltas, &s.contacts);
    // the optional terms
    add_terms(w, target, source, new_id, dh);

    // Metropolis rule; a NaN change fails both tests
    if (!(dh <= 0.0)) {
        const double u = rng.unit();
        if (!(boltzmann(dh) > u)) return;
    }
    // connectivity, for accepted copies only
    if (w.terms.connectivity.on && connectivity_applies(w, old_id) && !would_stay_connected(w, target, old_id)) return;
    if (w.surface_active) {
        apply_flip_with(w, target, new_id, s.deltas);
    } else {
        apply_flip_counted(w, target, new_id, s.nb);
    }
}

// The Monte Carlo steps themselves, inlined into two copies below: one for
// any processor, one compiled for x86-64 processors with AVX2 and the bit
// manipulation instructions, which also make their words in wide rounds.
template <bool Bmi>
[[gnu::always_inline]] inline bool sweep_steps(Cpm& cpm, std::uint64_t mcs, InterruptPoll poll, WideWords* wide) {
    World& w = cpm.world;
    const std::size_t n = w.lattice.n_sites();
    const BoltzmannTable boltzmann(w.temperature);
    const bool no_neighbours = w.lattice.neighborhood.offsets.empty();
    // no offset leaves such a box, so every list has one entry per offset
    const bool all_periodic = w.lattice.periodic[0] && w.lattice.periodic[1] && w.lattice.periodic[2];
    Scratch scratch;
    copy_contacts(w, scratch.contacts);
    // The stream is a local object during the step, so the compiler keeps
    // its cursor out of reach of the tracker stores; the driver's generator
    // is brought up to date whenever the sweep stops (nothing else draws in
    // between, so the words made ahead stay valid).
    WordSource words(cpm.rng, n, w.lattice.offset_step.size());
#ifdef TESSALY_WIDE_WORDS
    words.wide = wide;
#else
    (void)wide;
#endif
    WordCursor<Bmi> rng(words);
    for (std::uint64_t m = 0; m < mcs; ++m) {
        if (m > 0 && poll != nullptr && poll()) {
            cpm.rng = rng.state();
            return false;
        }
        if (no_neighbours) {
            // every attempt draws its target and ends there
            for (std::size_t a = 0; a < n; ++a) (void)rng.site();
        } else {
            for (std::size_t a = 0; a < n; ++a) copy_attempt(w, rng, boltzmann, all_periodic, scratch);
        }
        if (!advance_fields(w, poll)) {
            cpm.rng = rng.state();
            return false;
        }
    }
    cpm.rng = rng.state();
    return true;
}

bool sweep_plain(Cpm& cpm, std::uint64_t mcs, InterruptPoll poll) {
    return sweep_steps<false>(cpm, mcs, poll, nullptr);
}

#ifdef TESSALY_WIDE_WORDS
[[gnu::target("avx2,bmi,bmi2")]] bool sweep_wide(Cpm& cpm, std::uint64_t mcs, InterruptPoll poll, WideWords* wide) {
    return sweep_steps<true>(cpm, mcs, poll, wide);
}
#endif

// Below this many attempts the rounds' set-up (three jumps, one round of
// 4,096 words made ahead) costs more than the wide words save.
constexpr std::uint64_t wide_threshold = 1U << 15;
bool wide_disabled_for_testing = false;
bool avx512_disabled_for_testing = false;

}  // namespace

bool fast_words_enabled() {
#ifdef TESSALY_WIDE_WORDS
    static const bool usable =
        __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    return usable && !wide_disabled_for_testing;
#else
    return false;
#endif
}

void set_wide_words_for_testing(bool enabled, bool avx512) {
    wide_disabled_for_testing = !enabled;
    avx512_disabled_for_testing = !avx512;
}

bool step(Cpm& cpm, std::uint64_t mcs, InterruptPoll poll) {
#ifdef TESSALY_WIDE_WORDS
    const std::size_t n = cpm.world.lattice.n_sites();
    if (fast_words_enabled() && n != 0 && mcs >= (wide_threshold + n - 1) / n) {
        const std::unique_ptr<WideWords> wide = std::make_unique<WideWords>(cpm.rng);
        if (avx512_disabled_for_testing) wide->avx512 = false;
        return sweep_wide(cpm, mcs, poll, wide.get());
    }
#endif
    return sweep_plain(cpm, mcs, poll);
}

}  // namespace tessaly

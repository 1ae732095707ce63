#include "sweep.hpp"

#include <cmath>
#include <memory>
#include <vector>

#include "attempt.hpp"
#include "lanes.hpp"
#include "words.hpp"
#include "field.hpp"

namespace tessaly {

Cpm::Cpm(World w, std::uint64_t seed) : world(std::move(w)), rng(seed_from_u64(seed)) {}

Cpm::Cpm(World w, Rng resumed) : world(std::move(w)), rng(resumed) {}

namespace {

// The Monte Carlo steps themselves, inlined into two copies below: one for
// any processor, one compiled for x86-64 processors with AVX2 and the bit
// manipulation instructions, which also make their words in wide rounds.
template <bool Bmi>
[[gnu::always_inline]] inline bool sweep_steps(Cpm& cpm, std::uint64_t mcs, InterruptPoll poll, WideWords* wide) {
    World& w = cpm.world;
    const std::size_t n = w.lattice.n_sites();
    const bool no_neighbours = w.lattice.neighborhood.offsets.empty();
    // Nothing changes a type or a contact energy during a call, and the
    // contact sum reads one type and two energies per neighbour: a compact
    // copy of them is made once.
    ContactCopy contacts;
    copy_contacts(w, contacts);
    const BoltzmannTable boltzmann(w.temperature);
    const Lattice& lat = w.lattice;
    const AttemptSetup setup{&contacts, &boltzmann, lat.periodic[0] && lat.periodic[1] && lat.periodic[2]};
    RegistryTrackers registry{w.cells.data()};
    AttemptScratch scratch;
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
        // first directions of persistent motion
        if (w.terms.persistence.on) before_step(w);
        if (no_neighbours) {
            // every attempt draws its target and ends there
            for (std::size_t a = 0; a < n; ++a) (void)rng.site();
        } else {
            for (std::size_t a = 0; a < n; ++a) copy_attempt(w, setup, registry, rng, SiteIndex{rng.site()}, scratch);
        }
        if (!end_of_step(w, poll)) {
            cpm.rng = rng.state();
            return false;
        }
        // a division or a type rule changed the registry: the copies made for the call follow it
        if (w.terms.programs.registry_changed) {
            w.terms.programs.registry_changed = false;
            copy_contacts(w, contacts);
            registry = RegistryTrackers{w.cells.data()};
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

bool end_of_step(World& w, InterruptPoll poll) {
    // the terms' per-step work: activity decay, tracks, directions
    if (w.terms.steps_on) after_step(w);
    // the fields: diffusion, secretion, then uptake
    if (!advance_fields(w, poll)) return false;
    CellPrograms& programs = w.terms.programs;
    programs.mcs += 1;  // the steps run, as the cells' expressions read them
    // the cells' systems of equations, in order of addition
    if (!programs.systems.empty()) run_cell_systems(w);
    // the cells' rules, in order of addition
    if (!programs.rules.empty()) run_cell_rules(w);
    // the division rule
    if (programs.division.on) run_division_rule(w);
    // links: those stretched beyond their max_length break, then touching cells form new ones
    if (w.terms.links.on) links_step(w);
    return true;
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

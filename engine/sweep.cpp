#include "sweep.hpp"

#include <cmath>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <vector>

#include "connectivity.hpp"
#include "energy.hpp"
#include "external.hpp"
#include "field.hpp"
#include "length.hpp"
#include "membrane.hpp"

namespace tessaly {

Cpm::Cpm(World w, std::uint64_t seed) : world(std::move(w)), rng(seed_from_u64(seed)) {}

namespace {

// exp(−k/T) for the integer energy changes k = 0, 1, …, filled with the same
// expression the rule evaluates, so a table hit is bit-identical to the call.
struct BoltzmannTable {
    static constexpr std::size_t size = 1024;
    double temperature;
    double value[size];

    explicit BoltzmannTable(double t) : temperature(t) {
        for (std::size_t k = 0; k < size; ++k) value[k] = std::exp(-static_cast<double>(k) / t);
    }
    double operator()(double dh) const {
        if (dh < static_cast<double>(size)) {
            const std::size_t k = static_cast<std::size_t>(dh);
            if (static_cast<double>(k) == dh) return value[k];
        }
        return std::exp(-dh / temperature);
    }
};

// The generator's words, made 64 at a time. The stream is the generator's
// own, consumed strictly in order, so every draw reads exactly the words the
// plain draws would; only the bookkeeping differs. Along with the words, a
// refill marks which of them a bounded draw below the target count and below
// the interior neighbour count would accept (the low half of the product is
// the wrapped product v·n), so such a draw is a bit scan instead of a loop
// whose exit is a coin toss for power-of-two ranges.
struct WordStream {
    static constexpr unsigned size = 64;
    std::uint64_t word[size];
    std::uint64_t accept_sites = 0;   // bit k: word k is accepted below n_sites
    std::uint64_t accept_offsets = 0; // bit k: word k is accepted below the offset count
    std::uint64_t live = 0;           // bit k: word k is not consumed yet
    Rng start;                        // the generator before word 0
    Rng ahead;                        // the generator after the last word
    bool filled = false;              // some words have been made
    std::uint64_t n_sites, zone_sites;
    std::uint64_t n_offsets, zone_offsets;

    static std::uint64_t zone_of(std::uint64_t n) { return (n << __builtin_clzll(n)) - 1; }

    WordStream(const Rng& g, std::uint64_t sites, std::uint64_t offsets)
        : start(g), ahead(g), n_sites(sites ? sites : 1), zone_sites(zone_of(n_sites)), n_offsets(offsets ? offsets : 1),
          zone_offsets(zone_of(n_offsets)) {}

    void refill() {
        start = ahead;
        Rng g = ahead;
#pragma GCC unroll 4
        for (unsigned k = 0; k < size; ++k) word[k] = next_u64(g);
        ahead = g;
        accept_sites = accepted(n_sites, zone_sites);
        accept_offsets = accepted(n_offsets, zone_offsets);
        live = ~std::uint64_t{0};
        filled = true;
    }

    // Bit k set: word k is accepted below n.
    std::uint64_t accepted(std::uint64_t n, std::uint64_t zone) const {
        std::uint64_t mask = 0;
#ifdef __SSE2__
        if ((n & (n - 1)) == 0) {
            const __m128i shift = _mm_cvtsi32_si128(__builtin_ctzll(n));
            for (unsigned k = 0; k < size; k += 2) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(word + k));
                const int top = _mm_movemask_pd(_mm_castsi128_pd(_mm_sll_epi64(v, shift)));
                mask |= static_cast<std::uint64_t>(top) << k;
            }
            return ~mask;
        }
#endif
        for (unsigned k = 0; k < size; ++k) mask |= std::uint64_t{word[k] * n <= zone} << k;
        return mask;
    }

    // Position of the first live word whose bit is set in `accept`, consuming
    // it and every word before it.
    unsigned take(const std::uint64_t& accept) {
        for (;;) {
            const std::uint64_t m = accept & live;
            if (m != 0) {
                const unsigned pos = static_cast<unsigned>(__builtin_ctzll(m));
                live = (~std::uint64_t{0} << pos) << 1;
                return pos;
            }
            refill();
        }
    }
    static std::size_t high(std::uint64_t v, std::uint64_t n) {
        __extension__ using u128 = unsigned __int128;
        return static_cast<std::size_t>((static_cast<u128>(v) * n) >> 64);
    }

    std::size_t site() { return high(word[take(accept_sites)], n_sites); }
    std::size_t offset() { return high(word[take(accept_offsets)], n_offsets); }
    std::uint64_t next() { return word[take(live)]; }
    // A bounded draw below any n, word by word as the plain draw does.
    std::size_t below(std::uint64_t n) {
        if (n == n_offsets) return offset();
        const std::uint64_t zone = zone_of(n);
        for (;;) {
            const std::uint64_t v = next();
            if (v * n <= zone) return high(v, n);
        }
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    // The generator after the last consumed word.
    Rng state() const {
        Rng g = start;
        if (!filled) return g;
        const unsigned used = live == 0 ? size : static_cast<unsigned>(__builtin_ctzll(live));
        for (unsigned k = 0; k < used; ++k) (void)next_u64(g);
        return g;
    }
};

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
inline void copy_attempt(World& w, WordStream& rng, const BoltzmannTable& boltzmann, bool all_periodic, Scratch& s) {
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
    // chemotaxis (zero unless some strength is set)
    if (w.chemotaxis_on) dh += delta_chemotaxis(w, target, source, new_id);
    // optional terms, each only while switched on
    if (w.membrane_on) dh += delta_membrane(w, target, new_id);
    if (w.junction_on) dh += delta_junction(w, target, new_id);
    if (w.length_on) dh += delta_length(w, target, new_id);
    if (w.external_on) dh += delta_external(w, target, new_id);

    // Metropolis rule; a NaN change fails both tests
    if (!(dh <= 0.0)) {
        const double u = rng.unit();
        if (!(boltzmann(dh) > u)) return;
    }
    // connectivity, for accepted copies only
    if (w.connectivity_on && connectivity_applies(w, old_id) && !would_stay_connected(w, target, old_id)) return;
    if (w.surface_active) {
        apply_flip_with(w, target, new_id, s.deltas);
    } else {
        apply_flip_counted(w, target, new_id, s.nb);
    }
}

}  // namespace

bool step(Cpm& cpm, std::uint64_t mcs, InterruptPoll poll) {
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
    // is brought up to date after every Monte Carlo step (nothing else draws
    // in between, so the words made ahead stay valid).
    WordStream rng(cpm.rng, n, w.lattice.offset_step.size());
    for (std::uint64_t m = 0; m < mcs; ++m) {
        if (m > 0 && poll != nullptr && poll()) return false;
        if (no_neighbours) {
            // every attempt draws its target and ends there
            for (std::size_t a = 0; a < n; ++a) (void)rng.site();
        } else {
            for (std::size_t a = 0; a < n; ++a) copy_attempt(w, rng, boltzmann, all_periodic, scratch);
        }
        cpm.rng = rng.state();
        if (!advance_fields(w, poll)) return false;
    }
    return true;
}

}  // namespace tessaly

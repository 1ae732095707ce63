#include "sweep.hpp"

#include <cmath>
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

// Per-call scratch of the copy attempt, so that it allocates nothing.
struct Scratch {
    SiteList nb;
    SurfaceDeltas deltas;
};

// One copy attempt: draw a target and one of its neighbours as the source,
// price the copy, decide by the Metropolis rule, guard connectivity, apply.
inline void copy_attempt(World& w, Rng& rng, std::size_t n, const BoltzmannTable& boltzmann, Scratch& s) {
    const Lattice& lat = w.lattice;
    const std::size_t target = bounded(rng, n);
    std::size_t source;
    const bool interior = lat.is_interior(target);
    if (interior) {
        // the drawn neighbour alone; the list is built only when ids differ
        source = target + static_cast<std::size_t>(lat.offset_step[bounded(rng, lat.offset_step.size())]);
    } else {
        neighbors_slow(lat, target, s.nb);
        if (s.nb.empty()) return;
        source = s.nb[bounded(rng, s.nb.size())];
    }
    const CellId new_id = lat.sites[source];
    const CellId old_id = lat.sites[target];
    if (new_id == old_id) return;
    if (interior) neighbors_into(lat, target, s.nb);

    // contact, volume and surface
    if (w.surface_active) surface_deltas_into(w, target, new_id, s.nb, s.deltas);
    double dh = delta_hamiltonian_with(w, target, old_id, new_id, s.nb, s.deltas);
    // chemotaxis (zero unless some strength is set)
    if (w.chemotaxis_on) dh += delta_chemotaxis(w, target, source, new_id);
    // optional terms, each only while switched on
    if (w.membrane_on) dh += delta_membrane(w, target, new_id);
    if (w.junction_on) dh += delta_junction(w, target, new_id);
    if (w.length_on) dh += delta_length(w, target, new_id);
    if (w.external_on) dh += delta_external(w, target, new_id);

    // Metropolis rule; a NaN change fails both tests
    if (!(dh <= 0.0)) {
        const double u = uniform(rng);
        if (!(boltzmann(dh) > u)) return;
    }
    // connectivity, for accepted copies only
    if (w.connectivity_on && connectivity_applies(w, old_id) && !would_stay_connected(w, target, old_id)) return;
    if (!w.surface_active) surface_deltas_into(w, target, new_id, s.nb, s.deltas);
    apply_flip_with(w, target, new_id, s.deltas);
}

}  // namespace

bool step(Cpm& cpm, std::uint64_t mcs, InterruptPoll poll) {
    World& w = cpm.world;
    const std::size_t n = w.lattice.n_sites();
    const BoltzmannTable boltzmann(w.temperature);
    const bool no_neighbours = w.lattice.neighborhood.offsets.empty();
    Scratch scratch;
    for (std::uint64_t m = 0; m < mcs; ++m) {
        if (m > 0 && poll != nullptr && poll()) return false;
        // The generator works on a local copy during the step: the cell
        // records are 64-bit words too, and the compiler would otherwise
        // keep the state in memory in case a tracker update aliased it.
        Rng rng = cpm.rng;
        if (no_neighbours) {
            // every attempt draws its target and ends there
            for (std::size_t a = 0; a < n; ++a) (void)bounded(rng, n);
        } else {
            for (std::size_t a = 0; a < n; ++a) copy_attempt(w, rng, n, boltzmann, scratch);
        }
        cpm.rng = rng;
        if (!advance_fields(w, poll)) return false;
    }
    return true;
}

}  // namespace tessaly

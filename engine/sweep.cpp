#include "sweep.hpp"

#include <cmath>

#include "connectivity.hpp"
#include "energy.hpp"
#include "external.hpp"
#include "field.hpp"
#include "length.hpp"
#include "membrane.hpp"

namespace tessaly {

Cpm::Cpm(World w, std::uint64_t seed) : world(std::move(w)), rng(seed_from_u64(seed)) {}

namespace {

// One copy attempt: draw a target and one of its neighbours as the source,
// price the copy, decide by the Metropolis rule, guard connectivity, apply.
inline void copy_attempt(World& w, Rng& rng, std::size_t n, double temperature, SiteList& nb) {
    const std::size_t target = bounded(rng, n);
    neighbors_into(w.lattice, target, nb);
    if (nb.empty()) return;
    const std::size_t source = nb[bounded(rng, nb.size())];
    const CellId new_id = w.lattice.sites[source];
    const CellId old_id = w.lattice.sites[target];
    if (new_id == old_id) return;

    // contact, volume and surface
    double dh = delta_hamiltonian(w, target, new_id);
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
        if (!(std::exp(-dh / temperature) > u)) return;
    }
    // connectivity, for accepted copies only
    if (w.connectivity_on && connectivity_applies(w, old_id) && !would_stay_connected(w, target, old_id)) return;
    apply_flip(w, target, new_id);
}

}  // namespace

bool step(Cpm& cpm, std::uint64_t mcs, InterruptPoll poll) {
    World& w = cpm.world;
    const std::size_t n = w.lattice.n_sites();
    const double temperature = w.temperature;
    SiteList nb;
    for (std::uint64_t m = 0; m < mcs; ++m) {
        if (m > 0 && poll != nullptr && poll()) return false;
        for (std::size_t a = 0; a < n; ++a) copy_attempt(w, cpm.rng, n, temperature, nb);
        advance_fields(w);
    }
    return true;
}

}  // namespace tessaly

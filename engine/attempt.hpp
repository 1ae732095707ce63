// The copy attempt shared by the sweeps.
#pragma once

#include <cstddef>

#include "world.hpp"

namespace tessaly {

// The energy terms beyond contact, volume and surface, added to dh in the
// one fixed order of their sum (floating-point addition is not associative,
// so every sweep adds them in this order), each only while switched on.
[[gnu::always_inline]] inline void add_terms(const World& w, std::size_t target, std::size_t source, CellId n,
                                             double& dh) {
    const Terms& terms = w.terms;
    if (!terms.energy_on) return;
    if (terms.chemotaxis.on) dh += delta_chemotaxis(w, target, source, n);
    if (terms.membrane.on) dh += delta_membrane(w, target, n);
    if (terms.junction.on) dh += delta_junction(w, target, n);
    if (terms.length.on) dh += delta_length(w, target, n);
    if (terms.external.on) dh += delta_external(w, target, n);
    if (terms.act.on) dh += delta_act(w, target, source, n);
    if (terms.persistence.on) dh += delta_persistence(w, target, source, n);
}

}  // namespace tessaly

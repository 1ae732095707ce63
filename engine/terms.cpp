#include "terms.hpp"

#include "world.hpp"

namespace tessaly {

void refresh_terms(World& w) {
    refresh(w.terms.chemotaxis);
    refresh(w.terms.membrane);
    refresh(w.terms.junction);
    refresh(w.terms.length);
    refresh(w.terms.external);
    refresh(w.terms.connectivity);
    const Terms& t = w.terms;
    w.terms.energy_on = t.chemotaxis.on || t.membrane.on || t.junction.on || t.length.on || t.external.on;
}

}  // namespace tessaly

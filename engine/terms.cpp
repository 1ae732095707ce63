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
    refresh(w.terms.act);
    refresh(w.terms.persistence);
    refresh(w.terms.frozen);
    const Terms& t = w.terms;
    w.terms.energy_on = t.chemotaxis.on || t.membrane.on || t.junction.on || t.length.on || t.external.on ||
                        t.act.on || t.persistence.on;
    w.terms.steps_on = t.act.on || tracking_on(t);
}

void set_tracking(World& w, bool on) {
    w.terms.tracks.requested = on;
    refresh_terms(w);
}

bool tracking_on(const Terms& terms) { return terms.tracks.requested || terms.persistence.on; }

void after_step(World& w) {
    Terms& t = w.terms;
    if (t.act.on) act_decay(t.act);
    if (tracking_on(t)) track_step(w, t.tracks);
    if (t.persistence.on) persistence_step(t.persistence, w, t.tracks);
}

}  // namespace tessaly

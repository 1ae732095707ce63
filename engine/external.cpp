// external potential: H = −Σ over sites of F(type)·(x, y, z), raw coordinates;
// ΔH = ((fx_old − fx_new)·x + (fy_old − fy_new)·y) + (fz_old − fz_new)·z
#include "external.hpp"

#include "world.hpp"

namespace tessaly {

namespace {

// The force on cells of a type; (0, 0, 0) beyond the end of the list.
Force force_of(const World& w, CellId id) {
    const CellType type = w.cells[id].cell_type;
    const std::vector<Force>& force = w.terms.external.force;
    return type < force.size() ? force[type] : Force{0.0, 0.0, 0.0};
}

}  // namespace

void refresh(ExternalTerm& term) {
    term.on = false;
    for (const Force& f : term.force) term.on = term.on || f.fx != 0.0 || f.fy != 0.0 || f.fz != 0.0;
}

void set_external_potential(World& w, CellType cell_type, double fx, double fy, double fz) {
    ExternalTerm& term = w.terms.external;
    if (cell_type >= term.force.size()) term.force.resize(std::size_t{cell_type} + 1, Force{0.0, 0.0, 0.0});
    term.force[cell_type] = Force{fx, fy, fz};
    refresh_terms(w);
}

double delta_external(const World& w, std::size_t target, CellId n) {
    const CellId old = w.lattice.sites[target];
    if (n == old) return 0.0;
    const Force f_old = force_of(w, old);
    const Force f_new = force_of(w, n);
    const Coords c = coords(w.lattice, target);
    const double x = static_cast<double>(c.x);
    const double y = static_cast<double>(c.y);
    const double z = static_cast<double>(c.z);
    return ((f_old.fx - f_new.fx) * x + (f_old.fy - f_new.fy) * y) + (f_old.fz - f_new.fz) * z;
}

// ---- checkpoint ----

void write(ByteWriter& out, const ExternalTerm& term) {
    if (term.force.empty()) return;
    out.u64(term.force.size());
    for (const Force& f : term.force) {
        out.f64(f.fx);
        out.f64(f.fy);
        out.f64(f.fz);
    }
}

void read(ByteReader& in, ExternalTerm& term, const World&) {
    term.force.resize(in.count(24));
    for (Force& f : term.force) {
        f.fx = in.f64();
        f.fy = in.f64();
        f.fz = in.f64();
    }
}

}  // namespace tessaly

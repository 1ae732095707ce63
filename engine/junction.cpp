// junction: H = λJ · #(medium site, axis) pinched between two different
// junction-forming cells; no wrap, outer layers never pinched.
#include "junction.hpp"

#include "small_vector.hpp"
#include "world.hpp"

namespace tessaly {

void refresh(JunctionTerm& term) {
    term.on = false;
    if (!(term.lambda > 0.0)) return;
    for (const std::uint8_t forming : term.forming) term.on = term.on || forming != 0;
}

void set_junction(World& w, CellType cell_type, bool on) {
    JunctionTerm& term = w.terms.junction;
    if (cell_type >= term.forming.size()) term.forming.resize(std::size_t{cell_type} + 1, 0);
    term.forming[cell_type] = on;
    refresh_terms(w);
}

void set_junction_lambda(World& w, double lambda) {
    w.terms.junction.lambda = lambda;
    refresh_terms(w);
}

namespace {

inline bool forms_junction(const World& w, CellId id) {
    if (id == MEDIUM) return false;
    const CellType t = w.cells[id].cell_type;
    const std::vector<std::uint8_t>& forming = w.terms.junction.forming;
    return t < forming.size() && forming[t];
}

}  // namespace

unsigned pinch_at(const World& w, std::size_t site, std::size_t target, CellId id) {
    const Lattice& lat = w.lattice;
    auto id_of = [&](std::size_t s) { return s == target ? id : lat.sites[s]; };
    if (id_of(site) != MEDIUM) return 0;
    const std::size_t plane = lat.nx * lat.ny;
    const std::size_t pos[3] = {site % lat.nx, (site % plane) / lat.nx, site / plane};
    const std::size_t len[3] = {lat.nx, lat.ny, lat.nz};
    const std::size_t stride[3] = {1, lat.nx, plane};
    const std::size_t axes = lat.nz > 1 ? 3 : 2;
    unsigned count = 0;
    for (std::size_t a = 0; a < axes; ++a) {
        if (pos[a] < 1 || pos[a] + 1 >= len[a]) continue;
        const CellId lo = id_of(site - stride[a]);
        const CellId hi = id_of(site + stride[a]);
        if (lo != MEDIUM && hi != MEDIUM && lo != hi && forms_junction(w, lo) && forms_junction(w, hi)) ++count;
    }
    return count;
}

double delta_junction(const World& w, std::size_t target, CellId n) {
    const Lattice& lat = w.lattice;
    const CellId old = lat.sites[target];
    std::int64_t dp = std::int64_t{pinch_at(w, target, target, n)} - std::int64_t{pinch_at(w, target, target, old)};
    const std::size_t plane = lat.nx * lat.ny;
    const std::size_t x = target % lat.nx, y = (target % plane) / lat.nx, z = target / plane;
    SmallVec<std::size_t, 6> around;
    if (x + 1 < lat.nx) around.push_back(target + 1);
    if (x > 0) around.push_back(target - 1);
    if (y + 1 < lat.ny) around.push_back(target + lat.nx);
    if (y > 0) around.push_back(target - lat.nx);
    if (lat.nz > 1) {
        if (z + 1 < lat.nz) around.push_back(target + plane);
        if (z > 0) around.push_back(target - plane);
    }
    for (const std::size_t s : around)
        if (lat.sites[s] == MEDIUM)
            dp += std::int64_t{pinch_at(w, s, target, n)} - std::int64_t{pinch_at(w, s, target, old)};
    return static_cast<double>(dp) * w.terms.junction.lambda;
}

// ---- checkpoint ----

void write(ByteWriter& out, const JunctionTerm& term) {
    if (term.forming.empty() && unset(term.lambda)) return;
    out.f64(term.lambda);
    out.u8s(term.forming);
}

void read(ByteReader& in, JunctionTerm& term, const World&) {
    term.lambda = in.f64();
    term.forming = in.u8s();
}

}  // namespace tessaly

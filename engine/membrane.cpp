// membrane: H = Σ over sites s of anchored-type cells of k·max(d(s) − band, 0)²,
// d the L1 distance (no wrap) to the nearest anchor; gain = (k·e)·e, likewise the loss.
//
// The distances are built once per set_membrane by a breadth-first search over
// the axis faces inside the box; the copy attempt only looks one up.
#include "membrane.hpp"

#include <limits>

#include "world.hpp"

namespace tessaly {

namespace {

bool anchored(const World& w, CellId id) {
    if (id == MEDIUM) return false;
    const CellType type = w.cells[id].cell_type;
    const std::vector<std::uint8_t>& anchored = w.terms.membrane.anchored;
    return type < anchored.size() && anchored[type] != 0;
}

}  // namespace

std::vector<float> build_distance_field(std::array<std::size_t, 3> dims, const std::vector<std::size_t>& anchors) {
    const auto [nx, ny, nz] = dims;
    const std::size_t n = nx * ny * nz;
    std::vector<float> distance(n, std::numeric_limits<float>::infinity());
    // first-in first-out: `queue` only grows, `head` is the front; a site
    // enters once per improvement of its distance, at most n times in all here
    std::vector<std::size_t> queue;
    for (const std::size_t anchor : anchors) {
        if (anchor < n && distance[anchor] != 0.0f) {
            distance[anchor] = 0.0f;
            queue.push_back(anchor);
        }
    }
    const std::size_t plane = nx * ny;
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const std::size_t i = queue[head];
        const float u = distance[i] + 1.0f;
        const std::size_t x = i % nx;
        const std::size_t y = (i / nx) % ny;
        const std::size_t z = i / plane;
        const auto relax = [&](std::size_t j) {
            if (u < distance[j]) {
                distance[j] = u;
                queue.push_back(j);
            }
        };
        if (x + 1 < nx) relax(i + 1);
        if (x > 0) relax(i - 1);
        if (y + 1 < ny) relax(i + nx);
        if (y > 0) relax(i - nx);
        if (z + 1 < nz) relax(i + plane);
        if (z > 0) relax(i - plane);
    }
    return distance;
}

void refresh(MembraneTerm& term) {
    term.on = false;
    if (term.distance.empty()) return;
    for (const std::uint8_t anchored : term.anchored) term.on = term.on || anchored != 0;
}

void set_membrane(World& w, const std::vector<std::size_t>& anchors, double k, double band) {
    MembraneTerm& term = w.terms.membrane;
    if (anchors.empty()) {
        term.distance.clear();
    } else {
        term.distance = build_distance_field({w.lattice.nx, w.lattice.ny, w.lattice.nz}, anchors);
        term.k = k;
        term.band = band;
    }
    refresh_terms(w);
}

void set_membrane_anchored(World& w, CellType cell_type, bool on) {
    MembraneTerm& term = w.terms.membrane;
    if (cell_type >= term.anchored.size()) term.anchored.resize(std::size_t{cell_type} + 1, 0);
    term.anchored[cell_type] = on ? 1 : 0;
    refresh_terms(w);
}

double delta_membrane(const World& w, std::size_t target, CellId n) {
    const MembraneTerm& term = w.terms.membrane;
    if (term.distance.empty()) return 0.0;
    const double d = static_cast<double>(term.distance[target]);
    const double e = d - term.band;
    const bool beyond = e > 0.0;
    double gain = 0.0;
    if (beyond && anchored(w, n)) gain = term.k * e * e;
    double loss = 0.0;
    if (beyond && anchored(w, w.lattice.sites[target])) loss = term.k * e * e;
    return gain - loss;
}

// ---- checkpoint ----

void write(ByteWriter& out, const MembraneTerm& term) {
    if (term.distance.empty() && term.anchored.empty() && unset(term.k) && unset(term.band)) return;
    out.f64(term.k);
    out.f64(term.band);
    out.u8s(term.anchored);
    out.u64(term.distance.size());
    out.words(reinterpret_cast<const std::uint32_t*>(term.distance.data()), term.distance.size());
}

void read(ByteReader& in, MembraneTerm& term, const World& w) {
    term.k = in.f64();
    term.band = in.f64();
    term.anchored = in.u8s();
    const std::uint64_t n = in.u64();
    if ((n != 0 && n != w.lattice.n_sites()) || !in.words_cover(n))
        damaged("the membrane distances do not cover the box");
    term.distance.resize(static_cast<std::size_t>(n));
    in.words(reinterpret_cast<std::uint32_t*>(term.distance.data()), term.distance.size());
}

}  // namespace tessaly

// Worlds and comparisons shared by the engine tests.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "rng.hpp"
#include "world.hpp"

namespace tessaly_test {

using namespace tessaly;

inline World empty_world(std::array<std::size_t, 3> dims, bool periodic, std::uint8_t order,
                         double temperature = 1.0) {
    return World(Lattice(dims, {periodic, periodic, periodic}, Neighborhood(dims[2] >= 2 ? 1 : 0, order)),
                 temperature);
}

inline std::size_t index_of(const World& w, std::size_t x, std::size_t y, std::size_t z) {
    return x + w.lattice.nx * (y + w.lattice.ny * z);
}

struct Model {
    std::array<std::size_t, 3> dims;
    bool periodic;
    std::uint8_t order;
    double lambda_surface;
};

// A sorting model: a grid of square (or cubic) cells of side 4 and two
// types, with a surface term on every cell when lambda_surface is non-zero.
inline World sorting_world(const Model& m, double temperature = 8.0) {
    World w = empty_world(m.dims, m.periodic, m.order, temperature);
    const std::size_t side = 4;
    const std::size_t depth = m.dims[2] >= 2 ? side : 1;
    CellId next = 1;
    for (std::size_t z0 = 0; z0 + depth <= m.dims[2]; z0 += depth)
        for (std::size_t y0 = 1; y0 + side < m.dims[1]; y0 += side)
            for (std::size_t x0 = 1; x0 + side < m.dims[0]; x0 += side) {
                const CellType type = static_cast<CellType>(1 + (next * 7 % 3 == 0));
                const double volume = static_cast<double>(side * side * depth);
                add_cell(w, type, volume, 1.0, 4.0 * std::sqrt(volume), m.lambda_surface);
                for (std::size_t z = z0; z < z0 + depth; ++z)
                    for (std::size_t y = y0; y < y0 + side; ++y)
                        for (std::size_t x = x0; x < x0 + side; ++x) paint(w, index_of(w, x, y, z), next);
                ++next;
            }
    ContactMatrix j(3);
    set_pair(j, 0, 1, 16.0);
    set_pair(j, 0, 2, 16.0);
    set_pair(j, 1, 1, 2.0);
    set_pair(j, 2, 2, 14.0);
    set_pair(j, 1, 2, 11.0);
    set_contact_matrix(w, std::move(j));
    recompute_trackers(w);
    return w;
}

inline bool same_trackers(const Cell& p, const Cell& q) {
    return p.trackers == q.trackers;
}

// Same sites and the same trackers, bit for bit.
inline bool same_world(const World& a, const World& b) {
    if (a.lattice.sites != b.lattice.sites || a.cells.size() != b.cells.size()) return false;
    for (std::size_t c = 0; c < a.cells.size(); ++c)
        if (!same_trackers(a.cells[c], b.cells[c])) return false;
    return true;
}

// Every tracker equals a recomputation from the site array (all sums hold
// integers, so equality is exact).
inline bool trackers_exact(const World& w) {
    World fresh = w;
    recompute_trackers(fresh);
    return same_world(w, fresh);
}

inline bool same_rng(const Rng& a, const Rng& b) {
    return a.s[0] == b.s[0] && a.s[1] == b.s[1] && a.s[2] == b.s[2] && a.s[3] == b.s[3];
}

}  // namespace tessaly_test

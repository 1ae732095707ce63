#include "lattice.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "error.hpp"

namespace tessaly {

Neighborhood::Neighborhood(std::uint32_t z_extent, std::uint8_t order) {
    const std::int64_t e = z_extent;
    const std::int64_t k = order;
    for (std::int64_t dz = -e; dz <= e; ++dz)
        for (std::int64_t dy = -1; dy <= 1; ++dy)
            for (std::int64_t dx = -1; dx <= 1; ++dx) {
                if (dx == 0 && dy == 0 && dz == 0) continue;
                if (std::llabs(dx) + std::llabs(dy) + std::llabs(dz) <= k) offsets.push_back({dx, dy, dz});
            }
}

Lattice::Lattice(std::array<std::size_t, 3> dims, std::array<bool, 3> periodic_axes, Neighborhood nb)
    : neighborhood(std::move(nb)), nx(dims[0]), ny(dims[1]), nz(dims[2]), periodic(periodic_axes) {
    std::size_t n = 0;
    if (__builtin_mul_overflow(nx, ny, &n) || __builtin_mul_overflow(n, nz, &n) || n > max_lattice_sites)
        throw std::bad_alloc();
    sites.assign(n, MEDIUM);
    interior.assign(n / 64 + 1, 0);
    x_inverse = quotient_inverse(nx, n);
    y_inverse = quotient_inverse(ny, n);

    // Interior sites: every offset stays inside the box without wrapping, so
    // the neighbour of offset k is simply i + offset_step[k].
    std::int64_t reach[3] = {0, 0, 0};
    for (const Offset& o : neighborhood.offsets) {
        offset_step.push_back(o.dx + static_cast<std::int64_t>(nx) * (o.dy + static_cast<std::int64_t>(ny) * o.dz));
        reach[0] = std::max<std::int64_t>(reach[0], o.dx < 0 ? -o.dx : o.dx);
        reach[1] = std::max<std::int64_t>(reach[1], o.dy < 0 ? -o.dy : o.dy);
        reach[2] = std::max<std::int64_t>(reach[2], o.dz < 0 ? -o.dz : o.dz);
    }
    auto inside = [](std::size_t c, std::size_t len, std::int64_t r) {
        return r == 0 || (c >= 1 && c + 1 < len);
    };
    const std::vector<Offset>& all = neighborhood.offsets;
    if (all.size() <= 32) {
        offset_adjacent.assign(all.size(), 0);
        for (std::size_t a = 0; a < all.size(); ++a)
            for (std::size_t b = 0; b < all.size(); ++b)
                for (const Offset& o : all)
                    if (all[b].dx - all[a].dx == o.dx && all[b].dy - all[a].dy == o.dy && all[b].dz - all[a].dz == o.dz)
                        offset_adjacent[a] |= std::uint32_t{1} << b;
    }
    if (!periodic[0] && !periodic[1] && !periodic[2]) {
        edge_offsets.resize(64);
        for (unsigned c = 0; c < 64; ++c) {
            EdgeOffsets& e = edge_offsets[c];
            e.count = 0;
            for (std::size_t k = 0; k < neighborhood.offsets.size(); ++k) {
                const Offset& o = neighborhood.offsets[k];
                const std::int64_t d[3] = {o.dx, o.dy, o.dz};
                bool inside_box = true;
                for (int a = 0; a < 3; ++a) {
                    const unsigned bits = (c >> (2 * a)) & 3U;
                    inside_box = inside_box && !(d[a] < 0 && (bits & 1U)) && !(d[a] > 0 && (bits & 2U));
                }
                if (inside_box) e.kept[e.count++] = static_cast<std::uint8_t>(k);
            }
        }
    }
    if (n == 0) return;  // a zero-length axis: the other axes' empty rows are not walked
    // row by row: the interior of a row is one stretch of x
    std::size_t x_lo = 0, x_hi = nx;
    if (reach[0] != 0) x_lo = 1, x_hi = nx >= 2 ? nx - 1 : 0;
    for (std::size_t z = 0; z < nz; ++z)
        for (std::size_t y = 0; y < ny; ++y) {
            if (!inside(y, ny, reach[1]) || !inside(z, nz, reach[2])) continue;
            const std::size_t row = nx * (y + ny * z);
            for (std::size_t i = row + x_lo; i < row + x_hi;) {
                const std::size_t end = std::min(row + x_hi, (i | 63) + 1);  // within one word
                const std::size_t bits = end - i;
                const std::uint64_t mask = bits == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << bits) - 1);
                interior[i >> 6] |= mask << (i & 63);
                i = end;
            }
        }
}

void no_sites() { fail("site query on a lattice with no sites"); }

CellId get(const Lattice& lattice, std::size_t i) {
    if (i >= lattice.n_sites()) fail("site index out of range");
    return lattice.sites[i];
}

void set(Lattice& lattice, std::size_t i, CellId id) {
    if (i >= lattice.n_sites()) fail("site index out of range");
    lattice.sites[i] = id;
}

namespace {

// Moves coordinate c by d along an axis of length n; false when it leaves a
// non-periodic axis.
inline bool step_axis(std::size_t c, std::int64_t d, std::size_t n, bool periodic, std::size_t& out) {
    const std::int64_t len = static_cast<std::int64_t>(n);
    const std::int64_t v = static_cast<std::int64_t>(c) + d;
    if (periodic) {
        if (c < n && v >= -len && v < 2 * len) {
            out = static_cast<std::size_t>(v < 0 ? v + len : (v >= len ? v - len : v));  // one step: no division
        } else {
            out = static_cast<std::size_t>(((v % len) + len) % len);
        }
        return true;
    }
    if (v < 0 || v >= len) return false;
    out = static_cast<std::size_t>(v);
    return true;
}

}  // namespace

void neighbors_slow(const Lattice& lattice, std::size_t i, SiteList& out) {
    if (!lattice.edge_offsets.empty()) {
        // no axis wraps: the kept offsets of the site's edge class
        const Coords c = coords(lattice, i);
        edge_neighbors_into(lattice, i, lattice.edge_offsets[edge_class(lattice, c.x, c.y, c.z)], out);
        return;
    }
    const Coords c = coords(lattice, i);
    // Every offset moves each axis by −1, 0 or +1: the nine moved
    // coordinates are found once, scaled to their share of the site index,
    // then combined in offset order. Each entry is written in place and kept
    // by advancing the count when all three moves stay in the box.
    std::size_t part[3][3];
    bool kept[3][3];
    const std::size_t pos[3] = {c.x, c.y, c.z};
    const std::size_t len[3] = {lattice.nx, lattice.ny, lattice.nz};
    const std::size_t scale[3] = {1, lattice.nx, lattice.nx * lattice.ny};
    for (int a = 0; a < 3; ++a)
        for (int d = -1; d <= 1; ++d) {
            std::size_t moved = 0;
            kept[a][d + 1] = step_axis(pos[a], d, len[a], lattice.periodic[a], moved);
            part[a][d + 1] = moved * scale[a];
        }
    const std::vector<Offset>& offsets = lattice.neighborhood.offsets;
    std::size_t* p = out.prepare(offsets.size());
    std::size_t count = 0;
    for (const Offset& o : offsets) {
        const std::size_t dx = static_cast<std::size_t>(o.dx + 1), dy = static_cast<std::size_t>(o.dy + 1),
                          dz = static_cast<std::size_t>(o.dz + 1);
        p[count] = part[0][dx] + part[1][dy] + part[2][dz];
        count += kept[0][dx] & kept[1][dy] & kept[2][dz];
    }
    out.truncate(count);
}

std::size_t periodic_neighbor(const Lattice& lattice, std::size_t i, std::size_t k) {
    const Coords c = coords(lattice, i);
    const Offset& o = lattice.neighborhood.offsets[k];
    std::size_t x = 0, y = 0, z = 0;
    step_axis(c.x, o.dx, lattice.nx, true, x);
    step_axis(c.y, o.dy, lattice.ny, true, y);
    step_axis(c.z, o.dz, lattice.nz, true, z);
    return x + lattice.nx * (y + lattice.ny * z);
}

SiteList neighbors(const Lattice& lattice, std::size_t i) {
    if (i >= lattice.n_sites()) fail("site index out of range");
    SiteList out;
    neighbors_into(lattice, i, out);
    return out;
}

FaceList face_neighbors(const Lattice& lattice, std::size_t i) {
    if (i >= lattice.n_sites()) fail("site index out of range");
    FaceList out;
    const Coords c = coords(lattice, i);
    const std::size_t axes = lattice.nz >= 2 ? 3 : 2;
    const std::size_t pos[3] = {c.x, c.y, c.z};
    const std::size_t len[3] = {lattice.nx, lattice.ny, lattice.nz};
    for (std::size_t a = 0; a < axes; ++a)
        for (const std::int64_t d : {std::int64_t{-1}, std::int64_t{1}}) {
            std::size_t moved;
            if (!step_axis(pos[a], d, len[a], lattice.periodic[a], moved)) continue;
            std::size_t p[3] = {c.x, c.y, c.z};
            p[a] = moved;
            out.push_back(p[0] + lattice.nx * (p[1] + lattice.ny * p[2]));
        }
    return out;
}

}  // namespace tessaly

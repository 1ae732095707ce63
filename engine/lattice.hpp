// The lattice: the box of sites, its boundary mode per axis, and the two
// neighbour queries.
//
// Site index of (x, y, z): x + nx·(y + ny·z); x varies fastest. `neighbors`
// lists the configured neighbourhood (offset order, entries may repeat on a
// periodic axis of length 1 or 2, site i itself included); `face_neighbors`
// lists the axis faces only (x−1, x+1, y−1, y+1, z−1, z+1) and serves
// diffusion.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "small_vector.hpp"

namespace tessaly {

using CellId = std::uint32_t;
using CellType = std::uint16_t;
inline constexpr CellId MEDIUM = 0;

using SiteList = SmallVec<std::size_t, 18>;  // configured neighbours, up to 26
using FaceList = SmallVec<std::size_t, 6>;   // axis-face neighbours

struct Offset {
    std::int64_t dx, dy, dz;
};

struct Coords {
    std::size_t x, y, z;
};

struct Neighborhood {
    std::vector<Offset> offsets;  // loop order dz, dy, dx ascending; |dx|+|dy|+|dz| <= order

    // z_extent is the largest |dz| considered: 0 gives a planar neighbourhood.
    Neighborhood(std::uint32_t z_extent, std::uint8_t order);
};

// On a box with no periodic axis, the neighbour list of a site keeps the
// offsets that stay inside, in offset order; which ones depends only on
// whether each coordinate is the first and whether it is the last of its
// axis (every offset moves an axis by at most one).
struct EdgeOffsets {
    std::uint8_t count;     // offsets kept
    std::uint8_t kept[26];  // their indices, ascending
};

// The most sites a box may have (more is refused as out of memory), for
// every way of making one: the constructor and a checkpoint's box.
inline constexpr std::size_t max_lattice_sites = std::vector<CellId>().max_size() / 2;

struct Lattice {
    std::vector<CellId> sites;        // cell id per site, by site index
    Neighborhood neighborhood;        // configured offsets
    std::size_t nx, ny, nz;           // box size, as given
    std::array<bool, 3> periodic;     // per axis: wraps (true) or ends ("noflux")

    // Derived at construction, for the hot loop: the index step of each offset
    // (valid for interior sites) and one bit per site telling whether every
    // offset stays inside the box without wrapping.
    std::vector<std::int64_t> offset_step;  // one per offset, in offset order
    std::vector<std::uint64_t> interior;    // bit i: site i is interior
    // Bit b of entry a: offset b minus offset a is itself an offset, so the
    // sites i + offset a and i + offset b are neighbours when both are
    // interior (up to 32 offsets; empty beyond).
    std::vector<std::uint32_t> offset_adjacent;
    // With no periodic axis, by edge class (see edge_class): the offsets
    // kept at such sites. Empty when some axis is periodic.
    std::vector<EdgeOffsets> edge_offsets;
    // ⌈2^64 / nx⌉ and ⌈2^64 / ny⌉ for coords (see quotient); 0 where the
    // axis has length 1 or the box has 2^32 sites or more.
    std::uint64_t x_inverse = 0, y_inverse = 0;

    Lattice(std::array<std::size_t, 3> dims, std::array<bool, 3> periodic, Neighborhood neighborhood);

    std::size_t n_sites() const { return sites.size(); }
    bool is_interior(std::size_t i) const { return (interior[i >> 6] >> (i & 63)) & 1U; }
};

[[noreturn]] void no_sites();

// ⌊a / d⌋ by one multiplication where inverse = ⌈2^64 / d⌉ (exact for every
// a and d below 2^32), by division where inverse is 0.
inline std::size_t quotient(std::size_t a, std::size_t d, std::uint64_t inverse) {
    __extension__ using u128 = unsigned __int128;
    if (inverse == 0) return a / d;
    return static_cast<std::size_t>((static_cast<u128>(a) * inverse) >> 64);
}

// The inverse of quotient for divisor d on a box of n sites (0: divide).
inline std::uint64_t quotient_inverse(std::size_t d, std::size_t n) {
    if (d < 2 || n >= (std::size_t{1} << 32)) return 0;
    return ~std::uint64_t{0} / d + 1;  // ⌈2^64 / d⌉, for a power of two as for any other d
}

// Inverse of the site index; fails on a box with no site (a zero-length axis).
inline Coords coords(const Lattice& lattice, std::size_t i) {
    // any zero-length axis, z included: no site exists (and a periodic step would divide by 0)
    if (lattice.n_sites() == 0) no_sites();
    // i / (nx·ny) is (i / nx) / ny; on a planar box i / nx is already y
    const std::size_t rest = quotient(i, lattice.nx, lattice.x_inverse), x = i - rest * lattice.nx;
    if (rest < lattice.ny) return {x, rest, 0};
    const std::size_t z = quotient(rest, lattice.ny, lattice.y_inverse);
    return {x, rest - z * lattice.ny, z};
}

// The edge class of coordinates (x, y, z): two bits per axis, bit 0 for the
// first coordinate, bit 1 for the last (both on an axis of length 1).
inline unsigned edge_class(const Lattice& lattice, std::size_t x, std::size_t y, std::size_t z) {
    const auto edge = [](std::size_t c, std::size_t len) { return unsigned{c == 0} | unsigned{c + 1 == len} << 1; };
    return edge(x, lattice.nx) | edge(y, lattice.ny) << 2 | edge(z, lattice.nz) << 4;
}

// The neighbour list of site i from its kept offsets.
inline void edge_neighbors_into(const Lattice& lattice, std::size_t i, const EdgeOffsets& e, SiteList& out) {
    std::size_t* p = out.prepare(e.count);
    for (std::size_t m = 0; m < e.count; ++m)
        p[m] = static_cast<std::size_t>(static_cast<std::int64_t>(i) + lattice.offset_step[e.kept[m]]);
}

// Checked read and write of one site.
CellId get(const Lattice& lattice, std::size_t i);
void set(Lattice& lattice, std::size_t i, CellId id);

// The configured neighbours of site i that exist, in offset order.
SiteList neighbors(const Lattice& lattice, std::size_t i);

// The general (boundary-aware) path of `neighbors`, for sites that are not interior.
void neighbors_slow(const Lattice& lattice, std::size_t i, SiteList& out);

// Entry k of the neighbour list of site i on a box whose every axis is
// periodic (there every list has one entry per offset).
std::size_t periodic_neighbor(const Lattice& lattice, std::size_t i, std::size_t k);

// Entry k (offset o) of the neighbour list of the site at c on a box
// periodic along every axis, where the list has one entry per offset; from
// coordinates at hand, every offset moving an axis by at most one step.
inline std::size_t periodic_neighbor_at(const Lattice& lattice, Coords c, const Offset& o) {
    // without branches: the offset drawn is a coin toss
    const auto wrap = [](std::size_t p, std::int64_t d, std::size_t len) {
        const std::int64_t v = static_cast<std::int64_t>(p) + d, n = static_cast<std::int64_t>(len);
        return static_cast<std::size_t>(v < 0 ? v + n : (v >= n ? v - n : v));
    };
    return wrap(c.x, o.dx, lattice.nx) +
           lattice.nx * (wrap(c.y, o.dy, lattice.ny) + lattice.ny * wrap(c.z, o.dz, lattice.nz));
}

// Neighbours into a caller's list, using the interior shortcut when it applies.
inline void neighbors_into(const Lattice& lattice, std::size_t i, SiteList& out) {
    if (lattice.is_interior(i)) {
        const std::size_t k = lattice.offset_step.size();
        std::size_t* p = out.prepare(k);
        const std::int64_t* step = lattice.offset_step.data();
        for (std::size_t m = 0; m < k; ++m) p[m] = static_cast<std::size_t>(static_cast<std::int64_t>(i) + step[m]);
    } else {
        neighbors_slow(lattice, i, out);
    }
}

// The axis-face neighbours of site i that exist (z only when nz >= 2).
FaceList face_neighbors(const Lattice& lattice, std::size_t i);

}  // namespace tessaly

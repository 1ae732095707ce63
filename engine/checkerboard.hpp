// The checkerboard plan of the parallel sweep, a pure function of the box and
// the tile side: tiles of side `block` (the last one along an axis may be
// shorter), coloured by the parities of their tile coordinates (8 colours in
// 3-D, 4 on a planar box), so that no two tiles of one colour touch.
//
// On a periodic axis with an odd tile count of 3 or more, the first and the
// last tile share a parity and touch across the periodic face. Each colour
// therefore runs in up to eight sub-phases, keyed by the set of such axes
// along which the tile is the last one: tiles of one sub-phase that differ
// along such an axis both lie short of its last tile, so a whole tile
// separates them inside the box and at least the last tile across the face.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace tessaly {

struct CheckerboardPlan {
    std::array<std::size_t, 3> tiles;              // tiles along x, y, z (all 0 on a box with no site)
    std::size_t block;                             // tile side
    std::size_t n_colours;                         // 8 in 3-D, 4 on a planar box
    std::vector<std::size_t> colour_tiles[8];      // per colour: tile indices (x fastest), ascending
    std::vector<std::size_t> sub_phases[8][8];     // per colour and axis mask: positions in colour_tiles
};

CheckerboardPlan plan_checkerboard(std::array<std::size_t, 3> dims, std::array<bool, 3> periodic, std::size_t block);

// The site box of tile t: [lo, hi) along each axis.
struct TileBox {
    std::array<std::size_t, 3> lo, hi;
};
TileBox tile_box(const CheckerboardPlan& plan, std::array<std::size_t, 3> dims, std::size_t t);

}  // namespace tessaly

#include "checkerboard.hpp"

#include <algorithm>

namespace tessaly {

namespace {

// Ceiling of n / b without the overflow of (n + b − 1) / b.
inline std::size_t tile_count(std::size_t n, std::size_t b) { return n / b + (n % b != 0); }

}  // namespace

CheckerboardPlan plan_checkerboard(std::array<std::size_t, 3> dims, std::array<bool, 3> periodic, std::size_t block) {
    CheckerboardPlan plan{};
    const bool no_site = dims[0] == 0 || dims[1] == 0 || dims[2] == 0;
    // no site, no tile: the empty rows of a zero-length axis are not walked
    for (int a = 0; a < 3; ++a) plan.tiles[a] = no_site ? 0 : tile_count(dims[a], block);
    plan.block = block;
    plan.n_colours = dims[2] >= 2 ? 8 : 4;
    bool odd_periodic[3];
    for (int a = 0; a < 3; ++a) odd_periodic[a] = periodic[a] && plan.tiles[a] >= 3 && plan.tiles[a] % 2 == 1;
    std::size_t t = 0;
    for (std::size_t tz = 0; tz < plan.tiles[2]; ++tz)
        for (std::size_t ty = 0; ty < plan.tiles[1]; ++ty)
            for (std::size_t tx = 0; tx < plan.tiles[0]; ++tx, ++t) {
                const std::size_t c = (tx & 1) | ((ty & 1) << 1) | ((tz & 1) << 2);
                if (c >= plan.n_colours) continue;
                const std::size_t coord[3] = {tx, ty, tz};
                std::size_t mask = 0;
                for (int a = 0; a < 3; ++a)
                    if (odd_periodic[a] && coord[a] + 1 == plan.tiles[a]) mask |= std::size_t{1} << a;
                plan.sub_phases[c][mask].push_back(plan.colour_tiles[c].size());
                plan.colour_tiles[c].push_back(t);
            }
    return plan;
}

TileBox tile_box(const CheckerboardPlan& plan, std::array<std::size_t, 3> dims, std::size_t t) {
    const std::size_t coord[3] = {t % plan.tiles[0], (t / plan.tiles[0]) % plan.tiles[1],
                                  t / (plan.tiles[0] * plan.tiles[1])};
    TileBox box;
    for (int a = 0; a < 3; ++a) {
        box.lo[a] = plan.block * coord[a];
        box.hi[a] = box.lo[a] + std::min(plan.block, dims[a] - box.lo[a]);
    }
    return box;
}

}  // namespace tessaly

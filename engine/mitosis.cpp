// Division and removal. Both scan the site array a fixed number of times,
// looking cells up in a table indexed by id, and end with a full tracker
// recomputation (which also catches a site holding an unregistered id).
//
// division: a cell with volume >= threshold is cut across the longest side of
// its bounding box (ties: x, then y, then z) at (min + max) div 2; sites above
// the cut go to a new daughter, the middle layer stays with the parent.
#include "mitosis.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "world.hpp"

namespace tessaly {

namespace {

constexpr std::uint32_t NOT_CANDIDATE = std::numeric_limits<std::uint32_t>::max();

struct Box {
    std::array<std::size_t, 3> lo{std::numeric_limits<std::size_t>::max(), std::numeric_limits<std::size_t>::max(),
                                  std::numeric_limits<std::size_t>::max()};
    std::array<std::size_t, 3> hi{0, 0, 0};
};

struct Cut {
    unsigned axis;         // 0 x, 1 y, 2 z
    std::size_t position;  // sites with a coordinate above it go to the daughter
};

Cut cut_of(const Box& box) {
    std::array<std::size_t, 3> extent{};
    for (unsigned a = 0; a < 3; ++a) extent[a] = box.hi[a] < box.lo[a] ? 0 : box.hi[a] - box.lo[a];
    unsigned axis = 0;
    if (extent[2] > extent[0] && extent[2] > extent[1])
        axis = 2;
    else if (extent[1] > extent[0])
        axis = 1;
    // a candidate without sites has an empty box; its cut is never used
    const std::size_t position = box.hi[axis] < box.lo[axis] ? 0 : (box.lo[axis] + box.hi[axis]) / 2;
    return {axis, position};
}

// Calls visit(i, {x, y, z}) for every site in index order, coordinates
// counted along instead of divided out.
template <typename Visit>
void for_each_site(const Lattice& lattice, Visit visit) {
    if (lattice.n_sites() == 0) return;  // the empty rows of a zero-length axis are not walked
    std::size_t i = 0;
    for (std::size_t z = 0; z < lattice.nz; ++z)
        for (std::size_t y = 0; y < lattice.ny; ++y)
            for (std::size_t x = 0; x < lattice.nx; ++x, ++i) visit(i, std::array<std::size_t, 3>{x, y, z});
}

}  // namespace

std::vector<CellId> divide_cells(World& w, double threshold, double reset_target) {
    // candidates in registry order; a NaN threshold admits none
    std::vector<CellId> candidates;
    std::vector<std::uint32_t> slot(w.cells.size(), NOT_CANDIDATE);
    for (const Cell& cell : w.cells) {
        if (cell.id == MEDIUM || !(static_cast<double>(cell.volume) >= threshold)) continue;
        slot[cell.id] = static_cast<std::uint32_t>(candidates.size());
        candidates.push_back(cell.id);
    }
    if (candidates.empty()) return {};

    // bounding boxes, one pass
    std::vector<CellId>& sites = w.lattice.sites;
    std::vector<Box> boxes(candidates.size());
    for_each_site(w.lattice, [&](std::size_t i, std::array<std::size_t, 3> p) {
        const CellId id = sites[i];
        if (id >= slot.size() || slot[id] == NOT_CANDIDATE) return;
        Box& box = boxes[slot[id]];
        for (unsigned a = 0; a < 3; ++a) {
            box.lo[a] = std::min(box.lo[a], p[a]);
            box.hi[a] = std::max(box.hi[a], p[a]);
        }
    });

    // split axis and position, then one daughter per candidate, in candidate order
    std::vector<Cut> cuts(candidates.size());
    std::vector<CellId> daughters(candidates.size());
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        cuts[k] = cut_of(boxes[k]);
        const Cell parent = w.cells[candidates[k]];
        daughters[k] = add_cell(w, parent.cell_type, reset_target, parent.lambda_volume, parent.target_surface,
                                parent.lambda_surface);
    }

    // assignment, one pass: sites above the cut go to the daughter
    for_each_site(w.lattice, [&](std::size_t i, std::array<std::size_t, 3> p) {
        const CellId id = sites[i];
        if (id >= slot.size() || slot[id] == NOT_CANDIDATE) return;
        const std::uint32_t k = slot[id];
        if (p[cuts[k].axis] > cuts[k].position) sites[i] = daughters[k];
    });

    for (const CellId id : candidates) w.cells[id].target_volume = reset_target;
    recompute_trackers(w);
    return daughters;
}

void remove_cells(World& w, const std::vector<CellId>& ids) {
    if (ids.empty()) return;
    std::vector<std::uint8_t> removed(w.cells.size(), 0);
    for (const CellId id : ids)
        if (id != MEDIUM && id < removed.size()) removed[id] = 1;
    for (CellId& id : w.lattice.sites)
        if (id < removed.size() && removed[id]) id = MEDIUM;
    recompute_trackers(w);
}

}  // namespace tessaly

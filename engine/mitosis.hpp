// Division of cells at a volume threshold across the longest side of their
// bounding box, and removal of cells; both end with a tracker recomputation.
#pragma once

#include <vector>

#include "lattice.hpp"

namespace tessaly {

struct World;

std::vector<CellId> divide_cells(World& w, double threshold, double reset_target);
void remove_cells(World& w, const std::vector<CellId>& ids);

}  // namespace tessaly

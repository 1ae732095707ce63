// Division of cells at a volume threshold across the longest side of their
// bounding box, chosen divisions of one cell by a plane, and removal of
// cells; all end with a tracker recomputation.
//
// chosen division: the plane through the cell's centroid c (right on periodic
// axes, see centroid.hpp) with normal n; a site x whose offset d = x − c,
// unwrapped on periodic axes, has d·n > 0 goes to the daughter. The major
// (minor) axis is the eigenvector of the largest (smallest) eigenvalue of
// the second moments M = Σ d dᵀ, found by cyclic Jacobi rotations (on a
// planar box, of the x–y block only).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "lattice.hpp"

namespace tessaly {

struct World;

std::vector<CellId> divide_cells(World& w, double threshold, double reset_target);
// The unit major (major = true) or minor axis of a cell's sites; the cell
// must have sites.
std::array<double, 3> principal_axis(const World& w, CellId id, bool major);

// Sites of the cell that a cut with normal n would give to the daughter.
std::int64_t sites_beyond(const World& w, CellId id, std::array<double, 3> normal);

// Divides cell `id` by the plane with normal n and gives the parent and the
// daughter their target volumes; returns the daughter's id. The caller has
// checked that both sides keep sites.
CellId divide_cell(World& w, CellId id, std::array<double, 3> normal, double parent_target, double daughter_target);

void remove_cells(World& w, const std::vector<CellId>& ids);

}  // namespace tessaly

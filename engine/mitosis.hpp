// Division of cells at a volume threshold across the longest side of their
// bounding box, chosen divisions of cells by a plane, and removal of cells.
//
// per-cell state: a daughter takes its parent's type and parameters, frozen
// flag, direction of persistent motion (its history of positions starts
// anew) and track (see track_division); the attributes follow their rules
// (state.hpp); links stay on the parent unless a chosen division shares
// them (see links_division). A daughter of a chosen division also takes its parent's
// secretion scale in every field; one of divide_cells starts with none. The
// Act model's activities belong to sites, which keep theirs.
//
// chosen division: the plane through the cell's centroid c (right on periodic
// axes, see centroid.hpp) with normal n; a site x whose offset d = x − c,
// unwrapped on periodic axes, has d·n > 0 goes to the daughter. The major
// (minor) axis is the eigenvector of the largest (smallest) eigenvalue of
// the second moments M = Σ d dᵀ, found by cyclic Jacobi rotations (on a
// planar box, of the x–y block only).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "lattice.hpp"
#include "rng.hpp"

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
// checked that both sides keep sites. Its cost is the cell's size while the
// trackers are exact (w.trackers_exact), the lattice's otherwise.
CellId divide_cell(World& w, CellId id, std::array<double, 3> normal, double parent_target, double daughter_target,
                   bool share_links = false);

// How a chosen division takes its normal: an axis of the cell, a random
// direction (from the driver's generator) or one given.
enum class DivisionAxis : std::uint8_t { major, minor, random, given };

// Why a chosen division was refused (it then changed nothing, the generator
// included): out_of_plane is a given normal along z on a planar box;
// repeated an id given twice in one batch.
enum class DivisionRefusal : std::uint8_t { none, not_a_cell, too_small, one_side_empty, out_of_plane, repeated };

struct ChosenDivision {
    CellId daughter = MEDIUM;  // the new cell, when divided
    DivisionRefusal refusal = DivisionRefusal::none;
};

// A chosen division of cell `id`: refused for the medium, an unregistered id,
// a cell of fewer than two sites or a cut that leaves one side empty. `normal`
// is used for DivisionAxis::given, `rng` (not null) for DivisionAxis::random.
// Targets: the given (parent, daughter) pair, else the parent's halved.
ChosenDivision divide_cell(World& w, CellId id, DivisionAxis axis, std::array<double, 3> normal, Rng* rng,
                           const std::optional<std::array<double, 2>>& targets, bool share_links = false);

struct ChosenDivisions {
    std::vector<CellId> daughters;                     // one per id, in their order, when divided
    DivisionRefusal refusal = DivisionRefusal::none;
    std::size_t refused = 0;                           // the position of the id refused
};

// Chosen divisions of several cells: the same daughters, draws and results
// as divide_cell on each id in turn, except that one refusal (the first, in
// the order of the ids) refuses them all before anything changes.
ChosenDivisions divide_cell(World& w, const std::vector<CellId>& ids, DivisionAxis axis, std::array<double, 3> normal,
                            Rng* rng, const std::optional<std::array<double, 2>>& targets, bool share_links = false);

void remove_cells(World& w, const std::vector<CellId>& ids);

}  // namespace tessaly

// The world: the complete state of one simulation, its cell registry with
// the per-cell trackers, and copy application.
//
// Trackers of a cell (exact whenever valid): volume = its number of sites;
// surface = Σ over its sites of the configured neighbours holding another id;
// sum_x.. and the six products = sums of raw lattice coordinates (as doubles,
// integer-valued, so incremental updates and recomputation agree bit for bit).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "energy.hpp"
#include "field.hpp"
#include "lattice.hpp"
#include "small_vector.hpp"
#include "terms.hpp"

namespace tessaly {

// What pricing a copy reads comes first, in one 64-byte line of a record
// aligned to 64 bytes; the moment sums that only a flip updates follow.
struct alignas(64) Cell {
    std::int64_t volume;            // number of sites
    std::int64_t surface;           // (own site, unlike configured neighbour) pairs
    double target_volume;           // V*
    double lambda_volume;           // λV
    double target_surface;          // S*
    double lambda_surface;          // λS
    CellId id;                      // position in the registry
    CellType cell_type;             // type; MEDIUM has 0
    double sum_x, sum_y, sum_z;     // Σ x, y, z (raw lattice coordinates)
    double sum_xx, sum_yy, sum_zz;  // Σ x², y², z² over the cell's sites
    double sum_xy, sum_xz, sum_yz;  // Σ xy, xz, yz
};

struct World {
    Lattice lattice;                             // sites, neighbourhood, dims, boundaries
    std::vector<Cell> cells;                     // registry, indexed by id; starts with MEDIUM
    ContactMatrix contact;                       // J per type pair; 1×1 until finalize
    std::vector<Field> fields;                   // in order of creation
    Terms terms;                                 // the optional terms' state
    double temperature;                          // Metropolis T
    bool surface_active = false;                 // some cell has λS ≠ 0

    World(Lattice lattice, double temperature);
};

// ---- registry ----
CellId add_cell(World& w, CellType cell_type, double target_volume, double lambda_volume, double target_surface,
                double lambda_surface);
Cell& cell_at(World& w, CellId id);  // checked
const Cell& cell_at(const World& w, CellId id);
void paint(World& w, std::size_t site, CellId id);
void set_cell_type(World& w, CellId id, CellType cell_type);
void set_target_volume(World& w, CellId id, double v);
void grow(World& w, CellType cell_type, double rate);
void recompute_trackers(World& w);

// Contacts of cell `id` by neighbour type: (type, count) pairs in order of
// first meeting; the counts add up to the cell's surface. An id with no
// site gives an empty list.
std::vector<std::pair<CellType, std::int64_t>> contact_area_by_type(const World& w, CellId id);

// ---- copy application ----

// Surface changes of changing site i to n, sorted by id; entries of the
// neighbour list equal to i itself are skipped (a site is never its own
// neighbour for tracking).
SurfaceDeltas surface_deltas(const World& w, std::size_t i, CellId n);
void apply_flip(World& w, std::size_t i, CellId n);

// The same two for the sweeps, with the target's neighbour list (and for the
// flip its surface-delta list) already at hand; no checks.
void surface_deltas_into(const World& w, std::size_t i, CellId n, const SiteList& nb, SurfaceDeltas& out);
void apply_flip_with(World& w, std::size_t i, CellId n, const SurfaceDeltas& deltas);

// apply_flip for the sequential sweep while no cell has a surface term, so
// that no list is priced: only the two cells whose ids change have a
// non-zero surface change (2·#old − k for old, k − 2·#n for n, over the k
// neighbours other than i), and integer sums do not depend on their order.
void apply_flip_counted(World& w, std::size_t i, CellId n, const SiteList& nb);

}  // namespace tessaly

// The world: the complete state of one simulation, its cell registry with
// the per-cell trackers, copy application, and the junction term.
//
// Trackers of a cell (exact whenever valid): volume = its number of sites;
// surface = Σ over its sites of the configured neighbours holding another id;
// sum_x.. and the six products = sums of raw lattice coordinates (as doubles,
// integer-valued, so incremental updates and recomputation agree bit for bit).
//
// junction: H = λJ · #(medium site, axis) pinched between two different
// junction-forming cells; no wrap, outer layers never pinched.
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

struct Force {
    double fx, fy, fz;
};

struct World {
    Lattice lattice;                             // sites, neighbourhood, dims, boundaries
    std::vector<Cell> cells;                     // registry, indexed by id; starts with MEDIUM
    ContactMatrix contact;                       // J per type pair; 1×1 until finalize
    std::vector<Field> fields;                   // in order of creation
    std::vector<std::uint8_t> connectivity;      // per type: guarded against splitting
    std::vector<float> membrane_distance;        // per site, steps to the nearest anchor; empty = off
    std::vector<std::uint8_t> membrane_anchored; // per type: held near the anchors
    std::vector<std::uint8_t> junction;          // per type: forms junctions
    std::vector<double> target_length;           // per type, L_t in lattice units
    std::vector<double> lambda_length;           // per type, λ_t
    std::vector<Force> external;                 // per type, constant force
    double temperature;                          // Metropolis T
    double membrane_k = 0.0;                     // membrane stiffness
    double membrane_band = 0.0;                  // penalty-free band, lattice steps
    double junction_lambda = 0.0;                // λJ
    bool connectivity_medium = false;            // MEDIUM guarded as the losing side
    bool surface_active = false;                 // some cell has λS ≠ 0

    // Guards of the optional terms, kept current by their setters (see refresh_guards).
    bool connectivity_on = false;  // connectivity_medium or some type guarded
    bool membrane_on = false;      // distances present and some type anchored
    bool junction_on = false;      // λJ > 0 and some type flagged
    bool length_on = false;        // some λ_t > 0
    bool external_on = false;      // some force component ≠ 0 (NaN counts)
    bool chemotaxis_on = false;    // some field has some λ ≠ 0 (NaN counts)

    World(Lattice lattice, double temperature);
};

// Recomputes the guard flags from the per-type lists; every setter of a
// per-type list or switch calls it.
void refresh_guards(World& w);

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

// ---- junction ----
void set_junction(World& w, CellType cell_type, bool on);
void set_junction_lambda(World& w, double lambda);
unsigned pinch_at(const World& w, std::size_t site, std::size_t target, CellId id);
double delta_junction(const World& w, std::size_t target, CellId n);

}  // namespace tessaly

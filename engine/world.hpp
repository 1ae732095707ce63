// The world: the complete state of one simulation, its cell registry with
// the per-cell trackers, and copy application.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "energy.hpp"
#include "field.hpp"
#include "init.hpp"
#include "lattice.hpp"
#include "neighbors.hpp"
#include "small_vector.hpp"
#include "state.hpp"
#include "terms.hpp"

namespace tessaly {

// ---- trackers ----

// The trackers of a cell (exact whenever valid), or changes to them:
// volume = its number of sites; surface = Σ over its sites of the configured
// neighbours holding another id; sum_x.. and the six products = sums of raw
// lattice coordinates (as doubles, integer-valued, so that incremental
// updates and recomputation agree bit for bit).
struct Trackers {
    std::int64_t volume;            // number of sites
    std::int64_t surface;           // (own site, unlike configured neighbour) pairs
    double sum_x, sum_y, sum_z;     // Σ x, y, z (raw lattice coordinates)
    double sum_xx, sum_yy, sum_zz;  // Σ x², y², z² over the cell's sites
    double sum_xy, sum_xz, sum_yz;  // Σ xy, xz, yz

    bool operator==(const Trackers&) const = default;
};

// The site at (x, y, z) joins or leaves: every term is an integer-valued
// double and a − b equals a + (−b) exactly, so both keep the sums exact.
inline void add_site(Trackers& t, double x, double y, double z) {
    t.volume += 1;
    t.sum_x += x;
    t.sum_y += y;
    t.sum_z += z;
    t.sum_xx += x * x;
    t.sum_yy += y * y;
    t.sum_zz += z * z;
    t.sum_xy += x * y;
    t.sum_xz += x * z;
    t.sum_yz += y * z;
}

inline void remove_site(Trackers& t, double x, double y, double z) {
    t.volume -= 1;
    t.sum_x -= x;
    t.sum_y -= y;
    t.sum_z -= z;
    t.sum_xx -= x * x;
    t.sum_yy -= y * y;
    t.sum_zz -= z * z;
    t.sum_xy -= x * y;
    t.sum_xz -= x * z;
    t.sum_yz -= y * z;
}

// Adds a record of changes (a tile's, say) to t.
inline void merge(Trackers& t, const Trackers& change) {
    t.volume += change.volume;
    t.surface += change.surface;
    t.sum_x += change.sum_x;
    t.sum_y += change.sum_y;
    t.sum_z += change.sum_z;
    t.sum_xx += change.sum_xx;
    t.sum_yy += change.sum_yy;
    t.sum_zz += change.sum_zz;
    t.sum_xy += change.sum_xy;
    t.sum_xz += change.sum_xz;
    t.sum_yz += change.sum_yz;
}

// ---- registry ----

// What pricing a copy reads comes first, in one 64-byte line of a record
// aligned to 64 bytes (the parameters, then volume and surface); the moment
// sums that only a flip updates follow.
struct alignas(64) Cell {
    double target_volume;           // V*
    double lambda_volume;           // λV
    double target_surface;          // S*
    double lambda_surface;          // λS
    CellId id;                      // position in the registry
    CellType cell_type;             // type; MEDIUM has 0
    Trackers trackers;              // volume, surface and coordinate sums
};

struct World {
    Lattice lattice;                             // sites, neighbourhood, dims, boundaries
    std::vector<Cell> cells;                     // registry, indexed by id; starts with MEDIUM
    ContactMatrix contact;                       // J per type pair; 1×1 until finalize
    std::vector<Field> fields;                   // in order of creation
    Terms terms;                                 // the optional terms' state
    CellState state;                             // the cells' attributes, one column each
    NeighborTracking neighbors;                  // who touches whom, kept by copies while on
    double temperature;                          // Metropolis T
    bool surface_active = false;                 // some cell has λS ≠ 0
    bool trackers_exact = false;                 // the trackers match the sites: set by recompute_trackers, cleared by painting

    SetupRecord setup;                           // types and contacts mentioned by set-up; the table finalize builds

    World(Lattice lattice, double temperature);
};

CellId add_cell(World& w, CellType cell_type, double target_volume, double lambda_volume, double target_surface,
                double lambda_surface);
Cell& cell_at(World& w, CellId id);  // checked
const Cell& cell_at(const World& w, CellId id);
void paint(World& w, std::size_t site, CellId id);
void set_cell_type(World& w, CellId id, CellType cell_type);
void set_target_volume(World& w, CellId id, double v);

// The per-cell energy parameters that can change after add_cell; an empty
// member leaves the cell's value as it is.
struct CellParams {
    std::optional<double> target_volume{};   // V*
    std::optional<double> lambda_volume{};   // λV
    std::optional<double> target_surface{};  // S*
    std::optional<double> lambda_surface{};  // λS
};

// Replaces the given parameters of cell `id` (checked), then brings the
// surface guard up to date: on while some cell has λS ≠ 0.
void set_cell_params(World& w, CellId id, const CellParams& params);

// ---- batches of cells ----
// Each batch setter checks everything first (every id registered, every
// column one value per id), then changes: a refused batch changes nothing.
// Ids may repeat; the last value for an id wins, and the world ends as the
// same calls one id at a time would leave it.

// Fails naming the first id that is not registered.
void check_registered(const World& w, const std::vector<CellId>& ids);

// The parameters of a batch: one value per id, or empty to leave them as they are.
struct CellParamColumns {
    std::optional<std::vector<double>> target_volume{};
    std::optional<std::vector<double>> lambda_volume{};
    std::optional<std::vector<double>> target_surface{};
    std::optional<std::vector<double>> lambda_surface{};
};

void set_cell_params(World& w, const std::vector<CellId>& ids, const CellParamColumns& params);
void set_cell_types(World& w, const std::vector<CellId>& ids, const std::vector<CellType>& types);
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

// surface_deltas for the sweeps, with the target's neighbour list at hand; no checks.
void surface_deltas_into(const World& w, std::size_t i, CellId n, const SiteList& nb, SurfaceDeltas& out);

}  // namespace tessaly

// Persistent motion: a cell of a type with λ_dir > 0 prefers a direction u.
//
// energy:  a copy from source s of cell c ≠ MEDIUM into target t adds
//          ΔH_dir = −λ_dir·(u_x·dx + u_y·dy + u_z·dz), (dx, dy, dz) = x_t − x_s
//          by minimum image on periodic axes (each component −1, 0 or 1).
// first:   before each Monte Carlo step, in id order, each cell whose type
//          has λ_dir > 0 and that has no direction draws one.
// update:  after each Monte Carlo step, in id order, for each cell whose type
//          has λ_dir > 0: once its track (centroid.hpp) spans delta_t steps, with d its
//          displacement over the last delta_t steps: if |d| > 0, u becomes
//          v/|v| for v = (1 − persist)·d/|d| + persist·u (a new draw when
//          |v| = 0), else u is drawn anew.
// draws:   from the term's own xoshiro256++ stream, seeded by the run's seed
//          (see seed_persistence), in that order: planar boxes take the
//          angle 2π·U, (cos, sin, 0); others z = 2U₁ − 1, φ = 2π·U₂,
//          (√(1 − z²)·cos φ, √(1 − z²)·sin φ, z). U are the generator's
//          uniform doubles. The draws do not depend on the sweep or its
//          thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "centroid.hpp"
#include "lattice.hpp"
#include "rng.hpp"

namespace tessaly {

struct World;

struct PersistenceTerm {
    std::vector<double> lambda;          // per type, λ_dir
    std::vector<std::uint32_t> delta_t;  // per type, steps over which d is taken
    std::vector<double> persist;         // per type, weight of the old direction
    std::vector<Vec3> direction;         // per cell, u; (0, 0, 0) until drawn
    std::vector<std::uint8_t> has_direction;  // per cell
    std::vector<std::uint64_t> age;      // per cell, steps recorded in `history`
    std::vector<Vec3> history;           // per cell, the last `ring` track positions
    std::size_t ring = 1;                // positions kept per cell: largest delta_t + 1
    std::uint64_t steps = 0;             // steps recorded since the ring last changed
    Rng rng = seed_from_u64(0);          // the term's own stream
    bool on = false;                     // some type has λ_dir > 0
};

// Recomputes `on` and the history length from the parameters.
void refresh(PersistenceTerm& term);

// Its section of a checkpoint: nothing while the record holds its defaults;
// read checks what it takes against the world it is read into.
void write(ByteWriter& out, const PersistenceTerm& term);
void read(ByteReader& in, PersistenceTerm& term, const World& w);

// The longest window: each cell keeps delta_t + 1 positions of 24 bytes.
inline constexpr std::uint32_t MAX_DELTA_T = 10000;

// Strongly exception-safe: running out of memory changes nothing.
void set_persistence(World& w, CellType cell_type, double lambda, std::uint32_t delta_t, double persist);

// The term's stream for a run of this seed.
void seed_persistence(PersistenceTerm& term, std::uint64_t seed);

// ΔH_dir of copying the source's id n into the target.
double delta_persistence(const World& w, std::size_t target, std::size_t source, CellId n);

// Before each Monte Carlo step: every cell the term applies to that has no
// direction draws one, in id order.
void persistence_first_directions(PersistenceTerm& term, const World& w);

// After each Monte Carlo step, once the tracks have advanced.
void persistence_step(PersistenceTerm& term, const World& w, const Tracks& tracks);

// A uniformly random unit vector, drawn as the header says.
Vec3 random_direction(Rng& rng, bool planar);

// A daughter takes its parent's direction and starts a history of its own.
void persistence_division(PersistenceTerm& p, CellId parent, CellId daughter);

}  // namespace tessaly

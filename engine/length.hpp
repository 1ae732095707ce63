// length: E = λ_t·(L − L_t)² per cell (n >= 2, λ_t ≠ 0), L = √(12·e), e the
// largest eigenvalue of the covariance of the cell's site coordinates.
#pragma once

#include "bytes.hpp"
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lattice.hpp"

namespace tessaly {

struct World;
struct Trackers;

struct LengthTerm {
    std::vector<double> target;  // per type, L_t in lattice units
    std::vector<double> lambda;  // per type, λ_t
    bool on = false;             // some λ_t > 0
};

// Recomputes `on` from the strengths.
void refresh(LengthTerm& term);

// Its section of a checkpoint: nothing while the record holds its defaults;
// read checks what it takes against the world it is read into.
void write(ByteWriter& out, const LengthTerm& term);
void read(ByteReader& in, LengthTerm& term, const World& w);

double major_axis_length(std::int64_t n, std::array<double, 3> first, std::array<double, 6> second);
double cell_length(const World& w, CellId id);
void set_length_constraint(World& w, CellType cell_type, double target_length, double lambda);
double delta_length(const World& w, std::size_t target, CellId n);

// The same with the trackers of the losing and the gaining cell given (a
// tile reads them as the registry plus its own changes).
double delta_length(const World& w, std::size_t target, CellId n, const Trackers& losing, const Trackers& gaining);

}  // namespace tessaly

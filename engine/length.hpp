// length: E = λ_t·(L − L_t)² per cell (n >= 2, λ_t ≠ 0), L = √(12·e), e the
// largest eigenvalue of the covariance of the cell's site coordinates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "lattice.hpp"

namespace tessaly {

struct World;

double major_axis_length(std::int64_t n, std::array<double, 3> first, std::array<double, 6> second);
double cell_length(const World& w, CellId id);
void set_length_constraint(World& w, CellType cell_type, double target_length, double lambda);
double delta_length(const World& w, std::size_t target, CellId n);

}  // namespace tessaly

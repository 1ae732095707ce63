// Seeding a world from a label image: each distinct non-zero label becomes
// one new cell, in order of first occurrence in site order.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "lattice.hpp"

namespace tessaly {

struct World;

std::unordered_map<std::uint32_t, CellId> seed_from_labels(World& w, const std::vector<std::uint32_t>& labels,
                                                           const std::unordered_map<std::uint32_t, CellType>& types,
                                                           CellType default_type, double target_volume,
                                                           double lambda_volume);

}  // namespace tessaly

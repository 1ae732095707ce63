// The sweep driver: owns the world and the generator and runs the sequential
// Metropolis dynamics. One Monte Carlo step is n_sites copy attempts at
// uniformly drawn targets, then one advance of the fields.
#pragma once

#include <cstdint>

#include "rng.hpp"
#include "world.hpp"

namespace tessaly {

struct Cpm {
    World world;  // owned from finalize on
    Rng rng;      // the only random source of the running phase

    Cpm(World world, std::uint64_t seed);
};

// Runs mcs Monte Carlo steps; returns false when `poll` stopped it early.
bool step(Cpm& cpm, std::uint64_t mcs, InterruptPoll poll = nullptr);

}  // namespace tessaly

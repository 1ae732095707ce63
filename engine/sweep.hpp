// The sweep driver: owns the world and the generator and runs the sequential
// Metropolis dynamics. One Monte Carlo step is n_sites copy attempts at
// uniformly drawn targets, then one advance of the fields.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rng.hpp"
#include "world.hpp"

namespace tessaly {

struct Cpm {
    World world;  // owned from finalize on
    Rng rng;      // the only random source of the running phase

    Cpm(World world, std::uint64_t seed);
    Cpm(World world, Rng resumed);  // a driver restored from a checkpoint: its generator as it was
};

// Runs mcs Monte Carlo steps; returns false when `poll` stopped it early.
bool step(Cpm& cpm, std::uint64_t mcs, InterruptPoll poll = nullptr);

// The work after the copy attempts of every Monte Carlo step, for both
// sweeps, in this order: the terms' per-step work (activity decay, tracks,
// directions), then one advance of the fields (diffusion, secretion,
// uptake). Returns false when `poll` stopped the field advance.
bool end_of_step(World& w, InterruptPoll poll);

// Whether the sweeps run their copies compiled for AVX2 and the bit
// manipulation instructions (the processor has them, and no test said no).
bool fast_words_enabled();

// Makes the sweeps use (true, the default where the processor allows) or not
// use those copies and the wide word rounds, and the rounds' AVX-512
// variant, so that tests can compare them.
void set_wide_words_for_testing(bool enabled, bool avx512 = true);

}  // namespace tessaly

// The sweep driver: owns the world and the generator and runs the sequential
// Metropolis dynamics. One Monte Carlo step is n_sites copy attempts at
// uniformly drawn targets, then one advance of the fields.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "rng.hpp"
#include "world.hpp"

namespace tessaly {

// exp(−k/T) for the integer energy changes k = 0, 1, …, filled with the same
// expression the rule evaluates, so a table hit is bit-identical to the call.
// Used by both sweeps for their Metropolis rule.
struct BoltzmannTable {
    static constexpr std::size_t size = 1024;
    double temperature;
    double value[size];

    explicit BoltzmannTable(double t) : temperature(t) {
        for (std::size_t k = 0; k < size; ++k) value[k] = std::exp(-static_cast<double>(k) / t);
    }
    double operator()(double dh) const {
        if (dh < static_cast<double>(size)) {
            const std::size_t k = static_cast<std::size_t>(dh);
            if (static_cast<double>(k) == dh) return value[k];
        }
        return std::exp(-dh / temperature);
    }
};

struct Cpm {
    World world;  // owned from finalize on
    Rng rng;      // the only random source of the running phase

    Cpm(World world, std::uint64_t seed);
};

// Runs mcs Monte Carlo steps; returns false when `poll` stopped it early.
bool step(Cpm& cpm, std::uint64_t mcs, InterruptPoll poll = nullptr);

// Whether the sweeps run their copies compiled for AVX2 and the bit
// manipulation instructions (the processor has them, and no test said no).
bool fast_words_enabled();

// Makes the sweeps use (true, the default where the processor allows) or not
// use those copies and the wide word rounds, and the rounds' AVX-512
// variant, so that tests can compare them.
void set_wide_words_for_testing(bool enabled, bool avx512 = true);

}  // namespace tessaly

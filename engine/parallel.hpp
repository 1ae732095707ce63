// The parallel checkerboard sweep: tiles of side `block`, coloured by the
// parities of their tile coordinates; the tiles of one colour run on the
// worker pool, each with its own generator and its own map of tracker
// changes, merged in tile order by the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pool.hpp"
#include "sweep.hpp"

namespace tessaly {

// Runs mcs Monte Carlo steps of the tiled sweep; returns false when `poll`
// stopped it early.
bool step_parallel(Cpm& cpm, std::uint64_t mcs, std::size_t block, InterruptPoll poll = nullptr);

}  // namespace tessaly

// Centroids that are right on periodic axes, and tracks of them.
//
// centroid: on an axis that ends, Σx / V. On a periodic axis of length L, the
//           mean of the coordinates unwrapped about a reference r (x − L when
//           x − r > L/2, x + L when x − r < −L/2), wrapped into [0, L). The
//           reference is the cell's centroid after the last tracked Monte
//           Carlo step, else its circular mean L·atan2(Σ sin θ, Σ cos θ)/2π
//           (θ = 2πx/L, wrapped into [0, L)). Right for any cell narrower
//           than L/2 along the axis.
// track:    per cell, Σ over tracked Monte Carlo steps of (new unwrapped mean
//           − reference): the displacement of the centroid, continued across
//           periodic faces. A cell with no site keeps its track and loses its
//           reference; it starts from a new one when it has sites again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bytes.hpp"
#include "lattice.hpp"

namespace tessaly {

struct World;

using Vec3 = std::array<double, 3>;

struct Tracks {
    bool requested = false;                  // set_tracking(true)
    std::vector<Vec3> reference;             // per cell: wrapped centroid after the last tracked step
    std::vector<Vec3> position;              // per cell: accumulated displacement, lattice units
    std::vector<std::uint8_t> has_reference; // per cell: `reference` holds
};

// Per-cell sums of one scan of the site array: the number of sites and, per
// axis, the sum of the coordinates unwrapped about the reference (integers).
struct CentroidSums {
    std::vector<std::int64_t> volume;               // per cell
    std::vector<std::array<std::int64_t, 3>> sum;   // per cell, unwrapped coordinates
    std::vector<Vec3> reference;                    // per cell, the reference used
};

// Centroids of every registered cell (MEDIUM and cells without sites: the
// reference, or (0, 0, 0)), about the tracked references where given.
CentroidSums centroid_sums(const World& w, const Tracks* tracks);
Vec3 mean_of(const CentroidSums& sums, CellId id);                 // unwrapped mean; requires volume > 0
Vec3 wrapped(const World& w, Vec3 p);                              // into [0, L) on periodic axes
std::vector<Vec3> centroids(const World& w, const Tracks* tracks);  // wrapped means

// ---- one cell from its own sites ----
// centroid_sums' numbers for one cell from the coordinates of its sites (in
// index order), for callers that have them at hand (divisions) and should
// not scan the lattice.

// The circular mean of the sites on every periodic axis (0 on the others):
// the reference of a cell without a tracked one.
Vec3 circular_mean(const World& w, const std::vector<std::array<std::size_t, 3>>& at);

// How centroid_sums unwraps a coordinate about a reference r: on a periodic
// axis of length L, x < lo = ⌈r − L/2⌉ moves up by L, x > hi = ⌊r + L/2⌋ down.
struct Unwrapping {
    std::array<std::int64_t, 3> lo, hi;  // the bounds; the int64 extremes on axes that end
    std::array<std::int64_t, 3> length;  // nx, ny, nz
    unsigned axes;                       // the axes summed: z is left out (0) on a planar box

    std::int64_t operator()(unsigned a, std::size_t x) const {
        const std::int64_t v = static_cast<std::int64_t>(x);
        return v < lo[a] ? v + length[a] : v > hi[a] ? v - length[a] : v;
    }
};
Unwrapping unwrapping_about(const World& w, const Vec3& reference);

// Minimum-image difference a − b along every periodic axis.
Vec3 minimum_image(const World& w, Vec3 a, Vec3 b);

// One tracked Monte Carlo step: every track advances by its cell's centroid
// displacement, every reference becomes the new centroid.
void track_step(const World& w, Tracks& tracks);

// Sizes the per-cell lists to the registry (new entries: no reference, track 0).
void fit_tracks(const World& w, Tracks& tracks);

// Its section of a checkpoint: nothing while the record holds its defaults;
// read checks what it takes against the world it is read into.
void write(ByteWriter& out, const Tracks& term);
void read(ByteReader& in, Tracks& term, const World& w);

// After divisions (parents[k] gave sites to daughters[k]): each daughter
// starts from its parent's track, and both cells' references restart from
// their new centroids, so that the cut is not counted as movement.
void track_division(const World& w, Tracks& tracks, const std::vector<CellId>& parents,
                    const std::vector<CellId>& daughters);

}  // namespace tessaly

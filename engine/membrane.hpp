// membrane: H = Σ over sites s of anchored-type cells of k·max(d(s) − band, 0)²,
// d the L1 distance (no wrap) to the nearest anchor; gain = (k·e)·e, likewise the loss.
#pragma once

#include "bytes.hpp"
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lattice.hpp"

namespace tessaly {

struct World;

struct MembraneTerm {
    std::vector<float> distance;          // per site, steps to the nearest anchor; empty = no anchors
    std::vector<std::uint8_t> anchored;   // per type: held near the anchors
    double k = 0.0;                       // stiffness
    double band = 0.0;                    // penalty-free band, lattice steps
    bool on = false;                      // distances present and some type anchored
};

// Recomputes `on` from the rest of the record.
void refresh(MembraneTerm& term);

// Its section of a checkpoint: nothing while the record holds its defaults;
// read checks what it takes against the world it is read into.
void write(ByteWriter& out, const MembraneTerm& term);
void read(ByteReader& in, MembraneTerm& term, const World& w);

std::vector<float> build_distance_field(std::array<std::size_t, 3> dims, const std::vector<std::size_t>& anchors);
void set_membrane(World& w, const std::vector<std::size_t>& anchors, double k, double band);
void set_membrane_anchored(World& w, CellType cell_type, bool on);
double delta_membrane(const World& w, std::size_t target, CellId n);

}  // namespace tessaly

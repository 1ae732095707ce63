// junction: H = λJ · #(medium site, axis) pinched between two different
// junction-forming cells; no wrap, outer layers never pinched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bytes.hpp"
#include "lattice.hpp"

namespace tessaly {

struct World;

struct JunctionTerm {
    std::vector<std::uint8_t> forming;  // per type: forms junctions
    double lambda = 0.0;                // λJ
    bool on = false;                    // λJ > 0 and some type forming
};

// Recomputes `on` from the rest of the record.
void refresh(JunctionTerm& term);

// Its section of a checkpoint: nothing while the record holds its defaults;
// read checks what it takes against the world it is read into.
void write(ByteWriter& out, const JunctionTerm& term);
void read(ByteReader& in, JunctionTerm& term, const World& w);

void set_junction(World& w, CellType cell_type, bool on);
void set_junction_lambda(World& w, double lambda);

// Axes along which `site` is pinched, with `target` taken to hold `id`.
unsigned pinch_at(const World& w, std::size_t site, std::size_t target, CellId id);
double delta_junction(const World& w, std::size_t target, CellId n);

}  // namespace tessaly

// external potential: H = −Σ over sites of F(type)·(x, y, z), raw coordinates;
// ΔH = ((fx_old − fx_new)·x + (fy_old − fy_new)·y) + (fz_old − fz_new)·z
#pragma once

#include "bytes.hpp"
#include <cstddef>
#include <vector>

#include "lattice.hpp"

namespace tessaly {

struct World;

struct Force {
    double fx, fy, fz;
};

struct ExternalTerm {
    std::vector<Force> force;  // per type, constant force
    bool on = false;           // some component ≠ 0 (NaN counts)
};

// Recomputes `on` from the forces.
void refresh(ExternalTerm& term);

// Its section of a checkpoint: nothing while the record holds its defaults;
// read checks what it takes against the world it is read into.
void write(ByteWriter& out, const ExternalTerm& term);
void read(ByteReader& in, ExternalTerm& term, const World& w);

void set_external_potential(World& w, CellType cell_type, double fx, double fy, double fz);
double delta_external(const World& w, std::size_t target, CellId n);

}  // namespace tessaly

// chemotaxis: ΔH = −Σ_fields λ(t)·(g(target) − g(source)), t the extending cell's type;
//          g = c (plain) or xⁿ/(Kⁿ + xⁿ), x = max(c·s, 0) (occupancy, K > 0)
#pragma once

#include <cstddef>
#include <vector>

#include "bytes.hpp"
#include "lattice.hpp"

namespace tessaly {

struct World;

// The response of each type to one field; every list covers the types
// present when the field was added, and grows with the setters.
struct FieldChemotaxis {
    std::vector<double> lambda;  // per type, chemotactic strength
    std::vector<double> kd;      // per type, half-saturation K (> 0: occupancy form)
    std::vector<double> hill;    // per type, Hill exponent
    std::vector<double> scale;   // per type, concentration multiplier
};

struct ChemotaxisTerm {
    std::vector<FieldChemotaxis> fields;  // by field index, one per field of the world
    bool on = false;                      // some field has some λ ≠ 0 (NaN counts)
};

// Recomputes `on` from the strengths.
void refresh(ChemotaxisTerm& term);

// Its section of a checkpoint: nothing while the record holds its defaults;
// read checks what it takes against the world it is read into.
void write(ByteWriter& out, const ChemotaxisTerm& term);
void read(ByteReader& in, ChemotaxisTerm& term, const World& w);

// Adds the (all zero) response to a new field, covering n_types types.
void add_field_response(ChemotaxisTerm& term, std::size_t n_types);

void set_chemotaxis(World& w, std::size_t field_idx, CellType cell_type, double lambda);
void set_chemotaxis_occupancy(World& w, std::size_t field_idx, CellType cell_type, double lambda, double kd,
                              double hill, double scale);

// Chemotactic energy change of copying the id of `source` (new id n) into `target`.
double delta_chemotaxis(const World& w, std::size_t target, std::size_t source, CellId n);

}  // namespace tessaly

// Diffusing fields with decay and secretion (the chemotaxis term that reads
// them lives in chemotaxis.hpp).
//
// diffusion (one Jacobi step): v = (lap·d − decay·c)·dt + c, lap = Σ_faces (c_j − c)
//          accumulated in single precision in face order; stored max(v, 0), NaN as 0.
//          Past a closed face c_j is absent (no flux) or, with a boundary value b,
//          single(b) (a fixed concentration outside the box)
// secretion (once per advance, after the substeps): conc = single(dt·r·scale) + conc
// uptake (after secretion), in double from the stored c > 0, per site of a cell whose
//          type takes up: q = dt·(max_rate·s), r = q (km = 0) or q·c/(km + c),
//          conc = single(c − min(c, r)); nothing where q or c is not > 0
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "lattice.hpp"

namespace tessaly {

struct World;

// Polled between long stretches of work (Monte Carlo steps, diffusion
// substeps); returning true stops the run there, keeping what is done. The
// binding uses it for Ctrl-C.
using InterruptPoll = bool (*)();

// The uptake of one cell type from a field.
struct Uptake {
    double max_rate = 0.0;  // largest amount per site and unit time; 0: none
    double km = 0.0;        // half-saturation concentration; 0: zero order
    std::string scale_by;   // cell attribute multiplying max_rate per cell; empty: 1
};

struct Field {
    std::string name;                                  // as given; kept by checkpoints
    std::vector<float> conc;                           // concentration per site
    std::vector<double> secretion_rate;                // per type, per site and unit time
    std::unordered_map<CellId, double> secretion_scale;  // per cell, secretion multiplier
    double d = 0.0;                                    // diffusion coefficient
    double decay = 0.0;                                // decay rate
    double dt = 1.0;                                   // time step of diffusion and secretion
    std::uint32_t substeps = 1;                        // diffusion steps per advance, never 0
    std::vector<Uptake> uptake;                        // per type; empty where none is set
    std::optional<double> boundary;                    // concentration past the closed faces; none: no flux
    std::vector<float> scratch;                        // three planes of old values for diffuse_step, kept between steps

    Field(std::string name, std::size_t n_sites, std::size_t n_types, double d, double decay);
};

std::size_t add_field(World& w, std::string name, double d, double decay);
void set_field_dynamics(World& w, std::size_t field_idx, double dt, std::uint32_t substeps);
void set_secretion(World& w, std::size_t field_idx, CellType cell_type, double rate);
void set_cell_secretion_scale(World& w, std::size_t field_idx, CellId cell_id, double scale);
// Replaces the uptake of `cell_type`; max_rate and km are >= 0 (not NaN) and
// scale_by, when not empty, names a cell attribute (checked, naming it).
void set_uptake(World& w, std::size_t field_idx, CellType cell_type, double max_rate, double km,
                const std::string& scale_by);
// A fixed concentration (finite, >= 0) past the field's closed faces, or none.
void set_field_boundary(World& w, std::size_t field_idx, std::optional<double> value);

// A batch: the field and every id (registered) checked, one scale per id,
// then all set at once; a refused batch changes nothing.
void set_cell_secretion_scales(World& w, std::size_t field_idx, const std::vector<CellId>& ids,
                               const std::vector<double>& scales);

// Every record's secretion multiplier in the field, indexed by id: its
// scale, or 1 where none was set (the same product: r·1 = r).
void secretion_scales(const World& w, std::size_t field_idx, std::vector<double>& out);

// One diffusion step of one field, in place; `scratch` (resized as needed) keeps three planes of old values.
void diffuse_step(Field& field, const Lattice& lattice, std::vector<float>& scratch);

// One advance of every field: diffusion substeps, then one secretion pass,
// then one uptake pass.
// `poll` is asked between substeps; when it stops the advance, the rest of
// it (secretion included) is skipped and false is returned.
bool advance_fields(World& w, InterruptPoll poll = nullptr);

const Field& field_at(const World& w, std::size_t field_idx);  // checked
float field_value_at(const World& w, std::size_t field_idx, std::size_t x, std::size_t y, std::size_t z);
void field_add_source_at(World& w, std::size_t field_idx, std::size_t x, std::size_t y, std::size_t z,
                         double amount);
double field_mean_at_cell(const World& w, std::size_t field_idx, CellId cell_id);

// The mean concentration over each record's sites, by id (`out` as long as
// the registry), NaN for a record without sites: per id, the sites' values
// as doubles summed in site order, divided by their count, the same
// operations as field_mean_at_cell. Fails when a site holds an id with no record.
void field_means(const World& w, std::size_t field_idx, std::vector<double>& out);

}  // namespace tessaly

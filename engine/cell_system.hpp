// The cells' own dynamics, run after the fields every Monte Carlo step, in
// this order: the systems of equations (in order of addition), the rules
// (in order of addition, each line for every cell before the next line),
// then the division rule. Each is text in the expression language
// (expression.hpp), kept as given for checkpoints and compiled once.
//
// system:   one NAME' = EXPR per line, NAME a cell attribute; each cell of its
//           types that owns a site advances by dt in `substeps` classical RK4
//           steps of h = dt / substeps, with h2 = h / 2 and h6 = h / 6:
//             k1 = f(y), k2 = f(y + h2·k1), k3 = f(y + h2·k2), k4 = f(y + h·k3)
//             y ← y + h6·(((k1 + 2·k2) + 2·k3) + k4)
//           what a cell reads of its neighbours and the fields, and every
//           attribute without an equation in the system, is read once at the
//           start of the step and held over it
// rule:     one NAME = EXPR per line, NAME an attribute or target_volume,
//           lambda_volume, target_surface, lambda_surface, cell_type; the
//           cells are those of its types owning a site when the rule starts;
//           a cell_type value is rounded (half away from zero) and one
//           outside 0–65535 (or NaN) leaves the type as it is
// division: every cell of its types owning a site whose condition is not 0
//           (NaN counts as true, as in if()) divides, in id order, as
//           divide_cell does; the random orientation draws from the rule's
//           own stream, seeded by the run's seed
// Blank lines and comments (from # to the end of the line) are allowed everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "expression.hpp"
#include "lattice.hpp"
#include "mitosis.hpp"
#include "neighbors.hpp"
#include "rng.hpp"

namespace tessaly {

struct World;
struct ByteWriter;
struct ByteReader;

// The cells a system, rule or condition applies to: every type but the
// medium's (0), or the types listed.
struct CellSelection {
    bool all_but_medium = true;
    std::vector<CellType> types;  // ascending, without repeats, when not all_but_medium
};

inline constexpr std::size_t NOT_STATE = static_cast<std::size_t>(-1);

struct CellSystem {
    std::string text;                 // as given
    Params params;                    // as given
    CellSelection cells;
    double dt = 1.0;                  // time advanced per Monte Carlo step
    std::uint32_t substeps = 1;       // RK4 steps per Monte Carlo step, at least 1
    Program program;                  // the derivatives, in line order
    std::vector<std::size_t> state;   // the attribute of each equation, in line order
    std::vector<std::size_t> state_of_input;  // per input register: the equation of the attribute it reads, or NOT_STATE
};

enum class RuleTarget : std::uint8_t { attribute, target_volume, lambda_volume, target_surface, lambda_surface, cell_type };

struct RuleLine {
    RuleTarget target;
    std::size_t attribute = 0;  // of RuleTarget::attribute
    Program program;            // one result
};

struct CellRule {
    std::string text;  // as given
    Params params;     // as given
    CellSelection cells;
    std::vector<RuleLine> lines;  // in order
};

struct DivisionRule {
    bool on = false;
    std::string text;  // as given
    Params params;     // as given
    CellSelection cells;
    DivisionAxis orientation = DivisionAxis::major;  // major, minor or random
    Program program;   // one result
};

// Buffers reused from step to step, and what is read once per Monte Carlo
// step (the graph, the fields' means).
struct CellScratch {
    std::vector<CellId> ids;                       // the cells of one pass
    std::vector<double> registers;                 // n_registers × block_size
    std::vector<double> y, stage, k, sum;          // equations × block_size each
    std::vector<std::vector<double>> columns;      // per input register: a column by id (neighbours, fields)
    NeighborGraph graph;
    std::uint64_t graph_step = UINT64_MAX;         // mcs the graph was made at
    std::vector<std::vector<double>> field_means;  // per field, by id
    std::vector<std::uint64_t> means_step;         // per field: mcs the means were made at
    std::vector<CellId> dividing;                  // the cells the division rule cuts, in id order
    std::vector<CellId> rule_ids;                  // the cells of the rule being run
    std::vector<const double*> from;               // per input register: its column by id, or null
};

struct CellPrograms {
    std::vector<CellSystem> systems;  // in order of addition
    std::vector<CellRule> rules;      // in order of addition
    DivisionRule division;
    std::uint64_t mcs = 0;            // Monte Carlo steps run, counted by end_of_step
    Rng rng = seed_from_u64(0);       // the division rule's random orientations
    bool registry_changed = false;    // a division or a type rule changed the registry: the sweeps refresh their copies
    CellScratch scratch;
};

// Each parses and compiles `text` against the world's attributes and fields
// as they stand; an ExpressionError leaves everything as it was. Returns
// the system's or rule's index.
std::size_t add_cell_system(World& w, const std::string& text, const Params& params, const CellSelection& cells,
                            double dt, std::uint32_t substeps);
std::size_t add_cell_rule(World& w, const std::string& text, const Params& params, const CellSelection& cells);
// No text clears the rule. The orientation is major, minor or random.
void set_division_rule(World& w, const std::optional<std::string>& text, const Params& params,
                       const CellSelection& cells, DivisionAxis orientation);

// The rule's stream for a run of this seed.
void seed_cell_programs(CellPrograms& programs, std::uint64_t seed);

// The three passes of end_of_step.
void run_cell_systems(World& w);
void run_cell_rules(World& w);
void run_division_rule(World& w);

// Checkpoints: the texts, parameters and settings (nothing while the record
// is as a new world has it); read compiles them again against the world.
void write(ByteWriter& out, const CellPrograms& programs);
void read(ByteReader& in, CellPrograms& programs, World& w);

}  // namespace tessaly

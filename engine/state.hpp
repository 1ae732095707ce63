// Cells with state: named per-cell attributes, one column of doubles each,
// indexed by cell id (the medium's row included, so a column has as many
// rows as the registry). add_cell appends a row to every column at its
// default; a division applies each column's rule:
//   copy:  both cells keep the parent's value
//   split: each cell gets the value times its share of the parent's sites
//   reset: both cells get the default
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lattice.hpp"

namespace tessaly {

struct World;
struct ByteWriter;
struct ByteReader;

enum class OnDivide : std::uint8_t { copy, split, reset };

struct Attribute {
    std::string name;             // a Python identifier, unique among the attributes
    double default_value = 0.0;   // the value of a new cell, and of both cells under reset
    OnDivide on_divide = OnDivide::copy;
    std::vector<double> values;   // per cell id; as long as the registry
};

struct CellState {
    std::vector<Attribute> attributes;  // in order of addition
};

inline constexpr std::size_t NO_ATTRIBUTE = static_cast<std::size_t>(-1);

// Adds a column holding `default_value` for every registered cell; returns
// its index. The caller has checked the name.
std::size_t add_cell_attribute(World& w, std::string name, double default_value, OnDivide on_divide);

// The index of the attribute called `name`, or NO_ATTRIBUTE.
std::size_t find_attribute(const CellState& state, std::string_view name);

// A new row at the default in every column (add_cell calls it).
void add_state_row(CellState& state);

// The rules of every column for one division: the parent had
// parent_sites + daughter_sites sites and keeps parent_sites.
void divide_state(CellState& state, CellId parent, CellId daughter, std::int64_t parent_sites,
                  std::int64_t daughter_sites);

// Writes the attribute's rows: every row from `values` (one per row, or one
// for all), or, with ids, the rows of those ids (values one per id, or one
// for all; a repeated id takes its last value). Sizes and ids are checked
// before anything changes.
void set_attribute(World& w, std::size_t attribute, const std::vector<double>& values);
void set_attribute(World& w, std::size_t attribute, const std::vector<CellId>& ids, const std::vector<double>& values);

// Its section of a checkpoint: nothing while there is no attribute; read
// checks what it takes against the world it is read into (every column as
// long as the registry, names non-empty and distinct, known rules).
void write(ByteWriter& out, const CellState& state);
void read(ByteReader& in, CellState& state, const World& w);

}  // namespace tessaly

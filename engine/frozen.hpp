// Frozen cells: a copy into or out of a site of a frozen cell is never
// accepted; the sweeps test it before pricing. MEDIUM cannot be frozen.
#pragma once

#include <cstdint>
#include <vector>

#include "bytes.hpp"
#include "lattice.hpp"

namespace tessaly {

struct World;

struct FrozenCells {
    std::vector<std::uint8_t> cell;  // per cell id: frozen; ids beyond the list are not
    bool on = false;                 // some cell is frozen
};

// Recomputes `on` from the flags.
void refresh(FrozenCells& term);

// Its section of a checkpoint: nothing while the record holds its defaults;
// read checks what it takes against the world it is read into.
void write(ByteWriter& out, const FrozenCells& term);
void read(ByteReader& in, FrozenCells& term, const World& w);

void set_cell_frozen(World& w, CellId id, bool frozen);

// A batch: every id registered and none the medium, one flag per id, then
// all set at once; a refused batch changes nothing.
void set_cells_frozen(World& w, const std::vector<CellId>& ids, const std::vector<std::uint8_t>& frozen);

inline bool is_frozen(const FrozenCells& term, CellId id) { return id < term.cell.size() && term.cell[id] != 0; }

// Whether a copy between cells a and b is refused.
inline bool frozen_blocks(const FrozenCells& term, CellId a, CellId b) {
    return is_frozen(term, a) || is_frozen(term, b);
}

}  // namespace tessaly

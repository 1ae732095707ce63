// Frozen cells: a copy into or out of a site of a frozen cell is never
// accepted; the sweeps test it before pricing. MEDIUM cannot be frozen.
#pragma once

#include <cstdint>
#include <vector>

#include "lattice.hpp"

namespace tessaly {

struct Frozen {
    std::vector<std::uint8_t> cell;  // per cell id: frozen; ids beyond the list are not
    bool on = false;                 // some cell is frozen
};

inline void set_frozen(Frozen& f, CellId id, bool frozen) {
    if (id >= f.cell.size()) {
        if (!frozen) return;
        f.cell.resize(std::size_t{id} + 1, 0);
    }
    f.cell[id] = frozen;
    f.on = false;
    for (const std::uint8_t c : f.cell) f.on = f.on || c != 0;
}

inline bool is_frozen(const Frozen& f, CellId id) { return id < f.cell.size() && f.cell[id] != 0; }

// Whether a copy between cells a and b is refused.
inline bool frozen_blocks(const Frozen& f, CellId a, CellId b) { return is_frozen(f, a) || is_frozen(f, b); }

}  // namespace tessaly

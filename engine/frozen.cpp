#include "frozen.hpp"

#include "world.hpp"

namespace tessaly {

void refresh(FrozenCells& term) {
    term.on = false;
    for (const std::uint8_t c : term.cell) term.on = term.on || c != 0;
}

void set_cell_frozen(World& w, CellId id, bool frozen) {
    FrozenCells& term = w.terms.frozen;
    if (id >= term.cell.size()) {
        if (!frozen) return;
        term.cell.resize(std::size_t{id} + 1, 0);
    }
    term.cell[id] = frozen;
    refresh_terms(w);
}

}  // namespace tessaly

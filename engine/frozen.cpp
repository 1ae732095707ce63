#include "frozen.hpp"

#include <algorithm>
#include <string>

#include "error.hpp"
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

void set_cells_frozen(World& w, const std::vector<CellId>& ids, const std::vector<std::uint8_t>& frozen) {
    check_registered(w, ids);
    if (frozen.size() != ids.size()) fail("set_cells_frozen: not one flag per id");
    std::size_t needed = 0;  // the list grows only to cover cells being frozen, as one call at a time grows it
    for (std::size_t k = 0; k < ids.size(); ++k) {
        if (ids[k] == MEDIUM) fail("the medium cannot be frozen");
        if (frozen[k] != 0) needed = std::max(needed, std::size_t{ids[k]} + 1);
    }
    FrozenCells& term = w.terms.frozen;
    if (needed > term.cell.size()) term.cell.resize(needed, 0);
    for (std::size_t k = 0; k < ids.size(); ++k)
        if (ids[k] < term.cell.size()) term.cell[ids[k]] = frozen[k] != 0;
    refresh_terms(w);
}

// ---- checkpoint ----

void write(ByteWriter& out, const FrozenCells& term) {
    if (term.cell.empty()) return;
    out.u8s(term.cell);
}

void read(ByteReader& in, FrozenCells& term, const World& w) {
    term.cell = in.u8s();
    if (term.cell.size() > w.cells.size()) damaged("frozen flags beyond the registry");
    for (const std::uint8_t f : term.cell)
        if (f > 1) damaged("a flag holds " + std::to_string(f));
}

}  // namespace tessaly

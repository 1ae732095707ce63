#include "frozen.hpp"

#include <string>

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

// The neighbour graph: building the rows from the lattice, and the
// compressed rows read out from them.
#include "neighbors.hpp"

#include <utility>

#include "error.hpp"
#include "world.hpp"

namespace tessaly {

namespace {

// Every pair from the larger id's side: each site of a record other than
// the medium counts its neighbours held by smaller ids.
void build_rows(const World& w, std::vector<ContactRow>& rows) {
    const std::size_t n_cells = w.cells.size();
    rows.clear();
    rows.resize(n_cells);
    NeighborTracking t;
    t.rows.swap(rows);
    const std::vector<CellId>& sites = w.lattice.sites;
    SiteList nb;
    for (std::size_t s = 0; s < sites.size(); ++s) {
        const CellId a = sites[s];
        if (a == MEDIUM) continue;
        if (a >= n_cells) fail("a site holds a cell id with no record");
        neighbors_into(w.lattice, s, nb);
        for (const std::size_t j : nb) {
            const CellId b = sites[j];
            if (b < a) change_contact(t, a, b, 1);
        }
    }
    t.rows.swap(rows);
}

// Compressed rows from rows of smaller partners: a row holds its own
// (smaller) partners, sorted, then the larger ids that list it, which come
// in ascending order when the owners are walked in ascending order.
void compress(const std::vector<ContactRow>& rows, NeighborGraph& out) {
    const std::size_t n = rows.size();
    std::vector<std::size_t>& offsets = out.offsets;
    offsets.assign(n + 1, 0);
    // the larger partners of each row, counted at offsets[r + 1]
    for (const ContactRow& row : rows)
        for (const Contact& c : row) ++offsets[std::size_t{c.partner} + 1];
    // offsets[r + 1] becomes the first place of row r's larger partners
    std::size_t start = 0;
    for (std::size_t r = 0; r < n; ++r) {
        const std::size_t larger = offsets[r + 1];
        offsets[r + 1] = start + rows[r].size();
        start += rows[r].size() + larger;
    }
    out.partner.resize(start);
    out.area.resize(start);
    // larger partners, owners ascending; each cursor ends at the next row's start
    for (std::size_t b = 0; b < n; ++b)
        for (const Contact& c : rows[b]) {
            const std::size_t p = offsets[std::size_t{c.partner} + 1]++;
            out.partner[p] = static_cast<CellId>(b);
            out.area[p] = c.area;
        }
    // own partners first in each row, sorted by insertion (rows are short)
    for (std::size_t r = 0; r < n; ++r) {
        const std::size_t first = offsets[r];
        std::size_t end = first;
        for (const Contact& c : rows[r]) {
            std::size_t k = end++;
            while (k > first && out.partner[k - 1] > c.partner) {
                out.partner[k] = out.partner[k - 1];
                out.area[k] = out.area[k - 1];
                --k;
            }
            out.partner[k] = c.partner;
            out.area[k] = c.area;
        }
    }
}

}  // namespace

void track_neighbors(World& w) {
    if (w.neighbors.on) return;
    std::vector<ContactRow> rows;
    build_rows(w, rows);
    w.neighbors.rows.swap(rows);
    w.neighbors.on = true;
}

void rebuild_neighbors(World& w) {
    if (!w.neighbors.on) return;
    w.neighbors.on = false;
    track_neighbors(w);
}

void neighbor_graph(const World& w, NeighborGraph& out) {
    if (!w.neighbors.on) {
        std::vector<ContactRow> rows;
        build_rows(w, rows);
        compress(rows, out);
        return;
    }
    if (w.neighbors.rows.size() != w.cells.size()) fail("the neighbour rows do not cover the registry");
    compress(w.neighbors.rows, out);
}

}  // namespace tessaly

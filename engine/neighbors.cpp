// The neighbour graph: building the rows from the lattice, and the
// compressed rows read out from them.
#include "neighbors.hpp"

#include <utility>

#include "error.hpp"
#include "world.hpp"

namespace tessaly {

void change_contact_rest(NeighborTracking& t, ContactRow& row, CellId partner, std::int64_t delta, std::uint32_t at) {
    constexpr std::uint32_t cap = ContactRow::capacity;
    std::vector<Contact>* more = row.spill ? &t.spill[row.spill - 1] : nullptr;
    if (at == cap && more) {
        // among the spilled entries
        for (std::size_t k = 0; k < more->size(); ++k) {
            Contact& c = (*more)[k];
            if (c.partner != partner) continue;
            c.area += delta;
            if (c.area == 0) {
                c = more->back();
                more->pop_back();
                --row.size;
            }
            return;
        }
    }
    if (at == cap) {
        // a new pair: in place while there is room, else spilled
        if (row.size < cap) {
            row.partner[row.size] = partner;
            row.area[row.size] = delta;
        } else {
            if (!more) {
                t.spill.emplace_back();
                row.spill = static_cast<std::uint32_t>(t.spill.size());
                more = &t.spill.back();
            }
            more->push_back({partner, delta});
        }
        ++row.size;
        return;
    }
    // inline entry `at` reached 0: the last entry takes its place
    const std::uint32_t last = row.size - 1;
    if (last < cap) {
        row.partner[at] = row.partner[last];
        row.area[at] = row.area[last];
    } else {
        row.partner[at] = more->back().partner;
        row.area[at] = more->back().area;
        more->pop_back();
    }
    row.size = last;
}

namespace {

// Calls f(partner, area) for each of a row's entries, in place then spilled.
template <typename F>
void for_each_contact(const NeighborTracking& t, const ContactRow& row, F&& f) {
    const std::uint32_t held = row.size < ContactRow::capacity ? row.size : ContactRow::capacity;
    for (std::uint32_t k = 0; k < held; ++k) f(row.partner[k], row.area[k]);
    if (row.size > held)
        for (const Contact& c : t.spill[row.spill - 1]) f(c.partner, c.area);
}

// Every pair from the larger id's side: each site of a record other than
// the medium counts its neighbours held by smaller ids.
void build_rows(const World& w, NeighborTracking& t) {
    const std::size_t n_cells = w.cells.size();
    t.rows.assign(n_cells, ContactRow{});
    t.spill.clear();
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
}

// Compressed rows from rows of smaller partners: a row holds its own
// (smaller) partners, sorted, then the larger ids that list it, which come
// in ascending order when the owners are walked in ascending order.
void compress(const NeighborTracking& t, NeighborGraph& out) {
    const std::vector<ContactRow>& rows = t.rows;
    const std::size_t n = rows.size();
    std::vector<std::size_t>& offsets = out.offsets;
    offsets.assign(n + 1, 0);
    // the larger partners of each row, counted at offsets[r + 1]
    for (const ContactRow& row : rows)
        for_each_contact(t, row, [&](CellId p, std::int64_t) { ++offsets[std::size_t{p} + 1]; });
    // offsets[r + 1] becomes the first place of row r's larger partners
    std::size_t start = 0;
    for (std::size_t r = 0; r < n; ++r) {
        const std::size_t larger = offsets[r + 1];
        offsets[r + 1] = start + rows[r].size;
        start += rows[r].size + larger;
    }
    out.partner.resize(start);
    out.area.resize(start);
    // larger partners, owners ascending; each cursor ends at the next row's start
    for (std::size_t b = 0; b < n; ++b)
        for_each_contact(t, rows[b], [&](CellId p, std::int64_t area) {
            const std::size_t at = offsets[std::size_t{p} + 1]++;
            out.partner[at] = static_cast<CellId>(b);
            out.area[at] = area;
        });
    // own partners first in each row, sorted by insertion (rows are short)
    for (std::size_t r = 0; r < n; ++r) {
        const std::size_t first = offsets[r];
        std::size_t end = first;
        for_each_contact(t, rows[r], [&](CellId p, std::int64_t area) {
            std::size_t k = end++;
            while (k > first && out.partner[k - 1] > p) {
                out.partner[k] = out.partner[k - 1];
                out.area[k] = out.area[k - 1];
                --k;
            }
            out.partner[k] = p;
            out.area[k] = area;
        });
    }
}

// Pairs from rows of smaller partners, counted out by the smaller id; the
// owners are walked in ascending order, so each smaller id's pairs come out
// sorted by the larger.
void list_pairs(const NeighborTracking& t, NeighborPairs& out) {
    const std::vector<ContactRow>& rows = t.rows;
    std::vector<std::size_t>& starts = out.starts;
    starts.assign(rows.size() + 1, 0);
    for (const ContactRow& row : rows)
        for_each_contact(t, row, [&](CellId p, std::int64_t) { ++starts[std::size_t{p} + 1]; });
    for (std::size_t r = 0; r < rows.size(); ++r) starts[r + 1] += starts[r];
    const std::size_t n = starts[rows.size()];
    out.a.resize(n);
    out.b.resize(n);
    out.area.resize(n);
    for (std::size_t b = 0; b < rows.size(); ++b)
        for_each_contact(t, rows[b], [&](CellId p, std::int64_t area) {
            const std::size_t at = starts[p]++;
            out.a[at] = p;
            out.b[at] = static_cast<CellId>(b);
            out.area[at] = area;
        });
}

}  // namespace

void track_neighbors(World& w) {
    if (w.neighbors.on) return;
    NeighborTracking t;
    build_rows(w, t);
    w.neighbors.rows.swap(t.rows);
    w.neighbors.spill.swap(t.spill);
    w.neighbors.on = true;
}

void rebuild_neighbors(World& w) {
    if (!w.neighbors.on) return;
    w.neighbors.on = false;
    track_neighbors(w);
}

namespace {

// `read` of the kept rows, or of rows counted from the sites while nothing keeps them.
template <typename Read>
void read_rows(const World& w, Read read) {
    if (!w.neighbors.on) {
        NeighborTracking t;
        build_rows(w, t);
        read(t);
        return;
    }
    if (w.neighbors.rows.size() != w.cells.size()) fail("the neighbour rows do not cover the registry");
    read(w.neighbors);
}

}  // namespace

void neighbor_graph(const World& w, NeighborGraph& out) {
    read_rows(w, [&](const NeighborTracking& rows) { compress(rows, out); });
}

void neighbor_pairs(const World& w, NeighborPairs& out) {
    read_rows(w, [&](const NeighborTracking& rows) { list_pairs(rows, out); });
}

}  // namespace tessaly

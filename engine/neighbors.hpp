// The neighbour graph: which records touch, and over how much contact.
//
// area(a, b) = #{(s, t) : s a site of a, t a configured neighbour of s
//               (with multiplicity), t a site of b},  a ≠ b
// the same count contact_area_by_type makes, so that summing a record's
// areas by its partners' types gives that read-out exactly. The
// neighbourhood is symmetric (t is a neighbour of s as often as s is of t),
// so area(a, b) = area(b, a): a pair has one number, not twice it.
//
// Kept while on (track_neighbors) by every accepted copy of both sweeps and
// by apply_flip, and rebuilt by recompute_trackers; paint and the label
// seeding drop it. Each pair is stored once, in the row of its larger id
// (the medium, 0, never owns a row entry), so a copy touches short rows.
// A copy of site i from o to n, with k_c neighbours of i held by id c
// (i itself skipped):
//   area(o, c) −= k_c and area(n, c) += k_c for every c ∉ {o, n};
//   area(o, n) += k_o − k_n.
// Every area is an integer, so the order of the updates changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lattice.hpp"
#include "small_vector.hpp"

namespace tessaly {

struct World;

// What neighbor_graph returns: compressed rows, one per registered id.
struct NeighborGraph {
    std::vector<std::size_t> offsets;  // cells.size() + 1 entries; row r is [offsets[r], offsets[r + 1])
    std::vector<CellId> partner;       // ascending within a row
    std::vector<std::int64_t> area;    // shared contact, in the units of contact_area_by_type
};

// One pair as its larger id stores it.
struct Contact {
    CellId partner;     // the smaller id
    std::int64_t area;  // > 0 while stored
};

using ContactRow = SmallVec<Contact, 6>;

// The maintained graph: off until something reads it in a loop.
struct NeighborTracking {
    bool on = false;               // copies keep `rows` exact
    std::vector<ContactRow> rows;  // per id (as long as the registry while on): its smaller partners, unordered
};

// One change to a pair's area, as a tile records it for the merge.
struct ContactChange {
    CellId a, b;
    std::int64_t delta;
};

// Switches tracking on, building the rows from the lattice in one pass
// (a no-op while on). Fails, leaving it off, when a site holds an id with
// no record.
void track_neighbors(World& w);

// Rebuilds the rows while on (after the sites changed wholesale).
void rebuild_neighbors(World& w);

// The graph, symmetric: from the kept rows in O(cells + pairs) while on,
// from the lattice in one pass otherwise. Reuses `out`'s storage.
void neighbor_graph(const World& w, NeighborGraph& out);

// Adds `delta` to area(a, b), a ≠ b; a pair whose area reaches 0 is dropped.
inline void change_contact(NeighborTracking& t, CellId a, CellId b, std::int64_t delta) {
    const CellId owner = a > b ? a : b, partner = a > b ? b : a;
    ContactRow& row = t.rows[owner];
    Contact* p = row.data();
    const std::size_t n = row.size();
    for (std::size_t k = 0; k < n; ++k) {
        if (p[k].partner != partner) continue;
        p[k].area += delta;
        if (p[k].area == 0) {
            p[k] = p[n - 1];
            row.truncate(n - 1);
        }
        return;
    }
    row.push_back({partner, delta});
}

// The pair changes of copying id n over site i, held by o (o ≠ n), with
// the target's neighbour list nb at hand and the sites not yet written;
// each goes to sink(a, b, delta). At most 27 distinct ids meet at a site.
template <typename Sink>
inline void contact_changes(const CellId* sites, std::size_t i, CellId o, CellId n, const SiteList& nb, Sink&& sink) {
    CellId ids[32];
    std::int64_t counts[32];
    std::size_t distinct = 0;
    std::int64_t k_o = 0, k_n = 0;
    for (const std::size_t j : nb) {
        if (j == i) continue;
        const CellId c = sites[j];
        if (c == o) {
            ++k_o;
        } else if (c == n) {
            ++k_n;
        } else {
            std::size_t k = 0;
            while (k < distinct && ids[k] != c) ++k;
            if (k == distinct) {
                ids[distinct] = c;
                counts[distinct++] = 0;
            }
            ++counts[k];
        }
    }
    for (std::size_t k = 0; k < distinct; ++k) {
        sink(o, ids[k], -counts[k]);
        sink(n, ids[k], counts[k]);
    }
    if (k_o != k_n) sink(o, n, k_o - k_n);
}

}  // namespace tessaly

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
// (the medium, 0, never owns a row entry), so a copy touches short rows:
// flat records of ten partners searched in one comparison, a spill list
// beyond that.
// A copy of site i from o to n, with k_c neighbours of i held by id c
// (i itself skipped):
//   area(o, c) −= k_c and area(n, c) += k_c for every c ∉ {o, n};
//   area(o, n) += k_o − k_n.
// Every area is an integer, so the order of the updates changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "lattice.hpp"

namespace tessaly {

struct World;

// What neighbor_graph returns: compressed rows, one per registered id.
struct NeighborGraph {
    std::vector<std::size_t> offsets;  // cells.size() + 1 entries; row r is [offsets[r], offsets[r + 1])
    std::vector<CellId> partner;       // ascending within a row
    std::vector<std::int64_t> area;    // shared contact, in the units of contact_area_by_type
};

// What neighbor_pairs returns: each pair once, a < b, sorted by (a, b).
struct NeighborPairs {
    std::vector<CellId> a, b;          // the smaller id, the larger
    std::vector<std::int64_t> area;    // shared contact, in the units of contact_area_by_type
    std::vector<std::size_t> starts;   // scratch: where each smaller id's pairs begin
};

// One pair as its larger id stores it, past the row's inline entries.
struct Contact {
    CellId partner;     // the smaller id
    std::int64_t area;  // > 0 while stored
};

// One id's smaller partners, unordered: the first ten in the row itself, two
// cache lines (the partners a search compares share the first with the
// count), the rest in a spill list of the tracking's. An accepted copy
// searches the rows of its two ids, so these lines are most of its cost.
struct alignas(64) ContactRow {
    static constexpr std::uint32_t capacity = 10;
    std::uint32_t size = 0;              // partners held, inline and spilled
    std::uint32_t spill = 0;             // 1 + its list's index in NeighborTracking::spill, 0 for none
    CellId partner[capacity];            // the first min(size, capacity), in place
    std::int64_t area[capacity];         // beside them
};
static_assert(sizeof(ContactRow) == 128 && offsetof(ContactRow, area) == offsetof(ContactRow, partner) + 40,
              "a search reads the partners 16 bytes at a time, two bytes of areas past them");

// The maintained graph: off until something reads it in a loop.
struct NeighborTracking {
    bool on = false;                          // copies keep `rows` exact
    std::vector<ContactRow> rows;             // per id (as long as the registry while on)
    std::vector<std::vector<Contact>> spill;  // a row's partners beyond its capacity, unordered
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

// The pairs alone, as cell_neighbors lists them: from the kept rows in
// O(cells + pairs) while on (no row is sorted: the rows are walked by
// larger id), from the lattice in one pass otherwise. Reuses `out`'s storage.
void neighbor_pairs(const World& w, NeighborPairs& out);

// change_contact where the partner is not among the row's inline entries,
// or its area reaches 0: the spill list, an append, a removal.
void change_contact_rest(NeighborTracking& t, ContactRow& row, CellId partner, std::int64_t delta, std::uint32_t at);

// Bit k set: inline entry k of the row is `partner` (k < min(size, capacity)).
inline std::uint32_t inline_matches(const ContactRow& row, CellId partner) {
    std::uint32_t mask = 0;
#ifdef __SSE2__
    // twelve lanes: the ten partners and the first area's bytes, masked below
    const __m128i key = _mm_set1_epi32(static_cast<int>(partner));
    const char* p = reinterpret_cast<const char*>(row.partner);
    for (unsigned k = 0; k < 3; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        mask |= static_cast<std::uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(v, key)))) << (4 * k);
    }
#else
    for (std::uint32_t k = 0; k < ContactRow::capacity; ++k) mask |= std::uint32_t{row.partner[k] == partner} << k;
#endif
    const std::uint32_t held = row.size < ContactRow::capacity ? row.size : ContactRow::capacity;
    return mask & ((1u << held) - 1);
}

// Adds `delta` to area(a, b), a ≠ b; a pair whose area reaches 0 is dropped.
inline void change_contact(NeighborTracking& t, CellId a, CellId b, std::int64_t delta) {
    const CellId owner = a > b ? a : b, partner = a > b ? b : a;
    ContactRow& row = t.rows[owner];
    const std::uint32_t found = inline_matches(row, partner);
    if (found != 0) {
        const std::uint32_t k = static_cast<std::uint32_t>(__builtin_ctz(found));
        row.area[k] += delta;
        if (row.area[k] != 0) return;
        change_contact_rest(t, row, partner, 0, k);
        return;
    }
    change_contact_rest(t, row, partner, delta, ContactRow::capacity);
}

// Bit k set: v[k] == x, for the 4·chunks entries of v.
inline std::uint32_t equal_mask(const CellId* v, std::size_t chunks, CellId x) {
    std::uint32_t mask = 0;
#ifdef __SSE2__
    const __m128i key = _mm_set1_epi32(static_cast<int>(x));
    for (std::size_t c = 0; c < chunks; ++c) {
        const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 4 * c));
        mask |= static_cast<std::uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(lanes, key)))) << (4 * c);
    }
#else
    for (std::size_t k = 0; k < 4 * chunks; ++k) mask |= std::uint32_t{v[k] == x} << k;
#endif
    return mask;
}

// The number of bits set (without the instruction, which the build does not assume).
inline std::int64_t bits_set(std::uint32_t m) {
    m = m - ((m >> 1) & 0x55555555u);
    m = (m & 0x33333333u) + ((m >> 2) & 0x33333333u);
    m = (m + (m >> 4)) & 0x0F0F0F0Fu;
    return static_cast<std::int64_t>((m * 0x01010101u) >> 24);
}

// A copy's neighbours as the surface upkeep counts them (the site itself,
// which a small periodic box may list, skipped).
struct NeighbourCounts {
    std::int64_t total;  // neighbours other than the site
    std::int64_t of_o;   // of them, held by the losing id
    std::int64_t of_n;   // held by the gaining id
};

// The pair changes of copying id n over site i, held by o (o ≠ n), with
// the target's neighbour list nb at hand and the sites not yet written;
// each goes to sink(a, b, delta), the third ids in the order they first
// appear in nb. The neighbours' ids are read once into a row of lanes and
// compared with o, with n and with each third id in turn, a few lanes at a
// time: a branch per neighbour (at a cell's edge o and n alternate) was most
// of an accepted copy's upkeep. A list has one entry per offset, at most 26.
template <typename Sink>
inline NeighbourCounts contact_changes(const CellId* sites, std::size_t i, CellId o, CellId n, const SiteList& nb,
                                       Sink&& sink) {
    const std::size_t count = nb.size();
    NeighbourCounts k{0, 0, 0};
    if (count > 32) {
        // (no neighbourhood has this many offsets) one change per neighbour
        for (const std::size_t j : nb) {
            if (j == i) continue;
            const CellId c = sites[j];
            k.total += 1;
            k.of_o += c == o;
            k.of_n += c == n;
            if (c != o) sink(o, c, -1);
            if (c != n) sink(n, c, 1);
        }
        return k;
    }
    // the site itself holds o: it counts among o's lanes, and is taken off
    alignas(16) CellId v[32];
    std::int64_t self = 0;
    for (std::size_t q = 0; q < count; ++q) {
        const std::size_t j = nb[q];
        v[q] = sites[j];
        self += j == i;
    }
    const std::size_t chunks = (count + 3) / 4;
    for (std::size_t q = count; q < 4 * chunks; ++q) v[q] = o;
    const std::uint32_t live = count == 32 ? ~0u : (1u << count) - 1;
    const std::uint32_t of_o = equal_mask(v, chunks, o) & live, of_n = equal_mask(v, chunks, n);
    k.total = static_cast<std::int64_t>(count) - self;
    k.of_o = bits_set(of_o) - self;
    k.of_n = bits_set(of_n);
    std::uint32_t others = live & ~(of_o | of_n);
    while (others != 0) {
        const CellId c = v[__builtin_ctz(others)];
        const std::uint32_t of_c = equal_mask(v, chunks, c) & others;
        others &= ~of_c;
        const std::int64_t k_c = bits_set(of_c);
        sink(o, c, -k_c);
        sink(n, c, k_c);
    }
    if (k.of_o != k.of_n) sink(o, n, k.of_o - k.of_n);
    return k;
}

}  // namespace tessaly

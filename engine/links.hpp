// links: E = Σ over links λ·(d − L)², d = |c_a − c_b| the distance between the
// two cells' centroids, by minimum image on periodic axes; a link whose cell
// has no site has no energy.
//
// centroids: c = U / V per axis, U the cell's coordinate sum. On an axis that
// ends, U is the tracker sum Σx. On a periodic axis of length L, U = Σx +
// L·k: the sum of the coordinates unwrapped into the cell's frame, a window
// (r − L/2, r + L/2] about the cell's centroid r at the end of the last
// Monte Carlo step (x − L above it, x + L below it, as centroid.hpp unwraps
// about its reference). The integer k ("shift") is kept per cell and changed
// by ±1 by every copy whose site lies outside the window, through the place
// as the coordinate sums are; a full scan (sync_link_frames) sets it after
// anything that moves sites outside a copy, and after each step U is brought
// into [0, L·V) (k changes by a multiple of V). Everything is an integer, so
// the centroids are exact and equal those of centroid.hpp for any cell
// narrower than L/2 (up to the rounding of wrapping into [0, L)).
//
// per step (after everything else): links longer than max_length break, then
// every touching pair (a < b, in ascending order) that a formation rule names
// and that is not linked gets a link, unless one of the two already has
// max_links links to cells of the rule's type pair.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "bytes.hpp"
#include "lattice.hpp"

namespace tessaly {

struct World;

struct Link {
    CellId a, b;        // a < b, neither the medium
    double lambda;      // λ
    double length;      // L, lattice units
    double max_length;  // breaks after a step at d > max_length (inf: never)
};

struct LinkFormation {
    CellType type_a, type_b;  // type_a <= type_b
    double lambda;            // of the links it forms
    double length;
    double max_length;
    std::uint32_t max_links;  // per cell, links to cells of the pair; UINT32_MAX: no limit
};

struct LinkEnd {
    CellId partner;      // the other cell
    std::uint32_t link;  // index into LinkTerm::links
};

struct LinkTerm {
    std::vector<Link> links;                      // sorted by (a, b), one per pair
    std::vector<LinkFormation> rules;             // one per type pair, in order of setting
    std::vector<std::uint32_t> first;             // per cell + 1: cell c's ends are ends[first[c], first[c+1])
    std::vector<LinkEnd> ends;                    // both ends of every link, by cell, in link order
    std::vector<std::array<std::int64_t, 3>> shift;   // per cell: k per axis (0 on axes that end)
    std::vector<std::array<std::int64_t, 6>> window;  // per cell: lowest, highest coordinate kept per axis
    std::array<double, 3> box{};                  // L per axis, as doubles
    std::array<bool, 3> periodic{};               // per axis
    bool wraps = false;                           // on, and some axis periodic: copies change the shifts
    bool on = false;                              // some link or formation rule exists
};

inline constexpr std::uint32_t NO_LINK_LIMIT = std::numeric_limits<std::uint32_t>::max();

// Recomputes `on` (and `wraps`) from the links and rules.
void refresh(LinkTerm& term);

// Its section of a checkpoint: nothing while the record holds its defaults;
// read checks what it takes against the world it is read into.
void write(ByteWriter& out, const LinkTerm& term);
void read(ByteReader& in, LinkTerm& term, const World& w);

// Adds or replaces the link between a and b (checked: distinct registered
// cells, not the medium; λ, length and max_length >= 0).
void add_link(World& w, CellId a, CellId b, double lambda, double length, double max_length);
// Removes the link between a and b; false when there is none.
bool remove_link(World& w, CellId a, CellId b);
// Adds or replaces the formation rule of the pair (type_a, type_b).
void set_link_formation(World& w, CellType type_a, CellType type_b, double lambda, double length, double max_length,
                        std::uint32_t max_links);

// The current distance of a link (NaN when a cell has no site), and the
// term's energy.
double link_distance(const World& w, const Link& link);
double link_energy(const World& w);

// The shifts and windows of every cell from a scan of the site array (the
// trackers must be current); recompute_trackers calls it.
void sync_link_frames(const World& w, LinkTerm& term);

// After a Monte Carlo step: break, form, bring the frames up to date.
void links_step(World& w);

// After divisions (parents[k] gave sites to daughters[k]): share true hands
// each of a parent's links to whichever of the two cells is nearer the
// linked cell (the parent on a tie); false leaves them on the parent.
void links_division(World& w, const std::vector<CellId>& parents, const std::vector<CellId>& daughters, bool share);

// Removed cells lose their links.
void links_removal(World& w, const std::vector<CellId>& ids);

// The pairs of distinct cells (not the medium) in contact through the
// configured neighbourhood, a < b, ascending.
void touching_pairs(const World& w, std::vector<std::pair<CellId, CellId>>& out);

// ---- the copy attempt ----

inline bool has_links(const LinkTerm& term, CellId id) {
    return std::size_t{id} + 1 < term.first.size() && term.first[id] != term.first[id + 1];
}

// A cell's centroid as the place sees it, with the site at (x, y, z) taken
// away (dv = −1), added (dv = +1) or neither (dv = 0); `none` when the cell
// would have no site.
struct LinkPoint {
    double c[3];
    bool none;
};

// The site's coordinate unwrapped into cell id's frame, minus the coordinate:
// −L, 0 or +L, as the count −1, 0 or +1.
inline std::int64_t frame_step(const LinkTerm& term, CellId id, unsigned axis, std::int64_t x) {
    const std::array<std::int64_t, 6>& win = term.window[id];
    return x < win[2 * axis] ? 1 : x > win[2 * axis + 1] ? -1 : 0;
}

template <typename Place>
inline LinkPoint link_point(const LinkTerm& term, const Place& place, CellId id, int dv, const Coords& site) {
    const auto t = place.current(id);
    const std::int64_t v = t.volume + dv;
    LinkPoint p{{0.0, 0.0, 0.0}, v <= 0};
    if (p.none) return p;
    const auto shift = place.shift(term, id);
    const double sums[3] = {t.sum_x, t.sum_y, t.sum_z};
    const std::size_t xs[3] = {site.x, site.y, site.z};
    const double count = static_cast<double>(v);
    for (unsigned a = 0; a < 3; ++a) {
        std::int64_t k = shift[a];
        double u = sums[a];
        if (dv != 0) {
            const std::int64_t x = static_cast<std::int64_t>(xs[a]);
            const std::int64_t step = term.wraps && term.periodic[a] ? frame_step(term, id, a, x) : 0;
            // the site's own contribution, unwrapped: x + step·L
            u += dv > 0 ? static_cast<double>(x) : -static_cast<double>(x);
            k += dv > 0 ? step : -step;
        }
        if (k != 0) u += term.box[a] * static_cast<double>(k);
        p.c[a] = u / count;
    }
    return p;
}

// λ·(d − L)² of a link between centroids p and q (0 when one has none).
inline double link_energy_of(const LinkTerm& term, const Link& link, const LinkPoint& p, const LinkPoint& q) {
    if (p.none || q.none) return 0.0;
    double d2 = 0.0;
    for (unsigned a = 0; a < 3; ++a) {
        double d = p.c[a] - q.c[a];
        if (term.periodic[a]) {
            const double l = term.box[a];
            if (d > l / 2.0) d -= l;
            if (d < -l / 2.0) d += l;
        }
        d2 += d * d;
    }
    const double e = std::sqrt(d2) - link.length;
    return link.lambda * (e * e);
}

// The change over every link of the losing cell o, then over every link of
// the gaining cell n other than one to o (counted with o's), in list order.
template <typename Place>
double delta_links(const LinkTerm& term, const Lattice& lattice, const Place& place, std::size_t target, CellId o,
                   CellId n) {
    const bool o_links = o != MEDIUM && has_links(term, o);
    const bool n_links = n != MEDIUM && has_links(term, n);
    if (!o_links && !n_links) return 0.0;
    const Coords site = coords(lattice, target);
    // (a link between o and n makes both lists non-empty)
    LinkPoint o_now{}, o_after{}, n_now{}, n_after{};
    if (o_links) {
        o_now = link_point(term, place, o, 0, site);
        o_after = link_point(term, place, o, -1, site);
    }
    if (n_links) {
        n_now = link_point(term, place, n, 0, site);
        n_after = link_point(term, place, n, 1, site);
    }
    double acc = 0.0;
    if (o_links)
        for (std::uint32_t e = term.first[o]; e < term.first[o + 1]; ++e) {
            const LinkEnd& end = term.ends[e];
            const Link& link = term.links[end.link];
            if (end.partner == n) {
                acc += link_energy_of(term, link, o_after, n_after) - link_energy_of(term, link, o_now, n_now);
            } else {
                const LinkPoint q = link_point(term, place, end.partner, 0, site);
                acc += link_energy_of(term, link, o_after, q) - link_energy_of(term, link, o_now, q);
            }
        }
    if (n_links)
        for (std::uint32_t e = term.first[n]; e < term.first[n + 1]; ++e) {
            const LinkEnd& end = term.ends[e];
            if (end.partner == o) continue;
            const Link& link = term.links[end.link];
            const LinkPoint q = link_point(term, place, end.partner, 0, site);
            acc += link_energy_of(term, link, n_after, q) - link_energy_of(term, link, n_now, q);
        }
    return acc;
}

// The term's own shifts as the place of links_after_copy (apply_flip).
struct LinkShifts {
    static void shift_by(LinkTerm& term, CellId id, unsigned axis, std::int64_t d) { term.shift[id][axis] += d; }
};

// An accepted copy of the site at c from o to n: each cell's shift changes
// where the site lies outside its window (only while term.wraps).
template <typename Place>
inline void links_after_copy(LinkTerm& term, Place& place, const Coords& c, CellId o, CellId n) {
    const std::size_t xs[3] = {c.x, c.y, c.z};
    for (unsigned a = 0; a < 3; ++a) {
        if (!term.periodic[a]) continue;
        const std::int64_t x = static_cast<std::int64_t>(xs[a]);
        if (o != MEDIUM && o < term.window.size()) {
            const std::int64_t step = frame_step(term, o, a, x);
            if (step != 0) place.shift_by(term, o, a, -step);
        }
        if (n != MEDIUM && n < term.window.size()) {
            const std::int64_t step = frame_step(term, n, a, x);
            if (step != 0) place.shift_by(term, n, a, step);
        }
    }
}

}  // namespace tessaly

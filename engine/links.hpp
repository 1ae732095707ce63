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

// A cell's centroid, or `none` when it has no site.
struct LinkPoint {
    double c[3];
    bool none;
};

struct LinkTerm {
    std::vector<Link> links;                      // sorted by (a, b), one per pair
    std::vector<LinkFormation> rules;             // one per type pair, in order of setting
    std::vector<std::uint32_t> first;             // per cell + 1: cell c's ends are ends[first[c], first[c+1])
    std::vector<LinkEnd> ends;                    // both ends of every link, by cell, in link order
    std::vector<std::array<std::int64_t, 3>> shift;   // per cell: k per axis (0 on axes that end)
    std::vector<std::array<std::int64_t, 6>> window;  // per cell: lowest, highest coordinate kept per axis
    std::vector<LinkPoint> centre;                // per cell: centroid from the registry (between copies)
    std::vector<double> distance;                 // per link: d from `centre` (NaN: a cell without site)
    std::array<double, 3> box{};                  // L per axis, as doubles
    unsigned axes = 3;                            // 2 on a planar box (z is 0)
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

// Every link's distance, in link order: from the frames while the trackers
// are current (a running world), else from the centroids of a scan of the
// sites (a world being set up, whose trackers finalize computes).
std::vector<double> link_distances(const World& w, bool trackers_current);

// The shifts and windows of every cell from a scan of the site array (the
// trackers must be current); recompute_trackers calls it.
void sync_link_frames(const World& w, LinkTerm& term);

// Every cached centroid and distance from the registry.
void refresh_link_cache(const World& w, LinkTerm& term);

// apply_flip's copy of site c from o to n, trackers already moved: frames and caches.
void links_after_flip(World& w, const Coords& c, CellId o, CellId n);

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

// The site's coordinate unwrapped into cell id's frame, minus the coordinate:
// −L, 0 or +L, as the count −1, 0 or +1.
inline std::int64_t frame_step(const LinkTerm& term, CellId id, unsigned axis, std::int64_t x) {
    const std::array<std::int64_t, 6>& win = term.window[id];
    return x < win[2 * axis] ? 1 : x > win[2 * axis + 1] ? -1 : 0;
}

// Cell id's centroid as the place sees it, with the site at `site` taken
// away (dv = −1), added (dv = +1) or neither (dv = 0). Axes and Wraps are
// term.axes and term.wraps, fixed at compile time for the copy attempt.
template <unsigned Axes, bool Wraps, typename Place>
inline LinkPoint point_in(const LinkTerm& term, const Place& place, CellId id, int dv, const Coords& site) {
    const auto& t = place.current(id);
    const std::int64_t v = t.volume + dv;
    LinkPoint p{{0.0, 0.0, 0.0}, v <= 0};
    if (p.none) return p;
    const double sums[3] = {t.sum_x, t.sum_y, t.sum_z};
    const std::size_t xs[3] = {site.x, site.y, site.z};
    const double count = static_cast<double>(v);
    std::array<std::int64_t, 3> shift{};
    if constexpr (Wraps) shift = place.shift(term, id);
    for (unsigned a = 0; a < Axes; ++a) {
        std::int64_t k = shift[a];
        double u = sums[a];
        if (dv != 0) {
            const std::int64_t x = static_cast<std::int64_t>(xs[a]);
            std::int64_t step = 0;
            if constexpr (Wraps) step = term.periodic[a] ? frame_step(term, id, a, x) : 0;
            // the site's own contribution, unwrapped: x + step·L
            u += dv > 0 ? static_cast<double>(x) : -static_cast<double>(x);
            k += dv > 0 ? step : -step;
        }
        if (k != 0) u += term.box[a] * static_cast<double>(k);
        p.c[a] = u / count;
    }
    return p;
}

// d between two centroids by minimum image; symmetric to the bit. NaN when
// one has none.
template <unsigned Axes, bool Wraps>
inline double gap_in(const LinkTerm& term, const LinkPoint& p, const LinkPoint& q) {
    if (p.none || q.none) return std::numeric_limits<double>::quiet_NaN();
    double d2 = 0.0;
    for (unsigned a = 0; a < Axes; ++a) {
        double d = p.c[a] - q.c[a];
        if (Wraps && term.periodic[a]) {
            const double l = term.box[a];
            if (d > l / 2.0) d -= l;
            if (d < -l / 2.0) d += l;
        }
        d2 += d * d;
    }
    return std::sqrt(d2);
}

template <typename Place>
inline LinkPoint link_point(const LinkTerm& term, const Place& place, CellId id, int dv, const Coords& site) {
    if (term.axes == 2)
        return term.wraps ? point_in<2, true>(term, place, id, dv, site) : point_in<2, false>(term, place, id, dv, site);
    return term.wraps ? point_in<3, true>(term, place, id, dv, site) : point_in<3, false>(term, place, id, dv, site);
}

inline double link_gap(const LinkTerm& term, const LinkPoint& p, const LinkPoint& q) {
    if (term.axes == 2) return term.wraps ? gap_in<2, true>(term, p, q) : gap_in<2, false>(term, p, q);
    return term.wraps ? gap_in<3, true>(term, p, q) : gap_in<3, false>(term, p, q);
}

// λ·(d − L)² (0 for a NaN d: a cell without site).
inline double link_energy_at(const Link& link, double d) {
    if (std::isnan(d)) return 0.0;
    const double e = d - link.length;
    return link.lambda * (e * e);
}

// The change over every link of the losing cell o, then over every link of
// the gaining cell n other than one to o (counted with o's), in list order.
// What the place has not changed is read from the term's caches: in the
// registry every cell, in a tile the cells its own map does not hold.
template <unsigned Axes, bool Wraps, typename Place>
double delta_links_in(const LinkTerm& term, const Lattice& lattice, const Place& place, std::size_t target, CellId o,
                      CellId n, bool o_links, bool n_links) {
    const Coords site = coords(lattice, target);
    auto now = [&](CellId id) -> LinkPoint {
        return place.changed(id) ? point_in<Axes, Wraps>(term, place, id, 0, site) : term.centre[id];
    };
    // (a link between o and n makes both lists non-empty)
    LinkPoint o_after{}, n_after{}, o_now{}, n_now{};
    const bool o_changed = place.changed(o), n_changed = place.changed(n);
    if (o_links) {
        o_after = point_in<Axes, Wraps>(term, place, o, -1, site);
        o_now = now(o);
    }
    if (n_links) {
        n_after = point_in<Axes, Wraps>(term, place, n, 1, site);
        n_now = now(n);
    }
    double acc = 0.0;
    if (o_links)
        for (std::uint32_t e = term.first[o]; e < term.first[o + 1]; ++e) {
            const LinkEnd& end = term.ends[e];
            const Link& link = term.links[end.link];
            const CellId p = end.partner;
            const bool fresh = o_changed || place.changed(p);
            if (p == n) {
                const double before = fresh ? gap_in<Axes, Wraps>(term, o_now, n_now) : term.distance[end.link];
                acc += link_energy_at(link, gap_in<Axes, Wraps>(term, o_after, n_after)) - link_energy_at(link, before);
            } else {
                const LinkPoint q = now(p);
                const double before = fresh ? gap_in<Axes, Wraps>(term, o_now, q) : term.distance[end.link];
                acc += link_energy_at(link, gap_in<Axes, Wraps>(term, o_after, q)) - link_energy_at(link, before);
            }
        }
    if (n_links)
        for (std::uint32_t e = term.first[n]; e < term.first[n + 1]; ++e) {
            const LinkEnd& end = term.ends[e];
            if (end.partner == o) continue;
            const Link& link = term.links[end.link];
            const LinkPoint q = now(end.partner);
            const double before = n_changed || place.changed(end.partner) ? gap_in<Axes, Wraps>(term, n_now, q)
                                                                          : term.distance[end.link];
            acc += link_energy_at(link, gap_in<Axes, Wraps>(term, n_after, q)) - link_energy_at(link, before);
        }
    return acc;
}

template <typename Place>
double delta_links(const LinkTerm& term, const Lattice& lattice, const Place& place, std::size_t target, CellId o,
                   CellId n) {
    const bool o_links = o != MEDIUM && has_links(term, o);
    const bool n_links = n != MEDIUM && has_links(term, n);
    if (!o_links && !n_links) return 0.0;
    if (term.axes == 2)
        return term.wraps ? delta_links_in<2, true>(term, lattice, place, target, o, n, o_links, n_links)
                          : delta_links_in<2, false>(term, lattice, place, target, o, n, o_links, n_links);
    return term.wraps ? delta_links_in<3, true>(term, lattice, place, target, o, n, o_links, n_links)
                      : delta_links_in<3, false>(term, lattice, place, target, o, n, o_links, n_links);
}

// Cell id's cached centroid and the distances of its links, from the registry.
template <typename Place>
inline void refresh_cell_cache(LinkTerm& term, const Place& place, CellId id) {
    if (id == MEDIUM || id >= term.centre.size()) return;
    term.centre[id] = link_point(term, place, id, 0, Coords{0, 0, 0});
    if (!has_links(term, id)) return;
    for (std::uint32_t e = term.first[id]; e < term.first[id + 1]; ++e) {
        const LinkEnd& end = term.ends[e];
        term.distance[end.link] = link_gap(term, term.centre[id], term.centre[end.partner]);
    }
}

// An accepted copy of the site at c from o to n: each cell's shift changes
// where the site lies outside its window (only while term.wraps); where the
// place is the registry, the caches of o and n follow.
template <typename Place>
inline void links_after_copy(LinkTerm& term, Place& place, const Coords& c, CellId o, CellId n) {
    if (term.wraps) {
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
    if constexpr (Place::registry) {
        refresh_cell_cache(term, place, o);
        refresh_cell_cache(term, place, n);
    }
}

}  // namespace tessaly

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

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "bytes.hpp"
#include "lattice.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// One end of a link, in its cell's row of LinkTerm::ends: what pricing reads
// of the link, in one record.
struct LinkEnd {
    CellId partner;        // the other cell
    std::uint32_t mirror;  // index into LinkTerm::ends of the other end
    double lambda;         // the link's λ and L
    double length;
    double energy;         // λ·(d − L)² as the registry stands (kept by every refresh of either cell)
    double stretch;        // λ·|d − L| as the registry stands (inf: a cell without site)
};

// Per cell, what bounds the change of its links' energy under one copy
// (see link_bound), as the registry stands.
struct alignas(64) LinkReach {
    double c[3] = {0.0, 0.0, 0.0};  // the centroid (as LinkTerm::centre), so that the bound reads one line per cell
    double inv_less = INFINITY;  // 1 / (V − 1), inf for V < 2
    double inv_more = 0.0;       // 1 / (V + 1)
    double lambdas = 0.0;        // Σ λ over the cell's links
    double stretch = 0.0;        // Σ λ·|d − L|, inf where a cell has no site
    double energy = 0.0;         // Σ λ·(d − L)²
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
    std::vector<LinkReach> reach;                 // per cell: the sums of link_bound, from the registry
    double slack = 0.0;                           // link_bound's allowance for rounding: 1e-12 per lattice unit of the box
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
// The same for many links at once, with one rebuild: every link is checked
// before any changes, and of two for one pair the later wins.
void add_links(World& w, std::vector<Link> batch);
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

// d² between two centroids by minimum image; symmetric to the bit.
template <unsigned Axes, bool Wraps>
inline double gap2_in(const LinkTerm& term, const LinkPoint& p, const LinkPoint& q) {
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
    return d2;
}

#ifdef __SSE2__
// d from p to q0 (low lane) and to q1 (high lane), by minimum image: the
// same operations as gap2_in and a square root, lane by lane.
template <unsigned Axes, bool Wraps>
inline __m128d gap_pair(const LinkTerm& term, const LinkPoint& p, const LinkPoint& q0, const LinkPoint& q1) {
    __m128d d2 = _mm_setzero_pd();
    for (unsigned a = 0; a < Axes; ++a) {
        __m128d d = _mm_sub_pd(_mm_set1_pd(p.c[a]), _mm_set_pd(q1.c[a], q0.c[a]));
        if (Wraps && term.periodic[a]) {
            const double l = term.box[a];
            const __m128d box = _mm_set1_pd(l);
            d = _mm_sub_pd(d, _mm_and_pd(_mm_cmpgt_pd(d, _mm_set1_pd(l / 2.0)), box));
            d = _mm_add_pd(d, _mm_and_pd(_mm_cmplt_pd(d, _mm_set1_pd(-l / 2.0)), box));
        }
        d2 = _mm_add_pd(d2, _mm_mul_pd(d, d));
    }
    return _mm_sqrt_pd(d2);
}
#endif

// d between two centroids, NaN when one has none.
template <unsigned Axes, bool Wraps>
inline double gap_in(const LinkTerm& term, const LinkPoint& p, const LinkPoint& q) {
    if (p.none || q.none) return std::numeric_limits<double>::quiet_NaN();
    return std::sqrt(gap2_in<Axes, Wraps>(term, p, q));
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

// The same for one end and two centroids, bit for bit; the test for a cell
// without site comes before the square root, not after it.
template <unsigned Axes, bool Wraps>
inline double end_energy(const LinkTerm& term, const LinkEnd& end, const LinkPoint& p, const LinkPoint& q) {
    if (p.none || q.none) return 0.0;
    const double e = std::sqrt(gap2_in<Axes, Wraps>(term, p, q)) - end.length;
    return end.lambda * (e * e);
}

// The same from d (NaN: 0), as end_energy computes it.
inline double gap_energy(const LinkEnd& end, double d) {
    if (std::isnan(d)) return 0.0;
    const double e = d - end.length;
    return end.lambda * (e * e);
}

inline double link_end_energy(const LinkTerm& term, const LinkEnd& end, const LinkPoint& p, const LinkPoint& q) {
    if (term.axes == 2)
        return term.wraps ? end_energy<2, true>(term, end, p, q) : end_energy<2, false>(term, end, p, q);
    return term.wraps ? end_energy<3, true>(term, end, p, q) : end_energy<3, false>(term, end, p, q);
}

// The change over the links of cell `self`, whose centroid moves to `after`,
// added to acc in the row's order. `other` is the copy's other cell (its
// centroid moving to other_after); skip_other leaves out the link to it.
// Before the copy, each link's energy is the one cached in its end, except
// where the place has changed a cell that the caches (the registry's) do not
// know: there it is priced afresh.
template <unsigned Axes, bool Wraps, typename Place>
[[gnu::always_inline]] inline double ends_change(const LinkTerm& term, const Place& place, CellId self,
                                                 const LinkPoint& after, CellId other, const LinkPoint& other_after,
                                                 bool skip_other, double acc) {
    const LinkEnd* end = term.ends.data() + term.first[self];
    const LinkEnd* const last = term.ends.data() + term.first[self + 1];
    if constexpr (Place::registry) {
        // the partners' centroids are the cache's; the row goes two ends at a
        // time (the same bits as one at a time), each change added in row order
        auto partner_point = [&](const LinkEnd& e) -> const LinkPoint& {
            return e.partner == other ? other_after : term.centre[e.partner];
        };
        auto add = [&](const LinkEnd& e, const LinkPoint& q, double d) {
            if (skip_other && e.partner == other) return;
            double e_after = 0.0;
            if (!after.none && !q.none) {
                const double x = d - e.length;
                e_after = e.lambda * (x * x);
            }
            acc += e_after - e.energy;
        };
#ifdef __SSE2__
        for (; last - end >= 2; end += 2) {
            const LinkPoint& p = partner_point(end[0]);
            const LinkPoint& q = partner_point(end[1]);
            const __m128d d = gap_pair<Axes, Wraps>(term, after, p, q);
            add(end[0], p, _mm_cvtsd_f64(d));
            add(end[1], q, _mm_cvtsd_f64(_mm_unpackhi_pd(d, d)));
        }
#endif
        for (; end != last; ++end) {
            const LinkPoint& q = partner_point(*end);
            add(*end, q, std::sqrt(gap2_in<Axes, Wraps>(term, after, q)));
        }
    } else {
        const Coords none{0, 0, 0};
        auto now = [&](CellId id) -> LinkPoint {
            return place.changed(id) ? point_in<Axes, Wraps>(term, place, id, 0, none) : term.centre[id];
        };
        const bool self_changed = place.changed(self);
        const LinkPoint self_now = now(self);
        for (; end != last; ++end) {
            const CellId p = end->partner;
            if (p == other && skip_other) continue;
            const LinkPoint q = now(p);
            const double before =
                self_changed || place.changed(p) ? end_energy<Axes, Wraps>(term, *end, self_now, q) : end->energy;
            acc += end_energy<Axes, Wraps>(term, *end, after, p == other ? other_after : q) - before;
        }
    }
    return acc;
}

// The change over every link of the losing cell o, then over every link of
// the gaining cell n other than one to o (counted with o's), in row order.
template <unsigned Axes, bool Wraps, typename Place>
double delta_links_in(const LinkTerm& term, const Lattice& lattice, const Place& place, std::size_t target, CellId o,
                      CellId n, bool o_links, bool n_links) {
    const Coords site = coords(lattice, target);
    // (a link between o and n makes both rows non-empty)
    LinkPoint o_after{}, n_after{};
    if (o_links) o_after = point_in<Axes, Wraps>(term, place, o, -1, site);
    if (n_links) n_after = point_in<Axes, Wraps>(term, place, n, 1, site);
    double acc = 0.0;
    if (o_links) acc = ends_change<Axes, Wraps>(term, place, o, o_after, n, n_after, false, acc);
    if (n_links) acc = ends_change<Axes, Wraps>(term, place, n, n_after, o, o_after, true, acc);
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

// The link's energy and stretch at distance d (NaN: a cell without site),
// in both of its ends.
inline void set_gap(LinkTerm& term, LinkEnd& end, double d) {
    end.energy = gap_energy(end, d);
    end.stretch = std::isnan(d) ? INFINITY : end.lambda * std::fabs(d - end.length);
    LinkEnd& mirror = term.ends[end.mirror];
    mirror.energy = end.energy;
    mirror.stretch = end.stretch;
}

// Cell id's sums of link_bound that its links' distances move, from its row
// (Σ λ changes only with the links, and refresh_link_cache sums it).
inline void sum_reach(LinkTerm& term, CellId id) {
    LinkReach& r = term.reach[id];
    double stretch = 0.0, energy = 0.0;
    for (const LinkEnd *end = term.ends.data() + term.first[id], *last = term.ends.data() + term.first[id + 1];
         end != last; ++end) {
        stretch += end->stretch;
        energy += end->energy;
    }
    r.stretch = stretch;
    r.energy = energy;
}

// A bound on |ΔH| of the links for the copy of the site at x from o to n, on
// a box without periodic axes, from the registry's sums: each centroid moves
// by at most δ = |x − c|₁ / (V ∓ 1), so each link's d by at most δ = δ_o + δ_n,
// and λ·|(d' − L)² − (d − L)²| ≤ λ·δ·(2·|d − L| + δ). Rounding (the
// centroids' coordinates carry ~1e-16 per unit of the box, each energy a few
// units in the last place) is allowed for at a thousand times its size.
// inf where a cell loses its last site or a linked cell has none.
template <unsigned Axes>
inline double link_bound(const LinkTerm& term, const Coords& x, CellId o, CellId n) {
    const double xs[3] = {static_cast<double>(x.x), static_cast<double>(x.y), static_cast<double>(x.z)};
    double delta = 0.0, lambdas = 0.0, stretch = 0.0, energy = 0.0;
    for (const CellId id : {o, n}) {
        if (id == MEDIUM) continue;
        const LinkReach& r = term.reach[id];
        double l1 = 0.0;
        for (unsigned a = 0; a < Axes; ++a) l1 += std::fabs(xs[a] - r.c[a]);
        delta += l1 * (id == o ? r.inv_less : r.inv_more);
        lambdas += r.lambdas;
        stretch += r.stretch;
        energy += r.energy;
    }
    const double bound = delta * (2.0 * stretch + delta * lambdas);
    // at least (bound + rounding + 1e-9·bound)·(1 + 1e-9), with the rounding
    // computed beside the bound rather than after it
    const double rounding = term.slack * (2.0 * stretch + (delta + 1.0) * lambdas) + 1e-9 * energy;
    return bound * (1.0 + 2.1e-9) + rounding * (1.0 + 1e-9);
}

// Cell id's cached centroid and the distances of its links, from the registry.
template <typename Place>
inline void refresh_cell_cache(LinkTerm& term, const Place& place, CellId id) {
    if (id == MEDIUM || id >= term.centre.size()) return;
    term.centre[id] = link_point(term, place, id, 0, Coords{0, 0, 0});
    const std::int64_t v = place.current(id).volume;
    LinkReach& own = term.reach[id];
    for (unsigned a = 0; a < 3; ++a) own.c[a] = term.centre[id].c[a];
    own.inv_less = v >= 2 ? 1.0 / static_cast<double>(v - 1) : INFINITY;
    own.inv_more = 1.0 / static_cast<double>(v + 1);
    if (!has_links(term, id)) return;
    for (std::uint32_t e = term.first[id]; e < term.first[id + 1]; ++e) {
        LinkEnd& end = term.ends[e];
        set_gap(term, end, link_gap(term, term.centre[id], term.centre[end.partner]));
    }
    sum_reach(term, id);
    for (std::uint32_t e = term.first[id]; e < term.first[id + 1]; ++e) sum_reach(term, term.ends[e].partner);
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

// The copy attempt, written once for both sweeps.
//
// One attempt at a target site: draw one of its configured neighbours as the
// source; when their ids differ, price the copy (contact, volume and surface,
// then the optional terms in their fixed order), decide by the Metropolis
// rule, test connectivity, and apply it. What the sweeps do differently are
// the template parameters, resolved at compile time:
//   Place   where trackers are read and written: RegistryTrackers (the
//           registry itself, for `step`) or a tile's (the registry as it
//           stood at the start of the colour plus the tile's own map);
//   Draws   where draws come from: a word cursor or plain draws, the same
//           words in the same order;
//   Target  the target site: SiteIndex (coordinates computed when needed)
//           or SiteAt (coordinates at hand, as a tile walks its sites).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "connectivity.hpp"
#include "energy.hpp"
#include "world.hpp"

namespace tessaly {

// exp(−k/T) for the integer energy changes k = 0, 1, …, filled with the same
// expression the rule evaluates, so a table hit is bit-identical to the call.
struct BoltzmannTable {
    static constexpr std::size_t size = 1024;
    double temperature;
    double value[size];

    explicit BoltzmannTable(double t) : temperature(t) {
        for (std::size_t k = 0; k < size; ++k) value[k] = std::exp(-static_cast<double>(k) / t);
    }
    double operator()(double dh) const {
        if (dh < static_cast<double>(size)) {
            const std::size_t k = static_cast<std::size_t>(dh);
            if (static_cast<double>(k) == dh) return value[k];
        }
        return std::exp(-dh / temperature);
    }
    // The Metropolis test (*this)(dh) > u for a change dh > 0 (or NaN), with
    // the same answer, but mostly without exp for a change that is not an
    // integer: for k < dh < k + 1, exp(−dh/T) lies between the table's values
    // at k + 1 and k (division and exp are monotonic, exp within a unit in
    // the last place), so a draw outside those bounds widened by 1e-12 is
    // answered by them (for T > 0; bounds in the subnormal range are not trusted).
    bool accepts(double dh, double u) const {
        if (dh < static_cast<double>(size)) {
            const std::size_t k = static_cast<std::size_t>(dh);
            if (static_cast<double>(k) == dh) return value[k] > u;
            if (temperature > 0.0 && k + 1 < size && value[k + 1] > 1e-300) {
                if (u >= value[k] * (1.0 + 1e-12)) return false;
                if (u < value[k + 1] * (1.0 - 1e-12)) return true;
            }
        }
        return std::exp(-dh / temperature) > u;
    }
    // True when accepts(dh, u) is false for every dh >= lower > 0: its
    // answer for such a dh is bounded by the table's value at the integer
    // k <= lower (as above, widened by 1e-12).
    bool refuses_above(double lower, double u) const {
        const std::size_t k = lower < static_cast<double>(size) ? static_cast<std::size_t>(lower) : size - 1;
        return temperature > 0.0 && value[k] > 1e-300 && u >= value[k] * (1.0 + 1e-12);
    }
};

// What the attempts of one sweep call share, read-only.
struct AttemptSetup {
    const ContactCopy* contacts;      // types by id and contact table, as at the start of the call
    const BoltzmannTable* boltzmann;  // exp(−ΔH/T) for integer changes
    bool all_periodic;                // every axis wraps: one list entry per offset everywhere
};

// Per-sweep scratch of the attempt, so that it allocates nothing.
struct AttemptScratch {
    SiteList nb;           // the target's neighbour list
    SurfaceDeltas deltas;  // the copy's surface changes, while the surface term is on
};

// ---- targets ----

struct SiteIndex {
    std::size_t site;
};

struct SiteAt {
    std::size_t site;
    std::size_t x, y, z;
};

inline Coords coords_of(const Lattice& lattice, SiteIndex t) { return coords(lattice, t.site); }
inline Coords coords_of(const Lattice&, const SiteAt& t) { return {t.x, t.y, t.z}; }

// ---- trackers ----

// The registry itself: reads and writes go to the cells' own records.
struct RegistryTrackers {
    static constexpr bool checks_ids = false;  // the sequential sweep trusts the site array
    static constexpr bool registry = true;     // terms' caches of the registry stay current
    const Cell* cells;

    std::int64_t volume(CellId id) const { return cells[id].trackers.volume; }
    std::int64_t surface(CellId id) const { return cells[id].trackers.surface; }
    const Trackers& current(CellId id) const { return cells[id].trackers; }
    static Trackers& change(World& w, CellId id) { return w.cells[id].trackers; }
    // the neighbour graph's pair changes of an accepted copy, applied at once
    static NeighbourCounts contacts(World& w, std::size_t i, CellId o, CellId n, const SiteList& nb) {
        NeighborTracking& t = w.neighbors;
        // the two ids' rows are fetched while the neighbours are compared
        __builtin_prefetch(&t.rows[o], 1);
        __builtin_prefetch(&t.rows[n], 1);
        return contact_changes(w.lattice.sites.data(), i, o, n, nb,
                               [&](CellId a, CellId b, std::int64_t d) { change_contact(t, a, b, d); });
    }
    // the links' frames (links.hpp), kept by the term itself
    static std::array<std::int64_t, 3> shift(const LinkTerm& term, CellId id) { return term.shift[id]; }
    static void shift_by(LinkTerm& term, CellId id, unsigned axis, std::int64_t d) { term.shift[id][axis] += d; }
    static bool changed(CellId) { return false; }
};

// ---- pricing ----

// volume and surface: ((X+d−X*)² − (X−X*)²)·λ
inline double quadratic_change(std::int64_t value, std::int64_t d, double target, double lambda) {
    const double before = static_cast<double>(value) - target;
    const double after = static_cast<double>(value + d) - target;
    return (after * after - before * before) * lambda;
}

// The volume term for the losing cell o, then the gaining one n, then the
// surface term for each entry of the sorted list (only while some cell has
// a surface term), MEDIUM excluded, summed from 0.0 in that order.
template <typename Place>
[[gnu::always_inline]] inline double volume_surface_change(const World& w, const Place& place, CellId o, CellId n,
                                                           const SurfaceDeltas& deltas) {
    const Cell* cells = w.cells.data();
    double acc = 0.0;
    if (o != MEDIUM) acc += quadratic_change(place.volume(o), -1, cells[o].target_volume, cells[o].lambda_volume);
    if (n != MEDIUM) acc += quadratic_change(place.volume(n), 1, cells[n].target_volume, cells[n].lambda_volume);
    if (w.surface_active) {
        for (const SurfaceDelta& entry : deltas) {
            if (entry.id == MEDIUM) continue;
            const Cell& c = cells[entry.id];
            acc += quadratic_change(place.surface(entry.id), entry.delta, c.target_surface, c.lambda_surface);
        }
    }
    return acc;
}

// The sequential sweep prices the links last and apart (links_last) where
// the copy touches a linked cell on a box without periodic axes: the rest
// of the change, less the links' bound, may already refuse the copy.
template <typename Place>
[[gnu::always_inline]] inline bool links_deferred(const LinkTerm& term, const Place&, CellId o, CellId n) {
    if constexpr (!Place::registry) {
        return false;
    } else {
        return !term.wraps && ((o != MEDIUM && has_links(term, o)) || (n != MEDIUM && has_links(term, n)));
    }
}

// The optional energy terms, added to dh in the one fixed order of their sum
// (floating-point addition is not associative, so every sweep adds them in
// this order), each only while switched on. A new term is one line here.
// links_apart: the links are priced apart (links_deferred), not here.
template <typename Place>
[[gnu::always_inline]] inline void add_terms(const World& w, const Place& place, std::size_t target,
                                             std::size_t source, CellId o, CellId n, bool links_apart, double& dh) {
    const Terms& terms = w.terms;
    if (!terms.energy_on) return;
    if (!terms.links_alone) {
        if (terms.chemotaxis.on) dh += delta_chemotaxis(w, target, source, n);
        if (terms.membrane.on) dh += delta_membrane(w, target, n);
        if (terms.junction.on) dh += delta_junction(w, target, n);
        if (terms.length.on) dh += delta_length(w, target, n, place.current(o), place.current(n));
        if (terms.external.on) dh += delta_external(w, target, n);
        if (terms.act.on) dh += delta_act(w, target, source, n);
        if (terms.persistence.on) dh += delta_persistence(w, target, source, n);
    }
    if (terms.links.on && !links_apart) dh += delta_links(terms.links, w.lattice, place, target, o, n);
}


// ---- source ----

// The drawn neighbour, and how the target's list is to be built. Where the
// list has one entry per offset (interior sites, every site of a box that
// wraps along all axes) or is known from the edge class (a box that wraps
// along none), the neighbour is found alone and the list built only when
// the ids differ; otherwise the list comes first.
struct Source {
    enum Kind { interior, by_edge, periodic, listed };
    std::size_t site;
    Kind kind;
    const EdgeOffsets* edge;  // kind by_edge: the kept offsets
};

// Draws the source; false when the target has no neighbour (nothing drawn).
template <typename Draws, typename Target>
[[gnu::always_inline]] inline bool pick_source(const Lattice& lattice, bool all_periodic, Draws& g, Target t,
                                               SiteList& nb, Source& out) {
    const std::size_t i = t.site;
    const std::int64_t* steps = lattice.offset_step.data();
    if (lattice.is_interior(i)) {
        out.kind = Source::interior;
        out.site = static_cast<std::size_t>(static_cast<std::int64_t>(i) + steps[g.offset()]);
        return true;
    }
    if (!all_periodic && lattice.edge_offsets.empty()) {
        // some axes wrap, others not: the list first
        neighbors_slow(lattice, i, nb);
        if (nb.empty()) return false;
        out.kind = Source::listed;
        out.site = nb[g.below(nb.size())];
        return true;
    }
    const Coords c = coords_of(lattice, t);
    if (!lattice.edge_offsets.empty()) {
        const EdgeOffsets& e = lattice.edge_offsets[edge_class(lattice, c.x, c.y, c.z)];
        if (e.count == 0) return false;
        out.kind = Source::by_edge;
        out.edge = &e;
        out.site = static_cast<std::size_t>(static_cast<std::int64_t>(i) + steps[e.kept[g.below(e.count)]]);
        return true;
    }
    out.kind = Source::periodic;
    out.site = periodic_neighbor_at(lattice, c, lattice.neighborhood.offsets[g.offset()]);
    return true;
}

// The target's neighbour list, where pick_source did not build it.
inline void list_neighbors(const Lattice& lattice, std::size_t i, const Source& source, SiteList& nb) {
    if (source.kind == Source::interior) {
        const std::size_t k = lattice.offset_step.size();
        std::size_t* p = nb.prepare(k);
        const std::int64_t* step = lattice.offset_step.data();
        for (std::size_t m = 0; m < k; ++m) p[m] = static_cast<std::size_t>(static_cast<std::int64_t>(i) + step[m]);
    } else if (source.kind == Source::by_edge) {
        edge_neighbors_into(lattice, i, *source.edge, nb);
    } else if (source.kind == Source::periodic) {
        neighbors_slow(lattice, i, nb);
    }
}

// ---- the attempt ----

// The energy change of the copy: volume and surface, contact (summed apart
// and added last), then the optional terms. Out of line, like apply_copy:
// the loop around the attempt then keeps its draw cursor in registers.
template <typename Place>
[[gnu::noinline]] double price_copy(const World& w, const AttemptSetup& setup, const Place& place, std::size_t i,
                                    Source source, CellId old_id, CellId new_id, bool links_apart,
                                    AttemptScratch& s) {
    const Lattice& lattice = w.lattice;
    list_neighbors(lattice, i, source, s.nb);
    const std::size_t n_cells = w.cells.size();
    if constexpr (Place::checks_ids) {
        if (old_id >= n_cells) unregistered(old_id);
        if (new_id >= n_cells) unregistered(new_id);
    }
    // volume and surface first (their cells are fetched while the contact
    // sum runs), then the contact sum, accumulated apart and added last
    if (w.surface_active) surface_deltas_into(w, i, new_id, s.nb, s.deltas);
    const double acc = volume_surface_change(w, place, old_id, new_id, s.deltas);
    const double cs = contact_sum_copy<Place::checks_ids>(w.contact, *setup.contacts, lattice.sites.data(), n_cells,
                                                          i, old_id, new_id, s.nb);
    double dh = acc + cs;
    // the optional terms
    add_terms(w, place, i, source.site, old_id, new_id, links_apart, dh);
    return dh;
}

// Applies an accepted copy: the site array now, the trackers through the
// place. Without the surface term only the two ids' surfaces change (a
// neighbour of a third id loses one unlike pair and gains one): 2·#o − k
// for o and k − 2·#n for n, over the k neighbours other than the target;
// with it, the priced list is applied.
template <typename Place, typename Target>
[[gnu::noinline]] void apply_copy(World& w, Place& place, Target t, CellId o, CellId n, const SiteList& nb,
                                  const SurfaceDeltas& deltas) {
    const bool counted = !w.surface_active;
    NeighbourCounts k{0, 0, 0};
    if (w.neighbors.on) {
        // the neighbour graph, while kept, from the neighbours' ids, counted on the way
        k = place.contacts(w, t.site, o, n, nb);
    } else if (counted) {
        const CellId* sites = w.lattice.sites.data();
        for (const std::size_t j : nb) {
            if (j == t.site) continue;
            k.total += 1;
            k.of_o += sites[j] == o;
            k.of_n += sites[j] == n;
        }
    }
    w.lattice.sites[t.site] = n;
    const Coords c = coords_of(w.lattice, t);
    const double x = static_cast<double>(c.x), y = static_cast<double>(c.y), z = static_cast<double>(c.z);
    {
        Trackers& lose = place.change(w, o);  // (finished before the next change: a map may move it)
        remove_site(lose, x, y, z);
        if (counted) lose.surface += 2 * k.of_o - k.total;
    }
    {
        Trackers& gain = place.change(w, n);
        add_site(gain, x, y, z);
        if (counted) gain.surface += k.total - 2 * k.of_n;
    }
    if (!counted)
        for (const SurfaceDelta& entry : deltas) place.change(w, entry.id).surface += entry.delta;
    // a term that keeps state of its own per site or per cell updates it here
    if (w.terms.act.on) act_after_copy(w.terms.act, t.site, n, w.cells[n].cell_type);
    if (w.terms.links.on) links_after_copy(w.terms.links, place, c, o, n);
}

template <typename Place, typename Draws, typename Target>
[[gnu::always_inline]] inline void copy_attempt(World& w, const AttemptSetup& setup, Place& place, Draws& g,
                                                Target t, AttemptScratch& s) {
    const CellId* sites = w.lattice.sites.data();
    Source source;
    if (!pick_source(w.lattice, setup.all_periodic, g, t, s.nb, source)) return;
    const CellId new_id = sites[source.site];
    const CellId old_id = sites[t.site];
    if (new_id == old_id) return;
    // frozen cells: no copy into or out of them, before any pricing
    if (w.terms.frozen.on && frozen_blocks(w.terms.frozen, old_id, new_id)) return;
    const bool links_apart = w.terms.links.on && links_deferred(w.terms.links, place, old_id, new_id);
    double dh = price_copy(w, setup, place, t.site, source, old_id, new_id, links_apart, s);
    // the links, when priced apart: the same change added last, unless the
    // rest less the bound of their change already refuses the copy (the
    // draw is the one the test below would make, since the change is > 0)
    bool drawn = false;
    double u = 0.0;
    if (links_apart) {
        const LinkTerm& links = w.terms.links;
        if (dh > 0.0) {
            const Coords c = coords_of(w.lattice, t);
            const double bound = w.lattice.nz > 1 ? link_bound<3>(links, c, old_id, new_id)
                                                  : link_bound<2>(links, c, old_id, new_id);
            const double lower = (dh - bound) * (1.0 - 1e-12);
            if (lower > 1e-300) {
                u = g.unit();
                drawn = true;
                if (setup.boltzmann->refuses_above(lower, u)) return;
            }
        }
        dh += delta_links(links, w.lattice, place, t.site, old_id, new_id);
    }
    // Metropolis rule; a NaN change fails both tests
    if (!(dh <= 0.0)) {
        if (!drawn) u = g.unit();
        if (!setup.boltzmann->accepts(dh, u)) return;
    }
    // connectivity, for accepted copies only
    if (w.terms.connectivity.on && connectivity_applies(w, old_id) && !would_stay_connected(w, t.site, old_id))
        return;
    apply_copy(w, place, t, old_id, new_id, s.nb, s.deltas);
}

}  // namespace tessaly

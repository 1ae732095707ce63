// Division and removal.
//
// division at a threshold and removal: both scan the site array a fixed
// number of times, looking cells up in a table indexed by id, and end with a
// full tracker recomputation (which also catches a site holding an
// unregistered id). A cell with volume >= threshold is cut across the longest
// side of its bounding box (ties: x, then y, then z) at (min + max) div 2;
// sites above the cut go to a new daughter, the middle layer stays with the
// parent.
//
// chosen divisions cost what the cells divided cost, not the lattice. While
// the trackers are exact (a running world), a cell's sites are read from a
// box about its mean, ±3σ per axis from its coordinate sums, then, if the
// count falls short of its volume, from the box of Samuelson's bound
// σ·√(V − 1), beyond which no point of a set of V lies from its mean; the
// whole lattice only if that too falls short. The two cells' trackers are
// then recounted from their own sites, which gives the bits a full
// recomputation gives: no other cell's surface changes, since a site next to
// a moved one saw a different id before and after. While the trackers are
// stale (set-up), the lattice is scanned and recomputed as before.
//
// A division allocates everything it needs before it changes anything (the
// per-cell lists it will lengthen are reserved; the secretion scales, kept
// in maps, change first and are put back if that fails), so a failure leaves
// the world as it was.
#include "mitosis.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>

#include "centroid.hpp"
#include "error.hpp"
#include "frozen.hpp"
#include "links.hpp"
#include "neighbors.hpp"
#include "persistence.hpp"
#include "world.hpp"

namespace tessaly {

namespace {

constexpr std::uint32_t NOT_CANDIDATE = std::numeric_limits<std::uint32_t>::max();

struct Box {
    std::array<std::size_t, 3> lo{std::numeric_limits<std::size_t>::max(), std::numeric_limits<std::size_t>::max(),
                                  std::numeric_limits<std::size_t>::max()};
    std::array<std::size_t, 3> hi{0, 0, 0};
};

struct Cut {
    unsigned axis;         // 0 x, 1 y, 2 z
    std::size_t position;  // sites with a coordinate above it go to the daughter
};

Cut cut_of(const Box& box) {
    std::array<std::size_t, 3> extent{};
    for (unsigned a = 0; a < 3; ++a) extent[a] = box.hi[a] < box.lo[a] ? 0 : box.hi[a] - box.lo[a];
    unsigned axis = 0;
    if (extent[2] > extent[0] && extent[2] > extent[1])
        axis = 2;
    else if (extent[1] > extent[0])
        axis = 1;
    // a candidate without sites has an empty box; its cut is never used
    const std::size_t position = box.hi[axis] < box.lo[axis] ? 0 : (box.lo[axis] + box.hi[axis]) / 2;
    return {axis, position};
}

// Calls visit(i, {x, y, z}) for every site in index order, coordinates
// counted along instead of divided out.
template <typename Visit>
void for_each_site(const Lattice& lattice, Visit visit) {
    if (lattice.n_sites() == 0) return;  // the empty rows of a zero-length axis are not walked
    std::size_t i = 0;
    for (std::size_t z = 0; z < lattice.nz; ++z)
        for (std::size_t y = 0; y < lattice.ny; ++y)
            for (std::size_t x = 0; x < lattice.nx; ++x, ++i) visit(i, std::array<std::size_t, 3>{x, y, z});
}

// Capacity in every per-cell list that k new cells may lengthen, so that the
// lengthening cannot fail; the growth is that of push_back.
template <typename T>
void make_room(std::vector<T>& list, std::size_t n) {
    if (list.capacity() < n) list.reserve(std::max(n, 2 * list.capacity()));
}

void make_room_for_cells(World& w, std::size_t k) {
    if (w.cells.size() + k - 1 > 0xFFFFFFFFu) fail("cell registry is full");
    const std::size_t n = w.cells.size() + k;
    make_room(w.cells, n);
    for (Attribute& a : w.state.attributes) make_room(a.values, n);
    Terms& t = w.terms;
    if (!t.frozen.cell.empty()) make_room(t.frozen.cell, n);
    PersistenceTerm& p = t.persistence;
    if (!p.direction.empty()) {
        make_room(p.direction, n);
        make_room(p.has_direction, n);
        make_room(p.age, n);
        make_room(p.history, n * p.ring);
    }
    if (!t.tracks.position.empty()) {
        make_room(t.tracks.reference, n);
        make_room(t.tracks.position, n);
        make_room(t.tracks.has_reference, n);
    }
}

// The terms' per-cell state passes from each parent to its daughter.
void inherit(World& w, const std::vector<CellId>& parents, const std::vector<CellId>& daughters, bool share_links) {
    for (std::size_t k = 0; k < parents.size(); ++k) {
        if (is_frozen(w.terms.frozen, parents[k])) set_cell_frozen(w, daughters[k], true);
        persistence_division(w.terms.persistence, parents[k], daughters[k]);
    }
    track_division(w, w.terms.tracks, parents, daughters);
    links_division(w, parents, daughters, share_links);
}

}  // namespace

std::vector<CellId> divide_cells(World& w, double threshold, double reset_target) {
    // candidates in registry order; a NaN threshold admits none
    std::vector<CellId> candidates;
    std::vector<std::uint32_t> slot(w.cells.size(), NOT_CANDIDATE);
    for (const Cell& cell : w.cells) {
        if (cell.id == MEDIUM || !(static_cast<double>(cell.trackers.volume) >= threshold)) continue;
        slot[cell.id] = static_cast<std::uint32_t>(candidates.size());
        candidates.push_back(cell.id);
    }
    if (candidates.empty()) return {};
    make_room_for_cells(w, candidates.size());

    // bounding boxes, one pass
    std::vector<CellId>& sites = w.lattice.sites;
    std::vector<Box> boxes(candidates.size());
    for_each_site(w.lattice, [&](std::size_t i, std::array<std::size_t, 3> p) {
        const CellId id = sites[i];
        if (id >= slot.size() || slot[id] == NOT_CANDIDATE) return;
        Box& box = boxes[slot[id]];
        for (unsigned a = 0; a < 3; ++a) {
            box.lo[a] = std::min(box.lo[a], p[a]);
            box.hi[a] = std::max(box.hi[a], p[a]);
        }
    });

    // split axis and position, then one daughter per candidate, in candidate order
    std::vector<Cut> cuts(candidates.size());
    std::vector<CellId> daughters(candidates.size());
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        cuts[k] = cut_of(boxes[k]);
        const Cell parent = w.cells[candidates[k]];
        daughters[k] = add_cell(w, parent.cell_type, reset_target, parent.lambda_volume, parent.target_surface,
                                parent.lambda_surface);
    }

    // assignment, one pass: sites above the cut go to the daughter
    for_each_site(w.lattice, [&](std::size_t i, std::array<std::size_t, 3> p) {
        const CellId id = sites[i];
        if (id >= slot.size() || slot[id] == NOT_CANDIDATE) return;
        const std::uint32_t k = slot[id];
        if (p[cuts[k].axis] > cuts[k].position) sites[i] = daughters[k];
    });

    for (const CellId id : candidates) w.cells[id].target_volume = reset_target;
    recompute_trackers(w);
    inherit(w, candidates, daughters, false);
    for (std::size_t k = 0; k < candidates.size(); ++k)
        divide_state(w.state, candidates[k], daughters[k], w.cells[candidates[k]].trackers.volume,
                     w.cells[daughters[k]].trackers.volume);
    return daughters;
}

// ---- the sites of one cell ----

namespace {

// A cell's sites in index order.
struct CellSites {
    std::vector<std::size_t> index;               // ascending
    std::vector<std::array<std::size_t, 3>> at;   // the coordinates of each

    void clear() {
        index.clear();
        at.clear();
    }
};

// Appends the sites of `id` within the box lo..hi (inclusive), in index order.
void sites_in_box(const World& w, CellId id, const std::array<std::size_t, 3>& lo,
                  const std::array<std::size_t, 3>& hi, CellSites& out) {
    const Lattice& lat = w.lattice;
    const CellId* sites = lat.sites.data();
    for (std::size_t z = lo[2]; z <= hi[2]; ++z)
        for (std::size_t y = lo[1]; y <= hi[1]; ++y) {
            std::size_t i = lo[0] + lat.nx * (y + lat.ny * z);
            for (std::size_t x = lo[0]; x <= hi[0]; ++x, ++i)
                if (sites[i] == id) {
                    out.index.push_back(i);
                    out.at.push_back({x, y, z});
                }
        }
}

// The sites of cell `id` (none for the medium or an id beyond the registry).
void gather_sites(const World& w, CellId id, CellSites& out) {
    out.clear();
    const Lattice& lat = w.lattice;
    if (id == MEDIUM || id >= w.cells.size() || lat.n_sites() == 0) return;
    const std::array<std::size_t, 3> last{lat.nx - 1, lat.ny - 1, lat.nz - 1};
    if (w.trackers_exact) {
        const Trackers& t = w.cells[id].trackers;
        if (t.volume <= 0) return;
        const double v = static_cast<double>(t.volume);
        const std::array<double, 3> sum{t.sum_x, t.sum_y, t.sum_z}, squares{t.sum_xx, t.sum_yy, t.sum_zz};
        out.index.reserve(static_cast<std::size_t>(t.volume));
        out.at.reserve(static_cast<std::size_t>(t.volume));
        // reaches in σ: 3, then Samuelson's bound; 2 sites more against rounding
        for (const double reach : {3.0, std::sqrt(v - 1.0)}) {
            std::array<std::size_t, 3> lo{}, hi{};
            for (unsigned a = 0; a < 3; ++a) {
                const double mean = sum[a] / v;
                const double sigma = std::sqrt(std::max(0.0, squares[a] / v - mean * mean));
                const double from = std::floor(mean - reach * sigma - 2.0), to = std::ceil(mean + reach * sigma + 2.0);
                lo[a] = from <= 0.0 ? 0 : static_cast<std::size_t>(from);
                hi[a] = to >= static_cast<double>(last[a]) ? last[a] : static_cast<std::size_t>(to);
            }
            sites_in_box(w, id, lo, hi, out);
            if (out.index.size() == static_cast<std::size_t>(t.volume)) return;
            out.clear();
        }
    }
    sites_in_box(w, id, {0, 0, 0}, last, out);
}

// The cell's centroid, as centroid_sums(w, nullptr) and wrapped give it; the
// cell has sites.
Vec3 centroid_of(const World& w, const CellSites& s) {
    const bool any_periodic = w.lattice.periodic[0] || w.lattice.periodic[1] || w.lattice.periodic[2];
    const Unwrapping u = unwrapping_about(w, any_periodic ? circular_mean(w, s.at) : Vec3{});
    std::array<std::int64_t, 3> sum{};
    for (const std::array<std::size_t, 3>& p : s.at)
        for (unsigned a = 0; a < u.axes; ++a) sum[a] += u(a, p[a]);
    const double v = static_cast<double>(s.at.size());
    return wrapped(w, {static_cast<double>(sum[0]) / v, static_cast<double>(sum[1]) / v,
                       static_cast<double>(sum[2]) / v});
}

// Offsets of the cell's sites from its centroid, unwrapped on periodic axes,
// in site order.
void offsets_of(const World& w, const CellSites& s, std::vector<Vec3>& out) {
    out.clear();
    if (s.at.empty()) return;
    const Vec3 c = centroid_of(w, s);
    out.reserve(s.at.size());
    for (const std::array<std::size_t, 3>& p : s.at)
        out.push_back(minimum_image(w, {static_cast<double>(p[0]), static_cast<double>(p[1]), static_cast<double>(p[2])}, c));
}

double dot(const std::array<double, 3>& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// The unit major (major = true) or minor axis of the second moments of these
// offsets (of the x–y block on a planar box).
std::array<double, 3> axis_of(const std::vector<Vec3>& offsets, bool planar, bool major) {
    double m[3][3] = {};
    for (const Vec3& d : offsets)
        for (unsigned a = 0; a < 3; ++a)
            for (unsigned b = 0; b < 3; ++b) m[a][b] += d[a] * d[b];
    const unsigned n = planar ? 2 : 3;
    double v[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    // cyclic Jacobi: each rotation zeroes one off-diagonal entry
    for (int sweep = 0; sweep < 50; ++sweep) {
        double off = 0.0;
        for (unsigned p = 0; p < n; ++p)
            for (unsigned q = p + 1; q < n; ++q) off += m[p][q] * m[p][q];
        if (off == 0.0) break;
        for (unsigned p = 0; p < n; ++p)
            for (unsigned q = p + 1; q < n; ++q) {
                if (m[p][q] == 0.0) continue;
                const double theta = (m[q][q] - m[p][p]) / (2.0 * m[p][q]);
                const double t = (theta >= 0.0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (unsigned k = 0; k < n; ++k) {  // columns p, q of M
                    const double mkp = m[k][p], mkq = m[k][q];
                    m[k][p] = c * mkp - s * mkq;
                    m[k][q] = s * mkp + c * mkq;
                }
                for (unsigned k = 0; k < n; ++k) {  // rows p, q of M
                    const double mpk = m[p][k], mqk = m[q][k];
                    m[p][k] = c * mpk - s * mqk;
                    m[q][k] = s * mpk + c * mqk;
                }
                for (unsigned k = 0; k < n; ++k) {  // eigenvectors as columns of V
                    const double vkp = v[k][p], vkq = v[k][q];
                    v[k][p] = c * vkp - s * vkq;
                    v[k][q] = s * vkp + c * vkq;
                }
            }
    }
    unsigned best = 0;
    for (unsigned k = 1; k < n; ++k)
        if (major ? m[k][k] > m[best][best] : m[k][k] < m[best][best]) best = k;
    return {v[0][best], v[1][best], v[2][best]};
}

}  // namespace

std::array<double, 3> principal_axis(const World& w, CellId id, bool major) {
    CellSites s;
    gather_sites(w, id, s);
    std::vector<Vec3> offsets;
    offsets_of(w, s, offsets);
    return axis_of(offsets, w.lattice.nz == 1, major);
}

std::int64_t sites_beyond(const World& w, CellId id, std::array<double, 3> normal) {
    CellSites s;
    gather_sites(w, id, s);
    std::vector<Vec3> offsets;
    offsets_of(w, s, offsets);
    std::int64_t count = 0;
    for (const Vec3& d : offsets) count += dot(normal, d) > 0.0;
    return count;
}

// ---- chosen divisions ----

namespace {

// One division worked out in full before anything changes.
struct Division {
    CellId parent = MEDIUM;
    CellId daughter = MEDIUM;             // the id it will get
    CellSites sites;                      // the parent's, in index order
    std::vector<Vec3> offsets;            // from its centroid, per site
    std::vector<std::uint8_t> moves;      // per site: goes to the daughter
    std::int64_t moved = 0;               // sites that go
    std::array<double, 2> targets{};      // target volumes: parent, daughter
    Trackers after[2]{};                  // trackers of parent and daughter after it (exact worlds)
    Vec3 reference[2]{};                  // their track references after it
    bool referenced[2]{};                 // whether each keeps a reference
};

void plan_cut(Division& d, const std::array<double, 3>& normal) {
    d.moves.resize(d.offsets.size());
    d.moved = 0;
    for (std::size_t k = 0; k < d.offsets.size(); ++k) {
        d.moves[k] = dot(normal, d.offsets[k]) > 0.0;
        d.moved += d.moves[k];
    }
}

// The two cells' trackers after the cut, counted as recompute_trackers
// counts them: coordinates in index order from zero, surfaces over the
// configured neighbours of each site.
void plan_trackers(const World& w, Division& d) {
    const std::vector<CellId>& sites = w.lattice.sites;
    const auto id_after = [&](std::size_t j) {
        if (sites[j] != d.parent) return sites[j];
        const std::size_t k = static_cast<std::size_t>(
            std::lower_bound(d.sites.index.begin(), d.sites.index.end(), j) - d.sites.index.begin());
        return d.moves[k] ? d.daughter : d.parent;
    };
    d.after[0] = Trackers{};
    d.after[1] = Trackers{};
    SiteList nb;
    for (std::size_t k = 0; k < d.sites.index.size(); ++k) {
        const bool goes = d.moves[k] != 0;
        const CellId own = goes ? d.daughter : d.parent;
        Trackers& t = d.after[goes ? 1 : 0];
        const std::array<std::size_t, 3>& p = d.sites.at[k];
        add_site(t, static_cast<double>(p[0]), static_cast<double>(p[1]), static_cast<double>(p[2]));
        neighbors_into(w.lattice, d.sites.index[k], nb);
        for (const std::size_t j : nb) t.surface += id_after(j) != own;
    }
}

// The track references after the cut, as track_division sets them: both
// cells' new centroids, unwrapped about the parent's reference.
void plan_tracks(const World& w, Division& d) {
    const Tracks& tracks = w.terms.tracks;
    d.referenced[0] = d.referenced[1] = false;
    if (tracks.position.empty() || d.parent >= tracks.has_reference.size() || !tracks.has_reference[d.parent]) return;
    const Unwrapping u = unwrapping_about(w, tracks.reference[d.parent]);
    std::array<std::int64_t, 3> sum[2]{};
    std::int64_t volume[2]{};
    for (std::size_t k = 0; k < d.sites.at.size(); ++k) {
        const unsigned side = d.moves[k] ? 1 : 0;
        volume[side] += 1;
        for (unsigned a = 0; a < u.axes; ++a) sum[side][a] += u(a, d.sites.at[k][a]);
    }
    for (unsigned side = 0; side < 2; ++side) {
        d.referenced[side] = volume[side] != 0;
        if (!d.referenced[side]) continue;
        const double v = static_cast<double>(volume[side]);
        d.reference[side] = wrapped(w, {static_cast<double>(sum[side][0]) / v, static_cast<double>(sum[side][1]) / v,
                                        static_cast<double>(sum[side][2]) / v});
    }
}

// The daughters' secretion scales become their parents' in every field (an
// entry, or none). Changed first, since a map allocates as it grows:
// entries are written (put back if that fails), then stale ones erased.
void inherit_secretion(World& w, const std::vector<Division>& divisions) {
    struct Undo {
        std::size_t field;
        CellId id;
        bool had;      // the entry existed (its old value), else it was inserted
        double value;
    };
    std::vector<Undo> undo;
    undo.reserve(w.fields.size() * divisions.size());
    try {
        for (std::size_t f = 0; f < w.fields.size(); ++f) {
            std::unordered_map<CellId, double>& scale = w.fields[f].secretion_scale;
            if (scale.empty()) continue;
            for (const Division& d : divisions) {
                const auto parent = scale.find(d.parent);
                if (parent == scale.end()) continue;
                const double value = parent->second;
                const auto old = scale.find(d.daughter);
                undo.push_back({f, d.daughter, old != scale.end(), old != scale.end() ? old->second : 0.0});
                scale.insert_or_assign(d.daughter, value);
            }
        }
    } catch (...) {
        for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
            std::unordered_map<CellId, double>& scale = w.fields[it->field].secretion_scale;
            if (it->had) {
                scale.find(it->id)->second = it->value;
            } else {
                scale.erase(it->id);
            }
        }
        throw;
    }
    for (Field& field : w.fields)
        for (const Division& d : divisions)
            if (field.secretion_scale.find(d.parent) == field.secretion_scale.end()) field.secretion_scale.erase(d.daughter);
}

// Carries the divisions out; nothing here fails once the room is made.
void commit(World& w, std::vector<Division>& divisions, bool share_links) {
    const bool exact = w.trackers_exact;
    make_room_for_cells(w, divisions.size());
    inherit_secretion(w, divisions);
    Terms& t = w.terms;
    for (Division& d : divisions) {
        const Cell parent = w.cells[d.parent];
        const CellId daughter = add_cell(w, parent.cell_type, d.targets[1], parent.lambda_volume,
                                         parent.target_surface, parent.lambda_surface);
        for (std::size_t k = 0; k < d.sites.index.size(); ++k) {
            if (!d.moves[k]) continue;
            const std::size_t i = d.sites.index[k];
            // the neighbour graph, while kept, from each site before it is written;
            // without room it is dropped and built again when next read
            if (w.neighbors.on) try {
                    SiteList nb;
                    neighbors_into(w.lattice, i, nb);
                    contact_changes(w.lattice.sites.data(), i, d.parent, daughter, nb,
                                    [&](CellId a, CellId b, std::int64_t delta) { change_contact(w.neighbors, a, b, delta); });
                } catch (...) {
                    w.neighbors.on = false;
                }
            w.lattice.sites[i] = daughter;
        }
        w.cells[d.parent].target_volume = d.targets[0];
        if (exact) {
            w.cells[d.parent].trackers = d.after[0];
            w.cells[daughter].trackers = d.after[1];
        }
        // frozen flag, direction of persistent motion, track, attributes
        if (is_frozen(t.frozen, d.parent)) {
            t.frozen.cell.resize(std::size_t{daughter} + 1, 0);
            t.frozen.cell[daughter] = 1;
        }
        persistence_division(t.persistence, d.parent, daughter);
        if (!t.tracks.position.empty()) {
            Tracks& tracks = t.tracks;
            fit_tracks(w, tracks);
            tracks.position[daughter] = tracks.position[d.parent];
            tracks.reference[daughter] = tracks.reference[d.parent];
            tracks.has_reference[daughter] = tracks.has_reference[d.parent];
            const CellId ids[2] = {d.parent, daughter};
            for (unsigned side = 0; side < 2; ++side) {
                if (!tracks.has_reference[ids[side]]) continue;
                tracks.has_reference[ids[side]] = d.referenced[side];
                if (d.referenced[side]) tracks.reference[ids[side]] = d.reference[side];
            }
        }
        divide_state(w.state, d.parent, daughter, static_cast<std::int64_t>(d.sites.index.size()) - d.moved, d.moved);
    }
    if (exact) {
        // the guard as a recomputation leaves it
        w.surface_active = false;
        for (const Cell& c : w.cells) w.surface_active = w.surface_active || c.lambda_surface != 0.0;
    } else {
        recompute_trackers(w);
    }
    // links: kept on the parents, or shared with the daughters
    if (w.terms.links.on) {
        std::vector<CellId> parents, daughters;
        for (const Division& d : divisions) {
            parents.push_back(d.parent);
            daughters.push_back(d.daughter);
        }
        links_division(w, parents, daughters, share_links);
    }
}

// Refuses a world whose sites hold an id beyond the registry, which the
// recomputation of a stale world could not take once sites have moved.
void check_registered(const World& w) {
    if (w.trackers_exact) return;  // a recomputation refused them before
    for (const CellId site_id : w.lattice.sites)
        if (site_id >= w.cells.size()) fail("cell id " + std::to_string(site_id) + " is not registered");
}

// The parts of a division that depend only on the cell: its sites, the
// offsets, the id the daughter will get.
void plan_cell(const World& w, Division& d, CellId id, CellId daughter) {
    d.parent = id;
    d.daughter = daughter;
    gather_sites(w, id, d.sites);
    offsets_of(w, d.sites, d.offsets);
    d.moves.resize(d.offsets.size());  // allocated before any draw
}

void plan_rest(const World& w, Division& d) {
    if (w.trackers_exact) plan_trackers(w, d);
    plan_tracks(w, d);
}

}  // namespace

CellId divide_cell(World& w, CellId id, std::array<double, 3> normal, double parent_target, double daughter_target,
                   bool share_links) {
    (void)cell_at(w, id);
    check_registered(w);
    std::vector<Division> one(1);
    Division& d = one[0];
    plan_cell(w, d, id, static_cast<CellId>(w.cells.size()));
    plan_cut(d, normal);
    d.targets = {parent_target, daughter_target};
    plan_rest(w, d);
    commit(w, one, share_links);
    return d.daughter;
}

ChosenDivisions divide_cell(World& w, const std::vector<CellId>& ids, DivisionAxis axis, std::array<double, 3> normal,
                            Rng* rng, const std::optional<std::array<double, 2>>& targets, bool share_links) {
    const auto refuse = [](DivisionRefusal why, std::size_t at) {
        ChosenDivisions r;
        r.refusal = why;
        r.refused = at;
        return r;
    };
    // refusals that need no normal come before any draw
    for (std::size_t k = 0; k < ids.size(); ++k) {
        if (ids[k] == MEDIUM || ids[k] >= w.cells.size()) return refuse(DivisionRefusal::not_a_cell, k);
        for (std::size_t j = 0; j < k; ++j)
            if (ids[j] == ids[k]) return refuse(DivisionRefusal::repeated, k);
    }
    const bool planar = w.lattice.nz == 1;
    std::vector<Division> divisions(ids.size());
    for (std::size_t k = 0; k < ids.size(); ++k) {
        plan_cell(w, divisions[k], ids[k], static_cast<CellId>(w.cells.size() + k));
        if (divisions[k].sites.index.size() < 2) return refuse(DivisionRefusal::too_small, k);
    }
    const Rng before = rng != nullptr ? *rng : Rng{};
    const auto refuse_after_draws = [&](DivisionRefusal why, std::size_t at) {
        if (rng != nullptr) *rng = before;  // a refusal changes nothing
        return refuse(why, at);
    };
    for (std::size_t k = 0; k < ids.size(); ++k) {
        Division& d = divisions[k];
        std::array<double, 3> n = normal;
        if (axis == DivisionAxis::major || axis == DivisionAxis::minor)
            n = axis_of(d.offsets, planar, axis == DivisionAxis::major);
        else if (axis == DivisionAxis::random)
            n = random_direction(*rng, planar);
        else if (planar && n[0] == 0.0 && n[1] == 0.0 && n[2] != 0.0)
            return refuse_after_draws(DivisionRefusal::out_of_plane, k);
        plan_cut(d, n);
        if (d.moved == 0 || d.moved == static_cast<std::int64_t>(d.sites.index.size()))
            return refuse_after_draws(DivisionRefusal::one_side_empty, k);
        const double half = w.cells[d.parent].target_volume / 2.0;
        d.targets = targets.value_or(std::array<double, 2>{half, half});
    }
    ChosenDivisions done;
    try {
        check_registered(w);
        for (Division& d : divisions) plan_rest(w, d);
        done.daughters.reserve(divisions.size());
        commit(w, divisions, share_links);
    } catch (...) {
        if (rng != nullptr) *rng = before;
        throw;
    }
    for (const Division& d : divisions) done.daughters.push_back(d.daughter);
    return done;
}

ChosenDivision divide_cell(World& w, CellId id, DivisionAxis axis, std::array<double, 3> normal, Rng* rng,
                           const std::optional<std::array<double, 2>>& targets, bool share_links) {
    const ChosenDivisions done = divide_cell(w, std::vector<CellId>{id}, axis, normal, rng, targets, share_links);
    return {done.refusal == DivisionRefusal::none ? done.daughters[0] : MEDIUM, done.refusal};
}

void remove_cells(World& w, const std::vector<CellId>& ids) {
    if (ids.empty()) return;
    std::vector<std::uint8_t> removed(w.cells.size(), 0);
    for (const CellId id : ids)
        if (id != MEDIUM && id < removed.size()) removed[id] = 1;
    for (CellId& id : w.lattice.sites)
        if (id < removed.size() && removed[id]) id = MEDIUM;
    recompute_trackers(w);
    links_removal(w, ids);
}

}  // namespace tessaly

// Division and removal. Both scan the site array a fixed number of times,
// looking cells up in a table indexed by id, and end with a full tracker
// recomputation (which also catches a site holding an unregistered id).
//
// division: a cell with volume >= threshold is cut across the longest side of
// its bounding box (ties: x, then y, then z) at (min + max) div 2; sites above
// the cut go to a new daughter, the middle layer stays with the parent.
#include "mitosis.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "centroid.hpp"
#include "error.hpp"
#include "frozen.hpp"
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

// The terms' per-cell state passes from each parent to its daughter.
void inherit(World& w, const std::vector<CellId>& parents, const std::vector<CellId>& daughters) {
    for (std::size_t k = 0; k < parents.size(); ++k) {
        if (is_frozen(w.terms.frozen, parents[k])) set_cell_frozen(w, daughters[k], true);
        persistence_division(w.terms.persistence, parents[k], daughters[k]);
    }
    track_division(w, w.terms.tracks, parents, daughters);
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
    inherit(w, candidates, daughters);
    return daughters;
}

// ---- chosen divisions ----

namespace {

// Offsets of the cell's sites from its centroid, unwrapped on periodic
// axes, visited in site order.
template <typename Visit>
void for_each_offset(const World& w, CellId id, Visit visit) {
    const CentroidSums sums = centroid_sums(w, nullptr);
    if (id >= sums.volume.size() || sums.volume[id] == 0) return;
    const Vec3 c = wrapped(w, mean_of(sums, id));
    for_each_site(w.lattice, [&](std::size_t i, std::array<std::size_t, 3> p) {
        if (w.lattice.sites[i] != id) return;
        const Vec3 x{static_cast<double>(p[0]), static_cast<double>(p[1]), static_cast<double>(p[2])};
        visit(i, minimum_image(w, x, c));
    });
}

double dot(const std::array<double, 3>& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

}  // namespace

std::array<double, 3> principal_axis(const World& w, CellId id, bool major) {
    double m[3][3] = {};
    for_each_offset(w, id, [&](std::size_t, const Vec3& d) {
        for (unsigned a = 0; a < 3; ++a)
            for (unsigned b = 0; b < 3; ++b) m[a][b] += d[a] * d[b];
    });
    const unsigned n = w.lattice.nz == 1 ? 2 : 3;
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

std::int64_t sites_beyond(const World& w, CellId id, std::array<double, 3> normal) {
    std::int64_t count = 0;
    for_each_offset(w, id, [&](std::size_t, const Vec3& d) { count += dot(normal, d) > 0.0; });
    return count;
}

CellId divide_cell(World& w, CellId id, std::array<double, 3> normal, double parent_target, double daughter_target) {
    const Cell parent = cell_at(w, id);
    // the recomputation at the end must not fail once sites have moved
    for (const CellId site_id : w.lattice.sites)
        if (site_id >= w.cells.size()) fail("cell id " + std::to_string(site_id) + " is not registered");
    std::vector<std::size_t> moved;
    for_each_offset(w, id, [&](std::size_t i, const Vec3& d) {
        if (dot(normal, d) > 0.0) moved.push_back(i);
    });
    const CellId daughter = add_cell(w, parent.cell_type, daughter_target, parent.lambda_volume,
                                     parent.target_surface, parent.lambda_surface);
    for (const std::size_t i : moved) w.lattice.sites[i] = daughter;
    w.cells[id].target_volume = parent_target;
    recompute_trackers(w);
    inherit(w, {id}, {daughter});
    return daughter;
}

ChosenDivision divide_cell(World& w, CellId id, DivisionAxis axis, std::array<double, 3> normal, Rng* rng,
                           const std::optional<std::array<double, 2>>& targets) {
    // refusals that need no normal come before any draw
    if (id == MEDIUM || id >= w.cells.size()) return {MEDIUM, DivisionRefusal::not_a_cell};
    const auto volume = std::count(w.lattice.sites.begin(), w.lattice.sites.end(), id);
    if (volume < 2) return {MEDIUM, DivisionRefusal::too_small};
    const Rng before = rng != nullptr ? *rng : Rng{};
    if (axis == DivisionAxis::major || axis == DivisionAxis::minor)
        normal = principal_axis(w, id, axis == DivisionAxis::major);
    else if (axis == DivisionAxis::random)
        normal = random_direction(*rng, w.lattice.nz == 1);
    const std::int64_t beyond = sites_beyond(w, id, normal);
    if (beyond == 0 || beyond == volume) {
        if (rng != nullptr) *rng = before;  // a refusal changes nothing
        return {MEDIUM, DivisionRefusal::one_side_empty};
    }
    const double half = w.cells[id].target_volume / 2.0;
    const std::array<double, 2> t = targets.value_or(std::array<double, 2>{half, half});
    return {divide_cell(w, id, normal, t[0], t[1]), DivisionRefusal::none};
}

void remove_cells(World& w, const std::vector<CellId>& ids) {
    if (ids.empty()) return;
    std::vector<std::uint8_t> removed(w.cells.size(), 0);
    for (const CellId id : ids)
        if (id != MEDIUM && id < removed.size()) removed[id] = 1;
    for (CellId& id : w.lattice.sites)
        if (id < removed.size() && removed[id]) id = MEDIUM;
    recompute_trackers(w);
}

}  // namespace tessaly

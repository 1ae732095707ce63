// The membrane, junction, length, external-potential and link terms: hand-derived energy
// changes on tiny painted worlds, their setters and guards, and one short
// sweep per term showing that it steers the dynamics.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "attempt.hpp"
#include "centroid.hpp"
#include "check.hpp"
#include "error.hpp"
#include "external.hpp"
#include "junction.hpp"
#include "length.hpp"
#include "links.hpp"
#include "membrane.hpp"
#include "mitosis.hpp"
#include "parallel.hpp"
#include "pool.hpp"
#include "sweep.hpp"
#include "world.hpp"

using namespace tessaly;

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

World box(std::size_t nx, std::size_t ny, std::size_t nz, bool periodic = false, std::uint8_t order = 1) {
    return World(Lattice({nx, ny, nz}, {periodic, periodic, periodic}, Neighborhood(nz > 1 ? 1 : 0, order)), 1.0);
}

std::size_t at(const World& w, std::size_t x, std::size_t y, std::size_t z = 0) {
    return x + w.lattice.nx * (y + w.lattice.ny * z);
}

CellId cell(World& w, CellType type) { return add_cell(w, type, 0.0, 0.0, 0.0, 0.0); }

double com_x(const World& w, CellId id) {
    const Cell& c = w.cells[id];
    return c.trackers.sum_x / static_cast<double>(c.trackers.volume);
}

// Contact energy 2 between unlike ids, trackers recomputed: ready for a sweep.
Cpm start(World w, std::uint64_t seed) {
    ContactMatrix contact(2);
    set_pair(contact, 0, 1, 2.0);
    set_contact_matrix(w, contact);
    recompute_trackers(w);
    return Cpm(std::move(w), seed);
}

// ---- membrane ----

void distance_field() {
    const std::vector<float> d = build_distance_field({10, 10, 10}, {0});
    CHECK_EQ(d.size(), std::size_t{1000});
    CHECK_EQ(d[3 + 10 * (4 + 10 * 5)], 12.0f);
    CHECK_EQ(d[999], 27.0f);

    // the whole z = 0 layer: every site lies z steps away
    std::vector<std::size_t> layer;
    for (std::size_t i = 0; i < 20; ++i) layer.push_back(i);
    const std::vector<float> by_z = build_distance_field({5, 4, 3}, layer);
    bool exact = true;
    for (std::size_t i = 0; i < by_z.size(); ++i) exact = exact && by_z[i] == static_cast<float>(i / 20);
    CHECK(exact);

    // two anchors: the nearer one wins; a repeat and an out-of-range one change nothing
    const std::vector<float> two = build_distance_field({7, 1, 1}, {1, 1, 70, 5});
    CHECK(two == (std::vector<float>{1, 0, 1, 2, 1, 0, 1}));
    // only out-of-range anchors: nothing is reached
    const std::vector<float> none = build_distance_field({3, 2, 1}, {6, 100});
    CHECK_EQ(none.size(), std::size_t{6});
    bool all_inf = true;
    for (const float v : none) all_inf = all_inf && v == std::numeric_limits<float>::infinity();
    CHECK(all_inf);
    // no anchors at all
    CHECK_EQ(build_distance_field({2, 2, 1}, {})[3], std::numeric_limits<float>::infinity());
    // an empty box
    CHECK(build_distance_field({0, 4, 4}, {0}).empty());
}

void membrane_setters() {
    // periodic: the search does not wrap
    World w = box(10, 1, 1, true);
    CHECK(!w.terms.membrane.on);
    set_membrane(w, {0}, 1.0, 2.0);
    CHECK_EQ(w.terms.membrane.distance.size(), std::size_t{10});
    CHECK_EQ(w.terms.membrane.distance[9], 9.0f);
    CHECK_EQ(w.terms.membrane.k, 1.0);
    CHECK_EQ(w.terms.membrane.band, 2.0);
    CHECK(!w.terms.membrane.on);  // no type anchored yet
    set_membrane_anchored(w, 3, true);
    CHECK_EQ(w.terms.membrane.anchored.size(), std::size_t{4});
    CHECK(w.terms.membrane.anchored[0] == 0 && w.terms.membrane.anchored[2] == 0 && w.terms.membrane.anchored[3] != 0);
    CHECK(w.terms.membrane.on);

    // empty anchors: distances dropped, k and band kept
    set_membrane(w, {}, 5.0, 1.0);
    CHECK(w.terms.membrane.distance.empty());
    CHECK_EQ(w.terms.membrane.k, 1.0);
    CHECK_EQ(w.terms.membrane.band, 2.0);
    CHECK(!w.terms.membrane.on);
    CHECK_EQ(delta_membrane(w, 5, cell(w, 3)), 0.0);

    // new anchors replace distances, k and band
    set_membrane(w, {9}, 0.5, 0.0);
    CHECK_EQ(w.terms.membrane.distance[0], 9.0f);
    CHECK_EQ(w.terms.membrane.k, 0.5);
    CHECK_EQ(w.terms.membrane.band, 0.0);
    CHECK(w.terms.membrane.on);
    set_membrane_anchored(w, 3, false);
    CHECK(!w.terms.membrane.on);
}

void membrane_energy() {
    // a row of 10 sites anchored at x = 0; k = 1, band = 2
    World w = box(10, 1, 1);
    const CellId a = cell(w, 1);
    const CellId b = cell(w, 1);
    const CellId free = cell(w, 2);
    set_membrane(w, {0}, 1.0, 2.0);
    set_membrane_anchored(w, 1, true);
    paint(w, 4, a);
    paint(w, 6, b);
    paint(w, 7, free);
    // a takes the medium site at distance 5: (5 − 2)² = 9; the medium takes it back: −9
    CHECK_EQ(delta_membrane(w, 5, a), 9.0);
    CHECK_EQ(delta_membrane(w, 4, MEDIUM), -4.0);
    paint(w, 5, a);
    CHECK_EQ(delta_membrane(w, 5, MEDIUM), -9.0);
    // within the band nothing is charged either way
    CHECK_EQ(delta_membrane(w, 2, a), 0.0);
    paint(w, 2, a);
    CHECK_EQ(delta_membrane(w, 2, MEDIUM), 0.0);
    // anchored to anchored at the same site: gain − loss = 0
    CHECK_EQ(delta_membrane(w, 5, b), 0.0);
    // an unanchored type pays nothing, but the anchored loser still saves
    CHECK_EQ(delta_membrane(w, 8, free), 0.0);
    CHECK_EQ(delta_membrane(w, 6, free), -16.0);
    CHECK_EQ(delta_membrane(w, 7, b), 25.0);

    // the medium is never anchored, even with type 0 flagged; a real cell of type 0 is
    set_membrane_anchored(w, 0, true);
    CHECK_EQ(delta_membrane(w, 7, MEDIUM), 0.0);
    const CellId zero = cell(w, 0);
    CHECK_EQ(delta_membrane(w, 8, zero), 36.0);

    // gain = (k·e)·e: with k = 0.1 and e = 3 that is 0.9000000000000001, not 0.9
    set_membrane(w, {0}, 0.1, 2.0);
    const double k = 0.1, e = 3.0;
    CHECK_EQ(delta_membrane(w, 5, MEDIUM), -((k * e) * e));
    CHECK(delta_membrane(w, 5, MEDIUM) != -0.9);

    // all anchors out of range: infinite distances, infinite charges
    set_membrane(w, {100}, 1.0, 2.0);
    CHECK(w.terms.membrane.on);
    CHECK_EQ(delta_membrane(w, 8, a), inf);
    CHECK_EQ(delta_membrane(w, 5, MEDIUM), -inf);
}

// ---- length ----

void lengths() {
    // a row of 10 along x: Σx = 45, Σx² = 285
    CHECK_EQ(major_axis_length(10, {45, 0, 0}, {285, 0, 0, 0, 0, 0}), std::sqrt(99.0));
    // a row of 2 along z
    CHECK_EQ(major_axis_length(2, {0, 0, 1}, {0, 0, 1, 0, 0, 0}), std::sqrt(3.0));
    // a 4×4 square: Σx = Σy = 24, Σx² = Σy² = 56, Σxy = 36
    CHECK_EQ(major_axis_length(16, {24, 24, 0}, {56, 56, 0, 36, 0, 0}), std::sqrt(15.0));
    // five sites (i, i, 0): off-diagonal covariance, eigenvalue 4 by the trigonometric path
    CHECK(std::fabs(major_axis_length(5, {10, 10, 0}, {30, 30, 0, 30, 0, 0}) - std::sqrt(48.0)) < 1e-12);
    // five sites (i, i, i): eigenvalue 6, length √72
    CHECK(std::fabs(major_axis_length(5, {10, 10, 10}, {30, 30, 30, 30, 30, 30}) - std::sqrt(72.0)) < 1e-12);
    // fewer than two sites
    CHECK_EQ(major_axis_length(1, {3, 4, 5}, {9, 16, 25, 12, 15, 20}), 0.0);
    CHECK_EQ(major_axis_length(0, {0, 0, 0}, {0, 0, 0, 0, 0, 0}), 0.0);
    CHECK_EQ(major_axis_length(-3, {0, 0, 0}, {0, 0, 0, 0, 0, 0}), 0.0);
    // two sites at one place (impossible for a cell, but a valid input): zero spread
    CHECK_EQ(major_axis_length(2, {2, 2, 2}, {2, 2, 2, 2, 2, 2}), 0.0);

    // from the trackers of painted cells
    World w = box(6, 6, 1);
    const CellId row = cell(w, 1);
    const CellId dot = cell(w, 1);
    for (std::size_t x = 1; x < 5; ++x) paint(w, at(w, x, 2), row);
    paint(w, at(w, 0, 5), dot);
    recompute_trackers(w);
    CHECK_EQ(cell_length(w, row), std::sqrt(15.0));
    CHECK_EQ(cell_length(w, dot), 0.0);
    CHECK(tessaly_test::throws<EngineError>([&] { cell_length(w, 3); }, "not registered"));
}

void length_setter() {
    World w = box(3, 1, 1);
    CHECK(!w.terms.length.on);
    set_length_constraint(w, 7, 4.5, 0.25);
    CHECK_EQ(w.terms.length.lambda.size(), std::size_t{8});
    CHECK_EQ(w.terms.length.target.size(), std::size_t{8});
    bool rest_zero = true;
    const LengthTerm& term = w.terms.length;
    for (std::size_t t = 0; t < 7; ++t) rest_zero = rest_zero && term.lambda[t] == 0.0 && term.target[t] == 0.0;
    CHECK(rest_zero);
    CHECK_EQ(w.terms.length.lambda[7], 0.25);
    CHECK_EQ(w.terms.length.target[7], 4.5);
    CHECK(w.terms.length.on);
    // a lower type leaves the lists' length alone
    set_length_constraint(w, 2, 1.0, -1.0);
    CHECK_EQ(w.terms.length.lambda.size(), std::size_t{8});
    set_length_constraint(w, 7, 4.5, 0.0);
    CHECK(!w.terms.length.on);  // only a negative λ left: the sweep skips the term
}

void length_energy() {
    // a one-site cell at (1, 0, 0) with λ = 1, L_t = 5: growing to the face
    // neighbour (2, 0, 0) takes its energy from 0 to (√3 − 5)²
    World w = box(5, 3, 1);
    const CellId c = cell(w, 1);
    paint(w, at(w, 1, 0), c);
    set_length_constraint(w, 1, 5.0, 1.0);
    recompute_trackers(w);
    const double grown = (std::sqrt(3.0) - 5.0) * (std::sqrt(3.0) - 5.0);
    CHECK_EQ(delta_length(w, at(w, 2, 0), c), grown);
    CHECK_EQ(delta_length(w, at(w, 1, 0), c), 0.0);       // same id
    CHECK_EQ(delta_length(w, at(w, 1, 0), MEDIUM), 0.0);  // 1 → 0 sites: no energy either side
    apply_flip(w, at(w, 2, 0), c);
    CHECK_EQ(delta_length(w, at(w, 2, 0), MEDIUM), -grown);

    // a cell of an unconstrained type contributes nothing
    const CellId other = cell(w, 2);
    paint(w, at(w, 4, 2), other);
    recompute_trackers(w);
    CHECK_EQ(delta_length(w, at(w, 3, 2), other), 0.0);
    // a negative λ contributes when the term is evaluated
    set_length_constraint(w, 2, 5.0, -2.0);
    CHECK_EQ(delta_length(w, at(w, 3, 2), other), -2.0 * grown);
    // a NaN λ counts as set
    set_length_constraint(w, 2, 5.0, nan);
    CHECK(std::isnan(delta_length(w, at(w, 3, 2), other)));
    // a type past the end of target_length reads a target of 0: λ·L²
    w.terms.length.lambda.push_back(3.0);
    set_cell_type(w, other, 3);
    CHECK_EQ(delta_length(w, at(w, 3, 2), other), 3.0 * (std::sqrt(3.0) * std::sqrt(3.0)));
    // a type past the end of lambda_length has none
    set_cell_type(w, other, 9);
    CHECK_EQ(delta_length(w, at(w, 3, 2), other), 0.0);
    // the medium's record is a cell like any other: a constraint on type 0 charges it
    World m = box(3, 1, 1);
    set_length_constraint(m, 0, 0.0, 1.0);
    recompute_trackers(m);
    const CellId d = cell(m, 1);
    // the medium at x = 0, 1, 2 (length about √8) keeps x = 0, 1 (length √3)
    const double three = major_axis_length(3, {3, 0, 0}, {5, 0, 0, 0, 0, 0});
    CHECK(std::fabs(three - std::sqrt(8.0)) < 1e-12);
    CHECK_EQ(delta_length(m, 2, d), std::sqrt(3.0) * std::sqrt(3.0) - three * three);
}

// ΔH of a copy equals E(after) − E(before), with E from the applied copy's trackers.
void length_delta_matches_energies() {
    World w = box(7, 6, 2);
    const CellId a = cell(w, 1);
    const CellId b = cell(w, 2);
    for (std::size_t x = 1; x < 5; ++x) paint(w, at(w, x, 2, 0), a);
    paint(w, at(w, 2, 3, 1), a);
    for (std::size_t y = 1; y < 5; ++y) paint(w, at(w, 5, y, 1), b);
    set_length_constraint(w, 1, 6.0, 0.7);
    set_length_constraint(w, 2, 1.5, 2.0);
    recompute_trackers(w);
    auto energy = [&](CellId id) {
        const Cell& c = w.cells[id];
        if (c.trackers.volume < 2 || c.cell_type == 0) return 0.0;
        const double d = cell_length(w, id) - w.terms.length.target[c.cell_type];
        return w.terms.length.lambda[c.cell_type] * (d * d);
    };
    const std::pair<std::size_t, CellId> copies[] = {
        {at(w, 5, 2, 0), a}, {at(w, 1, 2, 0), MEDIUM}, {at(w, 5, 3, 1), a}, {at(w, 4, 2, 1), b}, {at(w, 2, 3, 1), b}};
    for (const auto& [site, id] : copies) {
        const CellId old = w.lattice.sites[site];
        const double before = energy(old) + energy(id);
        const double delta = delta_length(w, site, id);
        apply_flip(w, site, id);
        CHECK_EQ(delta, (energy(old) + energy(id)) - before);
    }
}

// ---- external potential ----

void external_energy() {
    World w = box(3, 3, 10);
    set_external_potential(w, 1, 0.0, 0.0, -1.0);
    CHECK(w.terms.external.on);
    const CellId c = cell(w, 1);
    const CellId d = cell(w, 1);
    // a pull towards z = 0: taking a site at z = 5 costs 5, giving it back saves 5
    CHECK_EQ(delta_external(w, at(w, 2, 1, 5), c), 5.0);
    paint(w, at(w, 2, 1, 5), c);
    CHECK_EQ(delta_external(w, at(w, 2, 1, 5), MEDIUM), -5.0);
    CHECK_EQ(delta_external(w, at(w, 2, 1, 0), c), 0.0);
    // same type or same id: nothing
    CHECK_EQ(delta_external(w, at(w, 2, 1, 5), d), 0.0);
    CHECK_EQ(delta_external(w, at(w, 2, 1, 5), c), 0.0);

    // every component counts, at raw coordinates: −F·r for a gain from the medium
    set_external_potential(w, 2, 1.0, 2.0, 3.0);
    const CellId e = cell(w, 2);
    CHECK_EQ(delta_external(w, at(w, 2, 1, 5), e), (-1.0 * 2.0 + -2.0 * 1.0) + (-1.0 - 3.0) * 5.0);
    CHECK_EQ(delta_external(w, at(w, 1, 2, 4), e), -(1.0 + 4.0 + 12.0));
    // a type beyond the list has no force
    const CellId far = cell(w, 9);
    CHECK_EQ(delta_external(w, at(w, 1, 2, 4), far), 0.0);
    CHECK_EQ(delta_external(w, at(w, 2, 1, 5), far), -5.0);

    // the summation order ((Fx·x + Fy·y) + Fz·z)
    World o = box(2, 2, 2);
    set_external_potential(o, 1, -0.1, -0.2, -0.3);
    const CellId f = cell(o, 1);
    CHECK_EQ(delta_external(o, at(o, 1, 1, 1), f), (0.1 + 0.2) + 0.3);
    CHECK(delta_external(o, at(o, 1, 1, 1), f) != 0.1 + (0.2 + 0.3));
}

void external_setter() {
    World w = box(2, 2, 1);
    CHECK(!w.terms.external.on);
    set_external_potential(w, 3, 0.0, 0.5, 0.0);
    CHECK_EQ(w.terms.external.force.size(), std::size_t{4});
    bool zero = true;
    for (std::size_t t = 0; t < 3; ++t) {
        const Force& f = w.terms.external.force[t];
        zero = zero && f.fx == 0.0 && f.fy == 0.0 && f.fz == 0.0;
    }
    CHECK(zero);
    CHECK_EQ(w.terms.external.force[3].fy, 0.5);
    CHECK(w.terms.external.on);
    set_external_potential(w, 3, 0.0, 0.0, 0.0);
    CHECK(!w.terms.external.on);
    set_external_potential(w, 1, 0.0, 0.0, nan);
    CHECK(w.terms.external.on);
    CHECK_EQ(w.terms.external.force.size(), std::size_t{4});
}

// ---- dynamics ----

// One 4×4 cell in the middle of a planar box.
World square_cell(std::size_t nx, std::size_t ny, std::size_t x0, std::size_t y0, double lambda_volume) {
    World w = box(nx, ny, 1, false, 2);
    w.temperature = 2.0;
    const CellId c = add_cell(w, 1, 16.0, lambda_volume, 0.0, 0.0);
    for (std::size_t y = y0; y < y0 + 4; ++y)
        for (std::size_t x = x0; x < x0 + 4; ++x) paint(w, at(w, x, y), c);
    return w;
}

void external_drives_drift() {
    for (const double fx : {0.5, -0.5}) {
        World w = square_cell(80, 12, 38, 4, 2.0);
        set_external_potential(w, 1, fx, 0.0, 0.0);
        Cpm cpm = start(std::move(w), 11);
        const double before = com_x(cpm.world, 1);
        step(cpm, 400);
        // without a force the cell wanders a few sites either way
        const double shift = com_x(cpm.world, 1) - before;
        CHECK(fx > 0 ? shift > 12.0 : shift < -12.0);
    }
}

void membrane_holds_near_anchors() {
    for (const bool anchored : {false, true}) {
        // anchors along the column x = 0; the cell starts 14 steps away
        World w = square_cell(30, 10, 14, 3, 5.0);
        std::vector<std::size_t> column;
        for (std::size_t y = 0; y < 10; ++y) column.push_back(at(w, 0, y));
        set_membrane(w, column, 0.05, 1.0);
        set_membrane_anchored(w, 1, anchored);
        Cpm cpm = start(std::move(w), 5);
        step(cpm, 200);
        if (!anchored) {
            // left alone the cell wanders a few sites from x = 15.5
            CHECK(com_x(cpm.world, 1) > 10.0);
            continue;
        }
        CHECK(com_x(cpm.world, 1) < 8.0);
        CHECK(cpm.world.cells[1].trackers.volume > 8);
        // once there it stays: no site drifts far from the anchors
        step(cpm, 100);
        std::size_t farthest = 0;
        for (std::size_t i = 0; i < cpm.world.lattice.n_sites(); ++i)
            if (cpm.world.lattice.sites[i] == 1) farthest = std::max(farthest, i % 30);
        CHECK(farthest < 12);
    }
}

void length_elongates() {
    double lengths[2];
    for (const bool constrained : {false, true}) {
        World w = square_cell(30, 30, 13, 13, 5.0);
        if (constrained) set_length_constraint(w, 1, 12.0, 1.0);
        Cpm cpm = start(std::move(w), 3);
        step(cpm, 150);
        lengths[constrained ? 1 : 0] = cell_length(cpm.world, 1);
    }
    CHECK(lengths[0] < 7.0);
    CHECK(lengths[1] > 9.0);
}

// ---- junction ----

// a medium gap between two flagged cells along x
void junction_energy() {
    World w = box(5, 3, 1);
    const CellId a = add_cell(w, 1, 0, 0, 0, 0);
    const CellId b = add_cell(w, 1, 0, 0, 0, 0);
    const CellId c = add_cell(w, 2, 0, 0, 0, 0);
    paint(w, 5 + 1, a);
    paint(w, 5 + 3, b);
    set_junction(w, 1, true);
    CHECK(!w.terms.junction.on);  // λ still 0
    set_junction_lambda(w, 2.0);
    CHECK(w.terms.junction.on);
    CHECK_EQ(pinch_at(w, 5 + 2, 5 + 2, 0), 1u);
    CHECK_EQ(delta_junction(w, 5 + 2, a), -2.0);
    // the reverse move opens the gap again
    World closed = w;
    paint(closed, 5 + 2, a);
    CHECK_EQ(delta_junction(closed, 5 + 2, 0), 2.0);
    // same cell on both sides, or an unflagged type: no pinch
    paint(w, 5 + 3, a);
    CHECK_EQ(pinch_at(w, 5 + 2, 5 + 2, 0), 0u);
    paint(w, 5 + 3, c);
    CHECK_EQ(pinch_at(w, 5 + 2, 5 + 2, 0), 0u);
    // the outer layer is never pinched
    CHECK_EQ(pinch_at(w, 0, 0, 0), 0u);
    set_junction_lambda(w, -1.0);
    CHECK(!w.terms.junction.on);
}


// ---- links ----

double link_delta(const World& w, std::size_t site, CellId n) {
    return delta_links(w.terms.links, w.lattice, RegistryTrackers{w.cells.data()}, site, w.lattice.sites[site], n);
}

// Two cells of two sites on a row, linked with λ = 2, L = 3 (box open) or
// λ = 1, L = 1 (periodic, the first cell across the face x = 0).
void link_energy_by_hand() {
    World w = box(8, 1, 1);
    const CellId a = cell(w, 1), b = cell(w, 1);
    for (const std::size_t x : {0, 1}) paint(w, x, a);
    for (const std::size_t x : {4, 5}) paint(w, x, b);
    recompute_trackers(w);
    add_link(w, a, b, 2.0, 3.0, inf);
    CHECK(w.terms.links.on && !w.terms.links.wraps);
    CHECK_EQ(link_energy(w), 2.0);                // d = 4
    CHECK_EQ(link_delta(w, 2, a), 0.5 - 2.0);     // d = 3.5
    CHECK(std::fabs(link_delta(w, 3, a) - (2.0 / 36.0 - 2.0)) < 1e-15);  // x = 0, 1, 3: d = 19/6
    CHECK_EQ(link_delta(w, 4, MEDIUM), 2.0 * 2.25 - 2.0);                 // b shrinks to x = 5: d = 4.5

    World p = box(8, 1, 1, true);
    const CellId c = cell(p, 1), d = cell(p, 1);
    for (const std::size_t x : {7, 0}) paint(p, x, c);
    for (const std::size_t x : {2, 3}) paint(p, x, d);
    recompute_trackers(p);
    add_link(p, c, d, 1.0, 1.0, inf);
    CHECK(p.terms.links.wraps);
    CHECK_EQ(link_energy(p), 4.0);           // centroids −0.5 and 2.5
    CHECK_EQ(link_delta(p, 6, c), 6.25 - 4.0);  // c's centroid 7, d = 4.5 → 3.5 by minimum image
    CHECK_EQ(link_distance(p, p.terms.links.links[0]), 3.0);
}

// The sweep's apply, so that the frames change as in a step.
void copy(World& w, std::size_t site, CellId n) {
    SiteList nb;
    neighbors_into(w.lattice, site, nb);
    SurfaceDeltas deltas;
    surface_deltas_into(w, site, n, nb, deltas);
    RegistryTrackers place{w.cells.data()};
    apply_copy(w, place, SiteIndex{site}, w.lattice.sites[site], n, nb, deltas);
}

// Three linked cells (a chain and a link between the two cells a copy
// touches); every distance also from the centroids of centroid.hpp.
World linked_world(bool periodic) {
    World w = box(12, 10, 2, periodic);
    const CellId a = cell(w, 1), b = cell(w, 1), c = cell(w, 2);
    for (const std::size_t x : {11, 0, 1}) paint(w, at(w, x, 2, 0), a);  // across x = 0 when periodic
    paint(w, at(w, 0, 3, 1), a);
    for (const std::size_t y : {9, 0, 1}) paint(w, at(w, 3, y, 1), b);   // across y = 0 when periodic
    for (const std::size_t x : {4, 5}) paint(w, at(w, x, 4, 0), c);
    recompute_trackers(w);
    add_link(w, a, b, 0.7, 2.0, inf);
    add_link(w, b, c, 1.5, 0.5, inf);
    add_link(w, c, a, 2.0, 3.0, inf);
    return w;
}

void check_distances(const World& w) {
    const std::vector<Vec3> c = centroids(w, nullptr);
    for (const Link& link : w.terms.links.links) {
        if (w.cells[link.a].trackers.volume == 0 || w.cells[link.b].trackers.volume == 0) {
            CHECK(std::isnan(link_distance(w, link)));
            continue;
        }
        const Vec3 d = minimum_image(w, c[link.a], c[link.b]);
        const double expected = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        CHECK(std::fabs(link_distance(w, link) - expected) < 1e-12);
    }
    // the caches that pricing reads are those a full refresh computes, to the bit
    LinkTerm fresh = w.terms.links;
    refresh_link_cache(w, fresh);
    auto same = [](double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; };
    const LinkTerm& kept = w.terms.links;
    for (std::size_t e = 0; e < kept.ends.size(); ++e)
        CHECK(same(kept.ends[e].stretch, fresh.ends[e].stretch) && same(kept.ends[e].energy, fresh.ends[e].energy));
    for (std::size_t id = 1; id < kept.reach.size(); ++id) {
        const LinkReach &k = kept.reach[id], &f = fresh.reach[id];
        CHECK(same(k.stretch, f.stretch) && same(k.energy, f.energy) && same(k.lambdas, f.lambdas));
        CHECK(same(k.inv_less, f.inv_less) && same(k.inv_more, f.inv_more));
        for (unsigned a = 0; a < 3; ++a) CHECK(same(k.c[a], f.c[a]) && same(kept.centre[id].c[a], fresh.centre[id].c[a]));
    }
}

// ΔH of a copy equals H(after) − H(before), on an open and a periodic box:
// copies into, out of and between linked cells, one that empties a cell.
void link_delta_matches_energies() {
    for (const bool periodic : {false, true}) {
        World w = linked_world(periodic);
        const CellId a = 1, b = 2, c = 3;
        const std::pair<std::size_t, CellId> copies[] = {
            {at(w, 10, 2, 0), a}, {at(w, 3, 2, 1), b},      {at(w, 3, 8, 1), b},      {at(w, 0, 3, 1), MEDIUM},
            {at(w, 3, 9, 0), b},  {at(w, 4, 3, 0), c},      {at(w, 1, 2, 0), MEDIUM}, {at(w, 11, 2, 0), MEDIUM},
            {at(w, 5, 4, 0), b},  {at(w, 4, 4, 0), MEDIUM}, {at(w, 4, 3, 0), MEDIUM}, {at(w, 11, 2, 0), a}};
        for (const auto& [site, id] : copies) {
            const double before = link_energy(w);
            const double delta = link_delta(w, site, id);
            copy(w, site, id);
            CHECK(std::fabs(delta - (link_energy(w) - before)) < 1e-12);
            check_distances(w);
        }
        CHECK_EQ(w.cells[c].trackers.volume, 0);
        CHECK_EQ(link_energy(w), 0.7 * std::pow(link_distance(w, w.terms.links.links[0]) - 2.0, 2.0));
    }
}

// The frames and caches stay exact through both sweeps on a periodic and an
// open box, and the parallel sweep gives the same for any number of workers.
void link_frames_in_sweeps() {
    for (const bool periodic : {true, false}) {
        std::vector<CellId> by_workers[2];
        for (const std::size_t workers : {1, 2}) {
            World w = box(24, 24, 1, periodic, 2);
            for (std::size_t k = 0; k < 9; ++k) {
                const CellId id = add_cell(w, 1, 16.0, 2.0, 0.0, 0.0);
                for (std::size_t y = 0; y < 4; ++y)
                    for (std::size_t x = 0; x < 4; ++x)
                        paint(w, at(w, (22 + 8 * (k % 3) + x) % 24, (22 + 8 * (k / 3) + y) % 24), id);
            }
            for (CellId id = 1; id < 9; ++id) add_link(w, id, id + 1, 1.0, 4.0, inf);
            Cpm cpm = start(std::move(w), 5);
            step(cpm, 20);
            check_distances(cpm.world);
            set_worker_count_for_testing(workers);
            step_parallel(cpm, 20, 8);
            check_distances(cpm.world);
            by_workers[workers - 1] = cpm.world.lattice.sites;
        }
        CHECK(by_workers[0] == by_workers[1]);
    }
}

void link_setters_and_steps() {
    World w = box(12, 3, 1);
    for (std::size_t k = 0; k < 4; ++k) {  // columns x = 2k + 2, 2k + 3, the last of type 2
        const CellId id = cell(w, k == 3 ? 2 : 1);
        for (std::size_t y = 0; y < 3; ++y)
            for (std::size_t x = 2 * k + 2; x < 2 * k + 4; ++x) paint(w, at(w, x, y), id);
    }
    recompute_trackers(w);
    // refusals change nothing
    CHECK(tessaly_test::throws<EngineError>([&] { add_link(w, 1, 1, 1.0, 1.0, inf); }, "itself"));
    CHECK(tessaly_test::throws<EngineError>([&] { add_link(w, 0, 1, 1.0, 1.0, inf); }, "medium"));
    CHECK(tessaly_test::throws<EngineError>([&] { add_link(w, 1, 9, 1.0, 1.0, inf); }, "not registered"));
    CHECK(tessaly_test::throws<EngineError>([&] { add_link(w, 1, 2, nan, 1.0, inf); }, "lambda"));
    CHECK(tessaly_test::throws<EngineError>([&] { add_link(w, 1, 2, 1.0, -1.0, inf); }, "length"));
    CHECK(tessaly_test::throws<EngineError>([&] { set_link_formation(w, 1, 1, 1.0, 1.0, nan, 1); }, "max_length"));
    CHECK(!w.terms.links.on && w.terms.links.links.empty());
    // a second link between a pair replaces the first; removal
    add_link(w, 2, 1, 1.0, 1.0, inf);
    add_link(w, 1, 2, 3.0, 1.0, inf);
    CHECK(w.terms.links.links.size() == 1 && w.terms.links.links[0].lambda == 3.0);
    CHECK(remove_link(w, 2, 1) && !remove_link(w, 1, 2) && !w.terms.links.on);
    // a batch: refused whole, or merged with the links there (the later of a pair winning)
    add_link(w, 2, 3, 1.0, 1.0, inf);
    CHECK(tessaly_test::throws<EngineError>(
        [&] { add_links(w, {{1, 2, 1.0, 1.0, inf}, {3, 3, 1.0, 1.0, inf}}); }, "itself"));
    CHECK(w.terms.links.links.size() == 1);
    add_links(w, {{3, 2, 5.0, 1.0, inf}, {4, 1, 1.0, 1.0, inf}, {1, 4, 2.0, 1.0, inf}});
    CHECK(w.terms.links.links.size() == 2 && w.terms.links.links[0].b == 4 && w.terms.links.links[0].lambda == 2.0);
    CHECK(w.terms.links.links[1].a == 2 && w.terms.links.links[1].lambda == 5.0);
    check_distances(w);
    CHECK(remove_link(w, 1, 4) && remove_link(w, 2, 3) && !w.terms.links.on);
    // formation in (id_a, id_b) order, at most one link per cell of type 1
    // to type 1 (so 2–3 waits); type 2 takes any number
    set_link_formation(w, 1, 1, 1.0, 2.0, 2.5, 1);
    set_link_formation(w, 2, 1, 1.0, 2.0, inf, NO_LINK_LIMIT);
    links_step(w);
    const std::vector<Link>& links = w.terms.links.links;
    CHECK(links.size() == 2 && links[0].a == 1 && links[0].b == 2 && links[1].a == 3 && links[1].b == 4);
    // cell 1 pulled away to x = 0..2 (d = 3.5): 1–2 breaks first, so that
    // 2 is free to link with 3 in the same step
    for (std::size_t y = 0; y < 3; ++y) {
        apply_flip(w, at(w, 3, y), MEDIUM);
        apply_flip(w, at(w, 1, y), 1);
        apply_flip(w, at(w, 0, y), 1);
    }
    links_step(w);
    CHECK(links.size() == 2 && links[0].a == 2 && links[0].b == 3 && links[1].a == 3 && links[1].b == 4);
    // removal takes a cell's links along
    remove_cells(w, {4});
    CHECK(links.size() == 1 && links[0].b == 3);
}

// divide_cell keeps links on the parent, or hands each to the nearer cell.
void links_follow_divisions() {
    for (const bool share : {false, true}) {
        World w = box(10, 3, 1, true);
        const CellId a = cell(w, 1), b = cell(w, 1), c = cell(w, 1);
        for (std::size_t y = 0; y < 3; ++y) {
            paint(w, at(w, 0, y), b);
            for (std::size_t x = 1; x < 7; ++x) paint(w, at(w, x, y), a);
            paint(w, at(w, 7, y), c);
        }
        recompute_trackers(w);
        add_link(w, a, b, 1.0, 1.0, inf);
        add_link(w, a, c, 1.0, 1.0, inf);
        const CellId d = divide_cell(w, a, {1.0, 0.0, 0.0}, 9.0, 9.0, share);  // d takes x = 4..6
        const std::vector<Link>& links = w.terms.links.links;
        CHECK(links.size() == 2 && links[0].a == a && links[0].b == b);
        CHECK_EQ(links[1].a, share ? c : a);
        CHECK_EQ(links[1].b, share ? d : c);
        check_distances(w);
    }
}
}  // namespace

int main() {
    distance_field();
    membrane_setters();
    membrane_energy();
    lengths();
    length_setter();
    length_energy();
    length_delta_matches_energies();
    external_energy();
    external_setter();
    external_drives_drift();
    membrane_holds_near_anchors();
    length_elongates();
    junction_energy();
    link_energy_by_hand();
    link_delta_matches_energies();
    link_frames_in_sweeps();
    link_setters_and_steps();
    links_follow_divisions();
    return tessaly_test::finish();
}

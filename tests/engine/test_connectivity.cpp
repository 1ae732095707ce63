// The local connectivity test on hand-painted worlds, and a long sweep in
// which guarded cells must never split.
#include "connectivity.hpp"

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "check.hpp"
#include "error.hpp"
#include "sweep.hpp"
#include "world.hpp"

using namespace tessaly;

namespace {

World planar(std::size_t nx, std::size_t ny, std::uint8_t order, bool periodic = false) {
    return World(Lattice({nx, ny, 1}, {periodic, periodic, periodic}, Neighborhood(0, order)), 1.0);
}

std::size_t at(const World& w, std::size_t x, std::size_t y, std::size_t z = 0) {
    return x + w.lattice.nx * (y + w.lattice.ny * z);
}

SiteList nodes_of(std::initializer_list<std::size_t> sites) {
    SiteList out;
    for (const std::size_t s : sites) out.push_back(s);
    return out;
}

// Number of pieces of cell `id` in the whole lattice, by a flood fill over
// the configured neighbourhood.
std::size_t pieces(const World& w, CellId id) {
    const std::size_t n = w.lattice.n_sites();
    std::vector<bool> seen(n, false);
    std::size_t count = 0;
    for (std::size_t start = 0; start < n; ++start) {
        if (seen[start] || w.lattice.sites[start] != id) continue;
        ++count;
        std::vector<std::size_t> stack{start};
        seen[start] = true;
        while (!stack.empty()) {
            const std::size_t u = stack.back();
            stack.pop_back();
            for (const std::size_t v : neighbors(w.lattice, u))
                if (!seen[v] && w.lattice.sites[v] == id) {
                    seen[v] = true;
                    stack.push_back(v);
                }
        }
    }
    return count;
}

void switches() {
    World w = planar(4, 4, 1);
    const CellId a = add_cell(w, 1, 0.0, 0.0, 0.0, 0.0);
    const CellId b = add_cell(w, 3, 0.0, 0.0, 0.0, 0.0);
    CHECK(!w.terms.connectivity.on);
    CHECK(!connectivity_applies(w, a));
    CHECK(!connectivity_applies(w, MEDIUM));

    // a type beyond the end of the list is unguarded
    set_connectivity(w, 1, true);
    CHECK(w.terms.connectivity.on);
    CHECK_EQ(w.terms.connectivity.guarded.size(), std::size_t{2});
    CHECK(connectivity_applies(w, a));
    CHECK(!connectivity_applies(w, b));
    CHECK(!connectivity_applies(w, MEDIUM));

    set_connectivity(w, 1, false);
    CHECK(!w.terms.connectivity.on);
    CHECK(!connectivity_applies(w, a));

    set_connectivity_medium(w, true);
    CHECK(w.terms.connectivity.on);
    CHECK(connectivity_applies(w, MEDIUM));
    CHECK(!connectivity_applies(w, a));
    set_connectivity_medium(w, false);
    CHECK(!w.terms.connectivity.on);

    // switching a type off on an empty list still grows it, all entries false
    World fresh = planar(2, 2, 1);
    set_connectivity(fresh, 5, false);
    CHECK_EQ(fresh.terms.connectivity.guarded.size(), std::size_t{6});
    bool any = false;
    for (const std::uint8_t on : fresh.terms.connectivity.guarded) any = any || on != 0;
    CHECK(!any);
    CHECK(!fresh.terms.connectivity.on);
    // growing keeps earlier entries
    set_connectivity(fresh, 2, true);
    set_connectivity(fresh, 7, false);
    CHECK_EQ(fresh.terms.connectivity.guarded.size(), std::size_t{8});
    CHECK(fresh.terms.connectivity.guarded[2] != 0);
    CHECK(fresh.terms.connectivity.on);
}

void row_of_three() {
    World w = planar(5, 3, 1);
    const CellId c = add_cell(w, 1, 0.0, 0.0, 0.0, 0.0);
    for (std::size_t x = 1; x <= 3; ++x) paint(w, at(w, x, 1), c);
    set_connectivity(w, 1, true);
    // the middle site's two cell neighbours touch only through it
    CHECK(!would_stay_connected(w, at(w, 2, 1), c));
    CHECK(would_stay_connected(w, at(w, 1, 1), c));
    CHECK(would_stay_connected(w, at(w, 3, 1), c));
    // a site the cell does not hold, with one cell neighbour
    CHECK(would_stay_connected(w, at(w, 2, 0), c));

    // a one-site cell may lose its only site
    World single = planar(3, 3, 1);
    const CellId s = add_cell(single, 1, 0.0, 0.0, 0.0, 0.0);
    paint(single, at(single, 1, 1), s);
    CHECK(would_stay_connected(single, at(single, 1, 1), s));
}

void square_by_order() {
    for (const std::uint8_t order : {std::uint8_t{1}, std::uint8_t{2}}) {
        World w = planar(4, 4, order);
        const CellId c = add_cell(w, 1, 0.0, 0.0, 0.0, 0.0);
        for (std::size_t y = 1; y <= 2; ++y)
            for (std::size_t x = 1; x <= 2; ++x) paint(w, at(w, x, y), c);
        // under order 1 the two axis neighbours of a corner lie diagonal to
        // each other: refused although the other three sites stay one piece
        const bool expected = order == 2;
        CHECK_EQ(would_stay_connected(w, at(w, 1, 1), c), expected);
        CHECK_EQ(would_stay_connected(w, at(w, 2, 2), c), expected);
    }
}

void medium_between_regions() {
    // x=1 holds cell 1 at y=0 and y=2: the medium of column 0 and column 2
    // meets only through the centre
    World w = planar(3, 3, 1);
    const CellId c = add_cell(w, 1, 0.0, 0.0, 0.0, 0.0);
    paint(w, at(w, 1, 0), c);
    paint(w, at(w, 1, 2), c);
    CHECK(!would_stay_connected(w, at(w, 1, 1), MEDIUM));
    // under order 2 the left and right medium columns are still two steps apart
    World wide = planar(3, 3, 2);
    const CellId d = add_cell(wide, 1, 0.0, 0.0, 0.0, 0.0);
    paint(wide, at(wide, 1, 0), d);
    paint(wide, at(wide, 1, 2), d);
    CHECK(!would_stay_connected(wide, at(wide, 1, 1), MEDIUM));
    // a medium site with a single medium neighbour passes
    CHECK(would_stay_connected(w, at(w, 0, 0), MEDIUM));
    // (0,1) holds (0,0) on to the rest of the medium
    CHECK(!would_stay_connected(w, at(w, 0, 1), MEDIUM));
}

void three_d() {
    // 3x3x3 box, order 3: the centre sees all 26 other sites
    World w(Lattice({3, 3, 3}, {false, false, false}, Neighborhood(1, 3)), 1.0);
    const std::size_t centre = at(w, 1, 1, 1);
    const CellId c = add_cell(w, 1, 0.0, 0.0, 0.0, 0.0);
    for (std::size_t i = 0; i < w.lattice.n_sites(); ++i) paint(w, i, c);
    CHECK(would_stay_connected(w, centre, c));  // 26 members, one piece
    // opposite corners meet only through the centre
    World corners(Lattice({3, 3, 3}, {false, false, false}, Neighborhood(1, 3)), 1.0);
    const CellId d = add_cell(corners, 1, 0.0, 0.0, 0.0, 0.0);
    paint(corners, 0, d);
    paint(corners, centre, d);
    paint(corners, 26, d);
    CHECK(!would_stay_connected(corners, centre, d));
    // a boundary target: corner 0 with its three face neighbours in the cell
    // (order 1) are pairwise two steps apart
    World faces(Lattice({3, 3, 3}, {false, false, false}, Neighborhood(1, 1)), 1.0);
    const CellId e = add_cell(faces, 1, 0.0, 0.0, 0.0, 0.0);
    for (const std::size_t s : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{9}}) paint(faces, s, e);
    CHECK(!would_stay_connected(faces, 0, e));

    // the same 26-member test on a periodic box, where no site is interior-only
    World ring(Lattice({3, 3, 3}, {true, true, true}, Neighborhood(1, 3)), 1.0);
    const CellId f = add_cell(ring, 1, 0.0, 0.0, 0.0, 0.0);
    for (std::size_t i = 0; i < ring.lattice.n_sites(); ++i) paint(ring, i, f);
    CHECK(would_stay_connected(ring, 0, f));
    CHECK(would_stay_connected(ring, centre, f));
}

void repeated_and_self_entries() {
    // A 1-wide periodic x axis: the ±x entries of a site are the site itself.
    // They are not members; else the middle of a row along y would pass,
    // joined to both ends through the site being removed.
    World thin = planar(1, 5, 1, true);
    const CellId c = add_cell(thin, 1, 0.0, 0.0, 0.0, 0.0);
    for (std::size_t y = 1; y <= 3; ++y) paint(thin, at(thin, 0, y), c);
    CHECK(!would_stay_connected(thin, at(thin, 0, 2), c));
    CHECK(would_stay_connected(thin, at(thin, 0, 1), c));

    // A 2-wide periodic x axis lists the other site of the row twice. Each
    // entry is a node of its own and the two are not adjacent, so the test
    // stays conservative there and refuses the copy.
    World pair = planar(2, 3, 1, true);
    const CellId d = add_cell(pair, 1, 0.0, 0.0, 0.0, 0.0);
    paint(pair, at(pair, 0, 1), d);
    paint(pair, at(pair, 1, 1), d);
    CHECK(!would_stay_connected(pair, at(pair, 0, 1), d));
    CHECK_EQ(count_components(pair, nodes_of({at(pair, 1, 1), at(pair, 1, 1)})), std::size_t{2});
}

void components() {
    World w = planar(3, 3, 1);
    CHECK_EQ(count_components(w, SiteList{}), std::size_t{0});
    CHECK_EQ(count_components(w, nodes_of({4})), std::size_t{1});
    CHECK_EQ(count_components(w, nodes_of({0, 2})), std::size_t{2});
    CHECK_EQ(count_components(w, nodes_of({0, 2, 1})), std::size_t{1});
    CHECK_EQ(count_components(w, nodes_of({0, 4, 8})), std::size_t{3});
    CHECK_EQ(count_components(w, nodes_of({0, 8, 2, 6})), std::size_t{4});
    // a chain found only by going back to an earlier node: 0-3-6-7-8-5-2
    CHECK_EQ(count_components(w, nodes_of({2, 0, 8, 6, 5, 3, 7})), std::size_t{1});
    World diag = planar(3, 3, 2);
    CHECK_EQ(count_components(diag, nodes_of({0, 4, 8})), std::size_t{1});
    CHECK_EQ(count_components(diag, nodes_of({0, 8})), std::size_t{2});

    CHECK(tessaly_test::throws<EngineError>([&] { count_components(w, nodes_of({0, 9})); }, "site index out of range"));
    SiteList many;
    for (std::size_t i = 0; i < 33; ++i) many.push_back(i % 9);
    CHECK(tessaly_test::throws<EngineError>([&] { count_components(w, many); }, "at most 32 nodes"));
}

// ---- dynamics ----

// Four cells in a row of squares on a noflux box, hot enough that an
// unguarded run tears cells into pieces.
Cpm make_tissue(bool guarded, bool guard_medium, std::uint8_t order) {
    World w = planar(24, 12, order);
    w.temperature = 6.0;
    for (std::size_t k = 0; k < 4; ++k) {
        const CellId c = add_cell(w, 1, 25.0, 0.5, 0.0, 0.0);
        for (std::size_t y = 3; y < 8; ++y)
            for (std::size_t x = 2 + 5 * k; x < 7 + 5 * k; ++x) paint(w, at(w, x, y), c);
    }
    ContactMatrix contact(2);
    set_pair(contact, 0, 1, 2.0);
    set_pair(contact, 1, 1, 2.0);
    set_contact_matrix(w, contact);
    if (guarded) set_connectivity(w, 1, true);
    if (guard_medium) set_connectivity_medium(w, true);
    recompute_trackers(w);
    return Cpm(std::move(w), 7);
}

void guarded_cells_never_split() {
    for (const std::uint8_t order : {std::uint8_t{1}, std::uint8_t{2}}) {
        Cpm cpm = make_tissue(true, false, order);
        const std::vector<CellId> painted = cpm.world.lattice.sites;
        for (int round = 0; round < 20; ++round) {
            step(cpm, 5);
            for (CellId c = 1; c <= 4; ++c)
                if (cpm.world.cells[c].trackers.volume > 0) CHECK_EQ(pieces(cpm.world, c), std::size_t{1});
        }
        // the guard does not freeze the cells
        std::size_t moved = 0;
        for (std::size_t i = 0; i < painted.size(); ++i) moved += painted[i] != cpm.world.lattice.sites[i] ? 1 : 0;
        CHECK(moved > 20);
    }
    // with the medium guarded too, the medium stays one piece as well
    Cpm both = make_tissue(true, true, 1);
    step(both, 100);
    CHECK_EQ(pieces(both.world, MEDIUM), std::size_t{1});
    for (CellId c = 1; c <= 4; ++c)
        if (both.world.cells[c].trackers.volume > 0) CHECK_EQ(pieces(both.world, c), std::size_t{1});

    // the same tissue unguarded does split: the scenario is a real test
    Cpm loose = make_tissue(false, false, 1);
    std::size_t split = 0;
    for (int round = 0; round < 20; ++round) {
        step(loose, 5);
        for (CellId c = 1; c <= 4; ++c) split += pieces(loose.world, c) > 1 ? 1 : 0;
    }
    CHECK(split > 0);
}

}  // namespace

int main() {
    switches();
    row_of_three();
    square_by_order();
    medium_between_regions();
    three_d();
    repeated_and_self_entries();
    components();
    guarded_cells_never_split();
    // the test agrees with the component count of the members everywhere,
    // on random two-cell paintings: interior sites whose members are all
    // interior take a shortcut on offset masks, the others the general search
    {
        struct Box {
            std::array<std::size_t, 3> dims;
            bool periodic;
            std::uint8_t order;
        };
        const Box boxes[] = {{{9, 8, 1}, false, 1}, {{9, 8, 1}, true, 2}, {{7, 7, 1}, false, 2},
                             {{6, 6, 6}, false, 1}, {{6, 5, 6}, true, 2}, {{6, 6, 6}, false, 3},
                             {{5, 5, 5}, true, 3}, {{3, 3, 3}, false, 3}};
        std::uint64_t h = 99;
        bool agree = true;
        for (const Box& b : boxes) {
            World w(Lattice(b.dims, {b.periodic, b.periodic, b.periodic},
                            Neighborhood(b.dims[2] >= 2 ? 1 : 0, b.order)),
                    1.0);
            add_cell(w, 1, 10.0, 1.0, 0.0, 0.0);
            add_cell(w, 1, 10.0, 1.0, 0.0, 0.0);
            for (int round = 0; round < 40; ++round) {
                for (std::size_t i = 0; i < w.lattice.n_sites(); ++i) {
                    h = h * 6364136223846793005ULL + 1442695040888963407ULL;
                    w.lattice.sites[i] = static_cast<CellId>((h >> 33) % 3);
                }
                for (std::size_t i = 0; i < w.lattice.n_sites(); ++i)
                    for (const CellId c : {CellId{1}, CellId{2}}) {
                        SiteList members;
                        for (const std::size_t j : neighbors(w.lattice, i))
                            if (j != i && w.lattice.sites[j] == c) {
                                bool listed = false;
                                for (const std::size_t m : members) listed = listed || m == j;
                                if (!listed) members.push_back(j);
                            }
                        const bool expected = members.size() < 2 || count_components(w, members) == 1;
                        agree = agree && would_stay_connected(w, i, c) == expected;
                    }
            }
        }
        CHECK(agree);
    }
    return tessaly_test::finish();
}

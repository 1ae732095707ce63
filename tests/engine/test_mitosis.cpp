// Division across the longest side of the bounding box, and removal.
#include <array>
#include <cmath>
#include <vector>

#include "check.hpp"
#include "error.hpp"
#include "mitosis.hpp"
#include "world.hpp"

using namespace tessaly;

namespace {

World make_world(std::size_t nx, std::size_t ny, std::size_t nz, bool periodic) {
    return World(Lattice({nx, ny, nz}, {periodic, periodic, periodic}, Neighborhood(nz >= 2 ? 1 : 0, 1)), 1.0);
}

std::size_t site(const World& w, std::size_t x, std::size_t y, std::size_t z) {
    return x + w.lattice.nx * (y + w.lattice.ny * z);
}

void paint_box(World& w, std::size_t x0, std::size_t y0, std::size_t z0, std::size_t sx, std::size_t sy,
               std::size_t sz, CellId id) {
    for (std::size_t z = z0; z < z0 + sz; ++z)
        for (std::size_t y = y0; y < y0 + sy; ++y)
            for (std::size_t x = x0; x < x0 + sx; ++x) paint(w, site(w, x, y, z), id);
}

// Sites of cell `id` whose coordinate along `axis` satisfies pred.
template <typename Pred>
std::size_t count_sites(const World& w, CellId id, int axis, Pred pred) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < w.lattice.n_sites(); ++i) {
        if (w.lattice.sites[i] != id) continue;
        const Coords p = coords(w.lattice, i);
        const std::size_t c = axis == 0 ? p.x : axis == 1 ? p.y : p.z;
        n += pred(c) ? 1 : 0;
    }
    return n;
}

// Trackers equal a recomputation from the site array.
bool trackers_exact(const World& w) {
    World fresh = w;
    recompute_trackers(fresh);
    for (std::size_t c = 0; c < w.cells.size(); ++c) {
        const Cell& a = w.cells[c];
        const Cell& b = fresh.cells[c];
        if (!(a.trackers == b.trackers)) return false;
    }
    return true;
}

}  // namespace

int main() {
    // a 4×2×2 block: cut across x after x0 + 1, eight sites each side
    {
        World w = make_world(10, 6, 6, false);
        const CellId a = add_cell(w, 3, 20.0, 1.5, 30.0, 0.25);
        paint_box(w, 3, 2, 1, 4, 2, 2, a);
        recompute_trackers(w);
        const std::vector<CellId> born = divide_cells(w, 16.0, 9.0);
        CHECK(born == std::vector<CellId>({2}));
        CHECK_EQ(w.cells.size(), 3u);
        CHECK_EQ(w.cells[a].trackers.volume, 8);
        CHECK_EQ(w.cells[2].trackers.volume, 8);
        CHECK_EQ(count_sites(w, a, 0, [](std::size_t x) { return x <= 4; }), 8u);
        CHECK_EQ(count_sites(w, 2, 0, [](std::size_t x) { return x >= 5; }), 8u);
        const Cell& d = w.cells[2];
        CHECK(d.id == 2 && d.cell_type == 3 && d.target_volume == 9.0 && d.lambda_volume == 1.5 &&
              d.target_surface == 30.0 && d.lambda_surface == 0.25);
        CHECK(w.cells[a].target_volume == 9.0 && w.cells[a].lambda_volume == 1.5);
        CHECK(w.surface_active);
        CHECK(trackers_exact(w));
    }

    // ties: a 2×2×2 cube goes to x; a 1×3×3 slab (y and z equal) goes to y
    {
        World w = make_world(8, 8, 8, false);
        const CellId cube = add_cell(w, 1, 8.0, 1.0, 0.0, 0.0);
        const CellId slab = add_cell(w, 1, 8.0, 1.0, 0.0, 0.0);
        paint_box(w, 1, 1, 1, 2, 2, 2, cube);
        paint_box(w, 5, 3, 3, 1, 3, 3, slab);
        recompute_trackers(w);
        const std::vector<CellId> born = divide_cells(w, 8.0, 4.0);
        CHECK(born == std::vector<CellId>({3, 4}));
        CHECK_EQ(count_sites(w, cube, 0, [](std::size_t x) { return x == 1; }), 4u);
        CHECK_EQ(count_sites(w, 3, 0, [](std::size_t x) { return x == 2; }), 4u);
        CHECK(w.cells[cube].trackers.volume == 4 && w.cells[3].trackers.volume == 4);
        // y from 3 to 5, cut at 4: the middle layer stays with the parent
        CHECK_EQ(count_sites(w, slab, 1, [](std::size_t y) { return y <= 4; }), 6u);
        CHECK_EQ(count_sites(w, 4, 1, [](std::size_t y) { return y == 5; }), 3u);
        CHECK(w.cells[slab].trackers.volume == 6 && w.cells[4].trackers.volume == 3);
    }

    // a 1×1×3 column: z is strictly longest, the middle layer stays
    {
        World w = make_world(3, 3, 5, true);
        const CellId a = add_cell(w, 2, 3.0, 1.0, 0.0, 0.0);
        paint_box(w, 1, 1, 1, 1, 1, 3, a);
        recompute_trackers(w);
        CHECK(divide_cells(w, 3.0, 1.5) == std::vector<CellId>({2}));
        CHECK(w.lattice.sites[site(w, 1, 1, 1)] == a && w.lattice.sites[site(w, 1, 1, 2)] == a);
        CHECK(w.lattice.sites[site(w, 1, 1, 3)] == 2);
        CHECK(w.cells[a].trackers.volume == 2 && w.cells[2].trackers.volume == 1);
        CHECK(trackers_exact(w));
    }

    // a cell straddling a periodic face is cut in raw coordinates: its box
    // spans the gap (x 0..5, cut at 2)
    {
        World w = make_world(6, 1, 1, true);
        const CellId a = add_cell(w, 1, 3.0, 1.0, 0.0, 0.0);
        paint(w, 0, a);
        paint(w, 1, a);
        paint(w, 5, a);
        recompute_trackers(w);
        CHECK(divide_cells(w, 3.0, 1.0) == std::vector<CellId>({2}));
        CHECK(w.lattice.sites == std::vector<CellId>({a, a, 0, 0, 0, 2}));
    }

    // candidates in registry order, daughters in candidate order, each a
    // copy of its own parent; cells below the threshold are left alone
    {
        World w = make_world(12, 3, 1, false);
        const CellId a = add_cell(w, 1, 5.0, 1.0, 0.0, 0.0);
        const CellId small = add_cell(w, 2, 5.0, 2.0, 0.0, 0.0);
        const CellId b = add_cell(w, 3, 5.0, 3.0, 0.0, 0.0);
        paint_box(w, 0, 0, 0, 4, 1, 1, a);
        paint_box(w, 5, 0, 0, 2, 1, 1, small);
        paint_box(w, 0, 1, 0, 12, 2, 1, b);
        recompute_trackers(w);
        CHECK(divide_cells(w, 4.0, 7.0) == std::vector<CellId>({4, 5}));
        CHECK(w.cells[4].cell_type == 1 && w.cells[4].lambda_volume == 1.0);
        CHECK(w.cells[5].cell_type == 3 && w.cells[5].lambda_volume == 3.0);
        CHECK(w.cells[small].target_volume == 5.0 && w.cells[small].trackers.volume == 2);
        CHECK(w.cells[a].trackers.volume == 2 && w.cells[4].trackers.volume == 2);
        // b spans x 0..11 and y 1..2: cut across x after x = 5
        CHECK(w.cells[b].trackers.volume == 12 && w.cells[5].trackers.volume == 12);
        CHECK_EQ(count_sites(w, 5, 0, [](std::size_t x) { return x >= 6; }), 12u);
        CHECK(!w.surface_active);
    }

    // nothing qualifies (or a NaN threshold): empty list, no recomputation,
    // so trackers left stale on purpose stay stale
    {
        World w = make_world(4, 4, 1, false);
        const CellId a = add_cell(w, 1, 5.0, 1.0, 0.0, 0.0);
        paint_box(w, 0, 0, 0, 2, 2, 1, a);
        recompute_trackers(w);
        paint(w, site(w, 3, 3, 0), a);  // trackers now stale: volume still 4
        CHECK(divide_cells(w, 5.0, 1.0).empty());
        CHECK(divide_cells(w, std::nan(""), 1.0).empty());
        CHECK_EQ(w.cells.size(), 2u);
        CHECK_EQ(w.cells[a].trackers.volume, 4);
        CHECK(w.cells[a].target_volume == 5.0);
    }

    // volume 1 at threshold 1: a daughter without sites, still returned;
    // threshold 0 admits every cell but the medium, removed cells included
    {
        World w = make_world(4, 4, 1, false);
        const CellId a = add_cell(w, 1, 5.0, 1.0, 0.0, 0.0);
        const CellId gone = add_cell(w, 1, 5.0, 1.0, 0.0, 0.0);
        paint(w, 5, a);
        recompute_trackers(w);
        CHECK(divide_cells(w, 1.0, 2.0) == std::vector<CellId>({3}));
        CHECK(w.cells[a].trackers.volume == 1 && w.cells[3].trackers.volume == 0);
        CHECK_EQ(w.lattice.sites[5], a);
        CHECK(divide_cells(w, 0.0, 2.0) == std::vector<CellId>({4, 5, 6}));
        CHECK(w.cells[gone].trackers.volume == 0 && w.cells[5].trackers.volume == 0 && w.cells[6].trackers.volume == 0);
        CHECK(divide_cells(w, -3.0, 2.0).size() == 6u);
        CHECK_EQ(w.cells[MEDIUM].trackers.volume, 15);
        CHECK(trackers_exact(w));
    }

    // two calls in a row: the daughters of the first take part in the second
    {
        World w = make_world(6, 2, 1, false);
        const CellId a = add_cell(w, 1, 8.0, 1.0, 0.0, 0.0);
        paint_box(w, 0, 0, 0, 4, 2, 1, a);
        recompute_trackers(w);
        CHECK(divide_cells(w, 4.0, 4.0) == std::vector<CellId>({2}));
        CHECK(divide_cells(w, 4.0, 2.0) == std::vector<CellId>({3, 4}));
        // 4×2 → x halves → each 2×2 tied, cut across x again: four 1×2 columns
        for (CellId c = 1; c <= 4; ++c) CHECK(w.cells[c].trackers.volume == 2 && w.cells[c].target_volume == 2.0);
        CHECK(w.lattice.sites[0] == a && w.lattice.sites[1] == 3 && w.lattice.sites[2] == 2 &&
              w.lattice.sites[3] == 4);
        CHECK(divide_cells(w, 4.0, 1.0).empty());
    }

    // removal: sites become medium, trackers recomputed, records kept
    {
        World w = make_world(5, 5, 1, false);
        const CellId a = add_cell(w, 1, 4.0, 2.0, 8.0, 0.5);
        const CellId b = add_cell(w, 2, 4.0, 2.0, 0.0, 0.0);
        paint_box(w, 0, 0, 0, 2, 2, 1, a);
        paint_box(w, 2, 0, 0, 2, 2, 1, b);
        recompute_trackers(w);
        remove_cells(w, {a, a, 0, 99});
        for (std::size_t i = 0; i < w.lattice.n_sites(); ++i) CHECK(w.lattice.sites[i] != a);
        CHECK(w.cells[a].trackers.volume == 0 && w.cells[a].trackers.surface == 0 && w.cells[a].trackers.sum_x == 0.0);
        CHECK(w.cells[a].cell_type == 1 && w.cells[a].target_volume == 4.0 && w.cells[a].lambda_surface == 0.5);
        CHECK(w.cells[b].trackers.volume == 4);
        CHECK_EQ(w.cells[MEDIUM].trackers.volume, 21);
        CHECK(trackers_exact(w));

        // [] changes nothing, not even stale trackers
        paint(w, 24, b);
        remove_cells(w, {});
        CHECK_EQ(w.cells[b].trackers.volume, 4);
        // [0] changes no site but recomputes
        const std::vector<CellId> before = w.lattice.sites;
        remove_cells(w, {0});
        CHECK(w.lattice.sites == before);
        CHECK_EQ(w.cells[b].trackers.volume, 5);
        // a removed cell divides no more at a positive threshold
        CHECK(divide_cells(w, 1.0, 1.0) == std::vector<CellId>({3}));
    }

    // a site holding an unregistered id: the recomputation refuses it
    {
        World w = make_world(3, 1, 1, false);
        paint(w, 1, 7);
        CHECK(tessaly_test::throws<EngineError>([&] { remove_cells(w, {1}); }, "not registered"));
    }

    // chosen division of an 8×2 cell straddling the periodic x face of a
    // 10×6 box: unwrapped x 7..14, centroid (10.5, 2.5)
    {
        World w = make_world(10, 6, 1, true);
        const CellId a = add_cell(w, 2, 16.0, 1.0, 0.0, 0.0);
        for (const std::size_t x : {7, 8, 9, 0, 1, 2, 3, 4}) {
            paint(w, site(w, x, 2, 0), a);
            paint(w, site(w, x, 3, 0), a);
        }
        recompute_trackers(w);
        const std::array<double, 3> major = principal_axis(w, a, true);
        CHECK(std::fabs(std::fabs(major[0]) - 1.0) < 1e-12 && major[1] == 0.0);
        const std::array<double, 3> minor = principal_axis(w, a, false);
        CHECK(minor[0] == 0.0 && std::fabs(minor[1]) == 1.0);
        CHECK(sites_beyond(w, a, {0.0, 0.0, 1.0}) == 0);
        const CellId d = divide_cell(w, a, {1.0, 0.0, 0.0}, 7.0, 9.0);
        CHECK_EQ(count_sites(w, d, 0, [](std::size_t x) { return x >= 1 && x <= 4; }), 8u);
        CHECK_EQ(count_sites(w, a, 0, [](std::size_t x) { return x == 0 || x >= 7; }), 8u);
        CHECK(w.cells[d].cell_type == 2 && w.cells[d].target_volume == 9.0 && w.cells[a].target_volume == 7.0);
        CHECK(trackers_exact(w));
    }

    // a diagonal line: major axis (1, 1)/√2, minor (1, −1)/√2, up to sign
    {
        World w = make_world(8, 8, 1, false);
        const CellId a = add_cell(w, 1, 6.0, 1.0, 0.0, 0.0);
        for (std::size_t k = 1; k < 7; ++k) paint(w, site(w, k, k, 0), a);
        const std::array<double, 3> major = principal_axis(w, a, true);
        const std::array<double, 3> minor = principal_axis(w, a, false);
        CHECK(std::fabs(major[0] * major[1] - 0.5) < 1e-12 && std::fabs(minor[0] * minor[1] + 0.5) < 1e-12);
        CHECK_EQ(sites_beyond(w, a, major), 3);
    }

    return tessaly_test::finish();
}

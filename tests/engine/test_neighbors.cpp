// The neighbour graph: hand-counted areas, and the kept graph against a
// fresh build and the contact read-out after long runs of both sweeps.
#include <vector>

#include "check.hpp"
#include "error.hpp"
#include "neighbors.hpp"
#include "parallel.hpp"
#include "sweep.hpp"
#include "worlds.hpp"

using namespace tessaly;
using namespace tessaly_test;

namespace {

bool same_graph(const NeighborGraph& a, const NeighborGraph& b) {
    return a.offsets == b.offsets && a.partner == b.partner && a.area == b.area;
}

// Rows ascending, symmetric, and summed by partner type equal to
// contact_area_by_type for every record; the kept graph equals a fresh build.
bool graph_exact(const World& w) {
    NeighborGraph kept, fresh;
    neighbor_graph(w, kept);
    World off = w;
    off.neighbors = NeighborTracking{};
    neighbor_graph(off, fresh);
    if (!same_graph(kept, fresh) || kept.offsets.size() != w.cells.size() + 1) return false;
    // the pairs alone are the graph's upper half, in its order
    NeighborPairs pairs;
    neighbor_pairs(w, pairs);
    std::size_t at = 0;
    for (CellId r = 0; r < w.cells.size(); ++r)
        for (std::size_t k = kept.offsets[r]; k < kept.offsets[r + 1]; ++k) {
            if (kept.partner[k] < r) continue;
            if (at >= pairs.a.size() || pairs.a[at] != r || pairs.b[at] != kept.partner[k] ||
                pairs.area[at] != kept.area[k])
                return false;
            ++at;
        }
    if (at != pairs.a.size()) return false;
    for (CellId r = 0; r < w.cells.size(); ++r) {
        std::vector<std::int64_t> by_type(65536, 0);
        for (std::size_t k = kept.offsets[r]; k < kept.offsets[r + 1]; ++k) {
            const CellId p = kept.partner[k];
            if (k > kept.offsets[r] && kept.partner[k - 1] >= p) return false;
            if (kept.area[k] <= 0) return false;
            bool mirrored = false;
            for (std::size_t q = kept.offsets[p]; q < kept.offsets[p + 1]; ++q)
                mirrored = mirrored || (kept.partner[q] == r && kept.area[q] == kept.area[k]);
            if (!mirrored) return false;
            by_type[w.cells[p].cell_type] += kept.area[k];
        }
        for (const auto& [t, count] : contact_area_by_type(w, r)) {
            if (by_type[t] != count) return false;
            by_type[t] = 0;
        }
        for (const std::int64_t left : by_type)
            if (left != 0) return false;
    }
    return true;
}

// Two cells of 2×2 sites side by side on a 4×4 box, the medium above them.
void test_hand_counts() {
    for (const std::uint8_t order : {std::uint8_t{1}, std::uint8_t{2}}) {
        World w = empty_world({4, 4, 1}, false, order);
        add_cell(w, 1, 4, 1, 0, 0);
        add_cell(w, 2, 4, 1, 0, 0);
        for (std::size_t y = 0; y < 2; ++y) {
            paint(w, index_of(w, 0, y, 0), 1);
            paint(w, index_of(w, 1, y, 0), 1);
            paint(w, index_of(w, 2, y, 0), 2);
            paint(w, index_of(w, 3, y, 0), 2);
        }
        recompute_trackers(w);
        NeighborGraph g;
        neighbor_graph(w, g);
        CHECK((g.offsets == std::vector<std::size_t>{0, 2, 4, 6}));
        CHECK((g.partner == std::vector<CellId>{1, 2, 0, 2, 0, 1}));
        // order 1: cell 1 meets the medium above it twice and cell 2 twice;
        // order 2 adds the diagonals: the medium 2 + 3 times, cell 2 twice
        // from each of two sites
        const std::int64_t shared = order == 1 ? 2 : 4, open = order == 1 ? 2 : 5;
        CHECK((g.area == std::vector<std::int64_t>{open, open, open, shared, open, shared}));
        CHECK(graph_exact(w));
    }
}

// Kept through long runs of step and step_parallel, a division and flips,
// on boxes that wrap (two sites wide, so neighbours repeat) and that do not.
void test_kept_through_runs() {
    const Model models[] = {
        {{18, 18, 1}, false, 2, 0.0}, {{18, 18, 1}, true, 1, 1.0}, {{10, 10, 8}, true, 3, 0.0},
        {{2, 12, 1}, true, 2, 0.0},
    };
    for (const Model& m : models) {
        World w = sorting_world(m, 12.0);
        // a strip of cells on the narrow box, which the grid leaves empty
        if (m.dims[0] == 2) {
            for (std::size_t y = 0; y < 12; ++y) {
                const CellId c = add_cell(w, static_cast<CellType>(1 + y % 2), 2, 1, 0, 0);
                paint(w, index_of(w, 0, y, 0), c);
                if (y % 3 != 0) paint(w, index_of(w, 1, y, 0), c);
            }
            recompute_trackers(w);
        }
        track_neighbors(w);
        CHECK(w.neighbors.on && graph_exact(w));
        Cpm cpm(std::move(w), 11);
        step(cpm, 30);
        CHECK(graph_exact(cpm.world));
        step_parallel(cpm, 20, 4);
        CHECK(graph_exact(cpm.world));
        // a cell added while kept gets its row; a flip keeps the graph
        const CellId fresh = add_cell(cpm.world, 2, 1, 1, 0, 0);
        apply_flip(cpm.world, 0, fresh);
        apply_flip(cpm.world, cpm.world.lattice.n_sites() - 1, fresh);
        CHECK(graph_exact(cpm.world));
        step(cpm, 10);
        CHECK(cpm.world.neighbors.on && graph_exact(cpm.world));
    }
}

// A row holds ten partners in place and spills the rest: a large cell (the
// largest id) among one-site cells has dozens of smaller partners, which
// hot copies add and drop in place and spilled, moving spilled ones in.
void test_rows_beyond_capacity() {
    World w = empty_world({16, 16, 1}, true, 2, 50.0);
    for (std::size_t s = 0; s < 256; ++s) paint(w, s, add_cell(w, 1, 1, 1, 0, 0));
    const CellId big = add_cell(w, 2, 64, 1, 0, 0);
    for (std::size_t y = 4; y < 12; ++y)
        for (std::size_t x = 4; x < 12; ++x) paint(w, index_of(w, x, y, 0), big);
    ContactMatrix j(3);
    set_pair(j, 1, 1, 4.0);
    set_pair(j, 1, 2, 4.0);
    set_contact_matrix(w, std::move(j));
    recompute_trackers(w);
    track_neighbors(w);
    CHECK(w.neighbors.rows[big].size > 2 * ContactRow::capacity && graph_exact(w));
    Cpm cpm(std::move(w), 5);
    for (int round = 0; round < 6; ++round) {
        step(cpm, 5);
        CHECK(graph_exact(cpm.world));
        step_parallel(cpm, 5, 4);
        CHECK(graph_exact(cpm.world));
    }
}

// Painting drops the kept graph (a painted site may name an unregistered
// id); the next read builds it again from the sites.
void test_paint_drops() {
    World w = sorting_world({{12, 12, 1}, false, 2, 0.0});
    track_neighbors(w);
    paint(w, 0, 1);
    CHECK(!w.neighbors.on);
    paint(w, 1, 99);
    NeighborGraph g;
    CHECK(throws<EngineError>([&] { neighbor_graph(w, g); }, "no record"));
    CHECK(throws<EngineError>([&] { track_neighbors(w); }, "no record"));
    CHECK(!w.neighbors.on);
}

}  // namespace

int main() {
    test_hand_counts();
    test_kept_through_runs();
    test_rows_beyond_capacity();
    test_paint_drops();
    return tessaly_test::finish();
}

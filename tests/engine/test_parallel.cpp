// The parallel checkerboard sweep: its refusals, the tiling and colour order
// on tiny worlds whose outcome can be derived by hand, exact trackers after
// the merges, and results that do not depend on the number of workers.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "worlds.hpp"
#include "connectivity.hpp"
#include "error.hpp"
#include "external.hpp"
#include "field.hpp"
#include "membrane.hpp"
#include "parallel.hpp"

using namespace tessaly;

namespace {

using namespace tessaly_test;

// The sorting model with every optional term the parallel sweep evaluates
// switched on, so that they run on the workers too.
World busy_world(const Model& m) {
    World w = sorting_world(m, 6.0);
    set_connectivity(w, 1, true);
    set_external_potential(w, 2, 0.5, -0.25, 0.125);
    set_membrane(w, {0}, 0.001, 4.0);
    set_membrane_anchored(w, 1, true);
    set_junction(w, 1, true);
    set_junction(w, 2, true);
    set_junction_lambda(w, 3.0);
    return w;
}

std::uint64_t tile_seed(std::uint64_t t, std::uint64_t base, std::uint64_t m, std::uint64_t c) {
    return t * 0xC2B2AE3Dull ^ base ^ m * 0x9E3779B9ull ^ c * 0x85EBCA77ull;
}

struct Tile {
    std::size_t index;                    // tile index t
    std::size_t colour;                   // c
    std::array<std::size_t, 3> lo, hi;    // site box, hi exclusive
};

// The zero-energy dynamics by hand: with every energy 0 each copy is
// accepted without a Metropolis draw, so a tile's generator serves only the
// neighbour draws. Tiles run in the order given; each site of a tile, in
// z, y, x order, copies the id of one drawn neighbour.
std::vector<CellId> zero_energy_sweep(const World& w, std::uint64_t base, std::uint64_t steps,
                                      const std::vector<Tile>& order) {
    std::vector<CellId> sites = w.lattice.sites;
    for (std::uint64_t m = 0; m < steps; ++m)
        for (const Tile& tile : order) {
            Rng g = seed_from_u64(tile_seed(tile.index, base, m, tile.colour));
            for (std::size_t z = tile.lo[2]; z < tile.hi[2]; ++z)
                for (std::size_t y = tile.lo[1]; y < tile.hi[1]; ++y)
                    for (std::size_t x = tile.lo[0]; x < tile.hi[0]; ++x) {
                        const std::size_t i = index_of(w, x, y, z);
                        const SiteList nb = neighbors(w.lattice, i);
                        if (nb.empty()) continue;
                        sites[i] = sites[nb[bounded(g, nb.size())]];
                    }
        }
    return sites;
}

// A world of several cells and no energy at all: every copy is accepted.
World zero_energy_world(std::array<std::size_t, 3> dims, std::uint8_t order, bool periodic = false) {
    World w = empty_world(dims, periodic, order, 1.0);
    for (CellId id = 1; id <= 5; ++id) add_cell(w, 1, 0.0, 0.0, 0.0, 0.0);
    for (std::size_t i = 0; i < w.lattice.n_sites(); ++i) paint(w, i, static_cast<CellId>((i * 7 + i / 3) % 6));
    recompute_trackers(w);
    return w;
}

bool never_stop() { return false; }
bool always_stop() { return true; }

// One word for a whole result: the site array, every tracker bit for bit
// and the driver's generator.
std::uint64_t result_hash(const Cpm& cpm) {
    std::uint64_t h = 1469598103934665603ull;
    const auto mix = [&h](std::uint64_t v) {
        for (int k = 0; k < 8; ++k) h = (h ^ ((v >> (8 * k)) & 0xFF)) * 1099511628211ull;
    };
    const auto bits = [](double v) {
        std::uint64_t u = 0;
        std::memcpy(&u, &v, sizeof u);
        return u;
    };
    for (const CellId id : cpm.world.lattice.sites) mix(id);
    for (const Cell& c : cpm.world.cells) {
        const Trackers& t = c.trackers;
        mix(static_cast<std::uint64_t>(t.volume));
        mix(static_cast<std::uint64_t>(t.surface));
        for (const double v : {t.sum_x, t.sum_y, t.sum_z, t.sum_xx, t.sum_yy, t.sum_zz, t.sum_xy, t.sum_xz, t.sum_yz})
            mix(bits(v));
    }
    for (const std::uint64_t word : cpm.rng.s) mix(word);
    return h;
}

}  // namespace

int main() {
    using tessaly_test::throws;

    // refusals: checked before anything is read or drawn
    {
        Cpm cpm(sorting_world({{20, 20, 1}, false, 2, 0.0}), 3);
        const World before = cpm.world;
        const Rng rng = cpm.rng;
        CHECK(throws<EngineError>([&] { step_parallel(cpm, 10, 1); }, "block side must be >= 2"));
        CHECK(throws<EngineError>([&] { step_parallel(cpm, 10, 0); }, "block side must be >= 2"));
        CHECK(throws<EngineError>([&] { step_parallel(cpm, 0, 1); }, "block side must be >= 2"));
        CHECK(same_world(cpm.world, before));
        CHECK(same_rng(cpm.rng, rng));


        // a length constraint runs like every other term, its trackers read
        // through the tile's map
        cpm.world.terms.length.lambda = {0.0, 0.0, 0.5};
        cpm.world.terms.length.target = {0.0, 0.0, 4.0};
        refresh_terms(cpm.world);
        CHECK(step_parallel(cpm, 2, 16));
        CHECK(!same_rng(cpm.rng, rng));
        CHECK(trackers_exact(cpm.world));
    }

    // step_parallel(0) draws exactly one word of the driver's generator and
    // changes nothing else
    {
        Cpm cpm(sorting_world({{20, 20, 1}, false, 2, 0.0}), 5);
        const World before = cpm.world;
        Rng expected = cpm.rng;
        next_u64(expected);
        CHECK(step_parallel(cpm, 0, 16));
        CHECK(same_rng(cpm.rng, expected));
        CHECK(same_world(cpm.world, before));
    }

    // the tile sees its own volume changes but not those of the other tiles
    // of its colour. A row M A A A M along x (noflux, order 1, T = 0, target
    // volume 4): each M site has A as its only neighbour, so A grows at the
    // first M site (3 → 4 lowers the energy by 1). One tile (block 5) then
    // refuses the second growth (4 → 5 costs 1); with block 2 the two ends
    // lie in tiles 0 and 2 of colour 0, both see the registry's volume 3,
    // and A ends with 5 sites.
    for (const std::size_t block : {std::size_t{5}, std::size_t{2}}) {
        World w = empty_world({5, 1, 1}, false, 1, 0.0);
        const CellId a = add_cell(w, 1, 4.0, 1.0, 0.0, 0.0);
        for (std::size_t x = 1; x <= 3; ++x) paint(w, x, a);
        recompute_trackers(w);
        Cpm cpm(std::move(w), 17);
        CHECK(step_parallel(cpm, 1, block));
        const std::vector<CellId> expected =
            block == 5 ? std::vector<CellId>{a, a, a, a, MEDIUM} : std::vector<CellId>{a, a, a, a, a};
        CHECK(cpm.world.lattice.sites == expected);
        CHECK_EQ(cpm.world.cells[a].trackers.volume, block == 5 ? 4 : 5);
        CHECK(trackers_exact(cpm.world));
    }

    // the same for shrinking and for the surface term, in one tile (T = 0).
    // Row A M A M A, target volume 2: A loses site 0 (3 → 2 lowers the
    // energy by 1); sites 2 and 4 would now cost 1 each and stay.
    {
        World w = empty_world({5, 1, 1}, false, 1, 0.0);
        const CellId a = add_cell(w, 1, 2.0, 1.0, 0.0, 0.0);
        for (const std::size_t x : {0, 2, 4}) paint(w, x, a);
        recompute_trackers(w);
        Cpm cpm(std::move(w), 19);
        CHECK(step_parallel(cpm, 1, 5));
        CHECK(cpm.world.lattice.sites == (std::vector<CellId>{MEDIUM, MEDIUM, a, MEDIUM, a}));
        CHECK(trackers_exact(cpm.world));
    }
    // Row M A A A M with target volume 4 and target surface 1 (λ 1 each):
    // taking site 0 changes volume 3 → 4 and surface 2 → 1 (ΔH −2); taking
    // site 4 then costs 1 for the volume (4 → 5) and 1 for the surface
    // (1 → 0), and is refused.
    {
        World w = empty_world({5, 1, 1}, false, 1, 0.0);
        const CellId a = add_cell(w, 1, 4.0, 1.0, 1.0, 1.0);
        for (std::size_t x = 1; x <= 3; ++x) paint(w, x, a);
        recompute_trackers(w);
        Cpm cpm(std::move(w), 19);
        CHECK(step_parallel(cpm, 1, 5));
        CHECK(cpm.world.lattice.sites == (std::vector<CellId>{a, a, a, a, MEDIUM}));
        CHECK_EQ(cpm.world.cells[a].trackers.surface, 1);
        CHECK(trackers_exact(cpm.world));
    }

    // tiling, colour order, tile seeds and one attempt per site, against the
    // zero-energy dynamics worked by hand
    {
        const std::uint64_t seed = 23;
        auto base_of = [&] {
            Rng g = seed_from_u64(seed);
            return next_u64(g);
        };

        // one tile (block at least every side, up to the largest block):
        // colour 0 sweeps the lattice in site order
        for (const std::size_t block : {std::size_t{9}, std::size_t{1000}, std::numeric_limits<std::size_t>::max()}) {
            const World w = zero_energy_world({9, 7, 1}, 2);
            const std::vector<CellId> expected = zero_energy_sweep(w, base_of(), 3, {{0, 0, {0, 0, 0}, {9, 7, 1}}});
            Cpm cpm(w, seed);
            CHECK(step_parallel(cpm, 3, block));
            CHECK(cpm.world.lattice.sites == expected);
            CHECK(trackers_exact(cpm.world));
        }

        // one tile on periodic boxes with axes of length 1 and 2, whose
        // neighbour lists repeat sites (and list the site itself)
        for (const std::array<std::size_t, 3> dims :
             {std::array<std::size_t, 3>{5, 2, 3}, std::array<std::size_t, 3>{1, 4, 2}}) {
            const World w = zero_energy_world(dims, 3, true);
            const std::vector<CellId> expected = zero_energy_sweep(w, base_of(), 2, {{0, 0, {0, 0, 0}, dims}});
            Cpm cpm(w, seed);
            CHECK(step_parallel(cpm, 2, 8));
            CHECK(cpm.world.lattice.sites == expected);
            CHECK(trackers_exact(cpm.world));
        }

        // planar 5×3 with block 2: tiles 3×2, colours 0..3 in ascending
        // order, x parity fastest; the last column and row are short
        {
            const World w = zero_energy_world({5, 3, 1}, 1);
            const std::vector<Tile> order = {
                {0, 0, {0, 0, 0}, {2, 2, 1}}, {2, 0, {4, 0, 0}, {5, 2, 1}},  // colour 0
                {1, 1, {2, 0, 0}, {4, 2, 1}},                                // colour 1
                {3, 2, {0, 2, 0}, {2, 3, 1}}, {5, 2, {4, 2, 0}, {5, 3, 1}},  // colour 2
                {4, 3, {2, 2, 0}, {4, 3, 1}},                                // colour 3
            };
            const std::vector<CellId> expected = zero_energy_sweep(w, base_of(), 4, order);
            Cpm cpm(w, seed);
            CHECK(step_parallel(cpm, 4, 2));
            CHECK(cpm.world.lattice.sites == expected);
            CHECK(trackers_exact(cpm.world));
        }

        // 3-D 2×3×5 with block 2: tiles 1×2×3; colours 0, 2, 4, 6 hold
        // tiles (the z parity is bit 2), colours with an odd x parity none
        {
            const World w = zero_energy_world({2, 3, 5}, 3);
            const std::vector<Tile> order = {
                {0, 0, {0, 0, 0}, {2, 2, 2}}, {4, 0, {0, 0, 4}, {2, 2, 5}},  // colour 0
                {1, 2, {0, 2, 0}, {2, 3, 2}}, {5, 2, {0, 2, 4}, {2, 3, 5}},  // colour 2
                {2, 4, {0, 0, 2}, {2, 2, 4}},                                // colour 4
                {3, 6, {0, 2, 2}, {2, 3, 4}},                                // colour 6
            };
            const std::vector<CellId> expected = zero_energy_sweep(w, base_of(), 2, order);
            Cpm cpm(w, seed);
            CHECK(step_parallel(cpm, 2, 2));
            CHECK(cpm.world.lattice.sites == expected);
            CHECK(trackers_exact(cpm.world));
        }

        // periodic 10×4 with block 2: five tiles along x, so the first and
        // the last of each colour with even x parity touch across the face.
        // The first layer runs before the last, and the last sees its copies.
        {
            const World w = zero_energy_world({10, 4, 1}, 2, true);
            auto tile = [](std::size_t tx, std::size_t ty) {
                return Tile{tx + 5 * ty, (tx & 1) | ((ty & 1) << 1), {2 * tx, 2 * ty, 0}, {2 * tx + 2, 2 * ty + 2, 1}};
            };
            const std::vector<Tile> order = {
                tile(0, 0), tile(2, 0), tile(4, 0),  // colour 0: first layer, then the last
                tile(1, 0), tile(3, 0),              // colour 1
                tile(0, 1), tile(2, 1), tile(4, 1),  // colour 2
                tile(1, 1), tile(3, 1),              // colour 3
            };
            std::vector<Tile> last_first = order;
            std::swap(last_first[0], last_first[2]);
            std::swap(last_first[5], last_first[7]);
            const std::vector<CellId> expected = zero_energy_sweep(w, base_of(), 1, order);
            CHECK(zero_energy_sweep(w, base_of(), 1, last_first) != expected);  // the order is visible
            for (const std::size_t workers : {1, 3}) {
                set_worker_count_for_testing(workers);
                Cpm cpm(w, seed);
                CHECK(step_parallel(cpm, 1, 2));
                CHECK(cpm.world.lattice.sites == expected);
                CHECK(trackers_exact(cpm.world));
            }
        }

        // an empty neighbourhood: no attempt draws, nothing changes
        {
            const World w = zero_energy_world({6, 6, 1}, 0);
            Cpm cpm(w, seed);
            CHECK(step_parallel(cpm, 5, 2));
            CHECK(cpm.world.lattice.sites == w.lattice.sites);
        }
    }

    // long runs: after the merges every tracker equals a recomputation, on
    // noflux and periodic boxes (odd tile counts included), with and without
    // the surface term, and with a periodic axis of length 1
    {
        const Model models[] = {
            {{24, 20, 1}, false, 1, 0.0}, {{24, 20, 1}, true, 2, 0.0},  {{24, 20, 1}, false, 3, 0.5},
            {{12, 12, 8}, true, 1, 0.0},  {{12, 12, 8}, false, 2, 0.3}, {{12, 12, 8}, true, 3, 0.0},
            {{1, 9, 9}, true, 1, 0.2},    {{9, 2, 2}, true, 2, 0.0},
        };
        for (const Model& m : models)
            for (const std::size_t block : {std::size_t{2}, std::size_t{4}, std::size_t{5}}) {
                Cpm cpm(busy_world(m), 29);
                CHECK(step_parallel(cpm, 20, block));
                CHECK(trackers_exact(cpm.world));
            }
    }

    // the same seed and calls give the same world for 1, 2, 3 and 8 workers,
    // also on periodic boxes with odd tile counts (40 with block 16: three
    // tiles, the first and last touching across the face)
    {
        struct Case {
            Model model;
            std::size_t block;
        };
        const Case cases[] = {
            {{{40, 40, 1}, true, 2, 0.0}, 16},  {{{40, 40, 1}, true, 1, 0.4}, 16}, {{{30, 22, 1}, false, 2, 0.0}, 4},
            {{{27, 27, 1}, true, 3, 0.0}, 3},   {{{18, 18, 18}, true, 1, 0.0}, 6}, {{{15, 12, 10}, false, 2, 0.2}, 4},
            {{{14, 14, 14}, true, 3, 0.0}, 2},
        };
        for (const Case& k : cases) {
            std::vector<World> results;
            std::vector<Rng> rngs;
            for (const std::size_t workers : {1, 2, 3, 8}) {
                set_worker_count_for_testing(workers);
                CHECK_EQ(worker_count(), workers);
                Cpm cpm(busy_world(k.model), 31);
                CHECK(step_parallel(cpm, 6, k.block));
                CHECK(step_parallel(cpm, 4, k.block));
                results.push_back(cpm.world);
                rngs.push_back(cpm.rng);
            }
            for (std::size_t r = 1; r < results.size(); ++r) {
                CHECK(same_world(results[r], results[0]));
                CHECK(same_rng(rngs[r], rngs[0]));
            }
            CHECK(trackers_exact(results[0]));
            CHECK(results[0].lattice.sites != busy_world(k.model).lattice.sites);
        }
        set_worker_count_for_testing(2);
    }

    // with the motility terms: the Act model reads activities two sites away
    // from the target, the closest block (2) keeps that inside the tiles of
    // other colours; activities, directions and tracks do not depend on the
    // worker count either
    for (const Model& m : {Model{{20, 18, 1}, true, 2, 0.0}, Model{{12, 12, 10}, true, 3, 0.0}}) {
        std::vector<World> results;
        for (const std::size_t workers : {1, 2, 3}) {
            set_worker_count_for_testing(workers);
            World w = busy_world(m);
            set_act(w, 1, 40.0, 20);
            set_act(w, 2, 20.0, 10);
            set_persistence(w, 2, 3.0, 2, 0.5);
            set_cell_frozen(w, 3, true);
            Cpm cpm(std::move(w), 37);
            CHECK(step_parallel(cpm, 8, 2));
            results.push_back(cpm.world);
        }
        for (std::size_t r = 1; r < results.size(); ++r) {
            CHECK(same_world(results[r], results[0]));
            CHECK(results[r].terms.act.activity == results[0].terms.act.activity);
            CHECK(results[r].terms.persistence.direction == results[0].terms.persistence.direction);
            CHECK(results[r].terms.tracks.position == results[0].terms.tracks.position);
        }
        CHECK(trackers_exact(results[0]));
    }
    set_worker_count_for_testing(2);

    // the poll runs between steps: stopping after the first leaves what
    // step_parallel(1) leaves, and a poll that never stops changes nothing
    {
        const Model m{{24, 20, 1}, false, 2, 0.0};
        Cpm once(sorting_world(m), 37), stopped(sorting_world(m), 37), polled(sorting_world(m), 37),
            plain(sorting_world(m), 37);
        CHECK(step_parallel(once, 1, 8));
        CHECK(!step_parallel(stopped, 5, 8, always_stop));
        CHECK(same_world(stopped.world, once.world));
        CHECK(step_parallel(polled, 5, 8, never_stop));
        CHECK(step_parallel(plain, 5, 8));
        CHECK(same_world(polled.world, plain.world));
    }

    // a failing task aborts the call with its error, and the pool serves the
    // next call as usual
    {
        Cpm broken(sorting_world({{24, 20, 1}, false, 2, 0.0}), 41);
        for (std::size_t x = 0; x < 24; ++x) broken.world.lattice.sites[index_of(broken.world, x, 10, 0)] = 99;
        CHECK(throws<EngineError>([&] { step_parallel(broken, 3, 4); }, "cell id 99 is not registered"));

        Cpm fine(sorting_world({{24, 20, 1}, false, 2, 0.0}), 41);
        CHECK(step_parallel(fine, 3, 4));
        CHECK(trackers_exact(fine.world));
    }

    // pinned results: whole runs on a 2-D sorting box without periodic
    // faces, a 3-D periodic one with an odd tile count along every axis, and
    // a periodic 2-D one with the surface term, chemotaxis and every optional
    // term on, each the same for one and for two workers, and with or
    // without the tiles' copy for AVX2 and bit manipulation
    {
        const auto sorting_2d = [] { return Cpm(sorting_world({{40, 36, 1}, false, 2, 0.0}), 11); };
        const auto sorting_3d = [] { return Cpm(sorting_world({{20, 20, 12}, true, 3, 0.0}), 12); };
        const auto busy_2d = [] {
            World w = busy_world({{30, 26, 1}, true, 2, 0.5});
            add_field(w, "c", 0.1, 0.01);
            set_secretion(w, 0, 1, 1.0);
            set_chemotaxis(w, 0, 2, 50.0);
            return Cpm(std::move(w), 13);
        };
        const auto busy_noflux = [] {
            World w = busy_world({{33, 28, 1}, false, 3, 1.0});
            add_field(w, "c", 0.1, 0.01);
            set_secretion(w, 0, 1, 1.0);
            set_chemotaxis(w, 0, 2, 20.0);
            return Cpm(std::move(w), 14);
        };
        struct Setting {
            std::size_t workers;
            bool fast;
        };
        for (const Setting setting : {Setting{1, true}, Setting{2, true}, Setting{2, false}}) {
            set_worker_count_for_testing(setting.workers);
            set_wide_words_for_testing(setting.fast);
            Cpm a = sorting_2d(), b = sorting_3d(), c = busy_2d(), d = busy_noflux();
            CHECK(step_parallel(a, 30, 8));
            CHECK(step_parallel(b, 6, 4));
            CHECK(step_parallel(c, 20, 6));
            CHECK(step_parallel(d, 20, 5));
            CHECK_EQ(result_hash(a), 0xdce3d3f5a81b4f42ull);
            CHECK_EQ(result_hash(b), 0xeb467ae6252050a9ull);
            CHECK_EQ(result_hash(c), 0x7f086905abeb0c6eull);
            CHECK_EQ(result_hash(d), 0xc6b72a283ad320a7ull);
            CHECK(trackers_exact(a.world) && trackers_exact(b.world));
            CHECK(trackers_exact(c.world) && trackers_exact(d.world));
        }
        set_wide_words_for_testing(true);
        set_worker_count_for_testing(2);
    }

    // a contact table too large for the compact copy is read in place, and a
    // type beyond the table's side has no contact energy either way: the same
    // energies in a table of side 3 and of side 70 give the same run
    {
        const auto world = [](std::size_t side) {
            World w = sorting_world({{30, 28, 1}, true, 2, 0.0});
            set_cell_type(w, 3, 5);  // beyond the side of the small table
            ContactMatrix j(side);
            set_pair(j, 0, 1, 16.0);
            set_pair(j, 0, 2, 16.0);
            set_pair(j, 1, 1, 2.0);
            set_pair(j, 2, 2, 14.0);
            set_pair(j, 1, 2, 11.0);
            set_contact_matrix(w, std::move(j));
            return w;
        };
        Cpm small(world(3), 17), large(world(70), 17);
        CHECK(step_parallel(small, 15, 6));
        CHECK(step_parallel(large, 15, 6));
        CHECK(same_world(small.world, large.world));
        CHECK(same_rng(small.rng, large.rng));
        CHECK(small.world.lattice.sites != world(3).lattice.sites);
        CHECK(trackers_exact(large.world));
    }

    return tessaly_test::finish();
}

// The sequential sweep: reproducibility, exact trackers after long runs, and
// a physics check of the Metropolis dynamics.
#include <cmath>
#include <cstdio>
#include <vector>

#include "check.hpp"
#include "worlds.hpp"
#include "sweep.hpp"

using namespace tessaly;
using namespace tessaly_test;

namespace {

// One Monte Carlo step written plainly with the checked public operations:
// a draw per bounded integer, the full neighbour list, delta_hamiltonian,
// exp and apply_flip. The sweep's batched draws, contact copy and counted
// flip must follow it draw for draw (no extension term is switched on).
void reference_step(World& w, Rng& g) {
    const std::size_t n = w.lattice.n_sites();
    for (std::size_t a = 0; a < n; ++a) {
        const std::size_t t = bounded(g, n);
        const SiteList nb = neighbors(w.lattice, t);
        if (nb.empty()) continue;
        const std::size_t s = nb[bounded(g, nb.size())];
        const CellId new_id = w.lattice.sites[s];
        if (new_id == w.lattice.sites[t]) continue;
        const double dh = delta_hamiltonian(w, t, new_id);
        if (!(dh <= 0.0) && !(std::exp(-dh / w.temperature) > uniform(g))) continue;
        apply_flip(w, t, new_id);
    }
}

}  // namespace

int main() {
    const Model models[] = {
        {{24, 20, 1}, false, 1, 0.0}, {{24, 20, 1}, true, 2, 0.0},  {{24, 20, 1}, false, 3, 0.5},
        {{12, 12, 8}, true, 1, 0.0},  {{12, 12, 8}, false, 2, 0.3}, {{12, 12, 8}, true, 3, 0.0},
        {{1, 9, 9}, true, 1, 0.2},    {{9, 2, 2}, true, 2, 0.0},
    };

    // long runs keep the incremental trackers equal to a recomputation
    for (const Model& m : models) {
        Cpm cpm(sorting_world(m), 11);
        step(cpm, 150);
        World fresh = cpm.world;
        recompute_trackers(fresh);
        CHECK(same_world(cpm.world, fresh));
    }

    // the same seed gives the same world; step(a) then step(b) equals step(a + b)
    {
        const Model m = models[2];
        Cpm once(sorting_world(m), 5), split(sorting_world(m), 5), other(sorting_world(m), 6);
        step(once, 30);
        step(split, 12);
        step(split, 18);
        step(other, 30);
        CHECK(same_world(once.world, split.world) && same_rng(once.rng, split.rng));
        CHECK(!same_world(once.world, other.world));
        // step(0) reads and draws nothing
        const Rng before = once.rng;
        step(once, 0);
        CHECK(same_rng(before, once.rng));
    }

    // a pinned trajectory: an optimisation that changes a draw, the order of
    // a sum or a float width moves these numbers
    {
        Cpm cpm(sorting_world(models[2]), 2024);
        step(cpm, 20);
        std::uint64_t hash = 1469598103934665603ULL;
        for (const CellId id : cpm.world.lattice.sites) hash = (hash ^ id) * 1099511628211ULL;
        CHECK_EQ(hash, 0xfce46c35b5f56e5aULL);
        CHECK_EQ(next_u64(cpm.rng), 0x4006fdf8b40a30ceULL);
    }

    // the sweep against the plain reference: sizes that are and are not
    // powers of two, boundaries, neighbourhoods of 4 to 26, axes of length 1
    // and 2 (repeated neighbours, the site itself among them), the surface
    // term on and off, fractional and negative energies, and cell types at
    // or beyond the contact table's side
    {
        const Model cases[] = {
            {{16, 16, 1}, false, 2, 0.0}, {{16, 16, 1}, true, 1, 0.7}, {{24, 20, 1}, false, 3, 0.0},
            {{12, 12, 8}, true, 3, 0.0},  {{12, 12, 8}, false, 2, 0.4}, {{9, 2, 2}, true, 2, 0.0},
            {{1, 9, 9}, true, 1, 0.3},    {{8, 8, 8}, true, 1, 0.0},
        };
        for (const Model& m : cases) {
            World w = sorting_world(m, 6.0);
            if (w.cells.size() == 1) {
                // too thin for the grid of cells: three cells in bands
                for (CellType t = 1; t <= 3; ++t) add_cell(w, t, 6.0, 1.0, 10.0, m.lambda_surface);
                for (std::size_t i = 0; i < w.lattice.n_sites(); ++i) paint(w, i, static_cast<CellId>(i / 4 % 4));
                recompute_trackers(w);
            }
            // the last case has a table too large to be copied for the sweep
            const bool large = &m == &cases[7];
            ContactMatrix j(large ? 70 : 4);
            set_pair(j, 0, 1, 12.5);
            set_pair(j, 0, 2, 16.0);
            set_pair(j, 1, 1, -1.25);
            set_pair(j, 2, 2, 14.0);
            set_pair(j, 1, 2, 11.0);
            set_pair(j, 3, 3, 3.0);
            set_pair(j, 0, 3, 7.0);
            if (large) set_pair(j, 0, 69, 5.0);
            set_contact_matrix(w, std::move(j));
            // some cells beyond the table's side, some of type 3
            for (CellId c = 1; c < w.cells.size(); ++c)
                if (c % 5 == 0) set_cell_type(w, c, static_cast<CellType>(c % 10 == 0 ? 3 : large ? 69 : 9));
            World plain = w;
            const std::vector<CellId> before = w.lattice.sites;
            Cpm cpm(std::move(w), 77);
            Rng g = seed_from_u64(77);
            step(cpm, 6);
            for (int k = 0; k < 6; ++k) reference_step(plain, g);
            CHECK(same_world(cpm.world, plain));
            CHECK(same_rng(cpm.rng, g));
            CHECK(plain.lattice.sites != before);
        }
    }

    // runs long enough for the wide word rounds (where the processor has
    // them) equal the same runs without, world and generator, also when a
    // poll stops them part-way; and one of them equals the plain reference
    {
        for (const Model& m : models) {
            const std::uint64_t mcs = 40000 / (m.dims[0] * m.dims[1] * m.dims[2]) + 3;
            Cpm wide(sorting_world(m), 21), avx2(sorting_world(m), 21), plain(sorting_world(m), 21);
            step(wide, mcs);
            set_wide_words_for_testing(true, false);
            step(avx2, mcs);
            set_wide_words_for_testing(false);
            step(plain, mcs);
            set_wide_words_for_testing(true);
            CHECK(same_world(wide.world, plain.world) && same_rng(wide.rng, plain.rng));
            CHECK(same_world(avx2.world, plain.world) && same_rng(avx2.rng, plain.rng));
        }
        static int polls;
        const InterruptPoll third = [] { return ++polls == 3; };
        polls = 0;
        Cpm wide(sorting_world(models[1]), 4), plain(sorting_world(models[1]), 4);
        CHECK(!step(wide, 1000, third));
        polls = 0;
        set_wide_words_for_testing(false);
        CHECK(!step(plain, 1000, third));
        set_wide_words_for_testing(true);
        CHECK(same_world(wide.world, plain.world) && same_rng(wide.rng, plain.rng));

        World w = sorting_world(models[0], 6.0);
        World reference = w;
        Cpm cpm(std::move(w), 12);
        Rng g = seed_from_u64(12);
        step(cpm, 90);
        for (int k = 0; k < 90; ++k) reference_step(reference, g);
        CHECK(same_world(cpm.world, reference) && same_rng(cpm.rng, g));
    }

    // neighbour order 0: every attempt draws only the target
    {
        World w(Lattice({5, 5, 1}, {false, false, false}, Neighborhood(0, 0)), 1.0);
        Cpm cpm(std::move(w), 3);
        Rng ref = seed_from_u64(3);
        for (int k = 0; k < 25 * 2; ++k) (void)bounded(ref, 25);
        step(cpm, 2);
        CHECK(same_rng(ref, cpm.rng));
    }

    // equipartition: one cell with a volume term only fluctuates around its
    // target with variance T / (2λ)
    {
        const double temperature = 10.0, lambda = 1.0, target = 300.0;
        World w(Lattice({48, 48, 1}, {true, true, true}, Neighborhood(0, 1)), temperature);
        add_cell(w, 1, target, lambda, 0.0, 0.0);
        for (std::size_t y = 14; y < 34; ++y)
            for (std::size_t x = 14; x < 29; ++x) paint(w, x + 48 * y, 1);
        recompute_trackers(w);
        Cpm cpm(std::move(w), 99);
        step(cpm, 200);
        double sum = 0.0, sum_sq = 0.0;
        const int samples = 4000;
        for (int k = 0; k < samples; ++k) {
            step(cpm, 1);
            const double v = static_cast<double>(cpm.world.cells[1].trackers.volume);
            sum += v;
            sum_sq += v * v;
        }
        const double mean = sum / samples;
        const double variance = sum_sq / samples - mean * mean;
        const double expected = temperature / (2.0 * lambda);
        std::printf("equipartition: mean %.2f (target %.0f), variance %.3f (expected %.3f)\n", mean, target, variance,
                    expected);
        CHECK(std::fabs(mean - target) < 2.0);
        CHECK(variance > 0.8 * expected && variance < 1.25 * expected);
    }
    return tessaly_test::finish();
}

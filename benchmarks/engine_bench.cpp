// Engine-level timing of the standard models, without Python in the loop;
// for profiling the copy attempt. The recorded figures come from run.py.
//   g++ -O3 -std=c++20 -ffp-contract=off -Iengine benchmarks/engine_bench.cpp engine/*.cpp -lpthread
// Arguments: [model [workers [graph|kept|steps|paired|versus]]]; workers > 0 times
// step_parallel on that many; "graph" keeps the neighbour graph and reads it
// after every step, "kept" keeps it unread, "steps" keeps nothing; all three
// make one call per step, so each pays the same per-call set-up. "paired"
// prints the graph's cost on one trajectory: steps with the graph off and
// steps with it kept and read alternate in blocks (the first step of each
// block untimed), and the median of the blocks' ratios is the figure, which
// a shared machine's slow spells move far less than separate runs.
// "versus" (link2d only) prints link2d's speed over sort2d's the same way:
// the two worlds step in turn, four MCS at a time, and the figure is the
// median of the ratios of adjacent steps.
#include <algorithm>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "connectivity.hpp"
#include "external.hpp"
#include "field.hpp"
#include "links.hpp"
#include "neighbors.hpp"
#include "parallel.hpp"
#include "sweep.hpp"

using namespace tessaly;

namespace {

World sorting(std::array<std::size_t, 3> dims, bool periodic, std::uint8_t order, std::size_t side,
              std::size_t count, std::size_t origin, double volume) {
    World w(Lattice(dims, {periodic, periodic, periodic}, Neighborhood(dims[2] >= 2 ? 1 : 0, order)), 20.0);
    std::uint64_t h = 7;
    const std::size_t zc = dims[2] >= 2 ? count : 1, zs = dims[2] >= 2 ? side : 1;
    for (std::size_t k = 0; k < zc; ++k)
        for (std::size_t j = 0; j < count; ++j)
            for (std::size_t i = 0; i < count; ++i) {
                h = h * 6364136223846793005ULL + 1442695040888963407ULL;
                const CellId c = add_cell(w, static_cast<CellType>(1 + (h >> 63)), volume, dims[2] >= 2 ? 20.0 : 50.0, 0, 0);
                for (std::size_t z = 0; z < zs; ++z)
                    for (std::size_t y = 0; y < side; ++y)
                        for (std::size_t x = 0; x < side; ++x) {
                            const std::size_t px = origin + side * i + x, py = origin + side * j + y,
                                              pz = dims[2] >= 2 ? origin + side * k + z : 0;
                            paint(w, px + dims[0] * (py + dims[1] * pz), c);
                        }
            }
    ContactMatrix m(3);
    set_pair(m, 0, 1, 16.0);
    set_pair(m, 0, 2, 16.0);
    set_pair(m, 1, 1, 2.0);
    set_pair(m, 2, 2, 14.0);
    set_pair(m, 1, 2, 11.0);
    set_contact_matrix(w, std::move(m));
    recompute_trackers(w);
    return w;
}

// 0: step; k > 0: step_parallel with tiles of 16 on k workers
std::size_t workers = 0;
// one call per timed step; the neighbour graph kept from the burn-in on, and
// read after every timed step
bool one_by_one = false, keep_graph = false, read_graph = false, paired = false, versus = false;

double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The neighbour graph kept and read against no graph, on one trajectory.
void run_paired(const char* name, World w, std::uint64_t burn, std::uint64_t mcs) {
    Cpm cpm(std::move(w), 1);
    step(cpm, burn);
    NeighborGraph graph;
    std::vector<double> off, with, ratio;
    const std::uint64_t blocks = std::max<std::uint64_t>(8, mcs / 5);
    for (std::uint64_t k = 0; k < blocks; ++k) {
        double t[2] = {0.0, 0.0};
        for (int on = 0; on < 2; ++on) {
            cpm.world.neighbors.on = false;
            if (on) track_neighbors(cpm.world);
            step(cpm, 1);
            const double t0 = thread_seconds();
            for (int q = 0; q < 2; ++q) {
                step(cpm, 1);
                if (on) neighbor_graph(cpm.world, graph);
            }
            t[on] = (thread_seconds() - t0) / 2;
        }
        off.push_back(t[0]);
        with.push_back(t[1]);
        ratio.push_back(t[1] / t[0]);
    }
    std::printf("%-8s graph off %.3f ms per MCS, kept and read %.3f ms: %+.1f %% (blocks from %+.1f to %+.1f %%)\n",
                name, median(off) * 1e3, median(with) * 1e3, 100 * (median(ratio) - 1),
                100 * (*std::min_element(ratio.begin(), ratio.end()) - 1),
                100 * (*std::max_element(ratio.begin(), ratio.end()) - 1));
}

// Speed of `w` over that of `base`, stepped in turn on one thread.
void run_versus(const char* name, World w, World base, std::uint64_t burn, std::uint64_t mcs) {
    Cpm cpm[2] = {Cpm(std::move(base), 1), Cpm(std::move(w), 1)};
    for (Cpm& c : cpm) step(c, burn);
    std::vector<double> ratio;
    double total[2] = {0.0, 0.0};
    for (std::uint64_t m = 0; m < mcs; ++m) {
        double t[2];
        for (int k = 0; k < 2; ++k) {
            const double t0 = thread_seconds();
            step(cpm[k], 4);
            t[k] = thread_seconds() - t0;
            total[k] += t[k];
        }
        ratio.push_back(t[0] / t[1]);
    }
    std::printf("%-8s %.2f of the speed of the other world (median of %zu steps; %.2f over all)\n", name,
                median(ratio), ratio.size(), total[0] / total[1]);
}

void run(const char* name, World w, std::uint64_t burn, std::uint64_t mcs) {
    if (paired) return run_paired(name, std::move(w), burn, mcs);
    Cpm cpm(std::move(w), 1);
    if (keep_graph) track_neighbors(cpm.world);
    step(cpm, burn);
    NeighborGraph graph;
    // CPU time of this thread, so that a busy machine does not skew the
    // figure (one worker is the calling thread alone); wall-clock time for
    // the parallel sweep on more workers, whose work is spread
    timespec a{}, b{};
    const clockid_t clock = workers <= 1 ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC;
    clock_gettime(clock, &a);
    if (one_by_one) {
        for (std::uint64_t m = 0; m < mcs; ++m) {
            if (workers == 0) {
                step(cpm, 1);
            } else {
                step_parallel(cpm, 1, 16);
            }
            if (read_graph) neighbor_graph(cpm.world, graph);
        }
    } else if (workers == 0) {
        step(cpm, mcs);
    } else {
        step_parallel(cpm, mcs, 16);
    }
    clock_gettime(clock, &b);
    const double s = static_cast<double>(b.tv_sec - a.tv_sec) + 1e-9 * static_cast<double>(b.tv_nsec - a.tv_nsec);
    std::uint64_t hash = 1469598103934665603ULL;
    for (const CellId id : cpm.world.lattice.sites) hash = (hash ^ id) * 1099511628211ULL;
    std::printf("%-8s %8.1f M attempts/s   (hash %016llx)\n", name,
                static_cast<double>(mcs) * static_cast<double>(cpm.world.lattice.n_sites()) / s / 1e6,
                static_cast<unsigned long long>(hash));
}

}  // namespace

int main(int argc, char** argv) {
    const char* only = argc > 1 ? argv[1] : "";
    if (argc > 2) {
        workers = static_cast<std::size_t>(std::strtoul(argv[2], nullptr, 10));
        if (workers > 0) set_worker_count_for_testing(workers);
    }
    const char* mode = argc > 3 ? argv[3] : "";
    read_graph = !std::strcmp(mode, "graph");
    keep_graph = read_graph || !std::strcmp(mode, "kept");
    one_by_one = keep_graph || !std::strcmp(mode, "steps");
    paired = !std::strcmp(mode, "paired");
    versus = !std::strcmp(mode, "versus");
    if (!*only || !std::strcmp(only, "null2d"))
        run("null2d", World(Lattice({256, 256, 1}, {false, false, false}, Neighborhood(0, 2)), 20.0), 0, 100);
    if (!*only || !std::strcmp(only, "sort2d"))
        run("sort2d", sorting({256, 256, 1}, false, 2, 10, 20, 28, 100.0), 10, 100);
    if (!*only || !std::strcmp(only, "link2d")) {
        // sort2d with each cell linked to its grid neighbours (3.8 links per cell)
        World w = sorting({256, 256, 1}, false, 2, 10, 20, 28, 100.0);
        for (CellId id = 1; id <= 400; ++id) {
            if ((id - 1) % 20 != 19) add_link(w, id, id + 1, 1.0, 10.0, INFINITY);
            if (id + 20 <= 400) add_link(w, id, id + 20, 1.0, 10.0, INFINITY);
        }
        if (versus) {
            run_versus("link2d", std::move(w), sorting({256, 256, 1}, false, 2, 10, 20, 28, 100.0), 10, 40);
        } else {
            run("link2d", std::move(w), 10, 100);
        }
    }
    if (!*only || !std::strcmp(only, "chem2d")) {
        World w = sorting({256, 256, 1}, false, 2, 10, 20, 28, 100.0);
        add_field(w, "c", 0.1, 0.01);
        set_secretion(w, 0, 1, 1.0);
        set_chemotaxis(w, 0, 2, 50.0);
        set_connectivity(w, 1, true);
        set_external_potential(w, 2, 0.0, 0.5, 0.0);
        run("chem2d", std::move(w), 10, 100);
    }
    if (!*only || !std::strcmp(only, "sort3d")) run("sort3d", sorting({64, 64, 64}, true, 3, 6, 8, 8, 216.0), 2, 10);
    if (!*only || !std::strcmp(only, "act2d")) {
        // 64 Act cells, 17 × 17 squares on an 8 × 8 grid of pitch 32
        World w(Lattice({256, 256, 1}, {true, true, true}, Neighborhood(0, 2)), 10.0);
        for (std::size_t j = 0; j < 8; ++j)
            for (std::size_t i = 0; i < 8; ++i) {
                const CellId c = add_cell(w, 1, 300.0, 5.0, 200.0, 2.0);
                for (std::size_t y = 8 + 32 * j; y < 25 + 32 * j; ++y)
                    for (std::size_t x = 8 + 32 * i; x < 25 + 32 * i; ++x) paint(w, x + 256 * y, c);
            }
        ContactMatrix m(2);
        set_pair(m, 0, 1, 10.0);
        set_pair(m, 1, 1, 20.0);
        set_contact_matrix(w, std::move(m));
        recompute_trackers(w);
        set_act(w, 1, 300.0, 30);
        run("act2d", std::move(w), 50, 200);
    }
    return 0;
}

// Engine-level timing of the cells' programs (cell_system.hpp), without
// Python in the loop; the recorded figures are in README.md.
//   g++ -O3 -std=c++20 -ffp-contract=off -Iengine benchmarks/cells_bench.cpp engine/*.cpp -lpthread
// Arguments: [model]: ode10 (a 10-species system on 10,000 cells, the
// systems' pass alone) or notch (Delta–Notch on a 400-cell sheet: a step
// with and without the system, interleaved).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cell_system.hpp"
#include "sweep.hpp"

using namespace tessaly;

namespace {

double now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// count × count square cells of the given side, one type, no medium gaps
World sheet(std::size_t count, std::size_t side, double temperature) {
    const std::size_t n = count * side;
    World w(Lattice({n, n, 1}, {true, true, true}, Neighborhood(0, 2)), temperature);
    for (std::size_t j = 0; j < count; ++j)
        for (std::size_t i = 0; i < count; ++i) {
            const CellId c = add_cell(w, 1, static_cast<double>(side * side), 1.0, 0, 0);
            for (std::size_t y = side * j; y < side * (j + 1); ++y)
                for (std::size_t x = side * i; x < side * (i + 1); ++x) paint(w, x + n * y, c);
        }
    ContactMatrix m(2);
    set_pair(m, 0, 1, 16.0);
    set_pair(m, 1, 1, 4.0);
    set_contact_matrix(w, std::move(m));
    recompute_trackers(w);
    return w;
}

// A ring of ten repressors: g_k' = a / (1 + g_{k-1}^n) - g_k.
std::string ring_text() {
    std::string text;
    for (int k = 0; k < 10; ++k)
        text += "g" + std::to_string(k) + "' = a / (1 + g" + std::to_string((k + 9) % 10) + " ^ n) - g" +
                std::to_string(k) + "\n";
    return text;
}

void ode10() {
    World w = sheet(100, 4, 10.0);  // 10,000 cells
    for (int k = 0; k < 10; ++k) add_cell_attribute(w, "g" + std::to_string(k), 0.1 * k, OnDivide::copy);
    add_cell_system(w, ring_text(), {{"a", 5.0}, {"n", 2.0}}, CellSelection{}, 0.1, 1);
    const int reps = 200;
    run_cell_systems(w);
    const double t0 = now();
    for (int r = 0; r < reps; ++r) run_cell_systems(w);
    const double ms = (now() - t0) / reps * 1e3;
    std::printf("ode10       %.3f ms per MCS (10 species, 10,000 cells, one RK4 step)\n", ms);
}

// Delta–Notch (lateral inhibition): notch follows the neighbours' delta,
// delta is repressed by the cell's own notch. The sheet with the system and
// the sheet without it (the same trajectory: the attributes do not act on
// the copies) are stepped in alternate blocks of 5 MCS, and the medians of
// the blocks and of their ratios are printed, which a shared machine's slow
// spells move far less than two runs one after the other.
void notch() {
    const char* text =
        "N' = nbr_mean(D)^2 / (0.01 + nbr_mean(D)^2) - N\n"
        "D' = 1 / (1 + 100 * N^2) - D\n";
    std::vector<Cpm> cpms;
    for (int with = 0; with < 2; ++with) {
        World w = sheet(20, 10, 10.0);  // 400 cells on 200²
        add_cell_attribute(w, "N", 0.0, OnDivide::copy);
        add_cell_attribute(w, "D", 0.0, OnDivide::copy);
        for (std::size_t id = 1; id < w.cells.size(); ++id)
            w.state.attributes[1].values[id] = 0.5 + 0.01 * static_cast<double>(id * 7919 % 13);
        if (with) add_cell_system(w, text, {}, CellSelection{}, 0.1, 1);
        cpms.emplace_back(std::move(w), 1);
        step(cpms.back(), 10);
    }
    const int blocks = 40, block = 5;
    std::vector<double> ms[2], ratio;
    for (int k = 0; k < blocks; ++k) {
        for (int with = 0; with < 2; ++with) {
            const double t0 = now();
            step(cpms[with], block);
            ms[with].push_back((now() - t0) / block * 1e3);
        }
        ratio.push_back(ms[1].back() / ms[0].back());
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("notch       %.3f ms per MCS (without the system)\n", median(ms[0]));
    std::printf("notch       %.3f ms per MCS (with the system)\n", median(ms[1]));
    std::printf("notch       %+.1f %% with the system (median of the blocks' ratios, from %+.1f to %+.1f %%)\n",
                100 * (median(ratio) - 1), 100 * (*std::min_element(ratio.begin(), ratio.end()) - 1),
                100 * (*std::max_element(ratio.begin(), ratio.end()) - 1));
}

}  // namespace

int main(int argc, char** argv) {
    const char* only = argc > 1 ? argv[1] : "";
    if (!*only || !std::strcmp(only, "ode10")) ode10();
    if (!*only || !std::strcmp(only, "notch")) notch();
    return 0;
}

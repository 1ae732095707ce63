// Engine-level timing of the cells' programs (cell_system.hpp), without
// Python in the loop; the recorded figures are in README.md.
//   g++ -O3 -std=c++20 -ffp-contract=off -Iengine benchmarks/cells_bench.cpp engine/*.cpp -lpthread
// Arguments: [model]: ode10 (a 10-species system on 10,000 cells, the
// systems' pass alone) or notch (Delta–Notch on a 400-cell sheet: a step
// with and without the system).
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

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
// delta is repressed by the cell's own notch.
void notch() {
    const char* text =
        "N' = nbr_mean(D)^2 / (0.01 + nbr_mean(D)^2) - N\n"
        "D' = 1 / (1 + 100 * N^2) - D\n";
    for (int with = 0; with < 2; ++with) {
        World w = sheet(20, 10, 10.0);  // 400 cells on 200²
        add_cell_attribute(w, "N", 0.0, OnDivide::copy);
        add_cell_attribute(w, "D", 0.0, OnDivide::copy);
        for (std::size_t id = 1; id < w.cells.size(); ++id)
            w.state.attributes[1].values[id] = 0.5 + 0.01 * static_cast<double>(id * 7919 % 13);
        if (with) add_cell_system(w, text, {}, CellSelection{}, 0.1, 1);
        Cpm cpm(std::move(w), 1);
        step(cpm, 10);
        const int reps = 200;
        const double t0 = now();
        step(cpm, reps);
        const double ms = (now() - t0) / reps * 1e3;
        std::printf("notch       %.3f ms per MCS (%s the system)\n", ms, with ? "with" : "without");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* only = argc > 1 ? argv[1] : "";
    if (!*only || !std::strcmp(only, "ode10")) ode10();
    if (!*only || !std::strcmp(only, "notch")) notch();
    return 0;
}

// The cells' systems, rules and division rule: RK4 against a reference RK4
// written here, neighbour and field reads on a hand-painted world, rules
// line by line, divisions, the errors of the texts, and checkpoints.
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cell_system.hpp"
#include "check.hpp"
#include "checkpoint.hpp"
#include "error.hpp"
#include "init.hpp"
#include "parallel.hpp"
#include "sweep.hpp"
#include "worlds.hpp"

using namespace tessaly;
using tessaly_test::throws;

namespace {

std::vector<double>& column(World& w, const char* name) {
    return w.state.attributes[find_attribute(w.state, name)].values;
}

// A 3×2 box, 4-neighbourhood:  row 0: 1 2 3   row 1: 1 1 3
// contacts: (1,2) 2, (1,3) 1, (2,3) 1; no medium.
World small_world() {
    World w(Lattice({3, 2, 1}, {false, false, false}, Neighborhood(0, 1)), 1.0);
    for (int k = 0; k < 3; ++k) add_cell(w, 1, 4.0, 1.0, 0.0, 0.0);
    const CellId ids[6] = {1, 2, 3, 1, 1, 3};
    for (std::size_t i = 0; i < 6; ++i) paint(w, i, ids[i]);
    recompute_trackers(w);
    add_cell_attribute(w, "A", 0.0, OnDivide::copy);
    add_cell_attribute(w, "m", 0.0, OnDivide::copy);
    add_cell_attribute(w, "s", 0.0, OnDivide::copy);
    add_cell_attribute(w, "f", 0.0, OnDivide::copy);
    column(w, "A") = {0.0, 1.0, 10.0, 100.0};
    add_field(w, "oxygen", 0.0, 0.0);
    for (std::size_t i = 0; i < 6; ++i) w.fields[0].conc[i] = static_cast<float>(i + 1);
    return w;
}

// Contact areas between distinct ids, counted site by site.
std::map<std::pair<CellId, CellId>, double> contacts_of(const World& w) {
    std::map<std::pair<CellId, CellId>, double> area;
    SiteList nb;
    for (std::size_t i = 0; i < w.lattice.n_sites(); ++i) {
        neighbors_into(w.lattice, i, nb);
        for (const std::size_t j : nb)
            if (w.lattice.sites[j] != w.lattice.sites[i]) area[{w.lattice.sites[i], w.lattice.sites[j]}] += 1.0;
    }
    return area;
}

bool close(double a, double b) { return std::fabs(a - b) <= 1e-9 * std::max(1.0, std::fabs(b)); }

}  // namespace

int main() {
    const CellSelection every;

    // neighbours and fields, read by a rule, each line before the next
    {
        World w = small_world();
        add_cell_rule(w, "m = nbr_mean(A)\ns = nbr_sum(A)  # the sum\n\nf = field(oxygen)\nA = A + 1\nm = m + A", {},
                      every);
        w.terms.programs.mcs = 1;
        run_cell_rules(w);
        const std::vector<double>& m = column(w, "m");
        const std::vector<double>& s = column(w, "s");
        const std::vector<double>& f = column(w, "f");
        CHECK(m[1] == 40.0 + 2.0 && m[2] == 34.0 + 11.0 && m[3] == 5.5 + 101.0);
        CHECK(s[1] == 120.0 && s[2] == 102.0 && s[3] == 11.0);
        CHECK(f[1] == 10.0 / 3.0 && f[2] == 2.0 && f[3] == 4.5);
        CHECK(m[0] == 0.0 && column(w, "A")[0] == 0.0);  // the medium's row is never written
    }

    // a cell touching no cell reads 0 from nbr_mean; a cell without sites is not run
    {
        World w = small_world();
        add_cell(w, 2, 1.0, 1.0, 0.0, 0.0);  // cell 4, no sites
        column(w, "m")[4] = -7.0;
        World lone(Lattice({3, 3, 1}, {false, false, false}, Neighborhood(0, 1)), 1.0);
        add_cell(lone, 1, 1.0, 1.0, 0.0, 0.0);
        paint(lone, 4, 1);
        recompute_trackers(lone);
        add_cell_attribute(lone, "m", 5.0, OnDivide::copy);
        add_cell_rule(lone, "m = nbr_mean(m) + nbr_sum(m)", {}, every);
        run_cell_rules(lone);
        CHECK(lone.state.attributes[0].values[1] == 0.0);
        add_cell_rule(w, "m = 1", {}, every);
        run_cell_rules(w);
        CHECK(column(w, "m")[4] == -7.0 && column(w, "m")[1] == 1.0);
    }

    // rules on the built-in columns; types by selection
    {
        World w = small_world();
        CellSelection type1;
        type1.all_but_medium = false;
        type1.types = {1};
        w.cells[3].cell_type = 2;
        add_cell_rule(w,
                      "target_volume = volume * 2\nlambda_volume = 3\ntarget_surface = surface\n"
                      "lambda_surface = if(cell_type == 1, 0.5, 0)\ncell_type = 7.5 - A * 1.1",
                      {}, type1);
        run_cell_rules(w);
        const Cell& c1 = w.cells[1];
        CHECK(c1.target_volume == 6.0 && c1.lambda_volume == 3.0 && c1.target_surface == 3.0 && c1.lambda_surface == 0.5);
        CHECK(w.surface_active);
        CHECK(c1.cell_type == 6 && w.cells[2].cell_type == 1);  // 7.5 - 1.1 rounds to 6; 7.5 - 11 is negative
        CHECK(w.cells[3].target_volume == 4.0 && w.cells[3].cell_type == 2);  // not of type 1
        CHECK(w.terms.programs.registry_changed);
        World big = small_world();
        add_cell_rule(big, "cell_type = A * 1000\n", {}, every);  // 1000 and 10000 kept, 100000 refused
        run_cell_rules(big);
        CHECK(big.cells[1].cell_type == 1000 && big.cells[2].cell_type == 10000 && big.cells[3].cell_type == 1);
        add_cell_rule(big, "cell_type = 0/0\nlambda_surface = 0", {}, every);
        run_cell_rules(big);
        CHECK(big.cells[1].cell_type == 1000 && !big.surface_active);
    }

    // RK4 against a reference written here: a sorting sheet, a system reading
    // its neighbours, a field and a parameter, three substeps
    {
        World w = tessaly_test::sorting_world({{24, 24, 1}, false, 2, 0.0});
        add_cell_attribute(w, "x", 0.0, OnDivide::copy);
        add_cell_attribute(w, "y", 0.0, OnDivide::copy);
        add_cell_attribute(w, "held", 0.0, OnDivide::copy);
        add_field(w, "c", 0.0, 0.0);
        for (std::size_t i = 0; i < w.lattice.n_sites(); ++i) w.fields[0].conc[i] = static_cast<float>(i % 7) * 0.25f;
        const std::size_t n = w.cells.size();
        for (std::size_t id = 0; id < n; ++id) {
            column(w, "x")[id] = 0.1 * static_cast<double>(id % 5);
            column(w, "y")[id] = 1.0 + 0.05 * static_cast<double>(id % 3);
            column(w, "held")[id] = 0.5 * static_cast<double>(id % 2);
        }
        CellSelection type1;
        type1.all_but_medium = false;
        type1.types = {1};
        const std::string text =
            "# a two-species system\n"
            "x' = a - x * y^2 + 0.1 * nbr_mean(y) + held\n"
            "y' = x * y - y / (1 + x) + hill(x, 0.5, 2) - 0.01 * field(c) * nbr_sum(x) + cell_type\n";
        add_cell_system(w, text, {{"a", 0.3}}, type1, 0.7, 3);

        // the reference, from hand-counted contacts and site-by-site means
        const auto area = contacts_of(w);
        std::vector<double> x = column(w, "x"), y = column(w, "y"), ny_mean(n, 0.0), nx_sum(n, 0.0), fmean(n, 0.0);
        for (std::size_t id = 1; id < n; ++id) {
            double s = 0.0, t = 0.0, sx = 0.0, c = 0.0, v = 0.0;
            for (const auto& [pair, a] : area) {
                if (pair.first != id || pair.second == MEDIUM) continue;
                s += a * y[pair.second];
                sx += a * x[pair.second];
                t += a;
            }
            for (std::size_t i = 0; i < w.lattice.n_sites(); ++i)
                if (w.lattice.sites[i] == id) c += static_cast<double>(w.fields[0].conc[i]), v += 1.0;
            ny_mean[id] = t > 0.0 ? s / t : 0.0;
            nx_sum[id] = sx;
            fmean[id] = c / v;
        }
        std::vector<double> rx = x, ry = y;
        for (std::size_t id = 1; id < n; ++id) {
            if (w.cells[id].cell_type != 1) continue;
            const double held = column(w, "held")[id], type = 1.0;
            const auto f = [&](double xv, double yv, double& dx, double& dy) {
                dx = 0.3 - xv * yv * yv + 0.1 * ny_mean[id] + held;
                dy = xv * yv - yv / (1.0 + xv) + xv * xv / (0.25 + xv * xv) - 0.01 * fmean[id] * nx_sum[id] + type;
            };
            double xv = x[id], yv = y[id];
            const double h = 0.7 / 3.0;
            for (int step = 0; step < 3; ++step) {
                double k1x, k1y, k2x, k2y, k3x, k3y, k4x, k4y;
                f(xv, yv, k1x, k1y);
                f(xv + h / 2 * k1x, yv + h / 2 * k1y, k2x, k2y);
                f(xv + h / 2 * k2x, yv + h / 2 * k2y, k3x, k3y);
                f(xv + h * k3x, yv + h * k3y, k4x, k4y);
                xv += h / 6 * (k1x + 2 * k2x + 2 * k3x + k4x);
                yv += h / 6 * (k1y + 2 * k2y + 2 * k3y + k4y);
            }
            rx[id] = xv;
            ry[id] = yv;
        }
        w.terms.programs.mcs = 1;
        run_cell_systems(w);
        bool all_close = true;
        std::size_t moved = 0;
        for (std::size_t id = 0; id < n; ++id) {
            all_close = all_close && close(column(w, "x")[id], rx[id]) && close(column(w, "y")[id], ry[id]);
            moved += column(w, "x")[id] != x[id];
        }
        CHECK(all_close);
        CHECK(moved > 10);
    }

    // the texts' errors name line, column and word, and add nothing
    {
        World w = small_world();
        struct Bad {
            const char* text;
            std::size_t line, column;
            const char* word;
            const char* what;
        };
        const Bad systems[] = {
            {"A' = 1\n\n  B' = 2", 3, 3, "B", "'B' is not a cell attribute"},
            {"A' = 1\nA' = 2", 2, 1, "A", "'A' has a second equation"},
            {"A = 1", 1, 3, "=", "expected NAME' = EXPR, found '='"},
            {"A'", 1, 3, "", "expected NAME' = EXPR, found the end of the line"},
            {"  # nothing\n", 1, 1, "", "no equation"},
            {"3' = 1", 1, 1, "3", "expected NAME' = EXPR, found '3'"},
            {"A' == 1", 1, 4, "=", "expected NAME' = EXPR, found '='"},
            {"# one\nA' = m +\tq # two", 2, 10, "q", "unknown name 'q'"},
        };
        for (const Bad& b : systems) {
            bool right = false;
            try {
                add_cell_system(w, b.text, {}, every, 1.0, 1);
            } catch (const ExpressionError& e) {
                const std::string expected =
                    "line " + std::to_string(b.line) + ", column " + std::to_string(b.column) + ": " + b.what;
                right = e.what() == expected && e.word == b.word;
                if (!right) std::fprintf(stderr, "'%s': %s (word '%s')\n", b.text, e.what(), e.word.c_str());
            }
            CHECK(right);
        }
        CHECK(throws<ExpressionError>([&] { add_cell_rule(w, "A = 1\nvolume = 2", {}, every); },
                                      "line 2, column 1: 'volume' is not a cell attribute or one of target_volume"));
        CHECK(throws<ExpressionError>([&] { add_cell_rule(w, "A == 1", {}, every); },
                                      "line 1, column 3: expected NAME = EXPR, found '='"));
        CHECK(throws<ExpressionError>([&] { set_division_rule(w, "volume > 1\nA > 2", {}, every, DivisionAxis::major); },
                                      "line 2, column 1: a condition is one expression, on one line"));
        CHECK(throws<ExpressionError>([&] { set_division_rule(w, "#\n", {}, every, DivisionAxis::major); },
                                      "line 1, column 1: no condition"));
        CHECK(w.terms.programs.systems.empty() && w.terms.programs.rules.empty() && !w.terms.programs.division.on);
    }

    // the division rule: cells whose condition holds divide in id order, the
    // medium and cells of other types not
    {
        World w = tessaly_test::sorting_world({{18, 18, 1}, false, 2, 0.0});
        const std::size_t before = w.cells.size();
        set_division_rule(w, "cell_type == 2 # only type 2", {}, every, DivisionAxis::major);
        std::vector<CellId> expected;
        for (std::size_t id = 1; id < before; ++id)
            if (w.cells[id].cell_type == 2) expected.push_back(static_cast<CellId>(id));
        run_division_rule(w);
        CHECK(w.cells.size() == before + expected.size());
        bool halves = true;
        for (std::size_t k = 0; k < expected.size(); ++k)
            halves = halves && w.cells[expected[k]].trackers.volume == 8 && w.cells[before + k].trackers.volume == 8 &&
                     w.cells[before + k].cell_type == 2;
        CHECK(halves);
        CHECK(w.terms.programs.registry_changed);
        set_division_rule(w, std::nullopt, {}, every, DivisionAxis::major);
        CHECK(!w.terms.programs.division.on);
    }

    // through the sweep, saved and restored midway: the restored run
    // continues to the bit (the step count, random orientations included)
    {
        World w = tessaly_test::sorting_world({{24, 24, 1}, true, 2, 0.0});
        add_cell_rule(w, "target_volume = 16 + mcs / 4", {}, every);
        set_division_rule(w, "volume > 22", {}, every, DivisionAxis::random);
        // the contacts as set-up records them, so that the checkpoint keeps them
        for (CellType t = 0; t < w.contact.n; ++t)
            for (CellType u = t; u < w.contact.n; ++u) record_contact(w, t, u, w.contact.data[t * w.contact.n + u]);
        Cpm a(std::move(w), 7);
        seed_cell_programs(a.world.terms.programs, 7);
        step(a, 20);
        const std::vector<std::uint8_t> bytes = encode_payload(a.world, true, a.rng);
        WorldState restored = decode_payload(bytes.data(), bytes.size());
        Cpm b(std::move(restored.world), restored.rng);
        CHECK(encode_payload(b.world, true, b.rng) == bytes);
        step(a, 25);
        step(b, 25);
        CHECK(encode_payload(a.world, true, a.rng) == encode_payload(b.world, true, b.rng));
        CHECK(a.world.cells.size() > 26);  // some divided, within the steps
        CHECK(a.world.terms.programs.mcs == 45);
        CHECK(tessaly_test::trackers_exact(a.world));
    }
    // the parallel sweep with a system, rules and divisions: the same bits for
    // any number of workers
    {
        std::vector<std::uint8_t> first;
        for (const std::size_t workers : {1, 2, 3}) {
            set_worker_count_for_testing(workers);
            World w = tessaly_test::sorting_world({{32, 32, 1}, true, 2, 0.0});
            add_cell_attribute(w, "u", 0.0, OnDivide::copy);
            add_cell_system(w, "u' = 1 - u + 0.2 * nbr_mean(u) + volume / 100", {}, every, 0.5, 2);
            add_cell_rule(w, "target_volume = 16 + 10 * u\ncell_type = if(u > 0.9, 2, cell_type)", {}, every);
            set_division_rule(w, "volume > 20", {}, every, DivisionAxis::random);
            Cpm cpm(std::move(w), 3);
            seed_cell_programs(cpm.world.terms.programs, 3);
            CHECK(step_parallel(cpm, 30, 8));
            const std::vector<std::uint8_t> bytes = encode_payload(cpm.world, true, cpm.rng);
            if (first.empty()) first = bytes;
            CHECK(bytes == first);
            CHECK(cpm.world.cells.size() > 50);  // cells divided within the call
            CHECK(tessaly_test::trackers_exact(cpm.world));
        }
        set_worker_count_for_testing(0);
    }
    return tessaly_test::finish();
}

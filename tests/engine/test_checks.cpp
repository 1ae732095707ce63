// Settings the dynamics accepts but a modeller almost never means.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "checks.hpp"
#include "energy.hpp"
#include "field.hpp"
#include "chemotaxis.hpp"
#include "init.hpp"
#include "length.hpp"
#include "worlds.hpp"

using namespace tessaly;

int main() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto found = [](const std::vector<std::string>& all, const std::string& text) {
        for (const std::string& s : all)
            if (s.find(text) != std::string::npos) return true;
        return false;
    };

    // a sound model: nothing to say, on a planar and a deep box at the stability edge (d·dt = 1/(2·dims))
    for (const std::size_t nz : {1u, 4u}) {
        World w = tessaly_test::empty_world({4, 4, nz}, true, 1, 10.0);
        add_cell(w, 1, 4.0, 1.0, 8.0, 0.5);
        add_field(w, "c", nz == 1 ? 0.25 : 1.0 / 6.0, 1.0);
        CHECK(questionable_settings(w).empty());
    }

    // every kind of problem, each reported once, in order, naming the setting
    World w = tessaly_test::empty_world({4, 4, 1}, true, 1, -1.0);
    add_cell(w, 1, nan, 1.0, 0.0, 0.0);
    add_cell(w, 1, 4.0, -2.0, 0.0, nan);
    add_cell(w, 1, 4.0, -1.0, nan, 0.0);
    record_contact(w, 0, 1, 1.0);
    record_contact(w, 2, 1, nan);
    record_contact(w, 2, 2, nan);
    finish_setup(w);
    add_field(w, "c", 0.26, 0.0);
    const std::size_t f = add_field(w, "d", 0.1, 0.5);
    set_field_dynamics(w, f, 3.0, 2);
    const std::vector<std::string> problems = questionable_settings(w);
    CHECK_EQ(problems.size(), 9u);
    CHECK(problems[0] == "temperature is -1, not a positive finite number");
    CHECK(problems[1] == "the contact energy of types 2 and 1 is NaN");
    CHECK(problems[2] == "target_volume is NaN for 1 cell (the first is cell 1)");
    CHECK(found(problems, "lambda_volume is negative for 2 cells (the first is cell 2)"));
    CHECK(found(problems, "target_surface is NaN for 1 cell (the first is cell 3)"));
    CHECK(found(problems, "lambda_surface is NaN"));
    CHECK(found(problems, "field 0: d*dt is 0.26 per substep, above 0.25 (1/(2*2))"));
    CHECK(found(problems, "field 1: d*dt is 0.30000000000000004 per substep, above"));
    CHECK(found(problems, "field 1: decay*dt is 1.5, above 1"));
    // the terms: a negative length strength, a NaN chemotactic one; a negative chemotactic λ is fine
    set_length_constraint(w, 3, 5.0, -1.0);
    set_chemotaxis(w, 1, 2, nan);
    set_chemotaxis(w, 0, 1, -4.0);
    const std::vector<std::string> with_terms = questionable_settings(w);
    CHECK_EQ(with_terms.size(), problems.size() + 2);
    CHECK(found(with_terms, "the lambda of set_length_constraint is negative for 1 type (the first is type 3)"));
    CHECK(found(with_terms, "the chemotaxis lambda of field 1 is NaN for 1 type (the first is type 2)"));
    // a NaN replaced by a later entry for the same pair is no longer there
    record_contact(w, 1, 2, 3.0);
    record_contact(w, 2, 2, 1.0);
    finish_setup(w);
    CHECK(!found(questionable_settings(w), "contact"));
    return tessaly_test::finish();
}

// Expressions: a grammar table of good inputs with hand-computed values and
// bad inputs with the line, column and word of their error.
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "error.hpp"
#include "expression.hpp"
#include "world.hpp"

using namespace tessaly;
using tessaly_test::throws;

namespace {

World make_world() {
    World w(Lattice({4, 4, 1}, {false, false, false}, Neighborhood(0, 1)), 1.0);
    add_cell(w, 1, 10.0, 1.0, 0.0, 0.0);
    add_cell_attribute(w, "a", 2.0, OnDivide::copy);
    add_cell_attribute(w, "b", -3.0, OnDivide::copy);
    add_field(w, "oxygen", 0.1, 0.0);
    return w;
}

// The value of one expression with a = 2, b = -3, volume = 5, mcs = 7 and
// the parameter k = 0.5, for one cell.
double value_of(const World& w, const std::string& text) {
    const Params params = {{"k", 0.5}};
    Compiler c(w, params);
    c.add(text, 1, 0);
    const Program p = c.compile();
    std::vector<double> r(std::size_t{p.n_registers} * block_size, std::numeric_limits<double>::quiet_NaN());
    load_constants(p, r.data());
    for (std::size_t k = 0; k < p.inputs.size(); ++k) {
        const Input in = p.inputs[k];
        double v = 0.0;
        if (in.kind == InputKind::attribute) v = in.index == 0 ? 2.0 : -3.0;
        if (in.kind == InputKind::volume) v = 5.0;
        if (in.kind == InputKind::mcs) v = 7.0;
        r[k * block_size] = v;
    }
    run(p, r.data(), 1);
    return r[p.results[0] * block_size];
}

struct Good {
    const char* text;
    double value;
};

struct Bad {
    const char* text;
    std::size_t column;
    const char* word;
    const char* message;  // what follows "line 1, column C: "
};

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

}  // namespace

int main() {
    const World w = make_world();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();

    const Good good[] = {
        {"1", 1.0},
        {"  2.5 ", 2.5},
        {".5", 0.5},
        {"1e3", 1000.0},
        {"2.5E-1", 0.25},
        {"1.", 1.0},
        {"1 + 2 * 3", 7.0},
        {"(1 + 2) * 3", 9.0},
        {"7 - 2 - 1", 4.0},
        {"8 / 4 / 2", 1.0},
        {"2 ^ 3 ^ 2", 512.0},
        {"(2 ^ 3) ^ 2", 64.0},
        {"-2 ^ 2", -4.0},
        {"2 ^ -1", 0.5},
        {"--3", 3.0},
        {"-a * b", 6.0},
        {"2 * -b", 6.0},
        {"1 < 2", 1.0},
        {"2 <= 2", 1.0},
        {"2 > 2", 0.0},
        {"2 >= 3", 0.0},
        {"a == 2", 1.0},
        {"a != 2", 0.0},
        {"1 < 2 < 3", 1.0},
        {"3 > 2 > 1", 0.0},
        {"1 + 1 < 3", 1.0},
        {"if(a > 1, 10, 20)", 10.0},
        {"if(0, 10, 20)", 20.0},
        {"if(0/0, 10, 20)", 10.0},
        {"0/0 == 0/0", 0.0},
        {"0/0 != 0/0", 1.0},
        {"1 / 0", inf},
        {"log(-1)", nan},
        {"exp(0)", 1.0},
        {"log(1)", 0.0},
        {"sqrt(16)", 4.0},
        {"abs(b)", 3.0},
        {"min(a, b)", -3.0},
        {"max(a, b)", 2.0},
        {"min(0/0, 1)", nan},
        {"min(1, 0/0)", 1.0},
        {"pow(2, 10)", 1024.0},
        {"b ^ 3", -27.0},
        {"a ^ -1", 0.5},
        {"(0/0) ^ 0", 1.0},
        {"0 ^ (0 - 1)", inf},
        {"a ^ 0.5", std::pow(2.0, 0.5)},
        {"a ^ 65", std::pow(2.0, 65.0)},
        {"hill(a, 1, 0.5)", std::pow(2.0, 0.5) / (1.0 + std::pow(2.0, 0.5))},
        {"hill(2, 2, 3)", 0.5},
        {"hill(a, k, 2)", 4.0 / 4.25},
        {"hill(0, 0, 1)", nan},
        {"k * 4", 2.0},
        {"volume + mcs", 12.0},
        {"exp(log(a)) * 0 + max(min(a, 5), -1)", 2.0},
        {"a*b-a/b", -6.0 - 2.0 / -3.0},
        {"sqrt(2) * sqrt(2)", std::sqrt(2.0) * std::sqrt(2.0)},
    };
    for (const Good& g : good) {
        double v = nan;
        try {
            v = value_of(w, g.text);
        } catch (const ExpressionError& e) {
            std::fprintf(stderr, "'%s': %s\n", g.text, e.what());
        }
        if (!same(v, g.value)) std::fprintf(stderr, "'%s' gave %.17g, expected %.17g\n", g.text, v, g.value);
        CHECK(same(v, g.value));
    }

    const Bad bad[] = {
        {"", 1, "", "unexpected end of line"},
        {"1 +", 4, "", "unexpected end of line"},
        {"1 2", 3, "2", "unexpected '2'"},
        {"(1 + 2", 7, "", "unexpected end of line"},
        {"1 + 2)", 6, ")", "unexpected ')'"},
        {"a = 1", 3, "=", "unexpected '='"},
        {"1 ! 2", 3, "!", "unexpected '!'"},
        {"2e", 2, "e", "unexpected 'e'"},
        {"1.2.3", 4, ".3", "unexpected '.3'"},
        {"1e999", 1, "1e999", "number out of range '1e999'"},
        {"a + zeta", 5, "zeta", "unknown name 'zeta'"},
        {"é + 1", 1, "é", "unexpected 'é'"},
        {"1 + é", 5, "é", "unexpected 'é'"},
        {"é + zeta", 1, "é", "unexpected 'é'"},
        {"ab + 1", 1, "ab", "unknown name 'ab'"},
        {"sin(a)", 1, "sin", "unknown function 'sin'"},
        {"volume(2)", 1, "volume", "unknown function 'volume'"},
        {"exp + 1", 1, "exp", "'exp' is a function: its arguments go in parentheses"},
        {"exp()", 1, "exp", "'exp' takes 1 argument, got 0"},
        {"max(1)", 1, "max", "'max' takes 2 arguments, got 1"},
        {"hill(1, 2)", 1, "hill", "'hill' takes 3 arguments, got 2"},
        {"if(1, 2, 3, 4)", 1, "if", "'if' takes 3 arguments, got 4"},
        {"min(1,)", 7, ")", "unexpected ')'"},
        {"nbr_mean(c)", 10, "c", "unknown attribute 'c'"},
        {"nbr_sum(a + 1)", 11, "+", "unexpected '+'"},
        {"nbr_sum(2)", 9, "2", "unexpected '2'"},
        {"field(nitrogen)", 7, "nitrogen", "unknown field 'nitrogen'"},
        {"field(oxygen", 13, "", "unexpected end of line"},
    };
    for (const Bad& b : bad) {
        bool thrown = false;
        try {
            value_of(w, b.text);
        } catch (const ExpressionError& e) {
            thrown = true;
            const std::string expected = "line 1, column " + std::to_string(b.column) + ": " + b.message;
            if (e.what() != expected || e.line != 1 || e.column != b.column || e.word != b.word)
                std::fprintf(stderr, "'%s': got '%s' (word '%s'), expected '%s' (word '%s')\n", b.text, e.what(),
                             e.word.c_str(), expected.c_str(), b.word);
            CHECK(e.what() == expected && e.line == 1 && e.column == b.column && e.word == b.word);
        }
        if (!thrown) std::fprintf(stderr, "'%s' was accepted\n", b.text);
        CHECK(thrown);
    }

    // nesting deeper than the stack allows is refused, not followed
    CHECK(throws<ExpressionError>([&] { value_of(w, std::string(100000, '(') + "1"); }, "nested too deeply"));
    CHECK(throws<ExpressionError>([&] { value_of(w, std::string(100000, '-') + "1"); }, "nested too deeply"));
    {
        std::string chain = "1";
        for (int k = 0; k < 5000; ++k) chain += "+1";
        CHECK(throws<ExpressionError>([&] { value_of(w, chain); }, "nested too deeply"));
    }

    // the inputs a program reads, each once, in order of first use
    {
        const Params none;
        Compiler c(w, none);
        c.add("nbr_mean(a) + field(oxygen) * a + nbr_sum(b) + a + cell_type + surface + target_volume", 1, 0);
        const Program p = c.compile();
        CHECK(p.inputs.size() == 7);
        CHECK((p.inputs[0] == Input{InputKind::nbr_mean, 0}));
        CHECK((p.inputs[1] == Input{InputKind::field, 0}));
        CHECK((p.inputs[2] == Input{InputKind::attribute, 0}));
        CHECK((p.inputs[3] == Input{InputKind::nbr_sum, 1}));
        CHECK((p.inputs[6] == Input{InputKind::target_volume, 0}));
    }

    // several expressions in one program share inputs and constants, each
    // result kept; a failed one leaves the compiler as it was
    {
        const Params params = {{"a", 10.0}};  // a parameter shadows the attribute
        Compiler c(w, params);
        c.add("x' = b * 2", 1, 4);
        c.add("b + a", 2, 0);
        CHECK(throws<ExpressionError>([&] { c.add("b + nope", 3, 0); }, "line 3, column 5: unknown name 'nope'"));
        const Program p = c.compile();
        CHECK(p.inputs.size() == 1 && p.constants.size() == 2 && p.results.size() == 2);
        std::vector<double> r(std::size_t{p.n_registers} * block_size);
        load_constants(p, r.data());
        for (std::size_t j = 0; j < block_size; ++j) r[j] = static_cast<double>(j);  // b, cell by cell
        run(p, r.data(), block_size);
        bool right = true;
        for (std::size_t j = 0; j < block_size; ++j)
            right = right && r[p.results[0] * block_size + j] == 2.0 * static_cast<double>(j) &&
                    r[p.results[1] * block_size + j] == static_cast<double>(j) + 10.0;
        CHECK(right);
    }

    // columns count characters, not bytes
    CHECK(column_of("é + x", 4) == 4);
    CHECK(reserved_name("nbr_mean") && reserved_name("mcs") && reserved_name("hill") && !reserved_name("a"));
    return tessaly_test::finish();
}

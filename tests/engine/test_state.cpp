// Cell attributes: rows for new cells, the division rules through both
// division methods, writes, and the checkpoint section.
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "check.hpp"
#include "checkpoint.hpp"
#include "error.hpp"
#include "mitosis.hpp"
#include "worlds.hpp"

using namespace tessaly_test;

namespace {

// A 4×4 cell at (1, 1) and one attribute per rule, set on the cell to 10.
World ruled_world() {
    World w = empty_world({12, 12, 1}, false, 1);
    const CellId a = add_cell(w, 1, 16.0, 1.0, 0.0, 0.0);
    for (std::size_t y = 1; y < 5; ++y)
        for (std::size_t x = 1; x < 5; ++x) paint(w, index_of(w, x, y, 0), a);
    recompute_trackers(w);
    add_cell_attribute(w, "kept", 1.5, OnDivide::copy);
    add_cell_attribute(w, "mass", 2.0, OnDivide::split);
    add_cell_attribute(w, "phase", -1.0, OnDivide::reset);
    for (std::size_t k = 0; k < 3; ++k) set_attribute(w, k, {a}, {10.0});
    return w;
}

void check_rules(const World& w, CellId parent, CellId daughter, double parent_share) {
    const std::vector<Attribute>& at = w.state.attributes;
    CHECK(at[0].values[parent] == 10.0 && at[0].values[daughter] == 10.0);
    CHECK(at[1].values[parent] == 10.0 * parent_share && at[1].values[daughter] == 10.0 * (1.0 - parent_share));
    CHECK(std::fabs(at[1].values[parent] + at[1].values[daughter] - 10.0) <= 1e-14);
    CHECK(at[2].values[parent] == -1.0 && at[2].values[daughter] == -1.0);
    CHECK(at[0].values[MEDIUM] == 1.5 && at[1].values[MEDIUM] == 2.0);
}

}  // namespace

int main() {
    // a column for every registered cell, a row at the default for every new one
    {
        World w = empty_world({4, 4, 1}, false, 1);
        add_cell(w, 1, 1.0, 1.0, 0.0, 0.0);
        CHECK_EQ(add_cell_attribute(w, "x", 0.5, OnDivide::copy), 0u);
        add_cell(w, 1, 1.0, 1.0, 0.0, 0.0);
        CHECK(w.state.attributes[0].values == std::vector<double>({0.5, 0.5, 0.5}));
        CHECK_EQ(find_attribute(w.state, "x"), 0u);
        CHECK_EQ(find_attribute(w.state, "y"), NO_ATTRIBUTE);
    }

    // writes: all rows, the rows of ids (the last of a repeated id wins);
    // a wrong length or an unknown id changes nothing
    {
        World w = empty_world({4, 4, 1}, false, 1);
        add_cell(w, 1, 1.0, 1.0, 0.0, 0.0);
        add_cell(w, 1, 1.0, 1.0, 0.0, 0.0);
        add_cell_attribute(w, "x", 0.0, OnDivide::copy);
        set_attribute(w, 0, {7.0});
        CHECK(w.state.attributes[0].values == std::vector<double>({7.0, 7.0, 7.0}));
        set_attribute(w, 0, {1.0, 2.0, 3.0});
        set_attribute(w, 0, {2, 1, 2}, {4.0, 5.0, 6.0});
        CHECK(w.state.attributes[0].values == std::vector<double>({1.0, 5.0, 6.0}));
        CHECK(throws<EngineError>([&] { set_attribute(w, 0, {1.0, 2.0}); }, "one per cell record"));
        CHECK(throws<EngineError>([&] { set_attribute(w, 0, {1, 3}, {9.0}); }, "not registered"));
        CHECK(throws<EngineError>([&] { set_attribute(w, 0, {1, 2}, {9.0, 9.0, 9.0}); }, "one per id"));
        CHECK(throws<EngineError>([&] { set_attribute(w, 1, {9.0}); }, "out of range"));
        CHECK(w.state.attributes[0].values == std::vector<double>({1.0, 5.0, 6.0}));
    }

    // the rules through divide_cells: 4×4 cut across x after x = 2, 8 and 8
    {
        World w = ruled_world();
        CHECK(divide_cells(w, 16.0, 8.0) == std::vector<CellId>({2}));
        check_rules(w, 1, 2, 0.5);
    }

    // the rules through a chosen division, local or not: the plane through
    // (2.5, 2.5) with normal (1, 0.1) gives x ≥ 3 away, 8 of 16 sites
    for (const bool exact : {true, false}) {
        World w = ruled_world();
        w.trackers_exact = exact;
        const ChosenDivision d = divide_cell(w, 1, DivisionAxis::given, {1.0, 0.1, 0.0}, nullptr, std::nullopt);
        CHECK(d.refusal == DivisionRefusal::none && d.daughter == 2);
        CHECK(w.cells[1].trackers.volume == 8 && w.cells[2].trackers.volume == 8);
        check_rules(w, 1, 2, 0.5);
        // an uneven cut of the 8 left (x 1..2, y 1..4): normal (0.1, 1) about (1.5, 2.5) gives y ≥ 3 away
        const ChosenDivision e = divide_cell(w, 1, DivisionAxis::given, {0.1, 1.0, 0.0}, nullptr, std::nullopt);
        CHECK(e.daughter == 3 && w.cells[3].trackers.volume == 4);
        CHECK(w.state.attributes[1].values[1] == 5.0 * 0.5 && w.state.attributes[1].values[3] == 5.0 * 0.5);
        CHECK(trackers_exact(w));
    }

    // checkpoints keep every column, its default and its rule
    {
        World w = ruled_world();
        set_attribute(w, 1, {0, 1}, {-0.0, std::nan("")});
        const std::vector<std::uint8_t> bytes = encode_payload(w, false, Rng{});
        const WorldState s = decode_payload(bytes.data(), bytes.size());
        const std::vector<Attribute>& a = w.state.attributes;
        const std::vector<Attribute>& b = s.world.state.attributes;
        CHECK_EQ(b.size(), 3u);
        for (std::size_t k = 0; k < a.size() && k < b.size(); ++k) {
            CHECK(a[k].name == b[k].name && a[k].on_divide == b[k].on_divide &&
                  a[k].default_value == b[k].default_value && a[k].values.size() == b[k].values.size());
            for (std::size_t r = 0; r < a[k].values.size(); ++r)
                CHECK(std::memcmp(&a[k].values[r], &b[k].values[r], sizeof(double)) == 0);
        }
        CHECK(encode_payload(s.world, false, Rng{}) == bytes);

        // a damaged section is refused: a rule beyond reset, a column shorter than the registry
        const auto attr_at = [&] {
            for (std::size_t i = 0; i + 4 <= bytes.size(); ++i)
                if (std::memcmp(&bytes[i], "ATTR", 4) == 0) return i;
            return bytes.size();
        }();
        CHECK(attr_at < bytes.size());
        std::vector<std::uint8_t> bad_rule = bytes;
        bad_rule[attr_at + 12 + 8 + 8 + 4 + 8] = 3;  // tag, length, count, name "kept", default: the rule
        CHECK(throws<FormatError>([&] { decode_payload(bad_rule.data(), bad_rule.size()); }, "attribute rule 3"));
        std::vector<std::uint8_t> renamed = bytes;
        std::memcpy(&renamed[attr_at + 12 + 8 + 8 + 4 + 8 + 1 + 8 + 2 * 8 + 8], "kept", 4);  // "mass" → "kept"
        CHECK(throws<FormatError>([&] { decode_payload(renamed.data(), renamed.size()); }, "two attributes called 'kept'"));
    }

    return finish();
}

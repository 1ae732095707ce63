#include "state.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "bytes.hpp"
#include "error.hpp"
#include "world.hpp"

namespace tessaly {

std::size_t add_cell_attribute(World& w, std::string name, double default_value, OnDivide on_divide) {
    Attribute a;
    a.name = std::move(name);
    a.default_value = default_value;
    a.on_divide = on_divide;
    a.values.assign(w.cells.size(), default_value);
    w.state.attributes.push_back(std::move(a));
    return w.state.attributes.size() - 1;
}

std::size_t find_attribute(const CellState& state, std::string_view name) {
    for (std::size_t k = 0; k < state.attributes.size(); ++k)
        if (state.attributes[k].name == name) return k;
    return NO_ATTRIBUTE;
}

void add_state_row(CellState& state) {
    for (Attribute& a : state.attributes) a.values.push_back(a.default_value);
}

void divide_state(CellState& state, CellId parent, CellId daughter, std::int64_t parent_sites,
                  std::int64_t daughter_sites) {
    const double total = static_cast<double>(parent_sites + daughter_sites);
    for (Attribute& a : state.attributes) {
        double& p = a.values[parent];
        double& d = a.values[daughter];
        switch (a.on_divide) {
        case OnDivide::copy:
            d = p;
            break;
        case OnDivide::split: {
            const double v = p;
            p = total > 0 ? v * (static_cast<double>(parent_sites) / total) : v;
            d = total > 0 ? v * (static_cast<double>(daughter_sites) / total) : v;
            break;
        }
        case OnDivide::reset:
            p = a.default_value;
            d = a.default_value;
            break;
        }
    }
}

namespace {

Attribute& attribute_at(World& w, std::size_t k) {
    if (k >= w.state.attributes.size()) fail("attribute index " + std::to_string(k) + " out of range");
    return w.state.attributes[k];
}

}  // namespace

void set_attribute(World& w, std::size_t attribute, const std::vector<double>& values) {
    Attribute& a = attribute_at(w, attribute);
    if (values.size() == 1) {
        a.values.assign(a.values.size(), values[0]);
        return;
    }
    if (values.size() != a.values.size()) fail("attribute values: one per cell record, or one for all");
    std::copy(values.begin(), values.end(), a.values.begin());
}

void set_attribute(World& w, std::size_t attribute, const std::vector<CellId>& ids, const std::vector<double>& values) {
    Attribute& a = attribute_at(w, attribute);
    if (values.size() != ids.size() && values.size() != 1)
        fail("attribute values: one per id, or one for all");
    for (const CellId id : ids) (void)cell_at(w, id);
    for (std::size_t k = 0; k < ids.size(); ++k) a.values[ids[k]] = values[values.size() == 1 ? 0 : k];
}

// ---- checkpoint ----

void write(ByteWriter& out, const CellState& state) {
    if (state.attributes.empty()) return;
    out.u64(state.attributes.size());
    for (const Attribute& a : state.attributes) {
        out.str(a.name);
        out.f64(a.default_value);
        out.u8(static_cast<std::uint8_t>(a.on_divide));
        out.f64s(a.values);
    }
}

void read(ByteReader& in, CellState& state, const World& w) {
    // per attribute at least a name length, a default, a rule and a count
    std::vector<Attribute> attributes(in.count(25));
    for (Attribute& a : attributes) {
        a.name = in.str();
        if (a.name.empty()) damaged("an attribute without a name");
        for (const Attribute& b : attributes) {
            if (&b == &a) break;
            if (b.name == a.name) damaged("two attributes called '" + a.name + "'");
        }
        a.default_value = in.f64();
        const std::uint8_t rule = in.u8();
        if (rule > static_cast<std::uint8_t>(OnDivide::reset)) damaged("an attribute rule " + std::to_string(rule));
        a.on_divide = static_cast<OnDivide>(rule);
        a.values = in.f64s();
        if (a.values.size() != w.cells.size()) damaged("attribute '" + a.name + "' is not as long as the registry");
    }
    state.attributes = std::move(attributes);
}

}  // namespace tessaly

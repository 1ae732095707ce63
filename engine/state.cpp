#include "state.hpp"

#include <utility>

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

}  // namespace tessaly

#include "checks.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <charconv>

#include "energy.hpp"
#include "init.hpp"
#include "terms.hpp"
#include "world.hpp"

namespace tessaly {

namespace {

// The shortest text that reads back as v.
std::string number(double v) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, v).ptr;
    return std::string(text, end);
}

// Counts the cells (the medium excluded) whose parameter fails `bad`, and
// names the first of them.
template <typename Bad>
void check_cells(const World& w, double Cell::* member, const char* name, const char* what, Bad bad,
                 std::vector<std::string>& out) {
    std::size_t count = 0;
    CellId first = 0;
    for (std::size_t id = 1; id < w.cells.size(); ++id)
        if (bad(w.cells[id].*member) && count++ == 0) first = static_cast<CellId>(id);
    if (count == 0) return;
    out.push_back(std::string(name) + " is " + what + " for " + std::to_string(count) +
                  (count == 1 ? " cell" : " cells") + " (the first is cell " + std::to_string(first) + ")");
}

// The same for a per-type table of a term: the types whose entry fails `bad`.
template <typename Bad>
void check_types(const std::vector<double>& per_type, const std::string& name, const char* what, Bad bad,
                 std::vector<std::string>& out) {
    std::size_t count = 0, first = 0;
    for (std::size_t t = 0; t < per_type.size(); ++t)
        if (bad(per_type[t]) && count++ == 0) first = t;
    if (count == 0) return;
    out.push_back(name + " is " + what + " for " + std::to_string(count) + (count == 1 ? " type" : " types") +
                  " (the first is type " + std::to_string(first) + ")");
}

// Whether a per-type table has an entry for t that is not off.
template <typename T, typename Off>
bool set_for(const std::vector<T>& per_type, CellType t, Off off) {
    return t < per_type.size() && !off(per_type[t]);
}

}  // namespace

std::vector<std::string> questionable_settings(const World& w) {
    std::vector<std::string> out;
    const auto is_nan = [](double v) { return std::isnan(v); };
    const auto negative = [](double v) { return v < 0.0; };

    // temperature
    if (!(std::isfinite(w.temperature) && w.temperature > 0.0))
        out.push_back("temperature is " + number(w.temperature) + ", not a positive finite number");

    // contact energies: the pairs named, as the table holds them (a later entry may have replaced a NaN)
    for (const PendingContact& c : w.setup.pending_contacts)
        if (std::isnan(contact_energy(w.contact, c.type_a, c.type_b))) {
            out.push_back("the contact energy of types " + std::to_string(c.type_a) + " and " +
                          std::to_string(c.type_b) + " is NaN");
            break;
        }

    // cells
    check_cells(w, &Cell::target_volume, "target_volume", "NaN", is_nan, out);
    check_cells(w, &Cell::target_surface, "target_surface", "NaN", is_nan, out);
    check_cells(w, &Cell::lambda_volume, "lambda_volume", "NaN", is_nan, out);
    check_cells(w, &Cell::lambda_surface, "lambda_surface", "NaN", is_nan, out);
    check_cells(w, &Cell::lambda_volume, "lambda_volume", "negative", negative, out);
    check_cells(w, &Cell::lambda_surface, "lambda_surface", "negative", negative, out);

    // the terms' strengths and targets (a chemotactic λ may be negative: repulsion)
    const Terms& terms = w.terms;
    check_types(terms.length.target, "the target_length of set_length_constraint", "NaN", is_nan, out);
    check_types(terms.length.lambda, "the lambda of set_length_constraint", "NaN", is_nan, out);
    check_types(terms.length.lambda, "the lambda of set_length_constraint", "negative", negative, out);
    for (std::size_t f = 0; f < terms.chemotaxis.fields.size(); ++f)
        check_types(terms.chemotaxis.fields[f].lambda, "the chemotaxis lambda of field " + std::to_string(f), "NaN",
                    is_nan, out);
    check_types(terms.act.lambda, "the lambda_act of set_act", "NaN", is_nan, out);
    check_types(terms.persistence.lambda, "the lambda_dir of set_persistence", "NaN", is_nan, out);
    if (std::isnan(terms.membrane.k) || terms.membrane.k < 0.0)
        out.push_back("the membrane stiffness k is " + number(terms.membrane.k) + ", not a non-negative number");

    // fields: the explicit step is stable for d·dt ≤ 1/(2·dimensions), counting the axes of length ≥ 2
    const Lattice& lattice = w.lattice;
    const int dims = std::max(1, int{lattice.nx >= 2} + int{lattice.ny >= 2} + int{lattice.nz >= 2});
    for (std::size_t f = 0; f < w.fields.size(); ++f) {
        const Field& field = w.fields[f];
        const double step = field.d * field.dt;
        const double bound = 1.0 / (2.0 * dims);
        if (step > bound || std::isnan(step))
            out.push_back("field " + std::to_string(f) + ": d*dt is " + number(step) + " per substep, above " +
                          number(bound) + " (1/(2*" + std::to_string(dims) +
                          ")): the explicit diffusion step is unstable");
        const double decay = field.decay * field.dt;
        if (decay > 1.0 || std::isnan(decay))
            out.push_back("field " + std::to_string(f) + ": decay*dt is " + number(decay) +
                          ", above 1: a substep removes more than there is");
    }
    return out;
}

bool type_named_by_energy(const World& w, CellType t) {
    for (const PendingContact& c : w.setup.pending_contacts)
        if (c.type_a == t || c.type_b == t) return true;
    const auto zero = [](double v) { return v == 0.0; };
    const auto no = [](std::uint8_t v) { return v == 0; };
    const auto no_force = [](const Force& f) { return f.fx == 0.0 && f.fy == 0.0 && f.fz == 0.0; };
    const Terms& terms = w.terms;
    for (const FieldChemotaxis& field : terms.chemotaxis.fields)
        if (set_for(field.lambda, t, zero)) return true;
    return set_for(terms.membrane.anchored, t, no) || set_for(terms.junction.forming, t, no) ||
           set_for(terms.length.lambda, t, zero) || set_for(terms.external.force, t, no_force) ||
           set_for(terms.act.lambda, t, zero) || set_for(terms.persistence.lambda, t, zero);
}

}  // namespace tessaly

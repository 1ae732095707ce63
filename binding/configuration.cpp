// World's configuration methods: growth, fields, the optional terms, divisions.

#include "declare.hpp"  // first: it includes Python.h

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "cell_system.hpp"
#include "checks.hpp"
#include "chemotaxis.hpp"
#include "connectivity.hpp"
#include "external.hpp"
#include "field.hpp"
#include "junction.hpp"
#include "length.hpp"
#include "links.hpp"
#include "lists.hpp"
#include "membrane.hpp"
#include "mitosis.hpp"
#include "parallel.hpp"
#include "state.hpp"
#include "world.hpp"

namespace tessaly::binding {

namespace {

// ---- the cells' programs: conversions ----

// Raises ValueError "ARGUMENT: MESSAGE".
[[noreturn]] void raise_named(const char* argument, const std::string& message) {
    std::string text = argument;
    text += ": ";
    text += message;
    raise_error(PyExc_ValueError, text.c_str());
}

bool expression_name(const std::string& name) {
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) return false;
    for (const char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_') || static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// None, or a mapping of names (as the expressions write them) to floats, in
// the mapping's order.
tessaly::Params to_params(PyObject* params) {
    tessaly::Params out;
    if (params == Py_None) return out;
    if (!PyDict_Check(params)) raise_named("params", "expected None or a dict of names to floats");
    // the items first, so that a conversion calling back into Python cannot change the dict under us
    Ref items = checked(PyDict_Items(params));
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PyList_GET_ITEM(items.get(), k);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        if (!PyUnicode_Check(key)) raise_named("params", "expected None or a dict of names to floats");
        const std::string name = from_python<std::string>(key);
        if (!expression_name(name))
            raise_named("params", "expected names of ASCII letters, digits and _, got '" + name + "'");
        double value = 0.0;
        try {
            value = from_python<double>(PyTuple_GET_ITEM(item, 1));
        } catch (const PythonError&) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) name_type_error("params");
            throw;
        }
        out.emplace_back(name, value);
    }
    return out;
}

// None (every type but the medium's), or the types listed.
tessaly::CellSelection to_selection(const std::optional<std::vector<std::uint32_t>>& cell_types) {
    tessaly::CellSelection s;
    if (!cell_types) return s;
    s.all_but_medium = false;
    for (const std::uint32_t t : *cell_types) {
        if (t > 0xFFFF) raise_named("cell_types", "expected types from 0 to 65535, got " + std::to_string(t));
        s.types.push_back(static_cast<CellType>(t));
    }
    std::sort(s.types.begin(), s.types.end());
    s.types.erase(std::unique(s.types.begin(), s.types.end()), s.types.end());
    return s;
}

// Runs `compile`, turning a text's error into ValueError naming the argument.
template <typename F>
auto compiled(const char* argument, F compile) {
    try {
        return compile();
    } catch (const tessaly::ExpressionError& e) {
        raise_named(argument, e.what());
    }
}

// A refused rate: ValueError naming the argument and its value.
[[noreturn]] void refuse_value(const char* expected, double value) {
    Ref got = checked(PyFloat_FromDouble(value));
    PyErr_Format(PyExc_ValueError, "%s, got %R", expected, got.get());
    throw PythonError{};
}

// Returns a borrowed reference to the SBML translation's entry `key`; throws
// with SystemError set if the translator's dict has none.
PyObject* translation_item(PyObject* translation, const char* key) {
    PyObject* item = PyDict_GetItemString(translation, key);  // borrowed
    if (item == nullptr) {
        PyErr_Format(PyExc_SystemError, "tessaly: the SBML translation has no '%s'", key);
        throw PythonError{};
    }
    return item;
}

// ---- methods: configuration ----

const Method World_grow{
    "grow", exclusive, params(arg("cell_type"), arg("rate")),
    [](PyObject* self, CellType cell_type, double rate) { tessaly::grow(current(self), cell_type, rate); }};

const Method World_add_field{
    "add_field", exclusive, params(arg("name"), arg("d"), arg("decay")),
    [](PyObject* self, const std::string& name, double d, double decay) -> PyObject* {
        tessaly::World& w = setup_only(self, "add_field after finalize");
        return PyLong_FromSize_t(tessaly::add_field(w, name, d, decay));
    }};

const Method World_set_junction{
    "set_junction", exclusive, params(arg("cell_type"), arg("on")), [](PyObject* self, CellType cell_type, bool on) {
        tessaly::World& w = current(self);
        tessaly::record_type(w, cell_type);
        tessaly::set_junction(w, cell_type, on);
    }};

const Method World_set_junction_lambda{
    "set_junction_lambda", exclusive, params(arg("lambda")),
    [](PyObject* self, double lambda) { tessaly::set_junction_lambda(current(self), lambda); }};

const Method World_set_membrane{
    "set_membrane", exclusive, params(arg("anchors"), arg("k"), arg("band")),
    [](PyObject* self, const std::vector<std::size_t>& anchors, double k, double band) {
        tessaly::set_membrane(current(self), anchors, k, band);
    }};

const Method World_set_membrane_anchored{
    "set_membrane_anchored", exclusive, params(arg("cell_type"), arg("on")),
    [](PyObject* self, CellType cell_type, bool on) {
        tessaly::World& w = current(self);
        tessaly::record_type(w, cell_type);
        tessaly::set_membrane_anchored(w, cell_type, on);
    }};

// A type that no energy setting names is almost certainly a mistake (its
// cells feel no contact energy and no term): warned about once per type and
// World object, before anything changes, so that a warning turned into an
// error leaves the world as it was.
void warn_unnamed_type(PyObject* self, CellType t) {
    std::vector<bool>& warned = slots_of(self).warned_unnamed;
    if (t < warned.size() && warned[t]) return;
    if (tessaly::type_named_by_energy(current(self), t)) return;
    if (warned.empty()) warned.resize(std::size_t{std::numeric_limits<CellType>::max()} + 1);
    const std::string text = "set_cell_type: type " + std::to_string(t) +
                             " is named by no energy setting; its cells have contact energy 0 with every type";
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0) throw PythonError{};
    warned[t] = true;
}

const Method World_set_cell_type{
    "set_cell_type", exclusive, params(arg("cell_id"), arg("new_type")),
    [](PyObject* self, PyObject* cell_id, PyObject* new_type) {
        if (!is_batch(cell_id)) {
            const CellId id = argument<CellId>(Param{"cell_id"}, cell_id);
            const CellType t = argument<CellType>(Param{"new_type"}, new_type);
            tessaly::World& w = current(self);
            (void)tessaly::cell_at(w, id);
            warn_unnamed_type(self, t);
            tessaly::set_cell_type(w, id, t);
            return;
        }
        const std::vector<CellId> ids = to_ids("cell_id", cell_id);
        const std::vector<CellType> types = per_id<CellType>("new_type", new_type, ids.size());
        tessaly::World& w = current(self);
        tessaly::check_registered(w, ids);
        // each new type once, in order of first appearance, before anything changes
        std::vector<bool> seen(std::size_t{std::numeric_limits<CellType>::max()} + 1);
        for (const CellType t : types)
            if (!seen[t]) {
                seen[t] = true;
                warn_unnamed_type(self, t);
            }
        tessaly::set_cell_types(w, ids, types);
    }};

const Method World_set_secretion{
    "set_secretion", exclusive, params(arg("field_idx"), arg("cell_type"), arg("rate")),
    [](PyObject* self, std::size_t field_idx, CellType cell_type, double rate) {
        tessaly::set_secretion(current(self), field_idx, cell_type, rate);
    }};

const Method World_set_cell_secretion_scale{
    "set_cell_secretion_scale", exclusive, params(arg("field_idx"), arg("cell_id"), arg("scale")),
    [](PyObject* self, std::size_t field_idx, PyObject* cell_id, PyObject* scale) {
        if (!is_batch(cell_id)) {
            const CellId id = argument<CellId>(Param{"cell_id"}, cell_id);
            const double s = argument<double>(Param{"scale"}, scale);
            tessaly::set_cell_secretion_scale(current(self), field_idx, id, s);
            return;
        }
        const std::vector<CellId> ids = to_ids("cell_id", cell_id);
        const std::vector<double> scales = per_id<double>("scale", scale, ids.size());
        tessaly::set_cell_secretion_scales(current(self), field_idx, ids, scales);
    }};

const Method World_set_uptake{
    "set_uptake", exclusive,
    params(arg("field_idx"), arg("cell_type"), arg("max_rate"), arg("km") = 0.0, arg("scale_by") = None),
    "Cells of type `cell_type` take up field `field_idx`: each advance, after\n"
    "secretion, removes min(c, dt*max_rate*s*c/(km + c)) from every site of\n"
    "such a cell (min(c, dt*max_rate*s) when km = 0), s being 1 or the cell's\n"
    "value of the attribute `scale_by`. Never below zero; max_rate 0 stops it.",
    [](PyObject* self, std::size_t field_idx, CellType cell_type, double max_rate, double km,
       std::optional<std::string> scale_by) {
        tessaly::World& w = current(self);
        tessaly::field_at(w, field_idx);  // checked first, as by every field method
        if (!(max_rate >= 0.0)) refuse_value("max_rate: expected a number >= 0", max_rate);
        if (!(km >= 0.0)) refuse_value("km: expected a number >= 0", km);
        if (scale_by && tessaly::find_attribute(w.state, *scale_by) == tessaly::NO_ATTRIBUTE) {
            Ref name = checked(PyUnicode_DecodeUTF8(scale_by->data(), static_cast<Py_ssize_t>(scale_by->size()),
                                                    "surrogatepass"));
            PyErr_Format(PyExc_ValueError, "scale_by: expected the name of a cell attribute, got %R", name.get());
            throw PythonError{};
        }
        tessaly::set_uptake(w, field_idx, cell_type, max_rate, km, scale_by.value_or(""));
    }};

const Method World_set_field_boundary{
    "set_field_boundary", exclusive, params(arg("field_idx"), arg("value")),
    "Hold field `field_idx` at `value` outside the box on its non-periodic\n"
    "faces (x and y only on a planar box): in the diffusion step the outside\n"
    "neighbour of a site on such a face holds `value`. None restores no-flux.",
    [](PyObject* self, std::size_t field_idx, std::optional<double> value) {
        tessaly::World& w = current(self);
        tessaly::field_at(w, field_idx);
        if (value && !(std::isfinite(*value) && *value >= 0.0))
            refuse_value("value: expected a finite number >= 0 or None", *value);
        tessaly::set_field_boundary(w, field_idx, value);
    }};

const Method World_step_parallel{
    "step_parallel", exclusive, params(arg("mcs"), arg("block") = 16),
    "Parallel checkerboard sweep across CPU cores (opt-in; approximate but\n"
    "validated to track the sequential dynamics). `block` is the tile side\n"
    "(>=2). Set RAYON_NUM_THREADS to cap threads. Not for length-constraint models.",
    [](PyObject* self, std::uint64_t mcs, std::size_t block) {
        if (!tessaly::step_parallel(running_only(self), mcs, block, poll_signals)) raise_interrupted();
    }};

const Method World_advance_fields{
    "advance_fields", exclusive, params(arg("n")), [](PyObject* self, std::uint32_t n) {
        tessaly::World& w = current(self);
        for (std::uint32_t i = 0; i < n; ++i) {
            if (i > 0 && poll_signals()) throw PythonError{};
            if (!tessaly::advance_fields(w, poll_signals)) raise_interrupted();
        }
    }};

const Method World_set_chemotaxis{
    "set_chemotaxis", exclusive, params(arg("field_idx"), arg("cell_type"), arg("lambda_val")),
    [](PyObject* self, std::size_t field_idx, CellType cell_type, double lambda_val) {
        tessaly::set_chemotaxis(current(self), field_idx, cell_type, lambda_val);
    }};

const Method World_set_chemotaxis_occupancy{
    "set_chemotaxis_occupancy", exclusive,
    params(arg("field_idx"), arg("cell_type"), arg("lambda_val"), arg("kd"), arg("hill"), arg("scale")),
    [](PyObject* self, std::size_t field_idx, CellType cell_type, double lambda_val, double kd, double hill,
       double scale) {
        tessaly::set_chemotaxis_occupancy(current(self), field_idx, cell_type, lambda_val, kd, hill, scale);
    }};

const Method World_set_connectivity{
    "set_connectivity", exclusive, params(arg("cell_type"), arg("on")),
    [](PyObject* self, CellType cell_type, bool on) {
        tessaly::World& w = current(self);
        tessaly::record_type(w, cell_type);
        tessaly::set_connectivity(w, cell_type, on);
    }};

const Method World_set_connectivity_medium{
    "set_connectivity_medium", exclusive, params(arg("on")),
    [](PyObject* self, bool on) { tessaly::set_connectivity_medium(current(self), on); }};

const Method World_set_field_dynamics{
    "set_field_dynamics", exclusive, params(arg("field_idx"), arg("dt"), arg("substeps")),
    [](PyObject* self, std::size_t field_idx, double dt, std::uint32_t substeps) {
        tessaly::set_field_dynamics(current(self), field_idx, dt, substeps);
    }};

const Method World_field_add_source_at{
    "field_add_source_at", exclusive, params(arg("field_idx"), arg("x"), arg("y"), arg("z"), arg("amount")),
    "Add `amount` to field `field_idx`'s concentration at site (x, y, z);\n"
    "out-of-range coordinates are clamped to the domain rather than panicking.",
    [](PyObject* self, std::size_t field_idx, std::size_t x, std::size_t y, std::size_t z, double amount) {
        tessaly::field_add_source_at(current(self), field_idx, x, y, z, amount);
    }};

const Method World_set_length_constraint{
    "set_length_constraint", exclusive, params(arg("cell_type"), arg("target_length"), arg("lambda")),
    [](PyObject* self, CellType cell_type, double target_length, double lambda) {
        tessaly::World& w = current(self);
        tessaly::record_type(w, cell_type);
        tessaly::set_length_constraint(w, cell_type, target_length, lambda);
    }};

const Method World_set_external_potential{
    "set_external_potential", exclusive, params(arg("cell_type"), arg("fx"), arg("fy"), arg("fz")),
    [](PyObject* self, CellType cell_type, double fx, double fy, double fz) {
        tessaly::World& w = current(self);
        tessaly::record_type(w, cell_type);
        tessaly::set_external_potential(w, cell_type, fx, fy, fz);
    }};

const Method World_divide_cells{
    "divide_cells", exclusive, params(arg("threshold"), arg("reset_target")),
    [](PyObject* self, double threshold, double reset_target) -> PyObject* {
        const std::vector<CellId> created = tessaly::divide_cells(current(self), threshold, reset_target);
        return make_list_of(created, [](CellId id) { return PyLong_FromUnsignedLong(id); });
    }};

const Method World_add_cell_ode{
    "add_cell_ode", exclusive,
    params(arg("equations"), kw_only("params") = None, kw_only("cell_types") = None, kw_only("dt") = 1.0,
           kw_only("substeps") = 1),
    "Add a system of equations that every cell integrates after each Monte\n"
    "Carlo step: one NAME' = EXPR per line, NAME a cell attribute. Return its index.",
    [](PyObject* self, const std::string& equations, PyObject* params,
       const std::optional<std::vector<std::uint32_t>>& cell_types, double dt, std::uint32_t substeps) -> PyObject* {
        const tessaly::Params p = to_params(params);
        const tessaly::CellSelection cells = to_selection(cell_types);
        if (!std::isfinite(dt)) raise_named("dt", "expected a finite float, got " + std::to_string(dt));
        if (substeps == 0) raise_named("substeps", "expected at least 1, got 0");
        tessaly::World& w = current(self);
        const std::size_t index =
            compiled("equations", [&] { return tessaly::add_cell_system(w, equations, p, cells, dt, substeps); });
        return PyLong_FromSize_t(index);
    }};

const Method World_add_cell_rule{
    "add_cell_rule", exclusive, params(arg("assignments"), kw_only("params") = None, kw_only("cell_types") = None),
    "Add rules that every cell applies after the systems of each Monte Carlo\n"
    "step: one NAME = EXPR per line, each line for every cell before the next.\n"
    "Return its index.",
    [](PyObject* self, const std::string& assignments, PyObject* params,
       const std::optional<std::vector<std::uint32_t>>& cell_types) -> PyObject* {
        const tessaly::Params p = to_params(params);
        const tessaly::CellSelection cells = to_selection(cell_types);
        tessaly::World& w = current(self);
        const std::size_t index =
            compiled("assignments", [&] { return tessaly::add_cell_rule(w, assignments, p, cells); });
        return PyLong_FromSize_t(index);
    }};

const Method World_set_division_rule{
    "set_division_rule", exclusive,
    params(arg("condition"), kw_only("orientation") = "major", kw_only("params") = None, kw_only("cell_types") = None),
    "After the rules of each Monte Carlo step, divide every cell whose condition\n"
    "is not 0, in id order, as divide_cell does; None clears the rule.",
    [](PyObject* self, std::optional<std::string> condition, const std::string& orientation, PyObject* params,
       const std::optional<std::vector<std::uint32_t>>& cell_types) {
        tessaly::DivisionAxis axis = tessaly::DivisionAxis::major;
        if (orientation == "minor")
            axis = tessaly::DivisionAxis::minor;
        else if (orientation == "random")
            axis = tessaly::DivisionAxis::random;
        else if (orientation != "major")
            raise_named("orientation", "expected \"major\", \"minor\" or \"random\", got '" + orientation + "'");
        const tessaly::Params p = to_params(params);
        const tessaly::CellSelection cells = to_selection(cell_types);
        tessaly::World& w = current(self);
        compiled("condition", [&] { tessaly::set_division_rule(w, condition, p, cells, axis); });
    }};

const Method World_add_cell_sbml{
    "add_cell_sbml", exclusive,
    params(arg("source"), kw_only("cell_types") = None, kw_only("dt") = 1.0, kw_only("substeps") = 1),
    "Add the system of an SBML model, as tessaly.sbml_equations translates it:\n"
    "an attribute for every species the world does not have yet, every cell\n"
    "starting at the model's initial value, then the equations, as add_cell_ode\n"
    "adds them. Return the system's index.",
    [](PyObject* self, PyObject* source, const std::optional<std::vector<std::uint32_t>>& cell_types, double dt,
       std::uint32_t substeps) -> PyObject* {
        const tessaly::CellSelection cells = to_selection(cell_types);
        if (!std::isfinite(dt)) raise_named("dt", "expected a finite float, got " + std::to_string(dt));
        if (substeps == 0) raise_named("substeps", "expected at least 1, got 0");
        // the translator is Python that never touches the world
        PyObject* translate = sbml_translator(PyType_GetModule(Py_TYPE(self)));
        if (translate == nullptr) throw PythonError{};
        Ref translation = checked(PyObject_CallOneArg(translate, source));
        const std::string equations = from_python<std::string>(translation_item(translation.get(), "equations"));
        const tessaly::Params p = to_params(translation_item(translation.get(), "params"));
        const tessaly::Params initial = to_params(translation_item(translation.get(), "initial"));
        tessaly::World& w = current(self);
        // the species the world lacks, refused before anything changes if a column has the name
        Ref table = checked(cell_table_of(w));
        tessaly::Params missing;
        for (const auto& [name, value] : initial) {
            if (tessaly::find_attribute(w.state, name) != tessaly::NO_ATTRIBUTE) continue;
            Ref key = checked(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
            const int taken = PyDict_Contains(table.get(), key.get());
            if (taken < 0) throw PythonError{};
            if (taken)
                raise_named("source", "the species attribute '" + name + "' is a column of cell_table() already");
            missing.emplace_back(name, value);
        }
        const std::size_t before = w.state.attributes.size();
        try {
            for (const auto& [name, value] : missing)
                tessaly::add_cell_attribute(w, name, value, tessaly::OnDivide::copy);
            const std::size_t index =
                compiled("source", [&] { return tessaly::add_cell_system(w, equations, p, cells, dt, substeps); });
            return PyLong_FromSize_t(index);
        } catch (...) {
            // nothing half done: the attributes added here go again
            w.state.attributes.resize(before);
            throw;
        }
    }};


const Method World_remove_cells{
    "remove_cells", exclusive, params(arg("ids")),
    [](PyObject* self, const std::vector<CellId>& ids) { tessaly::remove_cells(current(self), ids); }};

// λ, length and max_length of a link: a number >= 0 (max_length may be inf).
void check_link_value(double value, const char* message) {
    if (!(value >= 0.0)) raise_error(PyExc_ValueError, message);
}

// One link's checks, in the order of its arguments; for link k of a batch
// the message ends in " (link k)".
void check_link(const tessaly::World& w, CellId a, CellId b, double lambda, double length, double max_length,
                std::optional<std::size_t> k) {
    auto refuse = [&](const char* what) {
        if (!k) raise_error(PyExc_ValueError, what);
        PyErr_Format(PyExc_ValueError, "%s (link %zu)", what, *k);
        throw PythonError{};
    };
    auto linkable = [&](CellId id) { return id != tessaly::MEDIUM && id < w.cells.size(); };
    if (!linkable(a)) refuse("a: expected a registered cell other than the medium");
    if (!linkable(b)) refuse("b: expected a registered cell other than the medium");
    if (a == b) refuse("b: expected a cell other than a (a cell cannot be linked to itself)");
    if (!(lambda >= 0.0)) refuse("lambda_: expected a number >= 0");
    if (!(length >= 0.0)) refuse("length: expected a number >= 0");
    if (!(max_length >= 0.0)) refuse("max_length: expected None or a number >= 0");
}

const Method World_add_link{
    "add_link", exclusive, params(arg("a"), arg("b"), arg("lambda_"), arg("length"), arg("max_length") = None),
    "Link cells a and b by a spring between their centroids, of energy\n"
    "lambda_*(d - length)**2; after a Monte Carlo step it breaks at d > max_length\n"
    "(None: never).\n"
    "A second link between the same cells replaces the first.\n"
    "a and b may also be sequences or integer arrays of equal length, linking\n"
    "a[k] with b[k]; each value is then a scalar for every link or one per link.",
    [](PyObject* self, PyObject* a_arg, PyObject* b_arg, PyObject* lambda_arg, PyObject* length_arg,
       PyObject* max_length_arg) {
        if (!is_batch(a_arg) && !is_batch(b_arg)) {
            const CellId a = argument<CellId>(Param{"a"}, a_arg);
            const CellId b = argument<CellId>(Param{"b"}, b_arg);
            const double lambda = argument<double>(Param{"lambda_"}, lambda_arg);
            const double length = argument<double>(Param{"length"}, length_arg);
            const double max_length =
                argument<std::optional<double>>(Param{"max_length"}, max_length_arg).value_or(INFINITY);
            tessaly::World& w = current(self);
            check_link(w, a, b, lambda, length, max_length, std::nullopt);
            tessaly::add_link(w, a, b, lambda, length, max_length);
            return;
        }
        if (!is_batch(a_arg) || !is_batch(b_arg))
            raise_error(PyExc_TypeError, "a, b: expected two ids or two batches of ids, not one of each");
        const std::vector<CellId> a = to_ids("a", a_arg);
        const std::vector<CellId> b = to_ids("b", b_arg);
        if (b.size() != a.size()) {
            PyErr_Format(PyExc_ValueError, "b: expected %zu ids, one per id of a, got %zu", a.size(), b.size());
            throw PythonError{};
        }
        const std::vector<double> lambda = per_id<double>("lambda_", lambda_arg, a.size());
        const std::vector<double> length = per_id<double>("length", length_arg, a.size());
        const std::vector<double> max_length = max_length_arg == Py_None
                                                   ? std::vector<double>(a.size(), INFINITY)
                                                   : per_id<double>("max_length", max_length_arg, a.size());
        tessaly::World& w = current(self);
        std::vector<tessaly::Link> batch(a.size());
        for (std::size_t k = 0; k < a.size(); ++k) {
            check_link(w, a[k], b[k], lambda[k], length[k], max_length[k], k);
            batch[k] = {a[k], b[k], lambda[k], length[k], max_length[k]};
        }
        tessaly::add_links(w, std::move(batch));
    }};

const Method World_remove_link{
    "remove_link", exclusive, params(arg("a"), arg("b")), "Remove the link between cells a and b.",
    [](PyObject* self, CellId a, CellId b) {
        if (!tessaly::remove_link(current(self), a, b)) {
            PyErr_Format(PyExc_ValueError, "a, b: expected two linked cells, got %u and %u (no link between them)",
                         static_cast<unsigned>(a), static_cast<unsigned>(b));
            throw PythonError{};
        }
    }};

const Method World_set_link_formation{
    "set_link_formation", exclusive,
    params(arg("type_a"), arg("type_b"), arg("lambda_"), arg("length"), arg("max_length") = None,
           arg("max_links") = None),
    "After each Monte Carlo step, link every two touching cells of types type_a\n"
    "and type_b that are not linked yet, in order of their ids, unless one of\n"
    "them already has max_links links to cells of this type pair. A second\n"
    "call for the same pair replaces the rule.",
    [](PyObject* self, CellType type_a, CellType type_b, double lambda, double length,
       std::optional<double> max_length_or_none, std::optional<std::uint64_t> max_links) {
        const double max_length = max_length_or_none.value_or(INFINITY);
        check_link_value(lambda, "lambda_: expected a number >= 0");
        check_link_value(length, "length: expected a number >= 0");
        check_link_value(max_length, "max_length: expected None or a number >= 0");
        if (max_links && *max_links >= tessaly::NO_LINK_LIMIT)
            raise_error(PyExc_ValueError, "max_links: expected None or a count below 4294967295");
        tessaly::World& w = current(self);
        tessaly::record_type(w, type_a);
        tessaly::record_type(w, type_b);
        tessaly::set_link_formation(w, type_a, type_b, lambda, length, max_length,
                                    max_links ? static_cast<std::uint32_t>(*max_links) : tessaly::NO_LINK_LIMIT);
    }};

// This file's methods, in the order of World's method table.
const Method* const configuration_list[] = {
    &World_grow,
    &World_add_field,
    &World_set_junction,
    &World_set_junction_lambda,
    &World_set_membrane,
    &World_set_membrane_anchored,
    &World_set_cell_type,
    &World_set_secretion,
    &World_set_cell_secretion_scale,
    &World_set_uptake,
    &World_set_field_boundary,
    &World_step_parallel,
    &World_advance_fields,
    &World_set_chemotaxis,
    &World_set_chemotaxis_occupancy,
    &World_set_connectivity,
    &World_set_connectivity_medium,
    &World_set_field_dynamics,
    &World_field_add_source_at,
    &World_set_length_constraint,
    &World_set_external_potential,
    &World_divide_cells,
    &World_remove_cells,
    &World_add_cell_ode,
    &World_add_cell_rule,
    &World_set_division_rule,
    &World_add_cell_sbml,
    &World_add_link,
    &World_remove_link,
    &World_set_link_formation,
};

}  // namespace

const std::span<const Method* const> configuration_methods = configuration_list;

}  // namespace tessaly::binding

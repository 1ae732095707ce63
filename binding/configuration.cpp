// World's configuration methods: growth, fields, the optional terms, divisions.

#include "declare.hpp"  // first: it includes Python.h

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "checks.hpp"
#include "chemotaxis.hpp"
#include "connectivity.hpp"
#include "external.hpp"
#include "field.hpp"
#include "junction.hpp"
#include "length.hpp"
#include "lists.hpp"
#include "membrane.hpp"
#include "mitosis.hpp"
#include "parallel.hpp"
#include "state.hpp"
#include "world.hpp"

namespace tessaly::binding {

namespace {

// A refused rate: ValueError naming the argument and its value.
[[noreturn]] void refuse_value(const char* expected, double value) {
    Ref got = checked(PyFloat_FromDouble(value));
    PyErr_Format(PyExc_ValueError, "%s, got %R", expected, got.get());
    throw PythonError{};
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

const Method World_remove_cells{
    "remove_cells", exclusive, params(arg("ids")),
    [](PyObject* self, const std::vector<CellId>& ids) { tessaly::remove_cells(current(self), ids); }};

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
};

}  // namespace

const std::span<const Method* const> configuration_methods = configuration_list;

}  // namespace tessaly::binding

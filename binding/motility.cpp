// World's methods for motility (Act, persistence, tracks), chosen divisions
// and frozen cells.

#include "declare.hpp"  // first: it includes Python.h

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "act.hpp"
#include "centroid.hpp"
#include "frozen.hpp"
#include "lists.hpp"
#include "mitosis.hpp"
#include "persistence.hpp"
#include "terms.hpp"
#include "world.hpp"

namespace tessaly::binding {

namespace {

// ---- methods: motility, chosen divisions, frozen cells ----

// The axis of a chosen division: "major", "minor", "random" or a 3-tuple
// (NULL: the declared default, "major"); `normal` takes the tuple.
tessaly::DivisionAxis division_axis(PyObject* orientation, std::array<double, 3>& normal) {
    static const char* const expected =
        "orientation: expected \"major\", \"minor\", \"random\" or a tuple of three finite floats, not all 0";
    if (orientation == nullptr || PyUnicode_Check(orientation)) {
        const std::string kind = orientation == nullptr ? "major" : from_python<std::string>(orientation);
        if (kind == "major") return tessaly::DivisionAxis::major;
        if (kind == "minor") return tessaly::DivisionAxis::minor;
        if (kind == "random") return tessaly::DivisionAxis::random;
        raise_error(PyExc_ValueError, expected);
    }
    if (!PyTuple_Check(orientation) || PyTuple_GET_SIZE(orientation) != 3) raise_error(PyExc_ValueError, expected);
    for (std::size_t k = 0; k < 3; ++k)
        normal[k] = from_python<double>(PyTuple_GET_ITEM(orientation, static_cast<Py_ssize_t>(k)));
    if (!std::isfinite(normal[0]) || !std::isfinite(normal[1]) || !std::isfinite(normal[2]) ||
        (normal[0] == 0.0 && normal[1] == 0.0 && normal[2] == 0.0))
        raise_error(PyExc_ValueError, expected);
    return tessaly::DivisionAxis::given;
}

// `cell_id` converted as a CellId parameter converts it, its errors naming it.
template <typename T>
T cell_ids_of(PyObject* cell_id) {
    try {
        if constexpr (std::is_same_v<T, CellId>) {
            return from_python<CellId>(cell_id);
        } else {
            return to_vector<CellId>(cell_id);
        }
    } catch (const PythonError&) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) name_type_error("cell_id");
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) note_range("cell_id", std::numeric_limits<CellId>::max());
        throw;
    }
}

// A refused division: one id's message names no position; a batch's adds
// the id and its position.
[[noreturn]] void refuse_division(const char* message, bool batch, const std::vector<CellId>& ids, std::size_t at) {
    if (!batch) raise_error(PyExc_ValueError, message);
    PyErr_Format(PyExc_ValueError, "%s, got %lu at position %zu", message, static_cast<unsigned long>(ids[at]), at);
    throw PythonError{};
}

const Method World_divide_cell{
    "divide_cell", exclusive,
    params(arg("cell_id"), arg("orientation") = "major", arg("target_volumes") = None, kw_only("links") = "keep"),
    "Divide one cell through its centroid by a plane whose normal is its major\n"
    "axis, its minor axis, a random direction or a given (x, y, z); the sites on\n"
    "the positive side go to a new cell. Return the new cell's id.\n"
    "links=\"keep\" leaves the cell's links on it; \"share\" hands each to\n"
    "whichever of the two cells is nearer the linked cell.",
    [](PyObject* self, PyObject* cell_id, PyObject* orientation, PyObject* target_volumes,
       const std::string& links) -> PyObject* {
        if (links != "keep" && links != "share") raise_error(PyExc_ValueError, "links: expected \"keep\" or \"share\"");
        const bool batch = is_batch(cell_id);
        const std::vector<CellId> ids = batch ? cell_ids_of<std::vector<CellId>>(cell_id)
                                              : std::vector<CellId>{cell_ids_of<CellId>(cell_id)};
        std::optional<std::array<double, 2>> targets;
        if (target_volumes != Py_None) {
            if (!PyTuple_Check(target_volumes) || PyTuple_GET_SIZE(target_volumes) != 2)
                raise_error(PyExc_ValueError, "target_volumes: expected None or a tuple of two floats");
            targets = {from_python<double>(PyTuple_GET_ITEM(target_volumes, 0)),
                       from_python<double>(PyTuple_GET_ITEM(target_volumes, 1))};
        }
        std::array<double, 3> normal{};
        const tessaly::DivisionAxis axis = division_axis(orientation, normal);
        // the driver's generator: only a running world has one
        tessaly::Rng* rng = axis == tessaly::DivisionAxis::random ? &running_only(self).rng : nullptr;
        const tessaly::ChosenDivisions done =
            tessaly::divide_cell(current(self), ids, axis, normal, rng, targets, links == "share");
        switch (done.refusal) {
        case tessaly::DivisionRefusal::none: break;
        case tessaly::DivisionRefusal::not_a_cell:
            refuse_division("cell_id: expected a registered cell other than the medium", batch, ids, done.refused);
        case tessaly::DivisionRefusal::too_small:
            refuse_division("cell_id: a cell of fewer than two sites cannot divide", batch, ids, done.refused);
        case tessaly::DivisionRefusal::one_side_empty:
            refuse_division("orientation: the cut leaves one side empty", batch, ids, done.refused);
        case tessaly::DivisionRefusal::repeated:
            refuse_division("cell_id: each id may appear once", batch, ids, done.refused);
        case tessaly::DivisionRefusal::out_of_plane:
            PyErr_Format(PyExc_ValueError, "orientation: the normal lies out of the plane of a planar box, got %R",
                         orientation);
            throw PythonError{};
        }
        if (!batch) return PyLong_FromUnsignedLong(done.daughters[0]);
        return make_list_of(done.daughters, [](CellId id) { return PyLong_FromUnsignedLong(id); });
    }};

const Method World_set_cell_frozen{
    "set_cell_frozen", exclusive, params(arg("cell_id"), arg("frozen")),
    "Freeze (or free) one cell: no copy into or out of its sites is accepted.",
    [](PyObject* self, PyObject* cell_id, PyObject* frozen) {
        if (!is_batch(cell_id)) {
            const CellId id = argument<CellId>(Param{"cell_id"}, cell_id);
            const bool flag = argument<bool>(Param{"frozen"}, frozen);
            tessaly::World& w = current(self);
            if (id == tessaly::MEDIUM) raise_error(PyExc_ValueError, "cell_id: the medium cannot be frozen");
            (void)tessaly::cell_at(w, id);
            tessaly::set_cell_frozen(w, id, flag);
            return;
        }
        const std::vector<CellId> ids = to_ids("cell_id", cell_id);
        const std::vector<bool> flags = per_id<bool>("frozen", frozen, ids.size());
        if (std::find(ids.begin(), ids.end(), tessaly::MEDIUM) != ids.end())
            raise_error(PyExc_ValueError, "cell_id: the medium cannot be frozen");
        tessaly::set_cells_frozen(current(self), ids, std::vector<std::uint8_t>(flags.begin(), flags.end()));
    }};

const Method World_set_act{
    "set_act", exclusive, params(arg("cell_type"), arg("lambda_act"), arg("max_act")),
    "The Act model for cells of the type: sites they gain take activity max_act\n"
    "(0-255), which decays by 1 per Monte Carlo step.",
    [](PyObject* self, CellType cell_type, double lambda_act, std::uint8_t max_act) {
        tessaly::set_act(current(self), cell_type, lambda_act, max_act);
    }};

const Method World_set_act_mean{
    "set_act_mean", exclusive, params(arg("kind")),
    "The mean of the Act model's local activity: \"geometric\" or \"arithmetic\".",
    [](PyObject* self, const std::string& kind) {
        if (kind != "geometric" && kind != "arithmetic")
            raise_error(PyExc_ValueError, "kind: expected \"geometric\" or \"arithmetic\"");
        tessaly::set_act_mean(current(self), kind == "arithmetic");
    }};

const Method World_activity_view{
    "activity_view", shared, params(),
    "A read-only memoryview of the Act activities without a copy: format 'B',\n"
    "shape (nz, ny, nx), laid out as site_view. It shows the live values and\n"
    "keeps the World alive.",
    [](PyObject* self) -> PyObject* {
        // made once, here or by set_act, and never moved: views may hold it
        std::vector<std::uint8_t>& activity = current(self).terms.act.activity;
        if (activity.empty()) activity.assign(current(self).lattice.n_sites(), 0);
        return make_view(self, -2);
    }};

const Method World_set_persistence{
    "set_persistence", exclusive, params(arg("cell_type"), arg("lambda_dir"), arg("delta_t"), arg("persist")),
    "Persistent motion for cells of the type along a preferred direction that\n"
    "follows their displacement over the last delta_t steps.",
    [](PyObject* self, CellType cell_type, double lambda_dir, std::uint32_t delta_t, double persist) {
        if (delta_t == 0 || delta_t > tessaly::MAX_DELTA_T)
            raise_error(PyExc_ValueError, "delta_t: expected 1 to 10000 steps");
        if (!(persist >= 0.0 && persist <= 1.0)) raise_error(PyExc_ValueError, "persist: expected a value from 0 to 1");
        tessaly::set_persistence(current(self), cell_type, lambda_dir, delta_t, persist);
    }};

const Method World_set_tracking{
    "set_tracking", exclusive, params(arg("on")),
    "Keep every cell's track, its centroid displacement accumulated over the\n"
    "Monte Carlo steps.",
    [](PyObject* self, bool on) { tessaly::set_tracking(current(self), on); }};

// Returns a new reference to a list of (x, y, z) tuples, one per registered cell.
PyObject* vec3_list(std::size_t n, const std::vector<tessaly::Vec3>& values) {
    return make_list(n, [&](std::size_t i) {
        const tessaly::Vec3 v = i < values.size() ? values[i] : tessaly::Vec3{};
        return make_triple(PyFloat_FromDouble(v[0]), PyFloat_FromDouble(v[1]), PyFloat_FromDouble(v[2]));
    });
}

const Method World_cell_centroids{
    "cell_centroids", shared, params(), "Every cell's centroid, right across periodic faces.",
    [](PyObject* self) -> PyObject* {
        const tessaly::World& w = current(self);
        const tessaly::Tracks* tracks = tessaly::tracking_on(w.terms) ? &w.terms.tracks : nullptr;
        return vec3_list(w.cells.size(), tessaly::centroids(w, tracks));
    }};

const Method World_cell_tracks{
    "cell_tracks", shared, params(), "Every cell's accumulated centroid displacement since tracking began.",
    [](PyObject* self) -> PyObject* {
        const tessaly::World& w = current(self);
        // tracks that were never kept would read as cells that never moved
        if (!tessaly::tracking_on(w.terms))
            raise_error(PyExc_RuntimeError, "cell_tracks: tracking is off; call set_tracking(True) before stepping");
        return vec3_list(w.cells.size(), w.terms.tracks.position);
    }};

const Method World_cell_directions{
    "cell_directions", shared, params(), "Every cell's preferred direction of persistent motion.",
    [](PyObject* self) -> PyObject* {
        const tessaly::World& w = current(self);
        return vec3_list(w.cells.size(), w.terms.persistence.direction);
    }};

// This file's methods, in the order of World's method table.
const Method* const motility_list[] = {
    &World_divide_cell,
    &World_set_cell_frozen,
    &World_set_act,
    &World_set_act_mean,
    &World_activity_view,
    &World_set_persistence,
    &World_set_tracking,
    &World_cell_centroids,
    &World_cell_tracks,
    &World_cell_directions,
};

}  // namespace

const std::span<const Method* const> motility_methods = motility_list;

}  // namespace tessaly::binding

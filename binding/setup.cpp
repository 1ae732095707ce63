// World's set-up methods and its constructor.

#include "declare.hpp"  // first: it includes Python.h

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "energy.hpp"
#include "init.hpp"
#include "lattice.hpp"
#include "lists.hpp"
#include "world.hpp"

namespace tessaly::binding {

// ---- the constructor ----

// Builds the engine world first; the object is allocated only once that
// has succeeded, so no half-made World ever reaches Python.
const Method World_init{
    "World", constructor, params(arg("dims"), arg("boundary"), arg("neighbor_order"), arg("temperature")),
    [](PyTypeObject* type, const Dims& dims, const std::string& boundary, std::uint8_t neighbor_order,
       double temperature) -> PyObject* {
        // an empty box can only be a mistake
        if (dims[0] == 0 || dims[1] == 0 || dims[2] == 0) {
            PyErr_Format(PyExc_ValueError, "dims: every dimension must be at least 1, got (%zu, %zu, %zu)", dims[0],
                         dims[1], dims[2]);
            throw PythonError{};
        }
        bool periodic = false;
        if (boundary == "periodic") {
            periodic = true;
        } else if (boundary != "noflux") {
            Ref text = checked(PyUnicode_DecodeUTF8(boundary.data(), static_cast<Py_ssize_t>(boundary.size()),
                                                    "surrogatepass"));
            PyErr_Format(PyExc_ValueError, "bad boundary %U", text.get());
            throw PythonError{};
        }
        // a box one site thick in z gets a planar neighbourhood
        tessaly::Neighborhood neighborhood(dims[2] >= 2 ? 1U : 0U, neighbor_order);
        tessaly::Lattice lattice(dims, {periodic, periodic, periodic}, std::move(neighborhood));
        WorldSlots contents;
        contents.setup_world.emplace(std::move(lattice), temperature);
        contents.dims = dims;
        contents.neighbor_order = neighbor_order;
        return new_world_object(type, std::move(contents));
    }};

namespace {

// ---- methods: set-up ----

// Every label of an array must lie in [0, 2³²−1]; its length is the
// engine's to check, as for a list, after its values.
void check_label_array(const tessaly::LabelArray& array) {
    if (tessaly::element_count(array) == 0 || tessaly::labels_fit_u32(array)) return;
    // the slower scan finds the value to name
    const tessaly::LabelRange range = tessaly::label_range(array);
    if (range.negative)
        PyErr_Format(PyExc_ValueError, "labels: every label must lie in [0, 4294967295], got %lld",
                     static_cast<long long>(range.min));
    else
        PyErr_Format(PyExc_ValueError, "labels: every label must lie in [0, 4294967295], got %llu",
                     static_cast<unsigned long long>(range.max));
    throw PythonError{};
}

const Method World_add_cell{
    "add_cell", exclusive,
    params(arg("cell_type"), arg("target_volume"), arg("lambda_volume"), arg("target_surface"), arg("lambda_surface")),
    [](PyObject* self, CellType cell_type, double target_volume, double lambda_volume, double target_surface,
       double lambda_surface) -> PyObject* {
        tessaly::World& w = setup_only(self, "add_cell after finalize");
        tessaly::record_type(w, cell_type);
        const CellId id = tessaly::add_cell(w, cell_type, target_volume, lambda_volume, target_surface, lambda_surface);
        return PyLong_FromUnsignedLong(id);
    }};

const Method World_seed_block{
    "seed_block", exclusive,
    params(arg("cell_id"), arg("x0"), arg("y0"), arg("z0"), arg("x1"), arg("y1"), arg("z1")),
    [](PyObject* self, CellId cell_id, std::size_t x0, std::size_t y0, std::size_t z0, std::size_t x1,
       std::size_t y1, std::size_t z1) {
        tessaly::World& w = setup_only(self, "seed after finalize");
        const tessaly::SiteBox box{{x0, y0, z0}, {x1, y1, z1}};
        // refused, nothing painted
        if (!tessaly::box_fits(w.lattice, box))
            raise_error(PyExc_ValueError, "seed_block box reaches outside the lattice");
        tessaly::paint_box(w, box, cell_id);
    }};

const Method World_seed_from_labels{
    "seed_from_labels", exclusive,
    params(arg("labels"), arg("types"), arg("default_type"), arg("target_volume"), arg("lambda_volume")),
    [](PyObject* self, const Labels& labels, const TypeMap& types, CellType default_type, double target_volume,
       double lambda_volume) -> PyObject* {
        // the types count as mentioned even when the phase refuses the call
        tessaly::World& mentioned = current(self);
        tessaly::record_type(mentioned, default_type);
        for (const auto& entry : types) tessaly::record_type(mentioned, entry.second);
        tessaly::World& w = setup_only(self, "seed after finalize");
        std::vector<std::pair<std::uint32_t, CellId>> entries;  // in order of creation
        if (labels.buffer) {
            check_label_array(labels.array);
            entries = tessaly::seed_from_labels(w, labels.array, types, default_type, target_volume, lambda_volume);
        } else {
            const auto created =
                tessaly::seed_from_labels(w, labels.list, types, default_type, target_volume, lambda_volume);
            entries.assign(created.begin(), created.end());
            std::sort(entries.begin(), entries.end(), [](const auto& p, const auto& q) { return p.second < q.second; });
        }
        // the dict lists the labels in the order their cells were created
        Ref dict = checked(PyDict_New());
        for (const auto& [label, id] : entries) {
            Ref key = checked(PyLong_FromUnsignedLong(label));
            Ref value = checked(PyLong_FromUnsignedLong(id));
            if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw PythonError{};
        }
        return dict.release();
    }};

const Method World_set_contact{
    "set_contact", exclusive, params(arg("type_a"), arg("type_b"), arg("j")),
    [](PyObject* self, CellType type_a, CellType type_b, double j) {
        tessaly::World& w = current(self);
        tessaly::record_contact(w, type_a, type_b, j);
        // once running, the driver's table is already built: the entry goes straight into it
        if (slots_of(self).cpm) tessaly::set_contact_live(w, type_a, type_b, j);
    }};

const Method World_set_target_volume{
    "set_target_volume", exclusive, params(arg("cell_id"), arg("v")),
    [](PyObject* self, CellId cell_id, double v) { tessaly::set_target_volume(current(self), cell_id, v); }};

const Method World_snapshot{
    "snapshot", shared, params(), [](PyObject* self) -> PyObject* {
        return make_int_list(current(self).lattice.sites, [](CellId id) { return id; });
    }};

const Method World_set_cell_params{
    "set_cell_params", exclusive,
    params(arg("cell_id"), kw_only("target_volume") = None, kw_only("lambda_volume") = None,
           kw_only("target_surface") = None, kw_only("lambda_surface") = None),
    "Replace the given energy parameters of cell `cell_id`; the others keep\n"
    "their values. The surface term runs while some cell has lambda_surface != 0.",
    [](PyObject* self, PyObject* cell_id, PyObject* target_volume, PyObject* lambda_volume, PyObject* target_surface,
       PyObject* lambda_surface) {
        const std::array<std::pair<const char*, PyObject*>, 4> given{{{"target_volume", target_volume},
                                                                      {"lambda_volume", lambda_volume},
                                                                      {"target_surface", target_surface},
                                                                      {"lambda_surface", lambda_surface}}};
        if (!is_batch(cell_id)) {
            // one id: converted and set as it always was
            const CellId id = argument<CellId>(Param{"cell_id"}, cell_id);
            std::array<std::optional<double>, 4> v;
            for (std::size_t k = 0; k < 4; ++k)
                v[k] = argument<std::optional<double>>(Param{given[k].first}, given[k].second);
            tessaly::set_cell_params(current(self), id, {v[0], v[1], v[2], v[3]});
            return;
        }
        const std::vector<CellId> ids = to_ids("cell_id", cell_id);
        std::array<std::optional<std::vector<double>>, 4> c;
        for (std::size_t k = 0; k < 4; ++k)
            if (given[k].second != Py_None) c[k] = per_id<double>(given[k].first, given[k].second, ids.size());
        tessaly::set_cell_params(current(self), ids,
                                 {std::move(c[0]), std::move(c[1]), std::move(c[2]), std::move(c[3])});
    }};

const Method World_dims{
    "dims", shared, params(), [](PyObject* self) -> PyObject* {
        const Dims& dims = slots_of(self).dims;
        return make_triple(PyLong_FromSize_t(dims[0]), PyLong_FromSize_t(dims[1]), PyLong_FromSize_t(dims[2]));
    }};

const Method World_n_cells{
    "n_cells", shared, params(),
    [](PyObject* self) -> PyObject* { return PyLong_FromSize_t(current(self).cells.size() - 1); }};

// This file's methods, in the order of World's method table.
const Method* const setup_list[] = {
    &World_add_cell,
    &World_seed_block,
    &World_seed_from_labels,
    &World_set_contact,
    &World_set_target_volume,
    &World_snapshot,
    &World_site_view,
    &World_set_cell_params,
    &World_dims,
    &World_n_cells,
};

}  // namespace

const std::span<const Method* const> setup_methods = setup_list;

}  // namespace tessaly::binding

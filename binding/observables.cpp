// World's read-outs: per-cell observables, field values, the cell table.

#include "declare.hpp"  // first: it includes Python.h

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "error.hpp"
#include "field.hpp"
#include "length.hpp"
#include "links.hpp"
#include "lists.hpp"
#include "neighbors.hpp"
#include "world.hpp"

namespace tessaly::binding {

namespace {

// ---- methods: observables ----

const Method World_cell_coms{
    "cell_coms", shared, params(), [](PyObject* self) -> PyObject* {
        return make_list_of(current(self).cells, [](const tessaly::Cell& cell) {
            const tessaly::Trackers& c = cell.trackers;
            if (c.volume == 0)
                return make_triple(PyFloat_FromDouble(0.0), PyFloat_FromDouble(0.0), PyFloat_FromDouble(0.0));
            const double v = static_cast<double>(c.volume);
            return make_triple(PyFloat_FromDouble(c.sum_x / v), PyFloat_FromDouble(c.sum_y / v),
                               PyFloat_FromDouble(c.sum_z / v));
        });
    }};

const Method World_cell_types{
    "cell_types", shared, params(), [](PyObject* self) -> PyObject* {
        return make_int_list(current(self).cells, [](const tessaly::Cell& c) { return c.cell_type; });
    }};

const Method World_cell_volumes{
    "cell_volumes", shared, params(), [](PyObject* self) -> PyObject* {
        return make_int_list(current(self).cells, [](const tessaly::Cell& c) { return c.trackers.volume; });
    }};

const Method World_cell_surfaces{
    "cell_surfaces", shared, params(), [](PyObject* self) -> PyObject* {
        return make_int_list(current(self).cells, [](const tessaly::Cell& c) { return c.trackers.surface; });
    }};

const Method World_cell_lengths{
    "cell_lengths", shared, params(), [](PyObject* self) -> PyObject* {
        const tessaly::World& w = current(self);
        return make_list(w.cells.size(), [&](std::size_t i) {
            return PyFloat_FromDouble(tessaly::cell_length(w, static_cast<CellId>(i)));
        });
    }};

const Method World_cell_length{
    "cell_length", shared, params(arg("cell_id")), [](PyObject* self, CellId cell_id) -> PyObject* {
        return PyFloat_FromDouble(tessaly::cell_length(current(self), cell_id));
    }};

const Method World_cell_contact_area_by_type{
    "cell_contact_area_by_type", shared, params(arg("cell_id")),
    "Per-cell contact-area-by-type: dict[cell_type -> contact-area] of how\n"
    "much of `cell_id`'s surface contacts each neighbor cell type (MEDIUM=0\n"
    "included). Contact area uses the configured (Moore) neighborhood, the\n"
    "same one `cell_surfaces()` uses -- not axis-faces only -- so the sum of\n"
    "values equals `cell_surfaces()[cell_id]`. Pure read.",
    [](PyObject* self, CellId cell_id) -> PyObject* {
        const tessaly::World& w = current(self);
        std::vector<std::pair<CellType, std::int64_t>> areas;
        if (cell_id < w.cells.size()) {
            areas = tessaly::contact_area_by_type(w, cell_id);
        } else {
            // an id beyond the registry has no contacts worth reporting: never an error
            try {
                areas = tessaly::contact_area_by_type(w, cell_id);
            } catch (const tessaly::EngineError&) {
                areas.clear();
            }
        }
        Ref dict = checked(PyDict_New());
        for (const auto& [type, count] : areas) {
            Ref key = checked(PyLong_FromLong(type));
            Ref value = checked(PyLong_FromLongLong(count));
            if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw PythonError{};
        }
        return dict.release();
    }};

const Method World_field_conc{
    "field_conc", shared, params(arg("field_idx")), [](PyObject* self, std::size_t field_idx) -> PyObject* {
        return make_float_list(tessaly::field_at(current(self), field_idx).conc, [](float c) { return c; });
    }};

}  // namespace

PyObject* cell_table_of(const tessaly::World& w) {
    const std::vector<tessaly::Cell>& cells = w.cells;
    const std::size_t n = cells.size();
    Ref table = checked(PyDict_New());
    const auto add = [&](const char* name, PyObject* column) {
        Ref owned = checked(column);
        if (PyDict_SetItemString(table.get(), name, owned.get()) < 0) throw PythonError{};
    };
    const auto integers = [&](const char* name, auto member) {
        add(name, make_column<std::int64_t>("q", n, [&](std::int64_t* out) {
            for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::int64_t>(member(cells[i]));
        }));
    };
    const auto reals = [&](const char* name, auto member) {
        add(name, make_column<double>("d", n, [&](double* out) {
            for (std::size_t i = 0; i < n; ++i) out[i] = member(cells[i]);
        }));
    };
    // the centre of mass as cell_coms gives it: 0 for an empty cell
    const auto com = [](double sum, const tessaly::Cell& c) {
        return c.trackers.volume == 0 ? 0.0 : sum / static_cast<double>(c.trackers.volume);
    };
    integers("id", [](const tessaly::Cell& c) { return c.id; });
    integers("type", [](const tessaly::Cell& c) { return c.cell_type; });
    integers("volume", [](const tessaly::Cell& c) { return c.trackers.volume; });
    integers("surface", [](const tessaly::Cell& c) { return c.trackers.surface; });
    reals("target_volume", [](const tessaly::Cell& c) { return c.target_volume; });
    reals("lambda_volume", [](const tessaly::Cell& c) { return c.lambda_volume; });
    reals("target_surface", [](const tessaly::Cell& c) { return c.target_surface; });
    reals("lambda_surface", [](const tessaly::Cell& c) { return c.lambda_surface; });
    reals("com_x", [&](const tessaly::Cell& c) { return com(c.trackers.sum_x, c); });
    reals("com_y", [&](const tessaly::Cell& c) { return com(c.trackers.sum_y, c); });
    reals("com_z", [&](const tessaly::Cell& c) { return com(c.trackers.sum_z, c); });
    // the preferred direction of persistent motion: 0 before a cell has one
    const std::vector<tessaly::Vec3>& direction = w.terms.persistence.direction;
    for (std::size_t axis = 0; axis < 3; ++axis)
        reals(axis == 0 ? "dir_x" : axis == 1 ? "dir_y" : "dir_z", [&](const tessaly::Cell& c) {
            return c.id < direction.size() ? direction[c.id][axis] : 0.0;
        });
    // each field's per-cell secretion multipliers, by field index: 1 where none was set
    std::vector<double> scales;
    for (std::size_t f = 0; f < w.fields.size(); ++f) {
        tessaly::secretion_scales(w, f, scales);
        add(("secretion_scale_" + std::to_string(f)).c_str(),
            make_column<double>("d", n, [&](double* out) { std::copy(scales.begin(), scales.end(), out); }));
    }
    // the cells' attributes, in order of addition
    for (const tessaly::Attribute& a : w.state.attributes)
        add(a.name.c_str(), make_column<double>("d", n, [&](double* out) {
                if (n != 0) std::memcpy(out, a.values.data(), n * sizeof(double));
            }));
    return table.release();
}

namespace {

const Method World_cell_table{
    "cell_table", shared, params(),
    "One row per cell record (the medium first) as a dict of equal-length\n"
    "columns, each a memoryview: id, type, volume, surface, target_volume,\n"
    "lambda_volume, target_surface, lambda_surface, com_x, com_y, com_z,\n"
    "dir_x, dir_y, dir_z.",
    [](PyObject* self) -> PyObject* { return cell_table_of(current(self)); }};

const Method World_cell_neighbors{
    "cell_neighbors", exclusive, params(),
    "The neighbour graph as a dict of three int64 columns, each a memoryview:\n"
    "id_a, id_b, area, one row per pair of records in contact (id_a < id_b;\n"
    "the medium, 0, included), sorted by (id_a, id_b). area counts a cell's\n"
    "(site, configured neighbour) pairs with the other, the units of\n"
    "cell_contact_area_by_type. Running, the first call has copies keep it.",
    [](PyObject* self) -> PyObject* {
        WorldSlots& s = slots_of(self);
        // running: kept by the copies from now on; set-up: built from the sites
        if (s.cpm) tessaly::track_neighbors(s.cpm->world);
        tessaly::NeighborPairs pairs;
        tessaly::neighbor_pairs(current(self), pairs);
        const std::size_t n = pairs.area.size();
        Ref table = checked(PyDict_New());
        const auto add = [&](const char* name, auto value) {
            Ref column = checked(make_column<std::int64_t>("q", n, [&](std::int64_t* out) {
                for (std::size_t k = 0; k < n; ++k) out[k] = value(k);
            }));
            if (PyDict_SetItemString(table.get(), name, column.get()) < 0) throw PythonError{};
        };
        add("id_a", [&](std::size_t k) { return static_cast<std::int64_t>(pairs.a[k]); });
        add("id_b", [&](std::size_t k) { return static_cast<std::int64_t>(pairs.b[k]); });
        add("area", [&](std::size_t k) { return pairs.area[k]; });
        return table.release();
    }};

const Method World_field_means{
    "field_means", shared, params(arg("field_idx")),
    "The mean concentration of field `field_idx` over each record's sites,\n"
    "by id (the medium first), as a float64 memoryview; NaN for a record\n"
    "without sites. One pass over the sites, summed in double in site order.",
    [](PyObject* self, std::size_t field_idx) -> PyObject* {
        std::vector<double> means;
        tessaly::field_means(current(self), field_idx, means);
        return make_column<double>("d", means.size(), [&](double* out) {
            std::copy(means.begin(), means.end(), out);
        });
    }};

const Method World_field_value_at{
    "field_value_at", shared, params(arg("field_idx"), arg("x"), arg("y"), arg("z")),
    "Concentration of field `field_idx` at site (x, y, z); out-of-range\n"
    "coordinates are clamped to the domain rather than panicking.",
    [](PyObject* self, std::size_t field_idx, std::size_t x, std::size_t y, std::size_t z) -> PyObject* {
        return PyFloat_FromDouble(static_cast<double>(tessaly::field_value_at(current(self), field_idx, x, y, z)));
    }};

const Method World_field_mean_at_cell{
    "field_mean_at_cell", shared, params(arg("field_idx"), arg("cell_id")),
    [](PyObject* self, std::size_t field_idx, CellId cell_id) -> PyObject* {
        return PyFloat_FromDouble(tessaly::field_mean_at_cell(current(self), field_idx, cell_id));
    }};

const Method World_cell_links{
    "cell_links", shared, params(),
    "Every link as a dict of equal-length columns, each a memoryview, sorted by\n"
    "(id_a, id_b): id_a < id_b (int64), lambda, length, max_length and the\n"
    "current distance between the centroids (float64; NaN where a cell has no\n"
    "site).",
    [](PyObject* self) -> PyObject* {
        const tessaly::World& w = current(self);
        const std::vector<tessaly::Link>& links = w.terms.links.links;
        const std::vector<double> distance = tessaly::link_distances(w, slots_of(self).cpm.has_value());
        const std::size_t n = links.size();
        Ref table = checked(PyDict_New());
        const auto add = [&](const char* name, PyObject* column) {
            Ref owned = checked(column);
            if (PyDict_SetItemString(table.get(), name, owned.get()) < 0) throw PythonError{};
        };
        add("id_a", make_column<std::int64_t>("q", n, [&](std::int64_t* out) {
                for (std::size_t k = 0; k < n; ++k) out[k] = links[k].a;
            }));
        add("id_b", make_column<std::int64_t>("q", n, [&](std::int64_t* out) {
                for (std::size_t k = 0; k < n; ++k) out[k] = links[k].b;
            }));
        add("lambda", make_column<double>("d", n, [&](double* out) {
                for (std::size_t k = 0; k < n; ++k) out[k] = links[k].lambda;
            }));
        add("length", make_column<double>("d", n, [&](double* out) {
                for (std::size_t k = 0; k < n; ++k) out[k] = links[k].length;
            }));
        add("max_length", make_column<double>("d", n, [&](double* out) {
                for (std::size_t k = 0; k < n; ++k) out[k] = links[k].max_length;
            }));
        add("distance", make_column<double>("d", n, [&](double* out) {
                for (std::size_t k = 0; k < n; ++k) out[k] = distance[k];
            }));
        return table.release();
    }};

// This file's methods, in the order of World's method table.
const Method* const observables_list[] = {
    &World_cell_coms,
    &World_cell_types,
    &World_cell_volumes,
    &World_cell_surfaces,
    &World_cell_lengths,
    &World_cell_length,
    &World_cell_contact_area_by_type,
    &World_field_conc,
    &World_field_view,
    &World_cell_table,
    &World_field_value_at,
    &World_field_mean_at_cell,
    &World_cell_neighbors,
    &World_field_means,
    &World_cell_links,
};

}  // namespace

const std::span<const Method* const> observables_methods = observables_list;

}  // namespace tessaly::binding

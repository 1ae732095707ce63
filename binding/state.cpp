// World's methods for cells with state: attributes, columns of doubles
// indexed by cell id that follow divisions by their rules.

#include "declare.hpp"  // first: it includes Python.h

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "lists.hpp"
#include "state.hpp"
#include "world.hpp"

namespace tessaly::binding {

namespace {

// ---- conversions ----

// Reads a buffer of one dimension (or none) holding numbers into `out`, as
// doubles (integer = false) or as integers checked against [0, max]; false
// when the object has no such buffer (a sequence is then read item by item).
// A buffer of another format raises TypeError naming the argument.
template <typename T>
bool numbers_from_buffer(PyObject* object, const char* name, bool integer, std::vector<T>& out, bool& scalar) {
    if (PyBytes_Check(object) || PyByteArray_Check(object) || !PyObject_CheckBuffer(object)) return false;
    Py_buffer v{};
    if (PyObject_GetBuffer(object, &v, PyBUF_RECORDS_RO) < 0) throw PythonError{};
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&v};
    if (v.ndim > 1) {
        PyErr_Format(PyExc_ValueError, "%s: expected one dimension, got %d", name, v.ndim);
        throw PythonError{};
    }
    const char* format = v.format == nullptr ? "B" : v.format;
    const char* code = format;
    if (*code == '@' || *code == '=' || (*code == '<' && std::endian::native == std::endian::little)) ++code;
    const bool known = code[0] != '\0' && code[1] == '\0' && std::strchr(integer ? "bBhHiIlLqQnN" : "bBhHiIlLqQnNfd", code[0]);
    if (!known) {
        PyErr_Format(PyExc_TypeError, "%s: expected a buffer of %s, got one of format '%s'", name,
                     integer ? "integers" : "numbers", format);
        throw PythonError{};
    }
    scalar = v.ndim == 0;
    const std::size_t n = scalar ? 1 : static_cast<std::size_t>(v.shape[0]);
    const Py_ssize_t stride = scalar ? 0 : v.strides[0];
    out.resize(n);
    const char* base = static_cast<const char*>(v.buf);
    const char c = code[0];
    for (std::size_t k = 0; k < n; ++k) {
        const char* p = base + static_cast<Py_ssize_t>(k) * stride;
        const auto load = [p]<typename U>(U) {
            U u;
            std::memcpy(&u, p, sizeof u);
            return u;
        };
        long double value = 0;
        switch (c) {
        case 'b': value = load(static_cast<signed char>(0)); break;
        case 'B': value = load(static_cast<unsigned char>(0)); break;
        case 'h': value = load(short{}); break;
        case 'H': value = load(static_cast<unsigned short>(0)); break;
        case 'i': value = load(int{}); break;
        case 'I': value = load(0u); break;
        case 'l': value = load(0L); break;
        case 'L': value = load(0UL); break;
        case 'q': value = load(0LL); break;
        case 'Q': value = load(0ULL); break;
        case 'n': value = load(Py_ssize_t{}); break;
        case 'N': value = load(std::size_t{}); break;
        case 'f': value = load(0.0f); break;
        default: value = load(0.0); break;
        }
        if constexpr (std::is_integral_v<T>) {
            if (!(value >= 0 && value <= static_cast<long double>(std::numeric_limits<T>::max()))) {
                PyErr_Format(PyExc_ValueError, "%s: expected ids from 0 to %llu", name,
                             static_cast<unsigned long long>(std::numeric_limits<T>::max()));
                throw PythonError{};
            }
        }
        out[k] = static_cast<T>(value);
    }
    return true;
}

// A scalar or one dimension of numbers: a float (or anything float()
// takes), a buffer, or a sequence. `scalar` tells which.
std::vector<double> values_of(PyObject* object, const char* name, bool& scalar) {
    std::vector<double> out;
    if (numbers_from_buffer(object, name, false, out, scalar)) return out;
    scalar = !PySequence_Check(object) || PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object);
    try {
        if (scalar) return {from_python<double>(object)};
        return to_vector<double>(object);
    } catch (const PythonError&) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) name_type_error(name);
        throw;
    }
}

// One dimension of cell ids: a buffer of integers or a sequence.
std::vector<CellId> ids_of(PyObject* object, const char* name) {
    std::vector<CellId> out;
    bool scalar = false;
    if (numbers_from_buffer(object, name, true, out, scalar)) {
        if (scalar) {
            PyErr_Format(PyExc_TypeError, "%s: expected a sequence of ids, got a 0-d array", name);
            throw PythonError{};
        }
        return out;
    }
    try {
        return to_vector<CellId>(object);
    } catch (const PythonError&) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) name_type_error(name);
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) note_range(name, std::numeric_limits<CellId>::max());
        throw;
    }
}

// The attribute called `name`, or KeyError naming it (as a frame's column would).
std::size_t attribute_called(const tessaly::World& w, const std::string& name) {
    const std::size_t k = tessaly::find_attribute(w.state, name);
    if (k == tessaly::NO_ATTRIBUTE) {
        PyErr_Format(PyExc_KeyError, "name: no cell attribute called '%s'", name.c_str());
        throw PythonError{};
    }
    return k;
}

// ---- methods: cells with state ----

const Method World_add_cell_attribute{
    "add_cell_attribute", exclusive, params(arg("name"), arg("default") = 0.0, arg("on_divide") = "copy"),
    "Add a per-cell attribute: a float64 column of cell_table() called `name`,\n"
    "`default` for every record and every new cell. When a cell divides, both\n"
    "cells keep the value (\"copy\"), each gets it times its share of the sites\n"
    "(\"split\"), or both get the default (\"reset\").",
    [](PyObject* self, const std::string& name, double default_value, const std::string& on_divide) {
        tessaly::World& w = current(self);
        Ref text = checked(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!PyUnicode_IsIdentifier(text.get())) {
            PyErr_Format(PyExc_ValueError, "name: expected a Python identifier, got %R", text.get());
            throw PythonError{};
        }
        if (tessaly::find_attribute(w.state, name) != tessaly::NO_ATTRIBUTE) {
            PyErr_Format(PyExc_ValueError, "name: a cell attribute called %R exists already", text.get());
            throw PythonError{};
        }
        // the table's own columns, as cell_table() builds them
        Ref table = checked(cell_table_of(w));
        const int taken = PyDict_Contains(table.get(), text.get());
        if (taken < 0) throw PythonError{};
        if (taken) {
            PyErr_Format(PyExc_ValueError, "name: %R is a column of cell_table() already", text.get());
            throw PythonError{};
        }
        tessaly::OnDivide rule = tessaly::OnDivide::copy;
        if (on_divide == "split") {
            rule = tessaly::OnDivide::split;
        } else if (on_divide == "reset") {
            rule = tessaly::OnDivide::reset;
        } else if (on_divide != "copy") {
            Ref given = checked(PyUnicode_FromStringAndSize(on_divide.data(), static_cast<Py_ssize_t>(on_divide.size())));
            PyErr_Format(PyExc_ValueError, "on_divide: expected \"copy\", \"split\" or \"reset\", got %R", given.get());
            throw PythonError{};
        }
        tessaly::add_cell_attribute(w, name, default_value, rule);
    }};

const Method World_cell_attribute{
    "cell_attribute", shared, params(arg("name")),
    "The attribute's value for every cell record, indexed by id (the medium\n"
    "first): a float64 memoryview of n_cells() + 1 items, a copy.",
    [](PyObject* self, const std::string& name) -> PyObject* {
        const tessaly::World& w = current(self);
        const std::vector<double>& values = w.state.attributes[attribute_called(w, name)].values;
        return make_column<double>("d", values.size(), [&](double* out) {
            if (!values.empty()) std::memcpy(out, values.data(), values.size() * sizeof(double));
        });
    }};

const Method World_set_cell_attribute{
    "set_cell_attribute", exclusive, params(arg("name"), arg("values"), arg("ids") = None),
    "Write the attribute: `values` (a float, or one per record) to every\n"
    "record, or, with `ids` (a sequence of registered ids), to those records\n"
    "(a float, or one per id; a repeated id takes its last value).",
    [](PyObject* self, const std::string& name, PyObject* values, PyObject* ids) {
        tessaly::World& w = current(self);
        const std::size_t k = attribute_called(w, name);
        bool scalar = false;
        const std::vector<double> given = values_of(values, "values", scalar);
        if (ids == Py_None) {
            if (!scalar && given.size() != w.cells.size()) {
                PyErr_Format(PyExc_ValueError, "values: expected a float or %zu values (one per record), got %zu",
                             w.cells.size(), given.size());
                throw PythonError{};
            }
            tessaly::set_attribute(w, k, scalar ? std::vector<double>(w.cells.size(), given[0]) : given);
            return;
        }
        const std::vector<CellId> targets = ids_of(ids, "ids");
        if (!scalar && given.size() != targets.size()) {
            PyErr_Format(PyExc_ValueError, "values: expected a float or %zu values (one per id), got %zu",
                         targets.size(), given.size());
            throw PythonError{};
        }
        for (const CellId id : targets)
            if (id >= w.cells.size()) {
                PyErr_Format(PyExc_ValueError, "ids: expected registered ids (0 to %zu), got %lu", w.cells.size() - 1,
                             static_cast<unsigned long>(id));
                throw PythonError{};
            }
        tessaly::set_attribute(w, k, targets, scalar ? std::vector<double>{given[0]} : given);
    }};

// This file's methods, in the order of World's method table.
const Method* const state_list[] = {
    &World_add_cell_attribute,
    &World_cell_attribute,
    &World_set_cell_attribute,
};

}  // namespace

const std::span<const Method* const> state_methods = state_list;

}  // namespace tessaly::binding

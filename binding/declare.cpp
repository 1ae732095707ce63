// The declaration machinery's out-of-line part: conversions, matching,
// errors and phase checks (see declare.hpp).

#include "declare.hpp"  // first: it includes Python.h

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "error.hpp"
#include "init.hpp"

namespace tessaly::binding {

// ---- helpers ----

[[noreturn]] void raise_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

// ---- argument conversion ----

[[noreturn]] void raise_not_convertible(PyObject* object, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to '%s'", Py_TYPE(object)->tp_name, target);
    throw PythonError{};
}

std::uint64_t to_narrow(PyObject* object, std::uint64_t max) {
    Ref index = checked(PyNumber_Index(object));
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    if (value < 0 || static_cast<std::uint64_t>(value) > max)
        raise_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint64_t>(value);
}

std::uint64_t to_u64(PyObject* object) {
    Ref index = checked(PyNumber_Index(object));
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return value;
}

double to_f64(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
    return value;
}

bool to_bool(PyObject* object) {
    if (PyBool_Check(object)) return object == Py_True;
    const char* type_name = Py_TYPE(object)->tp_name;
    if (std::strcmp(type_name, "numpy.bool") == 0 || std::strcmp(type_name, "numpy.bool_") == 0) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) throw PythonError{};
        return truth == 1;
    }
    raise_not_convertible(object, "bool");
}

std::string to_str(PyObject* object) {
    if (!PyUnicode_Check(object)) raise_not_convertible(object, "str");
    Ref bytes = checked(PyUnicode_AsEncodedString(object, "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

Dims to_dims(PyObject* object) {
    if (!PyTuple_Check(object)) raise_not_convertible(object, "tuple");
    const Py_ssize_t length = PyTuple_GET_SIZE(object);
    if (length != 3) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 3, but got tuple of length %zd", length);
        throw PythonError{};
    }
    Dims dims{};
    for (std::size_t i = 0; i < 3; ++i)
        dims[i] = static_cast<std::size_t>(to_u64(PyTuple_GET_ITEM(object, static_cast<Py_ssize_t>(i))));
    return dims;
}

// A buffer held for the duration of a call.
struct HeldBuffer {
    Py_buffer view{};
    std::vector<unsigned char> swapped;  // labels in the other byte order: the elements in C order, in native order
    HeldBuffer(PyObject* object, int flags) {
        if (PyObject_GetBuffer(object, &view, flags) < 0) throw PythonError{};
    }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() { PyBuffer_Release(&view); }
};

std::string to_path(PyObject* object) {
    PyObject* raw = nullptr;
    if (PyUnicode_FSConverter(object, &raw) == 0) throw PythonError{};
    Ref bytes(raw);
    return std::string(PyBytes_AS_STRING(raw), static_cast<std::size_t>(PyBytes_GET_SIZE(raw)));
}

TypeMap to_type_map(PyObject* object) {
    if (!PyDict_Check(object)) raise_not_convertible(object, "dict");
    Ref items = checked(PyDict_Items(object));
    TypeMap map;
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* pair = PyList_GET_ITEM(items.get(), k);
        const auto key = from_python<std::uint32_t>(PyTuple_GET_ITEM(pair, 0));
        const auto value = from_python<CellType>(PyTuple_GET_ITEM(pair, 1));
        map[key] = value;
    }
    return map;
}

Labels to_labels(PyObject* object) {
    if (PyUnicode_Check(object) || !PyObject_CheckBuffer(object)) return Labels{to_vector<std::uint32_t>(object), nullptr};
    auto held = std::make_shared<HeldBuffer>(object, PyBUF_RECORDS_RO);
    const Py_buffer& v = held->view;
    // a 0-d array is one number, not a sequence of labels
    if (v.ndim == 0) raise_not_convertible(object, "Sequence");
    const char* format = v.format == nullptr ? "B" : v.format;
    const char* code = format;
    bool swapped = false;
    if (*code != '\0' && std::strchr("@=<>!", *code) != nullptr) {
        const bool big = *code == '>' || *code == '!';
        if (*code == '<' || big) swapped = big != (std::endian::native == std::endian::big);
        ++code;
    }
    const bool integer = code[0] != '\0' && code[1] == '\0' && std::strchr("bBhHiIlLqQnN", code[0]) != nullptr;
    if (!integer || (v.itemsize != 1 && v.itemsize != 2 && v.itemsize != 4 && v.itemsize != 8)) {
        PyErr_Format(PyExc_TypeError, "expected a buffer of integers, got one of format '%s'", format);
        throw PythonError{};
    }
    Labels labels{{}, held};
    labels.array.data = static_cast<const unsigned char*>(v.buf);
    labels.array.item_size = static_cast<std::size_t>(v.itemsize);
    labels.array.is_signed = std::islower(static_cast<unsigned char>(code[0])) != 0;
    if (swapped && v.itemsize > 1) {
        // a C-order copy, each element's bytes reversed, read as one axis
        std::vector<unsigned char>& copy = held->swapped;
        copy.resize(static_cast<std::size_t>(v.len));
        if (PyBuffer_ToContiguous(copy.data(), &v, v.len, 'C') < 0) throw PythonError{};
        const std::size_t size = labels.array.item_size;
        for (std::size_t at = 0; at < copy.size(); at += size)
            std::reverse(copy.begin() + static_cast<std::ptrdiff_t>(at), copy.begin() + static_cast<std::ptrdiff_t>(at + size));
        labels.array.data = copy.data();
        labels.array.shape = {copy.size() / size};
        labels.array.strides = {static_cast<std::ptrdiff_t>(size)};
        return labels;
    }
    for (int axis = 0; axis < v.ndim; ++axis) {
        labels.array.shape.push_back(static_cast<std::size_t>(v.shape[axis]));
        labels.array.strides.push_back(v.strides[axis]);
    }
    return labels;
}

void name_type_error(const char* name) {
    Ref first(PyErr_GetRaisedException());
    Ref text = checked(PyObject_Str(first.get()));
    Ref message = checked(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    Ref second = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    PyException_SetContext(second.get(), Py_NewRef(first.get()));
    PyException_SetCause(second.get(), first.release());
    PyErr_SetRaisedException(second.release());
}

void note_range(const char* name, unsigned long long max) {
    Ref error(PyErr_GetRaisedException());
    Ref note(PyUnicode_FromFormat("argument '%s': expected an integer in [0, %llu]", name, max));
    // an interned name: a fresh string per call would take a new slot of the type's method cache each time
    Ref method(note.get() == nullptr ? nullptr : PyUnicode_InternFromString("add_note"));
    Ref done(method.get() == nullptr ? nullptr : PyObject_CallMethodOneArg(error.get(), method.get(), note.get()));
    if (done.get() == nullptr) PyErr_Clear();  // the note is a courtesy: the error itself stands
    PyErr_SetRaisedException(error.release());
}

void set_python_error(PyObject* internal_error) noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        // already set
    } catch (const tessaly::EngineError& e) {
        PyErr_SetString(internal_error, e.what());
    } catch (const tessaly::FormatError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
    }
}

// ---- matching and calling ----

// ---- batches of cells ----

bool is_batch(PyObject* object) {
    if (PyUnicode_Check(object) || PyLong_Check(object) || PyFloat_Check(object)) return false;
    if (PyObject_CheckBuffer(object)) return HeldBuffer(object, PyBUF_RECORDS_RO).view.ndim != 0;
    return PySequence_Check(object) != 0;
}

std::vector<CellId> to_ids(const char* name, PyObject* object) {
    return named(name, [&]() -> std::vector<CellId> {
        Labels labels = to_labels(object);
        if (!labels.buffer) return std::move(labels.list);
        const std::size_t n = tessaly::element_count(labels.array);
        if (n != 0 && !tessaly::labels_fit_u32(labels.array))
            raise_error(PyExc_OverflowError, "out of range integral type conversion attempted");
        std::vector<CellId> ids(n);
        if (n != 0) tessaly::copy_labels(labels.array, ids.data());
        return ids;
    });
}

std::vector<double> to_reals(PyObject* object) {
    if (PyObject_CheckBuffer(object)) {
        HeldBuffer held(object, PyBUF_RECORDS_RO);
        const Py_buffer& v = held.view;
        const char* format = v.format == nullptr ? "B" : v.format;
        const char native = std::endian::native == std::endian::little ? '<' : '>';
        if (*format == '@' || *format == '=' || *format == native) ++format;
        if (v.ndim == 1 && std::strcmp(format, "d") == 0 && v.itemsize == sizeof(double)) {
            std::vector<double> out(static_cast<std::size_t>(v.shape[0]));
            const char* at = static_cast<const char*>(v.buf);
            for (std::size_t i = 0; i < out.size(); ++i)
                std::memcpy(&out[i], at + static_cast<Py_ssize_t>(i) * v.strides[0], sizeof(double));
            return out;
        }
    }
    return to_vector<double>(object);
}

namespace {

std::string display_name(const Method& m) {
    return m.role == Role::constructor ? std::string(m.name) + "()" : std::string("World.") + m.name + "()";
}

[[noreturn]] void raise_matching(const Method& m, const std::string& rest) {
    PyErr_SetString(PyExc_TypeError, (display_name(m) + " " + rest).c_str());
    throw PythonError{};
}

// `format` holds one %s (the method) and one %U (the keyword).
[[noreturn]] void raise_keyword(const Method& m, const char* format, PyObject* key) {
    PyErr_Format(PyExc_TypeError, format, display_name(m).c_str(), key);
    throw PythonError{};
}

// 'a', 'a' and 'b', 'a', 'b', and 'c'
std::string quoted_names(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += std::string("'") + names[i] + "'";
    }
    return text;
}

}  // namespace

void match(const Method& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const std::vector<Param>& ps = m.parameters;
    const std::size_t n = ps.size();
    std::size_t positional = 0;
    while (positional < n && !ps[positional].keyword_only) ++positional;
    const std::size_t given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < std::min(given, positional); ++i) slots[i] = args[i];

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t index = 0;
        while (index < n && PyUnicode_CompareWithASCIIString(key, ps[index].name) != 0) ++index;
        if (index == n) {
            const bool instance = m.role == Role::shared || m.role == Role::exclusive;
            if (instance && PyUnicode_CompareWithASCIIString(key, "self") == 0)
                raise_keyword(m, "%s got multiple values for argument '%U'", key);
            raise_keyword(m, "%s got an unexpected keyword argument '%U'", key);
        }
        if (slots[index] != nullptr) raise_keyword(m, "%s got multiple values for argument '%U'", key);
        slots[index] = args[nargs + k];
    }

    std::size_t required = 0;
    while (required < positional && ps[required].fallback == Param::Default::required) ++required;
    if (given > positional) {
        const std::size_t self_count = m.role == Role::constructor ? 0 : 1;
        const std::size_t most = positional + self_count;
        const std::size_t least = required + self_count;
        const std::size_t passed = given + self_count;
        std::size_t keywords_given = 0;
        for (std::size_t i = positional; i < n; ++i) keywords_given += slots[i] != nullptr;
        std::string counts = least < most ? "from " + std::to_string(least) + " to " + std::to_string(most)
                                          : std::to_string(most);
        std::string keyword_part;
        if (keywords_given > 0)
            keyword_part = std::string(" positional argument") + (passed != 1 ? "s" : "") + " (and " +
                           std::to_string(keywords_given) + " keyword-only argument" +
                           (keywords_given != 1 ? "s" : "") + ")";
        raise_matching(m, "takes " + counts + " positional argument" + (least < most || most != 1 ? "s" : "") +
                              " but " + std::to_string(passed) + keyword_part +
                              (passed == 1 && keywords_given == 0 ? " was" : " were") + " given");
    }

    for (const bool keyword_only : {false, true}) {
        std::vector<const char*> missing;
        for (std::size_t i = 0; i < n; ++i)
            if (ps[i].keyword_only == keyword_only && slots[i] == nullptr && ps[i].fallback == Param::Default::required)
                missing.push_back(ps[i].name);
        if (!missing.empty())
            raise_matching(m, "missing " + std::to_string(missing.size()) + " required " +
                                  (keyword_only ? "keyword-only" : "positional") + " argument" +
                                  (missing.size() == 1 ? "" : "s") + ": " + quoted_names(missing));
    }
}

// ---- phase and world access ----

tessaly::World& current(PyObject* self) {
    WorldSlots& s = slots_of(self);
    if (s.cpm) return s.cpm->world;
    if (s.setup_world) return *s.setup_world;
    tessaly::fail("the World object holds no world");
}

tessaly::World& setup_only(PyObject* self, const char* message) {
    WorldSlots& s = slots_of(self);
    if (!s.setup_world) raise_error(PyExc_RuntimeError, message);
    return *s.setup_world;
}

tessaly::Cpm& running_only(PyObject* self) {
    WorldSlots& s = slots_of(self);
    if (!s.cpm) raise_error(PyExc_RuntimeError, "call finalize() first");
    return *s.cpm;
}

PyObject* new_world_object(PyTypeObject* type, WorldSlots contents) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw PythonError{};
    WorldSlots* s = new (&reinterpret_cast<WorldObject*>(self)->slots) WorldSlots{};
    try {
        *s = std::move(contents);
    } catch (...) {
        Py_DECREF(self);
        throw;
    }
    return self;
}

bool poll_signals() { return PyErr_CheckSignals() != 0; }

[[noreturn]] void raise_interrupted() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "run stopped early");
    throw PythonError{};
}

}  // namespace tessaly::binding

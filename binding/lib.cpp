// The Python extension module `tessaly`: one class, World, over the engine.
//
// Every method runs the same frame: match the call's arguments to the
// method's signature, borrow the receiver, convert the arguments in
// signature order, then run the body, which forwards to the engine and
// builds the result. A method is declared by one entry of the method table
// (name, access, parameters with their kinds, the default); the bodies hold
// no simulation logic of their own.
//
// Failures: the engine's EngineError becomes the module's InternalError,
// std::bad_alloc becomes MemoryError, any other C++ exception RuntimeError.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "checkpoint.hpp"
#include "connectivity.hpp"
#include "energy.hpp"
#include "error.hpp"
#include "external.hpp"
#include "field.hpp"
#include "init.hpp"
#include "lattice.hpp"
#include "length.hpp"
#include "membrane.hpp"
#include "mitosis.hpp"
#include "parallel.hpp"
#include "sweep.hpp"
#include "world.hpp"

namespace {

using tessaly::CellId;
using tessaly::CellType;

// ---- module state ----

struct tessaly_state {
    PyObject* world_type;      // the class World
    PyObject* internal_error;  // engine failures; derives from BaseException, not a module attribute
};

// The module is created once per process and belongs to the interpreter
// that created it: a repeated initialisation there returns the same object,
// any other interpreter is refused.
PyObject* tessaly_module_object = nullptr;
std::int64_t tessaly_interpreter = -1;

// One contact energy recorded by set_contact, installed by finalize.
struct PendingContact {
    CellType type_a;
    CellType type_b;
    double j;
};

// Everything a Python World keeps beside the object header.
struct WorldSlots {
    std::vector<PendingContact> pending_contacts;  // in call order, never cleared
    std::optional<tessaly::World> setup_world;     // present until finalize succeeds
    std::optional<tessaly::Cpm> cpm;               // present from finalize on; owns the world
    std::array<std::size_t, 3> dims;               // as passed to the constructor
    CellType max_type = 0;                         // largest type mentioned; sizes the contact table
    int borrows = 0;                               // > 0: shared borrows held, −1: borrowed exclusively
};

struct WorldObject {
    PyObject_HEAD
    WorldSlots slots;  // constructed in World_new, destroyed in World_dealloc
};

WorldSlots& slots_of(PyObject* self) { return reinterpret_cast<WorldObject*>(self)->slots; }

// ---- helpers ----

// A Python exception is already set; unwinds to the method's edge, which
// returns NULL.
struct PythonError {};

[[noreturn]] void raise_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

// Owns one strong reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* object) : object_(object) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Py_XSETREF(object_, std::exchange(other.object_, nullptr));
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }

private:
    PyObject* object_ = nullptr;
};

// Takes ownership of a new reference; throws PythonError when it is NULL.
Ref checked(PyObject* object) {
    if (object == nullptr) throw PythonError{};
    return Ref(object);
}

// Returns a new reference to a list of n items, item i made by make(i)
// (a new reference, or NULL with an exception set).
template <typename Make>
PyObject* make_list(std::size_t n, Make make) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = make(i);
        if (item == nullptr) throw PythonError{};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// Returns a new reference to the tuple (a, b, c).
PyObject* make_triple(PyObject* a, PyObject* b, PyObject* c) {
    Ref x(a), y(b), z(c);
    if (x.get() == nullptr || y.get() == nullptr || z.get() == nullptr) return nullptr;
    return PyTuple_Pack(3, x.get(), y.get(), z.get());
}

PyObject* none() { return Py_NewRef(Py_None); }

// ---- borrowing ----

enum class Access : unsigned char { shared, exclusive };

// Holds a borrow of one World for the duration of a call. Calls hold the
// interpreter lock, so a conflict arises only re-entrantly, e.g. when an
// argument's __index__ calls back into the same object.
class Borrow {
public:
    Borrow(WorldSlots& slots, Access access) : slots_(slots), access_(access) {
        if (access == Access::exclusive) {
            if (slots.borrows != 0) raise_error(PyExc_RuntimeError, "Already borrowed");
            slots.borrows = -1;
        } else {
            if (slots.borrows < 0) raise_error(PyExc_RuntimeError, "Already mutably borrowed");
            ++slots.borrows;
        }
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() {
        if (access_ == Access::exclusive)
            slots_.borrows = 0;
        else
            --slots_.borrows;
    }

private:
    WorldSlots& slots_;
    Access access_;
};

// ---- argument table: parameters, matching, conversion ----

enum class Kind : unsigned char {
    u8,
    u16,
    u32,
    u64,
    usize,
    f64,
    str,
    boolean,
    dims,       // tuple of three usize
    site_list,  // sequence (not a str) of usize
    id_list,    // sequence (not a str) of u32
    type_map,   // dict u32 -> u16
    object,     // any object, passed on as it is (borrowed for the call)
    buffer,     // a bytes-like object (borrowed for the call)
    path,       // str, bytes or os.PathLike, as a file-system path
};

struct Param {
    const char* name;
    Kind kind;
    bool has_default = false;
    std::uint64_t default_value = 0;  // the only default is an unsigned integer (block=16)
};

constexpr std::size_t max_params = 7;

struct Signature {
    const char* name;  // the method name; "World" for the constructor
    bool method;       // an instance method (self counts in the messages) or the constructor
    Access access;
    std::array<Param, max_params> params;
    std::size_t n_params;
};

constexpr Signature signature(const char* name, Access access, std::initializer_list<Param> params,
                              bool method = true) {
    Signature sig{name, method, access, {}, params.size()};
    std::size_t i = 0;
    for (const Param& p : params) sig.params[i++] = p;
    return sig;
}

using Dims = std::array<std::size_t, 3>;
using TypeMap = std::unordered_map<std::uint32_t, CellType>;
using Value = std::variant<std::monostate, std::uint64_t, double, bool, std::string, Dims,
                           std::vector<std::size_t>, std::vector<std::uint32_t>, TypeMap, PyObject*>;

// The converted arguments of one call, by position in the signature.
struct Args {
    std::array<Value, max_params> values;

    std::uint64_t u64(std::size_t i) const { return std::get<std::uint64_t>(values[i]); }
    std::size_t usize(std::size_t i) const { return static_cast<std::size_t>(u64(i)); }
    std::uint32_t u32(std::size_t i) const { return static_cast<std::uint32_t>(u64(i)); }
    CellType u16(std::size_t i) const { return static_cast<CellType>(u64(i)); }
    std::uint8_t u8(std::size_t i) const { return static_cast<std::uint8_t>(u64(i)); }
    double f64(std::size_t i) const { return std::get<double>(values[i]); }
    bool boolean(std::size_t i) const { return std::get<bool>(values[i]); }
    const std::string& str(std::size_t i) const { return std::get<std::string>(values[i]); }
    const Dims& dims(std::size_t i) const { return std::get<Dims>(values[i]); }
    const std::vector<std::size_t>& sites(std::size_t i) const { return std::get<std::vector<std::size_t>>(values[i]); }
    const std::vector<std::uint32_t>& ids(std::size_t i) const { return std::get<std::vector<std::uint32_t>>(values[i]); }
    const TypeMap& types(std::size_t i) const { return std::get<TypeMap>(values[i]); }
    PyObject* object(std::size_t i) const { return std::get<PyObject*>(values[i]); }
};

// The call's arguments sorted into parameter positions: borrowed
// references, NULL for an omitted argument that has a default.
using Slots = std::array<PyObject*, max_params>;

std::string display_name(const Signature& sig) {
    return sig.method ? std::string("World.") + sig.name + "()" : std::string(sig.name) + "()";
}

[[noreturn]] void raise_matching(const Signature& sig, const std::string& rest) {
    PyErr_SetString(PyExc_TypeError, (display_name(sig) + " " + rest).c_str());
    throw PythonError{};
}

// `format` holds one %s (the method) and one %U (the keyword).
[[noreturn]] void raise_keyword(const Signature& sig, const char* format, PyObject* key) {
    PyErr_Format(PyExc_TypeError, format, display_name(sig).c_str(), key);
    throw PythonError{};
}

// Sorts positional and keyword arguments into slots; refuses unexpected or
// duplicated keywords, then surplus positionals, then missing arguments,
// worded as the interpreter words them for a function of that signature.
void match(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Slots& slots) {
    const std::size_t n = sig.n_params;
    const std::size_t given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < std::min(given, n); ++i) slots[i] = args[i];

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t index = 0;
        while (index < n && PyUnicode_CompareWithASCIIString(key, sig.params[index].name) != 0) ++index;
        if (index == n) {
            if (sig.method && PyUnicode_CompareWithASCIIString(key, "self") == 0)
                raise_keyword(sig, "%s got multiple values for argument '%U'", key);
            raise_keyword(sig, "%s got an unexpected keyword argument '%U'", key);
        }
        if (slots[index] != nullptr) raise_keyword(sig, "%s got multiple values for argument '%U'", key);
        slots[index] = args[nargs + k];
    }

    std::size_t required = 0;
    while (required < n && !sig.params[required].has_default) ++required;
    if (given > n) {
        const std::size_t self_count = sig.method ? 1 : 0;
        const std::size_t most = n + self_count;
        const std::size_t least = required + self_count;
        const std::size_t passed = given + self_count;
        std::string counts = least < most ? "from " + std::to_string(least) + " to " + std::to_string(most)
                                          : std::to_string(most);
        raise_matching(sig, "takes " + counts + " positional argument" + (least < most || most != 1 ? "s" : "") +
                                " but " + std::to_string(passed) + (passed == 1 ? " was" : " were") + " given");
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < n; ++i)
        if (slots[i] == nullptr && !sig.params[i].has_default) missing.push_back(sig.params[i].name);
    if (!missing.empty()) {
        std::string names;
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
            names += std::string("'") + missing[i] + "'";
        }
        raise_matching(sig, "missing " + std::to_string(missing.size()) + " required positional argument" +
                                (missing.size() == 1 ? "" : "s") + ": " + names);
    }
}

[[noreturn]] void raise_not_convertible(PyObject* object, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to '%s'", Py_TYPE(object)->tp_name, target);
    throw PythonError{};
}

// An integer of a width below 64 bits: anything with __index__; values
// outside [0, max] raise OverflowError, values beyond the signed 64-bit
// range the interpreter's own overflow message.
std::uint64_t to_narrow(PyObject* object, std::uint64_t max) {
    Ref index = checked(PyNumber_Index(object));
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    if (value < 0 || static_cast<std::uint64_t>(value) > max)
        raise_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint64_t>(value);
}

// A 64-bit unsigned integer, with the interpreter's messages.
std::uint64_t to_u64(PyObject* object) {
    Ref index = checked(PyNumber_Index(object));
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return value;
}

std::uint64_t to_integer(PyObject* object, Kind kind) {
    switch (kind) {
    case Kind::u8:
        return to_narrow(object, UINT8_MAX);
    case Kind::u16:
        return to_narrow(object, UINT16_MAX);
    case Kind::u32:
        return to_narrow(object, UINT32_MAX);
    default:
        return to_u64(object);
    }
}

double to_f64(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
    return value;
}

// A bool, or a NumPy boolean scalar (its truth value); an int is refused.
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

// Any str; lone surrogates pass through, so that no str fails to convert.
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

// Any sequence except a str, each item converted as `element`.
template <typename T>
std::vector<T> to_vector(PyObject* object, Kind element) {
    if (PyUnicode_Check(object)) raise_error(PyExc_TypeError, "a str is not accepted as a sequence of integers");
    if (!PySequence_Check(object)) raise_not_convertible(object, "Sequence");
    std::vector<T> items;
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0)
        PyErr_Clear();
    else
        items.reserve(std::min<std::size_t>(static_cast<std::size_t>(hint), std::size_t{1} << 20));
    Ref iterator = checked(PyObject_GetIter(object));
    while (PyObject* raw = PyIter_Next(iterator.get())) {
        Ref item(raw);
        items.push_back(static_cast<T>(to_integer(item.get(), element)));
    }
    if (PyErr_Occurred()) throw PythonError{};
    return items;
}

// A dict of u32 keys to u16 values. The items are taken first, so that a
// conversion calling back into Python cannot pull an entry from under us.
TypeMap to_type_map(PyObject* object) {
    if (!PyDict_Check(object)) raise_not_convertible(object, "dict");
    Ref items = checked(PyDict_Items(object));
    TypeMap map;
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* pair = PyList_GET_ITEM(items.get(), k);
        const auto key = static_cast<std::uint32_t>(to_integer(PyTuple_GET_ITEM(pair, 0), Kind::u32));
        const auto value = static_cast<CellType>(to_integer(PyTuple_GET_ITEM(pair, 1), Kind::u16));
        map[key] = value;
    }
    return map;
}

// A file-system path from a str, bytes or os.PathLike, encoded as the
// interpreter encodes file names.
std::string to_path(PyObject* object) {
    PyObject* raw = nullptr;
    if (PyUnicode_FSConverter(object, &raw) == 0) throw PythonError{};
    Ref bytes(raw);
    return std::string(PyBytes_AS_STRING(raw), static_cast<std::size_t>(PyBytes_GET_SIZE(raw)));
}

Value convert(PyObject* object, Kind kind) {
    switch (kind) {
    case Kind::u8:
    case Kind::u16:
    case Kind::u32:
    case Kind::u64:
    case Kind::usize:
        return to_integer(object, kind);
    case Kind::f64:
        return to_f64(object);
    case Kind::str:
        return to_str(object);
    case Kind::boolean:
        return to_bool(object);
    case Kind::dims:
        return to_dims(object);
    case Kind::site_list:
        return to_vector<std::size_t>(object, Kind::usize);
    case Kind::id_list:
        return to_vector<std::uint32_t>(object, Kind::u32);
    case Kind::type_map:
        return to_type_map(object);
    case Kind::object:
        return object;
    case Kind::buffer:
        if (!PyObject_CheckBuffer(object)) raise_not_convertible(object, "Buffer");
        return object;
    case Kind::path:
        return to_path(object);
    }
    throw std::logic_error("unknown argument kind");
}

// Replaces the pending TypeError by a new one naming the argument, with the
// first error as its cause.
void name_type_error(const char* name) {
    Ref first(PyErr_GetRaisedException());
    Ref text = checked(PyObject_Str(first.get()));
    Ref message = checked(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    Ref second = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    PyException_SetContext(second.get(), Py_NewRef(first.get()));
    PyException_SetCause(second.get(), first.release());
    PyErr_SetRaisedException(second.release());
}

// Converts every argument in signature order; the first failure raises.
void convert_arguments(const Signature& sig, const Slots& slots, Args& args) {
    for (std::size_t i = 0; i < sig.n_params; ++i) {
        const Param& param = sig.params[i];
        if (slots[i] == nullptr) {
            args.values[i] = param.default_value;
            continue;
        }
        try {
            args.values[i] = convert(slots[i], param.kind);
        } catch (const PythonError&) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) name_type_error(param.name);
            throw;
        }
    }
}

// Sets the Python exception for the C++ exception being handled.
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

// ---- phase and world access ----

// The world a method acts on: the driver's once finalized, else the set-up world.
tessaly::World& current(WorldSlots& s) {
    if (s.cpm) return s.cpm->world;
    if (s.setup_world) return *s.setup_world;
    tessaly::fail("the World object holds no world");
}

tessaly::World& setup_only(WorldSlots& s, const char* message) {
    if (!s.setup_world) raise_error(PyExc_RuntimeError, message);
    return *s.setup_world;
}

tessaly::Cpm& running_only(WorldSlots& s) {
    if (!s.cpm) raise_error(PyExc_RuntimeError, "call finalize() first");
    return *s.cpm;
}

// A type named by a call: max_type = max(max_type, t).
void mention_type(WorldSlots& s, CellType t) { s.max_type = std::max(s.max_type, t); }

// Polled by the sweeps between Monte Carlo steps and by the field advance
// between diffusion substeps: a pending signal whose handler raised (Ctrl-C)
// stops the run with that exception set.
bool poll_signals() { return PyErr_CheckSignals() != 0; }

[[noreturn]] void raise_interrupted() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "run stopped early");
    throw PythonError{};
}

// ---- method bodies: set-up ----

PyObject* World_add_cell(PyObject* self, const Args& a) {
    WorldSlots& s = slots_of(self);
    tessaly::World& w = setup_only(s, "add_cell after finalize");
    mention_type(s, a.u16(0));
    const CellId id = tessaly::add_cell(w, a.u16(0), a.f64(1), a.f64(2), a.f64(3), a.f64(4));
    return PyLong_FromUnsignedLong(id);
}

PyObject* World_seed_block(PyObject* self, const Args& a) {
    tessaly::World& w = setup_only(slots_of(self), "seed after finalize");
    const CellId id = a.u32(0);
    const std::size_t x0 = a.usize(1), y0 = a.usize(2), z0 = a.usize(3);
    const std::size_t x1 = a.usize(4), y1 = a.usize(5), z1 = a.usize(6);
    if (x0 >= x1 || y0 >= y1 || z0 >= z1) return none();
    const std::size_t nx = w.lattice.nx, ny = w.lattice.ny, nz = w.lattice.nz;
    // a box reaching outside would wrap into other rows or past the array: refused, nothing painted
    if (x1 > nx || y1 > ny || z1 > nz) raise_error(PyExc_ValueError, "seed_block box reaches outside the lattice");
    for (std::size_t z = z0; z < z1; ++z)
        for (std::size_t y = y0; y < y1; ++y)
            for (std::size_t x = x0; x < x1; ++x) tessaly::paint(w, x + nx * (y + ny * z), id);
    return none();
}

PyObject* World_seed_from_labels(PyObject* self, const Args& a) {
    WorldSlots& s = slots_of(self);
    const TypeMap& types = a.types(1);
    mention_type(s, a.u16(2));
    for (const auto& entry : types) mention_type(s, entry.second);
    tessaly::World& w = setup_only(s, "seed after finalize");
    const auto created = tessaly::seed_from_labels(w, a.ids(0), types, a.u16(2), a.f64(3), a.f64(4));
    // the dict lists the labels in the order their cells were created
    std::vector<std::pair<std::uint32_t, CellId>> entries(created.begin(), created.end());
    std::sort(entries.begin(), entries.end(), [](const auto& p, const auto& q) { return p.second < q.second; });
    Ref dict = checked(PyDict_New());
    for (const auto& [label, id] : entries) {
        Ref key = checked(PyLong_FromUnsignedLong(label));
        Ref value = checked(PyLong_FromUnsignedLong(id));
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw PythonError{};
    }
    return dict.release();
}

PyObject* World_set_contact(PyObject* self, const Args& a) {
    WorldSlots& s = slots_of(self);
    const CellType type_a = a.u16(0), type_b = a.u16(1);
    const double j = a.f64(2);
    mention_type(s, type_a);
    mention_type(s, type_b);
    s.pending_contacts.push_back({type_a, type_b, j});
    // once running, the driver's table is already built: the entry goes straight into it
    if (s.cpm) tessaly::set_contact_live(s.cpm->world, type_a, type_b, j);
    return none();
}

PyObject* World_set_target_volume(PyObject* self, const Args& a) {
    tessaly::set_target_volume(current(slots_of(self)), a.u32(0), a.f64(1));
    return none();
}

PyObject* World_snapshot(PyObject* self, const Args&) {
    const std::vector<CellId>& sites = current(slots_of(self)).lattice.sites;
    return make_list(sites.size(), [&](std::size_t i) { return PyLong_FromUnsignedLong(sites[i]); });
}

PyObject* World_dims(PyObject* self, const Args&) {
    const Dims& dims = slots_of(self).dims;
    return make_triple(PyLong_FromSize_t(dims[0]), PyLong_FromSize_t(dims[1]), PyLong_FromSize_t(dims[2]));
}

PyObject* World_n_cells(PyObject* self, const Args&) {
    return PyLong_FromSize_t(current(slots_of(self)).cells.size() - 1);
}

// ---- method bodies: finalize and step ----

PyObject* World_finalize(PyObject* self, const Args& a) {
    WorldSlots& s = slots_of(self);
    tessaly::World& w = setup_only(s, "already finalized");
    // side max_type + 1 in a width that cannot wrap: 65536 types when max_type is 65535
    tessaly::ContactMatrix contact(static_cast<std::size_t>(s.max_type) + 1);
    for (const PendingContact& c : s.pending_contacts) tessaly::set_pair(contact, c.type_a, c.type_b, c.j);
    // Everything that can fail runs before the world changes hands: the
    // trackers are rebuilt (ids are validated before anything is written),
    // then the table is installed. A failure leaves the object in the
    // set-up phase with its world.
    tessaly::recompute_trackers(w);
    tessaly::set_contact_matrix(w, std::move(contact));
    s.cpm.emplace(std::move(w), a.u64(0));
    s.setup_world.reset();
    return none();
}

PyObject* World_step(PyObject* self, const Args& a) {
    tessaly::Cpm& cpm = running_only(slots_of(self));
    if (!tessaly::step(cpm, a.u64(0), poll_signals)) raise_interrupted();
    return none();
}

// ---- method bodies: configuration ----

PyObject* World_grow(PyObject* self, const Args& a) {
    tessaly::grow(current(slots_of(self)), a.u16(0), a.f64(1));
    return none();
}

PyObject* World_add_field(PyObject* self, const Args& a) {
    tessaly::World& w = setup_only(slots_of(self), "add_field after finalize");
    return PyLong_FromSize_t(tessaly::add_field(w, a.str(0), a.f64(1), a.f64(2)));
}

PyObject* World_set_junction(PyObject* self, const Args& a) {
    WorldSlots& s = slots_of(self);
    mention_type(s, a.u16(0));
    tessaly::set_junction(current(s), a.u16(0), a.boolean(1));
    return none();
}

PyObject* World_set_junction_lambda(PyObject* self, const Args& a) {
    tessaly::set_junction_lambda(current(slots_of(self)), a.f64(0));
    return none();
}

PyObject* World_set_membrane(PyObject* self, const Args& a) {
    tessaly::set_membrane(current(slots_of(self)), a.sites(0), a.f64(1), a.f64(2));
    return none();
}

PyObject* World_set_membrane_anchored(PyObject* self, const Args& a) {
    WorldSlots& s = slots_of(self);
    mention_type(s, a.u16(0));
    tessaly::set_membrane_anchored(current(s), a.u16(0), a.boolean(1));
    return none();
}

PyObject* World_set_cell_type(PyObject* self, const Args& a) {
    tessaly::set_cell_type(current(slots_of(self)), a.u32(0), a.u16(1));
    return none();
}

PyObject* World_set_secretion(PyObject* self, const Args& a) {
    tessaly::set_secretion(current(slots_of(self)), a.usize(0), a.u16(1), a.f64(2));
    return none();
}

PyObject* World_set_cell_secretion_scale(PyObject* self, const Args& a) {
    tessaly::set_cell_secretion_scale(current(slots_of(self)), a.usize(0), a.u32(1), a.f64(2));
    return none();
}

PyObject* World_step_parallel(PyObject* self, const Args& a) {
    tessaly::Cpm& cpm = running_only(slots_of(self));
    if (!tessaly::step_parallel(cpm, a.u64(0), a.usize(1), poll_signals)) raise_interrupted();
    return none();
}

PyObject* World_advance_fields(PyObject* self, const Args& a) {
    tessaly::World& w = current(slots_of(self));
    const std::uint32_t n = a.u32(0);
    for (std::uint32_t i = 0; i < n; ++i) {
        if (i > 0 && poll_signals()) throw PythonError{};
        if (!tessaly::advance_fields(w, poll_signals)) raise_interrupted();
    }
    return none();
}

PyObject* World_set_chemotaxis(PyObject* self, const Args& a) {
    tessaly::set_chemotaxis(current(slots_of(self)), a.usize(0), a.u16(1), a.f64(2));
    return none();
}

PyObject* World_set_chemotaxis_occupancy(PyObject* self, const Args& a) {
    tessaly::set_chemotaxis_occupancy(current(slots_of(self)), a.usize(0), a.u16(1), a.f64(2), a.f64(3), a.f64(4),
                                      a.f64(5));
    return none();
}

PyObject* World_set_connectivity(PyObject* self, const Args& a) {
    WorldSlots& s = slots_of(self);
    mention_type(s, a.u16(0));
    tessaly::set_connectivity(current(s), a.u16(0), a.boolean(1));
    return none();
}

PyObject* World_set_connectivity_medium(PyObject* self, const Args& a) {
    tessaly::set_connectivity_medium(current(slots_of(self)), a.boolean(0));
    return none();
}

PyObject* World_set_field_dynamics(PyObject* self, const Args& a) {
    tessaly::set_field_dynamics(current(slots_of(self)), a.usize(0), a.f64(1), a.u32(2));
    return none();
}

PyObject* World_field_add_source_at(PyObject* self, const Args& a) {
    tessaly::field_add_source_at(current(slots_of(self)), a.usize(0), a.usize(1), a.usize(2), a.usize(3), a.f64(4));
    return none();
}

PyObject* World_set_length_constraint(PyObject* self, const Args& a) {
    WorldSlots& s = slots_of(self);
    mention_type(s, a.u16(0));
    tessaly::set_length_constraint(current(s), a.u16(0), a.f64(1), a.f64(2));
    return none();
}

PyObject* World_set_external_potential(PyObject* self, const Args& a) {
    WorldSlots& s = slots_of(self);
    mention_type(s, a.u16(0));
    tessaly::set_external_potential(current(s), a.u16(0), a.f64(1), a.f64(2), a.f64(3));
    return none();
}

PyObject* World_divide_cells(PyObject* self, const Args& a) {
    const std::vector<CellId> created = tessaly::divide_cells(current(slots_of(self)), a.f64(0), a.f64(1));
    return make_list(created.size(), [&](std::size_t i) { return PyLong_FromUnsignedLong(created[i]); });
}

PyObject* World_remove_cells(PyObject* self, const Args& a) {
    tessaly::remove_cells(current(slots_of(self)), a.ids(0));
    return none();
}

// ---- method bodies: observables ----

PyObject* World_cell_coms(PyObject* self, const Args&) {
    const std::vector<tessaly::Cell>& cells = current(slots_of(self)).cells;
    return make_list(cells.size(), [&](std::size_t i) {
        const tessaly::Trackers& c = cells[i].trackers;
        if (c.volume == 0) return make_triple(PyFloat_FromDouble(0.0), PyFloat_FromDouble(0.0), PyFloat_FromDouble(0.0));
        const double v = static_cast<double>(c.volume);
        return make_triple(PyFloat_FromDouble(c.sum_x / v), PyFloat_FromDouble(c.sum_y / v),
                           PyFloat_FromDouble(c.sum_z / v));
    });
}

PyObject* World_cell_types(PyObject* self, const Args&) {
    const std::vector<tessaly::Cell>& cells = current(slots_of(self)).cells;
    return make_list(cells.size(), [&](std::size_t i) { return PyLong_FromLong(cells[i].cell_type); });
}

PyObject* World_cell_volumes(PyObject* self, const Args&) {
    const std::vector<tessaly::Cell>& cells = current(slots_of(self)).cells;
    return make_list(cells.size(), [&](std::size_t i) { return PyLong_FromLongLong(cells[i].trackers.volume); });
}

PyObject* World_cell_surfaces(PyObject* self, const Args&) {
    const std::vector<tessaly::Cell>& cells = current(slots_of(self)).cells;
    return make_list(cells.size(), [&](std::size_t i) { return PyLong_FromLongLong(cells[i].trackers.surface); });
}

PyObject* World_cell_lengths(PyObject* self, const Args&) {
    const tessaly::World& w = current(slots_of(self));
    return make_list(w.cells.size(), [&](std::size_t i) {
        return PyFloat_FromDouble(tessaly::cell_length(w, static_cast<CellId>(i)));
    });
}

PyObject* World_cell_length(PyObject* self, const Args& a) {
    return PyFloat_FromDouble(tessaly::cell_length(current(slots_of(self)), a.u32(0)));
}

PyObject* World_cell_contact_area_by_type(PyObject* self, const Args& a) {
    const tessaly::World& w = current(slots_of(self));
    const CellId id = a.u32(0);
    std::vector<std::pair<CellType, std::int64_t>> areas;
    if (id < w.cells.size()) {
        areas = tessaly::contact_area_by_type(w, id);
    } else {
        // an id beyond the registry has no contacts worth reporting: never an error
        try {
            areas = tessaly::contact_area_by_type(w, id);
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
}

PyObject* World_field_conc(PyObject* self, const Args& a) {
    const std::vector<float>& conc = tessaly::field_at(current(slots_of(self)), a.usize(0)).conc;
    return make_list(conc.size(), [&](std::size_t i) { return PyFloat_FromDouble(static_cast<double>(conc[i])); });
}

PyObject* World_field_value_at(PyObject* self, const Args& a) {
    const float value = tessaly::field_value_at(current(slots_of(self)), a.usize(0), a.usize(1), a.usize(2), a.usize(3));
    return PyFloat_FromDouble(static_cast<double>(value));
}

PyObject* World_field_mean_at_cell(PyObject* self, const Args& a) {
    return PyFloat_FromDouble(tessaly::field_mean_at_cell(current(slots_of(self)), a.usize(0), a.u32(1)));
}

// ---- method bodies: checkpoints ----

// Returns a new reference to the checkpoint bytes of the object's state:
// header, payload (compressed by zlib when `compress`), checksum.
PyObject* checkpoint_bytes(WorldSlots& s, bool compress) {
    const bool running = s.cpm.has_value();
    std::vector<tessaly::ContactEntry> contacts;
    contacts.reserve(s.pending_contacts.size());
    for (const PendingContact& c : s.pending_contacts) contacts.push_back({c.type_a, c.type_b, c.j});
    const std::vector<std::uint8_t> payload = tessaly::encode_payload(
        current(s), running, running ? s.cpm->rng : tessaly::Rng{{0, 0, 0, 0}}, contacts, s.max_type);
    const std::uint8_t* stored = payload.data();
    std::size_t stored_size = payload.size();
    std::uint32_t codec = tessaly::codec_stored;
    Ref compressed;
    if (compress) {
        // level 1: the payload's runs have already taken what is cheap to take
        Ref zlib = checked(PyImport_ImportModule("zlib"));
        Ref view = checked(PyMemoryView_FromMemory(reinterpret_cast<char*>(const_cast<std::uint8_t*>(payload.data())),
                                                   static_cast<Py_ssize_t>(payload.size()), PyBUF_READ));
        compressed = checked(PyObject_CallMethod(zlib.get(), "compress", "Oi", view.get(), 1));
        stored = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(compressed.get()));
        stored_size = static_cast<std::size_t>(PyBytes_GET_SIZE(compressed.get()));
        codec = tessaly::codec_zlib;
    }
    const std::size_t body = tessaly::checkpoint_header_size + stored_size;
    Ref out = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(body + tessaly::checkpoint_trailer_size)));
    auto* p = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
    tessaly::checkpoint_header(p, codec, payload.size(), stored_size);
    if (stored_size != 0) std::memcpy(p + tessaly::checkpoint_header_size, stored, stored_size);
    const std::uint32_t crc = tessaly::crc32(0, p, body);
    for (int k = 0; k < 4; ++k) p[body + k] = static_cast<std::uint8_t>(crc >> (8 * k));
    return out.release();
}

// Returns a new reference to a World of class `type` restored from
// checkpoint bytes; the object is made only once the bytes have been read.
PyObject* restore(PyObject* type, const std::uint8_t* data, std::size_t size) {
    const tessaly::Frame f = tessaly::read_frame(data, size);
    const std::uint8_t* payload = f.stored;
    std::size_t payload_size = f.stored_size;
    Ref inflated;
    if (f.codec == tessaly::codec_zlib) {
        Ref zlib = checked(PyImport_ImportModule("zlib"));
        Ref view = checked(PyMemoryView_FromMemory(reinterpret_cast<char*>(const_cast<std::uint8_t*>(f.stored)),
                                                   static_cast<Py_ssize_t>(f.stored_size), PyBUF_READ));
        // the declared size is at most 1032 times the stored one (read_frame checked it)
        inflated = Ref(PyObject_CallMethod(zlib.get(), "decompress", "OiK", view.get(), 15,
                                           static_cast<unsigned long long>(std::max<std::uint64_t>(f.payload_size, 1))));
        if (inflated.get() == nullptr) {
            Ref zlib_error = checked(PyObject_GetAttrString(zlib.get(), "error"));
            if (!PyErr_ExceptionMatches(zlib_error.get())) throw PythonError{};
            PyErr_Clear();
            raise_error(PyExc_ValueError, "checkpoint damaged: the payload does not decompress");
        }
        payload = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(inflated.get()));
        payload_size = static_cast<std::size_t>(PyBytes_GET_SIZE(inflated.get()));
        if (payload_size != f.payload_size)
            raise_error(PyExc_ValueError, "checkpoint damaged: payload size disagrees with the data");
    }
    tessaly::WorldState state = tessaly::decode_payload(payload, payload_size);
    std::vector<PendingContact> pending;
    pending.reserve(state.contacts.size());
    for (const tessaly::ContactEntry& c : state.contacts) pending.push_back({c.type_a, c.type_b, c.j});
    const tessaly::Lattice& lattice = state.world.lattice;
    const Dims dims{lattice.nx, lattice.ny, lattice.nz};

    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    PyObject* self = cls->tp_alloc(cls, 0);
    if (self == nullptr) throw PythonError{};
    WorldSlots* s = new (&reinterpret_cast<WorldObject*>(self)->slots) WorldSlots{};
    s->pending_contacts = std::move(pending);
    s->dims = dims;
    s->max_type = state.max_type;
    if (state.running) {
        s->cpm.emplace(std::move(state.world), 0);
        s->cpm->rng = state.rng;
    } else {
        s->setup_world.emplace(std::move(state.world));
    }
    return self;
}

// Holds a buffer exported by an object for the duration of a call.
class BufferView {
public:
    explicit BufferView(PyObject* object) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) throw PythonError{};
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { PyBuffer_Release(&view_); }

    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

// Sets OSError for errno `error` on `path` and unwinds.
[[noreturn]] void raise_os_error(int error, const std::string& path) {
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw PythonError{};
}

// Writes data to path so that a crash at any moment leaves either the old
// file or the new one: a temporary file in the same directory, written,
// flushed to the disk and renamed over the target, then the directory
// synced so that the rename itself is durable. The interpreter lock is
// released meanwhile; the bytes are the caller's own.
void write_atomically(const std::string& path, const char* data, std::size_t size) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string temporary = (slash == std::string::npos ? "" : path.substr(0, slash + 1)) + "." + name + ".tmp-" +
                                  std::to_string(getpid()) + "-" + std::to_string(counter++);
    int error = 0;
    const std::string* failed = &path;
    Py_BEGIN_ALLOW_THREADS
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        failed = &temporary;
    } else {
        std::size_t done = 0;
        while (error == 0 && done < size) {
            const ssize_t n = write(fd, data + done, size - done);
            if (n < 0 && errno != EINTR) error = errno;
            if (n > 0) done += static_cast<std::size_t>(n);
        }
        if (error == 0 && fsync(fd) != 0) error = errno;
        if (close(fd) != 0 && error == 0) error = errno;
        if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
        if (error != 0) {
            unlink(temporary.c_str());
        } else {
            const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dir_fd >= 0) {
                if (fsync(dir_fd) != 0) error = errno;
                close(dir_fd);
            }
        }
    }
    Py_END_ALLOW_THREADS
    if (error != 0) raise_os_error(error, *failed);
}

// The whole file at path, read with the interpreter lock released.
std::vector<std::uint8_t> read_file(const std::string& path) {
    std::vector<std::uint8_t> data;
    int error = 0;
    Py_BEGIN_ALLOW_THREADS
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        error = errno;
    } else {
        // resizing may fail: caught here, since the lock is not held
        try {
            data.resize(static_cast<std::size_t>(info.st_size));
            std::size_t done = 0;
            while (error == 0) {
                if (done == data.size()) data.resize(data.size() + 65536);  // the file grew: read on
                const ssize_t n = read(fd, data.data() + done, data.size() - done);
                if (n < 0 && errno != EINTR) error = errno;
                if (n == 0) break;
                if (n > 0) done += static_cast<std::size_t>(n);
            }
            data.resize(done);
        } catch (const std::bad_alloc&) {
            error = ENOMEM;
        }
    }
    if (fd >= 0) close(fd);
    Py_END_ALLOW_THREADS
    if (error == ENOMEM) throw std::bad_alloc();
    if (error != 0) raise_os_error(error, path);
    return data;
}

PyObject* World_to_bytes(PyObject* self, const Args&) { return checkpoint_bytes(slots_of(self), true); }

PyObject* World_from_bytes(PyObject* type, const Args& a) {
    const BufferView data(a.object(0));
    return restore(type, data.data(), data.size());
}

PyObject* World_save(PyObject* self, const Args& a) {
    Ref data = checked(checkpoint_bytes(slots_of(self), true));
    write_atomically(a.str(0), PyBytes_AS_STRING(data.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())));
    return none();
}

PyObject* World_load(PyObject* type, const Args& a) {
    const std::vector<std::uint8_t> data = read_file(a.str(0));
    return restore(type, data.data(), data.size());
}

PyObject* World_reduce(PyObject* self, const Args&) {
    Ref from_bytes = checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_bytes"));
    Ref data = checked(checkpoint_bytes(slots_of(self), true));
    return Py_BuildValue("(O(O))", from_bytes.get(), data.get());
}

// A copy through uncompressed checkpoint bytes: the same state, nothing shared.
PyObject* World_copy(PyObject* self, const Args&) {
    Ref data = checked(checkpoint_bytes(slots_of(self), false));
    return restore(reinterpret_cast<PyObject*>(Py_TYPE(self)),
                   reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data.get())),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())));
}

// ---- method table ----

using Body = PyObject* (*)(PyObject*, const Args&);

// The entry point of one method: match, borrow, convert, run the body; the
// one try/catch at the edge turns every C++ failure into a Python exception.
template <const Signature& sig, Body body>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    try {
        Slots slots{};
        match(sig, args, nargs, kwnames, slots);
        Borrow borrow(slots_of(self), sig.access);
        Args converted;
        convert_arguments(sig, slots, converted);
        return body(self, converted);
    } catch (...) {
        set_python_error(static_cast<tessaly_state*>(PyType_GetModuleState(Py_TYPE(self)))->internal_error);
        return nullptr;
    }
}

// The entry point of a class method: match, convert, run the body with the class.
template <const Signature& sig, Body body>
PyObject* class_entry(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    try {
        Slots slots{};
        match(sig, args, nargs, kwnames, slots);
        Args converted;
        convert_arguments(sig, slots, converted);
        return body(type, converted);
    } catch (...) {
        set_python_error(static_cast<tessaly_state*>(PyType_GetModuleState(reinterpret_cast<PyTypeObject*>(type)))
                             ->internal_error);
        return nullptr;
    }
}

constexpr Access shared = Access::shared;
constexpr Access exclusive = Access::exclusive;
constexpr Kind u16 = Kind::u16, u32 = Kind::u32, u64 = Kind::u64, usize = Kind::usize, f64 = Kind::f64;

constexpr Signature add_cell_sig = signature(
    "add_cell", exclusive,
    {{"cell_type", u16}, {"target_volume", f64}, {"lambda_volume", f64}, {"target_surface", f64}, {"lambda_surface", f64}});
constexpr Signature seed_block_sig = signature(
    "seed_block", exclusive,
    {{"cell_id", u32}, {"x0", usize}, {"y0", usize}, {"z0", usize}, {"x1", usize}, {"y1", usize}, {"z1", usize}});
constexpr Signature seed_from_labels_sig =
    signature("seed_from_labels", exclusive,
              {{"labels", Kind::id_list}, {"types", Kind::type_map}, {"default_type", u16}, {"target_volume", f64},
               {"lambda_volume", f64}});
constexpr Signature set_contact_sig = signature("set_contact", exclusive, {{"type_a", u16}, {"type_b", u16}, {"j", f64}});
constexpr Signature set_target_volume_sig = signature("set_target_volume", exclusive, {{"cell_id", u32}, {"v", f64}});
constexpr Signature snapshot_sig = signature("snapshot", shared, {});
constexpr Signature dims_sig = signature("dims", shared, {});
constexpr Signature n_cells_sig = signature("n_cells", shared, {});
constexpr Signature finalize_sig = signature("finalize", exclusive, {{"seed", u64}});
constexpr Signature step_sig = signature("step", exclusive, {{"mcs", u64}});
constexpr Signature grow_sig = signature("grow", exclusive, {{"cell_type", u16}, {"rate", f64}});
constexpr Signature add_field_sig = signature("add_field", exclusive, {{"name", Kind::str}, {"d", f64}, {"decay", f64}});
constexpr Signature set_junction_sig = signature("set_junction", exclusive, {{"cell_type", u16}, {"on", Kind::boolean}});
constexpr Signature set_junction_lambda_sig = signature("set_junction_lambda", exclusive, {{"lambda", f64}});
constexpr Signature set_membrane_sig =
    signature("set_membrane", exclusive, {{"anchors", Kind::site_list}, {"k", f64}, {"band", f64}});
constexpr Signature set_membrane_anchored_sig =
    signature("set_membrane_anchored", exclusive, {{"cell_type", u16}, {"on", Kind::boolean}});
constexpr Signature set_cell_type_sig = signature("set_cell_type", exclusive, {{"cell_id", u32}, {"new_type", u16}});
constexpr Signature set_secretion_sig =
    signature("set_secretion", exclusive, {{"field_idx", usize}, {"cell_type", u16}, {"rate", f64}});
constexpr Signature set_cell_secretion_scale_sig =
    signature("set_cell_secretion_scale", exclusive, {{"field_idx", usize}, {"cell_id", u32}, {"scale", f64}});
constexpr Signature step_parallel_sig =
    signature("step_parallel", exclusive, {{"mcs", u64}, {"block", usize, true, 16}});
constexpr Signature advance_fields_sig = signature("advance_fields", exclusive, {{"n", u32}});
constexpr Signature set_chemotaxis_sig =
    signature("set_chemotaxis", exclusive, {{"field_idx", usize}, {"cell_type", u16}, {"lambda_val", f64}});
constexpr Signature set_chemotaxis_occupancy_sig =
    signature("set_chemotaxis_occupancy", exclusive,
              {{"field_idx", usize}, {"cell_type", u16}, {"lambda_val", f64}, {"kd", f64}, {"hill", f64}, {"scale", f64}});
constexpr Signature set_connectivity_sig =
    signature("set_connectivity", exclusive, {{"cell_type", u16}, {"on", Kind::boolean}});
constexpr Signature set_connectivity_medium_sig = signature("set_connectivity_medium", exclusive, {{"on", Kind::boolean}});
constexpr Signature set_field_dynamics_sig =
    signature("set_field_dynamics", exclusive, {{"field_idx", usize}, {"dt", f64}, {"substeps", u32}});
constexpr Signature field_add_source_at_sig =
    signature("field_add_source_at", exclusive,
              {{"field_idx", usize}, {"x", usize}, {"y", usize}, {"z", usize}, {"amount", f64}});
constexpr Signature set_length_constraint_sig =
    signature("set_length_constraint", exclusive, {{"cell_type", u16}, {"target_length", f64}, {"lambda", f64}});
constexpr Signature set_external_potential_sig =
    signature("set_external_potential", exclusive, {{"cell_type", u16}, {"fx", f64}, {"fy", f64}, {"fz", f64}});
constexpr Signature divide_cells_sig =
    signature("divide_cells", exclusive, {{"threshold", f64}, {"reset_target", f64}});
constexpr Signature remove_cells_sig = signature("remove_cells", exclusive, {{"ids", Kind::id_list}});
constexpr Signature cell_coms_sig = signature("cell_coms", shared, {});
constexpr Signature cell_types_sig = signature("cell_types", shared, {});
constexpr Signature cell_volumes_sig = signature("cell_volumes", shared, {});
constexpr Signature cell_surfaces_sig = signature("cell_surfaces", shared, {});
constexpr Signature cell_lengths_sig = signature("cell_lengths", shared, {});
constexpr Signature cell_length_sig = signature("cell_length", shared, {{"cell_id", u32}});
constexpr Signature cell_contact_area_by_type_sig = signature("cell_contact_area_by_type", shared, {{"cell_id", u32}});
constexpr Signature field_conc_sig = signature("field_conc", shared, {{"field_idx", usize}});
constexpr Signature field_value_at_sig =
    signature("field_value_at", shared, {{"field_idx", usize}, {"x", usize}, {"y", usize}, {"z", usize}});
constexpr Signature field_mean_at_cell_sig =
    signature("field_mean_at_cell", shared, {{"field_idx", usize}, {"cell_id", u32}});

constexpr Signature to_bytes_sig = signature("to_bytes", shared, {});
constexpr Signature from_bytes_sig = signature("from_bytes", shared, {{"data", Kind::buffer}});
constexpr Signature save_sig = signature("save", shared, {{"path", Kind::path}});
constexpr Signature load_sig = signature("load", shared, {{"path", Kind::path}});
constexpr Signature reduce_sig = signature("__reduce__", shared, {});
constexpr Signature copy_sig = signature("__copy__", shared, {});
constexpr Signature deepcopy_sig = signature("__deepcopy__", shared, {{"memo", Kind::object}});

template <const Signature& sig, Body body>
PyMethodDef method(const char* doc) {
    return {sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<sig, body>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

template <const Signature& sig, Body body>
PyMethodDef class_method(const char* doc) {
    return {sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(class_entry<sig, body>)),
            METH_FASTCALL | METH_KEYWORDS | METH_CLASS, doc};
}

PyMethodDef World_methods[] = {
    method<add_cell_sig, World_add_cell>(
        "add_cell($self, cell_type, target_volume, lambda_volume, target_surface, lambda_surface)\n--\n\n"),
    method<seed_block_sig, World_seed_block>("seed_block($self, cell_id, x0, y0, z0, x1, y1, z1)\n--\n\n"),
    method<seed_from_labels_sig, World_seed_from_labels>(
        "seed_from_labels($self, labels, types, default_type, target_volume, lambda_volume)\n--\n\n"),
    method<set_contact_sig, World_set_contact>("set_contact($self, type_a, type_b, j)\n--\n\n"),
    method<set_target_volume_sig, World_set_target_volume>("set_target_volume($self, cell_id, v)\n--\n\n"),
    method<snapshot_sig, World_snapshot>("snapshot($self)\n--\n\n"),
    method<dims_sig, World_dims>("dims($self)\n--\n\n"),
    method<n_cells_sig, World_n_cells>("n_cells($self)\n--\n\n"),
    method<finalize_sig, World_finalize>("finalize($self, seed)\n--\n\n"),
    method<step_sig, World_step>("step($self, mcs)\n--\n\n"),
    method<grow_sig, World_grow>("grow($self, cell_type, rate)\n--\n\n"),
    method<add_field_sig, World_add_field>("add_field($self, name, d, decay)\n--\n\n"),
    method<set_junction_sig, World_set_junction>("set_junction($self, cell_type, on)\n--\n\n"),
    method<set_junction_lambda_sig, World_set_junction_lambda>("set_junction_lambda($self, lambda)\n--\n\n"),
    method<set_membrane_sig, World_set_membrane>("set_membrane($self, anchors, k, band)\n--\n\n"),
    method<set_membrane_anchored_sig, World_set_membrane_anchored>("set_membrane_anchored($self, cell_type, on)\n--\n\n"),
    method<set_cell_type_sig, World_set_cell_type>("set_cell_type($self, cell_id, new_type)\n--\n\n"),
    method<set_secretion_sig, World_set_secretion>("set_secretion($self, field_idx, cell_type, rate)\n--\n\n"),
    method<set_cell_secretion_scale_sig, World_set_cell_secretion_scale>(
        "set_cell_secretion_scale($self, field_idx, cell_id, scale)\n--\n\n"),
    method<step_parallel_sig, World_step_parallel>(
        "step_parallel($self, mcs, block=16)\n--\n\n"
        "Parallel checkerboard sweep across CPU cores (opt-in; approximate but\n"
        "validated to track the sequential dynamics). `block` is the tile side\n"
        "(>=2). Set RAYON_NUM_THREADS to cap threads. Not for length-constraint models."),
    method<advance_fields_sig, World_advance_fields>("advance_fields($self, n)\n--\n\n"),
    method<set_chemotaxis_sig, World_set_chemotaxis>("set_chemotaxis($self, field_idx, cell_type, lambda_val)\n--\n\n"),
    method<set_chemotaxis_occupancy_sig, World_set_chemotaxis_occupancy>(
        "set_chemotaxis_occupancy($self, field_idx, cell_type, lambda_val, kd, hill, scale)\n--\n\n"),
    method<set_connectivity_sig, World_set_connectivity>("set_connectivity($self, cell_type, on)\n--\n\n"),
    method<set_connectivity_medium_sig, World_set_connectivity_medium>("set_connectivity_medium($self, on)\n--\n\n"),
    method<set_field_dynamics_sig, World_set_field_dynamics>(
        "set_field_dynamics($self, field_idx, dt, substeps)\n--\n\n"),
    method<field_add_source_at_sig, World_field_add_source_at>(
        "field_add_source_at($self, field_idx, x, y, z, amount)\n--\n\n"
        "Add `amount` to field `field_idx`'s concentration at site (x, y, z);\n"
        "out-of-range coordinates are clamped to the domain rather than panicking."),
    method<set_length_constraint_sig, World_set_length_constraint>(
        "set_length_constraint($self, cell_type, target_length, lambda)\n--\n\n"),
    method<set_external_potential_sig, World_set_external_potential>(
        "set_external_potential($self, cell_type, fx, fy, fz)\n--\n\n"),
    method<divide_cells_sig, World_divide_cells>("divide_cells($self, threshold, reset_target)\n--\n\n"),
    method<remove_cells_sig, World_remove_cells>("remove_cells($self, ids)\n--\n\n"),
    method<cell_coms_sig, World_cell_coms>("cell_coms($self)\n--\n\n"),
    method<cell_types_sig, World_cell_types>("cell_types($self)\n--\n\n"),
    method<cell_volumes_sig, World_cell_volumes>("cell_volumes($self)\n--\n\n"),
    method<cell_surfaces_sig, World_cell_surfaces>("cell_surfaces($self)\n--\n\n"),
    method<cell_lengths_sig, World_cell_lengths>("cell_lengths($self)\n--\n\n"),
    method<cell_length_sig, World_cell_length>("cell_length($self, cell_id)\n--\n\n"),
    method<cell_contact_area_by_type_sig, World_cell_contact_area_by_type>(
        "cell_contact_area_by_type($self, cell_id)\n--\n\n"
        "Per-cell contact-area-by-type: dict[cell_type -> contact-area] of how\n"
        "much of `cell_id`'s surface contacts each neighbor cell type (MEDIUM=0\n"
        "included). Contact area uses the configured (Moore) neighborhood, the\n"
        "same one `cell_surfaces()` uses -- not axis-faces only -- so the sum of\n"
        "values equals `cell_surfaces()[cell_id]`. Pure read."),
    method<field_conc_sig, World_field_conc>("field_conc($self, field_idx)\n--\n\n"),
    method<field_value_at_sig, World_field_value_at>(
        "field_value_at($self, field_idx, x, y, z)\n--\n\n"
        "Concentration of field `field_idx` at site (x, y, z); out-of-range\n"
        "coordinates are clamped to the domain rather than panicking."),
    method<field_mean_at_cell_sig, World_field_mean_at_cell>("field_mean_at_cell($self, field_idx, cell_id)\n--\n\n"),
    method<to_bytes_sig, World_to_bytes>(
        "to_bytes($self)\n--\n\n"
        "The complete state of the world, in either phase, as checkpoint bytes:\n"
        "World.from_bytes(w.to_bytes()) continues exactly as w would."),
    class_method<from_bytes_sig, World_from_bytes>(
        "from_bytes($type, data)\n--\n\n"
        "A World restored from checkpoint bytes (any bytes-like object); ValueError\n"
        "when they are not a checkpoint, damaged, or from a newer tessaly."),
    method<save_sig, World_save>(
        "save($self, path)\n--\n\n"
        "Write the world's checkpoint to `path` (str or os.PathLike) through a\n"
        "temporary file renamed over it: a crash leaves the old file or the new one."),
    class_method<load_sig, World_load>(
        "load($type, path)\n--\n\n"
        "A World restored from a checkpoint file written by save(); reads only\n"
        "that format and runs no code from the file."),
    method<reduce_sig, World_reduce>("__reduce__($self)\n--\n\nPickle support: the checkpoint bytes."),
    method<copy_sig, World_copy>("__copy__($self)\n--\n\nAn independent copy of the world (nothing is shared)."),
    method<deepcopy_sig, World_copy>("__deepcopy__($self, memo)\n--\n\nAn independent copy of the world."),
    {nullptr, nullptr, 0, nullptr},
};

// ---- type slots and spec ----

constexpr Signature constructor_sig =
    signature("World", exclusive,
              {{"dims", Kind::dims}, {"boundary", Kind::str}, {"neighbor_order", Kind::u8}, {"temperature", f64}},
              false);

// Builds the engine world first; the object is allocated only once that
// has succeeded, so no half-made World ever reaches Python.
PyObject* World_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    try {
        // lay the call out as a vectorcall: positionals, then keyword values, their names in a tuple
        std::vector<PyObject*> stack;
        const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        for (Py_ssize_t i = 0; i < nargs; ++i) stack.push_back(PyTuple_GET_ITEM(args, i));
        Ref kwnames;
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
            kwnames = checked(PyTuple_New(PyDict_GET_SIZE(kwargs)));
            Py_ssize_t position = 0, k = 0;
            PyObject *key = nullptr, *value = nullptr;
            while (PyDict_Next(kwargs, &position, &key, &value)) {
                PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
                stack.push_back(value);
            }
        }
        Slots slots{};
        match(constructor_sig, stack.data(), nargs, kwnames.get(), slots);
        Args a;
        convert_arguments(constructor_sig, slots, a);

        const Dims& dims = a.dims(0);
        bool periodic = false;
        if (a.str(1) == "periodic") {
            periodic = true;
        } else if (a.str(1) != "noflux") {
            PyErr_Format(PyExc_ValueError, "bad boundary %U", slots[1]);
            throw PythonError{};
        }
        // a box one site thick in z gets a planar neighbourhood
        tessaly::Neighborhood neighborhood(dims[2] >= 2 ? 1U : 0U, a.u8(2));
        tessaly::Lattice lattice(dims, {periodic, periodic, periodic}, std::move(neighborhood));
        tessaly::World world(std::move(lattice), a.f64(3));

        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) throw PythonError{};
        WorldSlots* s = new (&reinterpret_cast<WorldObject*>(self)->slots) WorldSlots{};
        s->setup_world.emplace(std::move(world));
        s->dims = dims;
        return self;
    } catch (...) {
        set_python_error(static_cast<tessaly_state*>(PyType_GetModuleState(type))->internal_error);
        return nullptr;
    }
}

void World_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    slots_of(self).~WorldSlots();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot World_slots[] = {
    {Py_tp_doc, const_cast<char*>("World(dims, boundary, neighbor_order, temperature)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(World_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(World_dealloc)},
    {Py_tp_methods, World_methods},
    {0, nullptr},
};

// Not subclassable (no BASETYPE), no instance dict, no weak references.
// The dotted spec name gives the class its __module__; tessaly_exec then
// shortens tp_name to the bare "World".
PyType_Spec World_spec = {
    "tessaly.World",
    static_cast<int>(sizeof(WorldObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    World_slots,
};

// ---- exec function ----

int tessaly_exec(PyObject* module) {
    auto* state = static_cast<tessaly_state*>(PyModule_GetState(module));
    // BaseException, not Exception: a failed engine check means a broken
    // invariant or a misuse, and a plain `except Exception` must not hide it
    state->internal_error = PyErr_NewExceptionWithDoc(
        "tessaly.InternalError", "A check inside the simulation engine failed; the call was aborted.",
        PyExc_BaseException, nullptr);
    if (state->internal_error == nullptr) return -1;
    state->world_type = PyType_FromModuleAndSpec(module, &World_spec, nullptr);
    if (state->world_type == nullptr) return -1;
    // as assigning __name__ would: tp_name points at the UTF-8 of the heap type's name
    auto* heap_type = reinterpret_cast<PyHeapTypeObject*>(state->world_type);
    const char* bare_name = PyUnicode_AsUTF8(heap_type->ht_name);
    if (bare_name == nullptr) return -1;
    heap_type->ht_type.tp_name = bare_name;
    return PyModule_AddObjectRef(module, "World", state->world_type);
}

int tessaly_traverse(PyObject* module, visitproc visit, void* arg) {
    auto* state = static_cast<tessaly_state*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_VISIT(state->world_type);
    Py_VISIT(state->internal_error);
    return 0;
}

int tessaly_clear(PyObject* module) {
    auto* state = static_cast<tessaly_state*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_CLEAR(state->world_type);
    Py_CLEAR(state->internal_error);
    return 0;
}

void tessaly_free(void* module) { tessaly_clear(static_cast<PyObject*>(module)); }

// ---- module definition ----

// Single-phase initialisation: no slots; PyInit_tessaly runs tessaly_exec.
// The state size is not -1 so that a repeated import calls PyInit_tessaly
// again rather than copying the module's dict.
PyModuleDef tessaly_module = {
    PyModuleDef_HEAD_INIT,
    "tessaly",
    "Cellular Potts Model simulator.",
    static_cast<Py_ssize_t>(sizeof(tessaly_state)),
    nullptr,
    nullptr,
    tessaly_traverse,
    tessaly_clear,
    tessaly_free,
};

}  // namespace

// ---- PyInit_tessaly ----

PyMODINIT_FUNC PyInit_tessaly(void) {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (tessaly_module_object != nullptr) {
        if (interpreter == tessaly_interpreter) return Py_NewRef(tessaly_module_object);
        PyErr_SetString(PyExc_ImportError,
                        "tessaly is already loaded in another interpreter of this process; "
                        "it supports one interpreter per process");
        return nullptr;
    }
    PyObject* module = PyModule_Create(&tessaly_module);
    if (module == nullptr) return nullptr;
    if (tessaly_exec(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    tessaly_module_object = Py_NewRef(module);
    tessaly_interpreter = interpreter;
    return module;
}

// The Python extension module `tessaly`: one class, World, over the engine.
// This header holds the machinery every method file shares; the methods live
// in one file per group, the class and the module in module.cpp.
//
// Each method is declared once, as one `Method` (see "adding a method"): its
// name, how it treats the object, its parameters (names, kinds, defaults),
// its documentation and its body. The body's own parameters give the
// argument types; from the declaration follow the argument parser, the text
// signature and the method table. Every call runs the same frame: match the
// call's arguments to the parameters, borrow the receiver, convert the
// arguments in parameter order, then run the body, which checks the phase,
// forwards to the engine and builds the result.
//
// Failures: the engine's EngineError becomes the module's InternalError,
// std::bad_alloc becomes MemoryError, any other C++ exception RuntimeError.
//
// ---- adding a method ----
//
// One declaration in the file of its group, in the anonymous namespace, and
// its address at the end of that file's array of methods, which gives the
// order of World's method table (then its stub in tessaly.pyi and its place
// in docs/guide.md). The groups, in table order: setup.cpp (set-up; also the
// constructor), running.cpp (finalize, step), configuration.cpp, motility.cpp
// (motility, chosen divisions, frozen cells), state.cpp (cells with state:
// attributes), observables.cpp, checkpoints.cpp
// (checkpoints, copy, pickle). views.cpp holds the buffer exporter and
// site_view and field_view, which the set-up and observables arrays list in
// their places. A new group is one more file: its span below, its place in
// World_declared (module.cpp) and its line in CMakeLists.txt.
//
//     const Method World_set_cell_params{
//         "set_cell_params", exclusive,
//         params(arg("cell_id"), kw_only("target_volume") = None, kw_only("lambda_volume") = None),
//         "Optional text after the signature.",
//         [](PyObject* self, CellId cell_id, std::optional<double> target_volume,
//            std::optional<double> lambda_volume) {
//             tessaly::World& w = current(self);
//             if (target_volume) tessaly::set_target_volume(w, cell_id, *target_volume);
//         }};
//
// gives `set_cell_params($self, cell_id, *, target_volume=None, lambda_volume=None)`.
// - Role: `shared` (reads the world), `exclusive` (changes it), or
//   `class_method`, whose body takes `PyTypeObject* type` instead of self
//   and returns `new_world_object(type, std::move(contents))` (see from_bytes).
// - Parameters: `arg(name)` positional or keyword, `kw_only(name)` keyword
//   only; a default by `= 16`, `= 1.5`, `= true` or `= None`. The body takes
//   one C++ parameter per declared one, in order, and its type picks the
//   conversion (from_python): bool, double, std::string, Dims, TypeMap,
//   unsigned integers (CellType, CellId and std::uint8_t are range-checked;
//   std::uint64_t, std::size_t), std::vector<std::size_t>,
//   std::vector<CellId>, std::optional<T> (None: empty), Path (str, bytes or
//   os.PathLike), Buffer (a bytes-like object: take a BufferView of it), and
//   PyObject*: any object, borrowed for the call, for the body to convert.
//   A text default (`= "major"`) fits std::string, and a PyObject* body,
//   which then receives NULL for an omitted argument and applies the
//   declared text itself.
//   A conversion's TypeError names the argument by itself.
// - Phase: `current(self)`, `setup_only(self, "MESSAGE")`, `running_only(self)`.
// - Result: a body returning nothing returns None; one returning PyObject*
//   returns a new reference (or NULL with an exception set). Raise with
//   `raise_error(PyExc_ValueError, "name: what was expected")`, or set any
//   Python exception and `throw PythonError{}`.
// - A new C++ parameter type: one branch in from_python (and in
//   default_value, if it takes a default).
// - Helpers one file alone uses stay in that file, in its anonymous namespace;
//   those several files share live here (lists of read-outs: lists.hpp).

#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "init.hpp"
#include "sweep.hpp"
#include "world.hpp"

namespace tessaly::binding {

using tessaly::CellId;
using tessaly::CellType;

// ---- module state ----

struct tessaly_state {
    PyObject* world_type;      // the class World
    PyObject* internal_error;  // engine failures; derives from BaseException, not a module attribute
    PyObject* buffer_type;     // exporter behind site_view and field_view; not a module attribute
    PyObject* sbml_code;       // the SBML translator's code, compiled by the exec function
    PyObject* sbml_translator; // its sbml_equations, from the first call on
};

using Dims = std::array<std::size_t, 3>;

// Everything a Python World keeps beside the object header.
struct WorldSlots {
    std::optional<tessaly::World> setup_world;  // present until finalize succeeds
    std::optional<tessaly::Cpm> cpm;            // present from finalize on; owns the world
    Dims dims{};                                // as passed to the constructor
    int borrows = 0;                            // > 0: shared borrows held, −1: borrowed exclusively
    std::uint8_t neighbor_order = 0;            // as passed to the constructor
    std::vector<bool> warned_unnamed;           // by type: set_cell_type warned that no energy setting names it
};

struct WorldObject {
    PyObject_HEAD
    WorldSlots slots;  // constructed in new_world_object, destroyed in World_dealloc
};

inline WorldSlots& slots_of(PyObject* self) { return reinterpret_cast<WorldObject*>(self)->slots; }

// ---- helpers ----

// A Python exception is already set; unwinds to the method's edge, which
// returns NULL.
struct PythonError {};

[[noreturn]] void raise_error(PyObject* type, const char* message);

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
inline Ref checked(PyObject* object) {
    if (object == nullptr) throw PythonError{};
    return Ref(object);
}

inline PyObject* none() { return Py_NewRef(Py_None); }

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

// ---- parameters ----

// The value of `= None` in a parameter list.
struct NoneDefault {};
inline constexpr NoneDefault None{};

// One parameter: its Python name, whether it is passed only by keyword, and
// its default. `arg("block") = 16` or `kw_only("volume") = None` gives the
// parameter with that default; without one it is required.
struct Param {
    enum class Default : unsigned char { required, none, integer, real, boolean, text };

    const char* name;
    bool keyword_only = false;
    Default fallback = Default::required;
    long long integer = 0;  // the default when fallback is integer
    double real = 0.0;      // when it is real
    bool boolean = false;   // when it is boolean
    const char* text = "";  // when it is text

    template <typename V>
    Param operator=(V value) const {
        Param p = *this;
        if constexpr (std::is_same_v<V, NoneDefault>) {
            p.fallback = Default::none;
        } else if constexpr (std::is_same_v<V, bool>) {
            p.fallback = Default::boolean;
            p.boolean = value;
        } else if constexpr (std::is_integral_v<V>) {
            p.fallback = Default::integer;
            p.integer = static_cast<long long>(value);
        } else if constexpr (std::is_same_v<V, const char*>) {
            p.fallback = Default::text;
            p.text = value;
        } else {
            static_assert(std::is_floating_point_v<V>, "a default is None, a bool, an integer, a float or a text");
            p.fallback = Default::real;
            p.real = static_cast<double>(value);
        }
        return p;
    }
};

// A parameter passed by position or keyword.
inline Param arg(const char* name) { return Param{name}; }

// A parameter passed only by keyword (after a `*` in the signature).
inline Param kw_only(const char* name) {
    Param p{name};
    p.keyword_only = true;
    return p;
}

// The parameters of a method, in order; one per parameter of its body after the receiver.
template <std::same_as<Param>... P>
std::array<Param, sizeof...(P)> params(P... p) {
    return {p...};
}

// ---- argument conversion ----

[[noreturn]] void raise_not_convertible(PyObject* object, const char* target);

// An integer of a width below 64 bits: anything with __index__; values
// outside [0, max] raise OverflowError, values beyond the signed 64-bit
// range the interpreter's own overflow message.
std::uint64_t to_narrow(PyObject* object, std::uint64_t max);

// A 64-bit unsigned integer, with the interpreter's messages.
std::uint64_t to_u64(PyObject* object);

double to_f64(PyObject* object);

// A bool, or a NumPy boolean scalar (its truth value); an int is refused.
bool to_bool(PyObject* object);

// Any str; lone surrogates pass through, so that no str fails to convert.
std::string to_str(PyObject* object);

Dims to_dims(PyObject* object);

using TypeMap = std::unordered_map<std::uint32_t, CellType>;

struct HeldBuffer;

// Labels as a list of u32, or (when `buffer` is set) an integer array read in
// place or, in the other byte order, from the buffer's `swapped` copy.
struct Labels {
    std::vector<std::uint32_t> list;
    std::shared_ptr<HeldBuffer> buffer;
    tessaly::LabelArray array{};
};

// A file-system path (str, bytes or os.PathLike), encoded as the interpreter encodes file names.
struct Path {
    std::string bytes;
};

// A bytes-like object, borrowed for the call; the body takes a BufferView of it.
struct Buffer {
    PyObject* object;
};

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

// A file-system path from a str, bytes or os.PathLike, encoded as the
// interpreter encodes file names.
std::string to_path(PyObject* object);

template <typename T>
struct is_optional : std::false_type {};
template <typename T>
struct is_optional<std::optional<T>> : std::true_type {};

template <typename T>
T from_python(PyObject* object);

// Any sequence except a str, each item converted as a T.
template <typename T>
std::vector<T> to_vector(PyObject* object) {
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
        items.push_back(from_python<T>(item.get()));
    }
    if (PyErr_Occurred()) throw PythonError{};
    return items;
}

// A dict of u32 keys to u16 values. The items are taken first, so that a
// conversion calling back into Python cannot pull an entry from under us.
TypeMap to_type_map(PyObject* object);

// Labels: an object with the buffer protocol holding integers of 1, 2, 4 or
// 8 bytes (one axis or more, any shape and strides), read in place when in
// native byte order, else from a byte-swapped copy in C order; anything else
// as a sequence of u32. A 0-d array is one number: TypeError.
Labels to_labels(PyObject* object);

// The argument as the body's parameter type T asks for it. Unsigned
// integers below 64 bits refuse values beyond their width; PyObject* is the
// object itself, borrowed for the call; std::optional<T> is empty for None.
template <typename T>
T from_python(PyObject* object) {
    if constexpr (std::is_same_v<T, bool>) {
        return to_bool(object);
    } else if constexpr (std::is_integral_v<T> && std::is_unsigned_v<T> && sizeof(T) == sizeof(std::uint64_t)) {
        return static_cast<T>(to_u64(object));
    } else if constexpr (std::is_integral_v<T> && std::is_unsigned_v<T>) {
        return static_cast<T>(to_narrow(object, std::numeric_limits<T>::max()));
    } else if constexpr (std::is_same_v<T, double>) {
        return to_f64(object);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return to_str(object);
    } else if constexpr (std::is_same_v<T, Dims>) {
        return to_dims(object);
    } else if constexpr (std::is_same_v<T, std::vector<std::size_t>> || std::is_same_v<T, std::vector<std::uint32_t>>) {
        return to_vector<typename T::value_type>(object);
    } else if constexpr (std::is_same_v<T, TypeMap>) {
        return to_type_map(object);
    } else if constexpr (std::is_same_v<T, Labels>) {
        return to_labels(object);
    } else if constexpr (std::is_same_v<T, Path>) {
        return Path{to_path(object)};
    } else if constexpr (std::is_same_v<T, Buffer>) {
        if (!PyObject_CheckBuffer(object)) raise_not_convertible(object, "Buffer");
        return Buffer{object};
    } else if constexpr (std::is_same_v<T, PyObject*>) {
        return object;
    } else if constexpr (is_optional<T>::value) {
        if (object == Py_None) return T{};
        return T{from_python<typename T::value_type>(object)};
    } else {
        static_assert(!sizeof(T), "no conversion from Python for this parameter type");
    }
}

// A parameter's default as a T, or nothing when it has none or it does not fit T.
template <typename T>
std::optional<T> default_value(const Param& p) {
    using Default = Param::Default;
    if constexpr (is_optional<T>::value) {
        if (p.fallback == Default::none) return std::optional<T>(std::in_place);
        std::optional<typename T::value_type> inner = default_value<typename T::value_type>(p);
        if (inner) return std::optional<T>(std::in_place, std::move(*inner));
    } else if constexpr (std::is_same_v<T, PyObject*>) {
        if (p.fallback == Default::none) return Py_None;  // immortal: no reference to hold
        if (p.fallback == Default::text) return static_cast<PyObject*>(nullptr);  // the body applies the text
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (p.fallback == Default::text) return std::string(p.text);
    } else if constexpr (std::is_same_v<T, bool>) {
        if (p.fallback == Default::boolean) return p.boolean;
    } else if constexpr (std::is_integral_v<T>) {
        if (p.fallback == Default::integer && std::in_range<T>(p.integer)) return static_cast<T>(p.integer);
    } else if constexpr (std::is_same_v<T, double>) {
        if (p.fallback == Default::real) return p.real;
        if (p.fallback == Default::integer) return static_cast<double>(p.integer);
    }
    return std::nullopt;
}

// Replaces the pending TypeError by a new one naming the argument, with the
// first error as its cause.
void name_type_error(const char* name);

// Adds a note to the pending OverflowError naming the argument and its
// range; the message stays as it is.
void note_range(const char* name, unsigned long long max);

// One argument for the body: the default when it was omitted, else the
// object converted; a TypeError names the parameter.
template <typename T>
T argument(const Param& param, PyObject* object) {
    if (object == nullptr) return *default_value<T>(param);  // every default was checked at import
    try {
        return from_python<T>(object);
    } catch (const PythonError&) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) name_type_error(param.name);
        if constexpr (std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
            if (PyErr_ExceptionMatches(PyExc_OverflowError)) note_range(param.name, std::numeric_limits<T>::max());
        throw;
    }
}

// ---- batches of cells: one id or many ----

// Whether an argument holds many values: a sequence or an array of one axis
// or more. A str, a number or a 0-d array is one value, converted as before.
bool is_batch(PyObject* object);

// Runs `convert`; a TypeError it raises names the argument, as argument() does.
template <typename Convert>
auto named(const char* name, Convert convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const PythonError&) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) name_type_error(name);
        throw;
    }
}

// The ids of a batch: an integer array read in place, as labels are, or any
// sequence of u32 (not a str); a TypeError names the argument.
std::vector<CellId> to_ids(const char* name, PyObject* object);

// The floats of a batch: a 1-D float64 array read in place, anything else item by item.
std::vector<double> to_reals(PyObject* object);

// One value per id for a batch of n: a scalar, as the one-id form converts
// it, for every id, or a sequence or array of exactly n values (else
// ValueError naming the argument).
template <typename T>
std::vector<T> per_id(const char* name, PyObject* object, std::size_t n) {
    if (!is_batch(object)) return std::vector<T>(n, argument<T>(Param{name}, object));
    std::vector<T> values = named(name, [&] {
        if constexpr (std::is_same_v<T, double>)
            return to_reals(object);
        else
            return to_vector<T>(object);
    });
    if (values.size() != n) {
        PyErr_Format(PyExc_ValueError, "%s: expected %zu values, one per id, got %zu", name, n, values.size());
        throw PythonError{};
    }
    return values;
}

// Sets the Python exception for the C++ exception being handled.
void set_python_error(PyObject* internal_error) noexcept;

// ---- declaring a method ----

// How a method receives its object: an instance method borrowing the World
// shared (reads) or exclusively (changes), a class method, or the
// constructor (not in the method table; its signature is the class's).
enum class Role : unsigned char { shared, exclusive, class_method, constructor };

template <Role R>
struct RoleTag {};
inline constexpr RoleTag<Role::shared> shared{};
inline constexpr RoleTag<Role::exclusive> exclusive{};
inline constexpr RoleTag<Role::class_method> class_method{};
inline constexpr RoleTag<Role::constructor> constructor{};

// The parameter list of a body, a lambda without captures: the receiver
// (PyObject* self for an instance method, PyTypeObject* type otherwise),
// then one parameter per declared Python parameter.
template <typename F>
struct BodyTraits;
template <typename C, typename R, typename Receiver, typename... Ts>
struct BodyTraits<R (C::*)(Receiver, Ts...) const> {
    using result = R;
    using receiver = Receiver;
    using values = std::tuple<std::remove_cvref_t<Ts>...>;
    static constexpr std::size_t arity = sizeof...(Ts);
};
template <typename C, typename R, typename Receiver, typename... Ts>
struct BodyTraits<R (C::*)(Receiver, Ts...) const noexcept> : BodyTraits<R (C::*)(Receiver, Ts...) const> {};

using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

// The declaration of one method. Instance and class methods enter World's
// method table through their file's array of methods (see the method groups).
struct Method {
    const char* name;
    Role role;
    std::vector<Param> parameters;
    const char* doc;          // the text after the signature; "" for none
    Entry entry;              // the METH_FASTCALL | METH_KEYWORDS entry point
    const char* flaw = "";    // what is wrong with the declaration, reported at import; "" when sound

    template <Role R, std::size_t N, typename Body>
    Method(const char* method_name, RoleTag<R>, const std::array<Param, N>& declared, const char* text, Body)
        : name(method_name), role(R), parameters(declared.begin(), declared.end()), doc(text) {
        using Traits = BodyTraits<decltype(&Body::operator())>;
        constexpr bool instance = R == Role::shared || R == Role::exclusive;
        static_assert(std::is_same_v<typename Traits::receiver, std::conditional_t<instance, PyObject*, PyTypeObject*>>,
                      "an instance method's body takes PyObject* self first, any other PyTypeObject* type");
        static_assert(Traits::arity == N, "one declared parameter per body parameter after the receiver");
        static_assert(std::is_void_v<typename Traits::result> || std::is_same_v<typename Traits::result, PyObject*>,
                      "a body returns nothing (None) or a new reference");
        entry = method_entry<R, Body>;
        body_of<Body> = this;
        check<typename Traits::values>(std::make_index_sequence<N>{});
        if constexpr (R != Role::constructor) ++instances;
    }

    template <Role R, std::size_t N, typename Body>
    Method(const char* method_name, RoleTag<R> role_tag, const std::array<Param, N>& declared, Body body)
        : Method(method_name, role_tag, declared, "", body) {}

    Method(const Method&) = delete;
    Method& operator=(const Method&) = delete;

    // The declaration a body belongs to; set when the declaration is made.
    template <typename Body>
    static inline const Method* body_of = nullptr;

    // Instance and class methods declared: the import refuses a table that
    // does not hold each of them exactly once.
    static inline std::size_t instances = 0;

private:
    template <typename Values, std::size_t... I>
    void check(std::index_sequence<I...>) {
        bool keyword_only = false, defaulted = false;
        for (const Param& p : parameters) {
            if (keyword_only && !p.keyword_only) flaw = "a positional parameter follows a keyword-only one";
            if (!p.keyword_only && defaulted && p.fallback == Param::Default::required)
                flaw = "a required positional parameter follows one with a default";
            keyword_only = keyword_only || p.keyword_only;
            defaulted = defaulted || (!p.keyword_only && p.fallback != Param::Default::required);
        }
        const bool fits[] = {true, (parameters[I].fallback == Param::Default::required ||
                                    default_value<std::tuple_element_t<I, Values>>(parameters[I]).has_value())...};
        if (std::find(std::begin(fits), std::end(fits), false) != std::end(fits))
            flaw = "a default does not fit its parameter";
    }

    template <Role R, typename Body>
    static PyObject* method_entry(PyObject* receiver, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept;
};

// ---- matching and calling ----

// Sorts positional and keyword arguments into slots (NULL: omitted);
// refuses unexpected or duplicated keywords, then surplus positionals, then
// missing arguments, worded as the interpreter words them for a function of
// that signature.
void match(const Method& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// Converts every argument in parameter order (the first failure raises),
// then runs the body.
template <typename Body, typename Receiver, std::size_t... I>
PyObject* call(const Method& m, Receiver receiver, PyObject* const* slots, std::index_sequence<I...>) {
    using Traits = BodyTraits<decltype(&Body::operator())>;
    using Values = typename Traits::values;
    // a braced list runs its initialisers in order
    Values values{argument<std::tuple_element_t<I, Values>>(m.parameters[I], slots[I])...};
    if constexpr (std::is_void_v<typename Traits::result>) {
        Body{}(receiver, std::get<I>(std::move(values))...);
        return none();
    } else {
        return Body{}(receiver, std::get<I>(std::move(values))...);
    }
}

// The entry point of one method: match, borrow, convert, run the body; the
// one try/catch at the edge turns every C++ failure into a Python exception.
template <Role R, typename Body>
PyObject* Method::method_entry(PyObject* receiver, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    constexpr bool instance = R == Role::shared || R == Role::exclusive;
    PyTypeObject* type = instance ? Py_TYPE(receiver) : reinterpret_cast<PyTypeObject*>(receiver);
    try {
        using Traits = BodyTraits<decltype(&Body::operator())>;
        const Method& m = *body_of<Body>;
        std::array<PyObject*, Traits::arity> slots{};
        match(m, args, nargs, kwnames, slots.data());
        constexpr auto order = std::make_index_sequence<Traits::arity>{};
        if constexpr (instance) {
            Borrow borrow(slots_of(receiver), R == Role::shared ? Access::shared : Access::exclusive);
            return call<Body>(m, receiver, slots.data(), order);
        } else {
            return call<Body>(m, type, slots.data(), order);
        }
    } catch (...) {
        set_python_error(static_cast<tessaly_state*>(PyType_GetModuleState(type))->internal_error);
        return nullptr;
    }
}

// ---- phase and world access ----

// The world a method acts on: the driver's once finalized, else the set-up world.
tessaly::World& current(PyObject* self);

tessaly::World& setup_only(PyObject* self, const char* message);

tessaly::Cpm& running_only(PyObject* self);

// Returns a new reference to a World object of `type` that takes over
// `contents`, or throws.
PyObject* new_world_object(PyTypeObject* type, WorldSlots contents);

// Polled by the sweeps between Monte Carlo steps and by the field advance
// between diffusion substeps: a pending signal whose handler raised (Ctrl-C)
// stops the run with that exception set.
bool poll_signals();

[[noreturn]] void raise_interrupted();

// ---- views (views.cpp) ----

// The exporter behind the views; its type is made by the exec function.
extern PyType_Spec WorldBuffer_spec;

// Returns a new reference to a memoryview of the site ids (field −1), the
// activities (−2) or one field of the World `self`.
PyObject* make_view(PyObject* self, Py_ssize_t field);

// ---- the cell table (observables.cpp) ----

// Returns a new reference to cell_table()'s dict of columns for a world:
// its own columns, then the attributes.
PyObject* cell_table_of(const tessaly::World& w);

// ---- module functions (sbml.cpp) ----

// Compiles the SBML translator and adds sbml_equations to the module; -1
// with an exception set on failure.
int sbml_exec(PyObject* module);

// Returns a borrowed reference to the translator's sbml_equations (running
// its code on the first call), or NULL with an exception set.
PyObject* sbml_translator(PyObject* module);

// ---- method groups ----

// Each file's methods in table order; module.cpp joins the groups in this order.
extern const std::span<const Method* const> setup_methods;          // setup.cpp
extern const std::span<const Method* const> running_methods;        // running.cpp
extern const std::span<const Method* const> configuration_methods;  // configuration.cpp
extern const std::span<const Method* const> motility_methods;       // motility.cpp
extern const std::span<const Method* const> state_methods;          // state.cpp
extern const std::span<const Method* const> observables_methods;    // observables.cpp
extern const std::span<const Method* const> checkpoints_methods;    // checkpoints.cpp

// The constructor (setup.cpp), and the views the set-up and observables
// arrays list in their places (views.cpp).
extern const Method World_init;
extern const Method World_site_view;
extern const Method World_field_view;

}  // namespace tessaly::binding

// The class World and the module tessaly: the method table (the groups'
// methods joined in a fixed order), type slots and spec, exec function,
// module definition and PyInit_tessaly.

#include "declare.hpp"  // first: it includes Python.h

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "world.hpp"

namespace tessaly::binding {

namespace {

// ---- module state ----

// The module is created once per process and belongs to the interpreter
// that created it: a repeated initialisation there returns the same object,
// any other interpreter is refused.
PyObject* tessaly_module_object = nullptr;
std::int64_t tessaly_interpreter = -1;

// ---- method table ----

// The text of `= default` in a signature.
std::string default_text(const Param& p) {
    switch (p.fallback) {
    case Param::Default::required:
        return "";
    case Param::Default::none:
        return "=None";
    case Param::Default::integer:
        return std::string("=").append(std::to_string(p.integer));
    case Param::Default::boolean:
        return p.boolean ? "=True" : "=False";
    case Param::Default::text:
        return std::string("='").append(p.text).append("'");
    case Param::Default::real: {
        char* text = PyOS_double_to_string(p.real, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (text == nullptr) throw PythonError{};
        std::string result = std::string("=").append(text);
        PyMem_Free(text);
        return result;
    }
    }
    throw std::logic_error("unknown kind of default");
}

// The docstring: the text signature in the `NAME($self, ARGS)\n--\n\n` form
// that gives Python the method's signature, then the documentation.
std::string docstring(const Method& m) {
    std::string text = std::string(m.name) + "(";
    const char* separator = "";
    auto add = [&](const std::string& part) {
        text += separator + part;
        separator = ", ";
    };
    if (m.role == Role::shared || m.role == Role::exclusive) add("$self");
    if (m.role == Role::class_method) add("$type");
    bool starred = false;
    for (const Param& p : m.parameters) {
        if (p.keyword_only && !starred) add("*");
        starred = starred || p.keyword_only;
        add(p.name + default_text(p));
    }
    return text + ")\n--\n\n" + m.doc;
}

// The instance and class methods of World in table order: the method
// groups joined in this order.
std::vector<const Method*>& World_declared() {
    static std::vector<const Method*> methods = [] {
        std::vector<const Method*> joined;
        for (const std::span<const Method* const> group :
             {setup_methods, running_methods, configuration_methods, motility_methods, state_methods,
              observables_methods, checkpoints_methods})
            joined.insert(joined.end(), group.begin(), group.end());
        return joined;
    }();
    return methods;
}

// World's method table and docstrings, built from the declarations when the
// module is first initialised, then kept for the life of the process.
struct MethodTable {
    std::vector<std::string> docs;
    std::vector<PyMethodDef> methods;  // ends with the sentinel
    std::string class_doc;
};

// Sets a SystemError when the table misses a declared method or names one
// twice, or naming the first declaration that is not sound.
bool declarations_sound() {
    if (World_declared().size() != Method::instances) {
        PyErr_SetString(PyExc_SystemError, "tessaly: a declared method is in no method array, or in two");
        return false;
    }
    for (const Method* m : World_declared())
        if (*m->flaw != '\0') {
            PyErr_Format(PyExc_SystemError, "tessaly: World.%s: %s", m->name, m->flaw);
            return false;
        }
    if (*World_init.flaw != '\0') {
        PyErr_Format(PyExc_SystemError, "tessaly: World(): %s", World_init.flaw);
        return false;
    }
    return true;
}

const MethodTable& World_table() {
    static const MethodTable table = [] {
        MethodTable t;
        for (const Method* m : World_declared()) t.docs.push_back(docstring(*m));
        for (std::size_t i = 0; i < World_declared().size(); ++i) {
            const Method& m = *World_declared()[i];
            const int flags = METH_FASTCALL | METH_KEYWORDS | (m.role == Role::class_method ? METH_CLASS : 0);
            t.methods.push_back({m.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m.entry)), flags,
                                 t.docs[i].c_str()});
        }
        t.methods.push_back({nullptr, nullptr, 0, nullptr});
        t.class_doc = docstring(World_init);
        return t;
    }();
    return table;
}

// ---- type slots and spec ----

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
        return World_init.entry(reinterpret_cast<PyObject*>(type), stack.data(), nargs, kwnames.get());
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

PyObject* World_repr(PyObject* self) noexcept {
    WorldSlots& s = slots_of(self);
    const tessaly::World& w = s.cpm ? s.cpm->world : *s.setup_world;
    Ref temperature(PyFloat_FromDouble(w.temperature));
    if (temperature.get() == nullptr) return nullptr;
    return PyUnicode_FromFormat(
        "<World dims=(%zu, %zu, %zu) boundary='%s' neighbor_order=%u temperature=%R phase='%s' cells=%zu fields=%zu>",
        s.dims[0], s.dims[1], s.dims[2], w.lattice.periodic[0] ? "periodic" : "noflux", unsigned{s.neighbor_order},
        temperature.get(), s.cpm ? "running" : "set-up", w.cells.size() - 1, w.fields.size());
}

PyType_Slot World_slots[] = {
    {Py_tp_doc, nullptr},      // the constructor's docstring, set by tessaly_exec
    {Py_tp_new, reinterpret_cast<void*>(World_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(World_dealloc)},
    {Py_tp_methods, nullptr},  // World_table().methods, set by tessaly_exec
    {Py_tp_repr, reinterpret_cast<void*>(World_repr)},
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
    try {
        // joining the groups allocates: inside the try, so a failure is a Python exception
        if (!declarations_sound()) return -1;
        const MethodTable& table = World_table();
        World_slots[0].pfunc = const_cast<char*>(table.class_doc.c_str());
        World_slots[3].pfunc = const_cast<PyMethodDef*>(table.methods.data());
    } catch (...) {
        set_python_error(state->internal_error);
        return -1;
    }
    state->world_type = PyType_FromModuleAndSpec(module, &World_spec, nullptr);
    if (state->world_type == nullptr) return -1;
    // as assigning __name__ would: tp_name points at the UTF-8 of the heap type's name
    auto* heap_type = reinterpret_cast<PyHeapTypeObject*>(state->world_type);
    const char* bare_name = PyUnicode_AsUTF8(heap_type->ht_name);
    if (bare_name == nullptr) return -1;
    heap_type->ht_type.tp_name = bare_name;
    state->buffer_type = PyType_FromModuleAndSpec(module, &WorldBuffer_spec, nullptr);
    if (state->buffer_type == nullptr) return -1;
    if (PyModule_AddStringConstant(module, "__version__", TESSALY_VERSION) < 0) return -1;
    if (sbml_exec(module) < 0) return -1;
    return PyModule_AddObjectRef(module, "World", state->world_type);
}

int tessaly_traverse(PyObject* module, visitproc visit, void* arg) {
    auto* state = static_cast<tessaly_state*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_VISIT(state->world_type);
    Py_VISIT(state->internal_error);
    Py_VISIT(state->buffer_type);
    Py_VISIT(state->sbml_code);
    Py_VISIT(state->sbml_translator);
    return 0;
}

int tessaly_clear(PyObject* module) {
    auto* state = static_cast<tessaly_state*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_CLEAR(state->world_type);
    Py_CLEAR(state->internal_error);
    Py_CLEAR(state->buffer_type);
    Py_CLEAR(state->sbml_code);
    Py_CLEAR(state->sbml_translator);
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

}  // namespace tessaly::binding

// ---- PyInit_tessaly ----

PyMODINIT_FUNC PyInit_tessaly(void) {
    using namespace tessaly::binding;
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

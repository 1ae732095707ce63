// tessaly.sbml_equations: the SBML translator, written in Python
// (binding/sbml.py) and embedded by the build as text (sbml_source.hpp). The
// exec function compiles it; the first call runs it into a namespace of its
// own and keeps its function, so that `import tessaly` imports neither the
// translator's modules nor libsbml.

#include "declare.hpp"
#include "sbml_source.hpp"

namespace tessaly::binding {

namespace {

// Returns a borrowed reference to the translator's sbml_equations, running
// its code on the first call; NULL with an exception set.
PyObject* translator(PyObject* module) {
    auto* state = static_cast<tessaly_state*>(PyModule_GetState(module));
    if (state->sbml_translator != nullptr) return state->sbml_translator;
    Ref globals(PyDict_New());
    Ref name(PyUnicode_FromString("tessaly._sbml"));
    if (globals.get() == nullptr || name.get() == nullptr ||
        PyDict_SetItemString(globals.get(), "__name__", name.get()) < 0 ||
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0)
        return nullptr;
    Ref ran(PyEval_EvalCode(state->sbml_code, globals.get(), globals.get()));
    if (ran.get() == nullptr) return nullptr;
    PyObject* function = PyDict_GetItemString(globals.get(), "sbml_equations");  // borrowed
    if (function == nullptr) {
        PyErr_SetString(PyExc_SystemError, "tessaly: the SBML translator defines no sbml_equations");
        return nullptr;
    }
    state->sbml_translator = Py_NewRef(function);
    return function;
}

PyObject* tessaly_sbml_equations(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
    PyObject* function = translator(module);
    if (function == nullptr) return nullptr;
    return PyObject_Vectorcall(function, args, static_cast<std::size_t>(nargs), kwnames);
}

PyMethodDef sbml_functions[] = {
    {"sbml_equations", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tessaly_sbml_equations)),
     METH_FASTCALL | METH_KEYWORDS,
     "sbml_equations(source)\n--\n\n"
     "Translate an SBML model into the input of World.add_cell_ode: a dict\n"
     "with 'equations' (the text, one NAME' = EXPR per line), 'params' (name\n"
     "to float: compartment sizes, parameters, reactions' local parameters as\n"
     "REACTION_PARAMETER) and 'initial' (attribute name to its value at the\n"
     "start). `source` is a path (str or os.PathLike) or SBML text starting\n"
     "with '<'. Species become attributes holding what their symbol means in\n"
     "the model: the concentration, or the amount for a species with only\n"
     "substance units. Assignment rules are substituted, function definitions\n"
     "inlined; an id that the expression language or cell_table uses gets a\n"
     "trailing underscore. Events, delays, algebraic rules, fast reactions,\n"
     "the time symbol and functions outside the language raise ValueError\n"
     "naming them. Needs python-libsbml (ModuleNotFoundError otherwise)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int sbml_exec(PyObject* module) {
    auto* state = static_cast<tessaly_state*>(PyModule_GetState(module));
    state->sbml_code = Py_CompileString(sbml_source, "<tessaly sbml translator>", Py_file_input);
    if (state->sbml_code == nullptr) return -1;
    return PyModule_AddFunctions(module, sbml_functions);
}

PyObject* sbml_translator(PyObject* module) { return translator(module); }

}  // namespace tessaly::binding

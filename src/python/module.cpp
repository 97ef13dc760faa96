// The module entry point: creates the module once per process and registers its classes and
// functions in a fixed order, each name also appended to __all__.
#define QUARNEL_NUMPY_API_OWNER
#include "python/numpy_api.hpp"

#include "core/instruction_sets.hpp"
#include "python/errors.hpp"
#include "python/explorations.hpp"
#include "python/handle.hpp"
#include "python/sweeps.hpp"
#include "python/types.hpp"

namespace quarnel::python {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quarnel",
    "A Python module implemented natively in C++ for optimistic learning dynamics on zero-sum matrix games.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Either a class (created on first use) or a module function.
struct Entry {
    const char* name;
    PyTypeObject* (*make_class)();
    PyMethodDef* function;
};

const Entry kRegistration[] = {
    {"GameResult", class_of<GameResult>, nullptr},
    {"GameState", class_of<GameState>, nullptr},
    {"neighborhood_exploration", nullptr, &neighborhood_exploration_def},
    {"concentric_exploration", nullptr, &concentric_exploration_def},
    {"scattered_exploration", nullptr, &scattered_exploration_def},
    {"Experiment", class_of<ExperimentPayload>, nullptr},
    {"PyConcentricOutput", class_of<ConcentricPayload>, nullptr},
    {"PyScatteredOutput", class_of<ScatteredPayload>, nullptr},
    {"Ogda", class_of<Ogda>, nullptr},
    {"OmwuOftrl", class_of<OmwuOftrl>, nullptr},
    {"OmwuOomd", class_of<OmwuOomd>, nullptr},
    {"Optimizer", class_of<Optimizer>, nullptr},
};

// The module's __all__ list, created on the first addition. Borrowed; null with an error set.
PyObject* all_names(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* names = PyDict_GetItemString(dict, "__all__");
    if (names != nullptr) return names;
    Ref created = Ref::steal(PyList_New(0));
    if (!created || PyDict_SetItemString(dict, "__all__", created.get()) < 0) return nullptr;
    return created.get();  // the module dict keeps it alive
}

Ref entry_value(PyObject* module, const Entry& entry) {
    if (entry.make_class != nullptr) return Ref::borrow(reinterpret_cast<PyObject*>(entry.make_class()));
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return {};
    return Ref::steal(PyCFunction_NewEx(entry.function, module, module_name.get()));
}

bool add_entry(PyObject* module, const Entry& entry) {
    Ref value = entry_value(module, entry);
    if (!value) return false;
    PyObject* names = all_names(module);
    Ref name = Ref::steal(PyUnicode_FromString(entry.name));
    return names != nullptr && name && PyList_Append(names, name.get()) == 0 &&
           PyModule_AddObjectRef(module, entry.name, value.get()) == 0;
}

PyObject* create_module() {
    if (PyArray_ImportNumPyAPI() < 0 || !remember_main_thread()) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&module_definition));
    if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
    // Not yet checked for running without the interpreter lock: a free-threaded interpreter
    // turns the lock back on (with a warning) while the module is loaded.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return nullptr;
#endif
    for (const Entry& entry : kRegistration) {
        if (!add_entry(module.get(), entry)) return nullptr;
    }
    // The sweep layer's private entry points stay out of __all__.
    if (PyModule_AddFunctions(module.get(), sweep_functions) < 0) return nullptr;
    return module.release();
}

// Single-phase initialisation: one module object per process, in the main interpreter. Its
// classes are process-wide, so a subinterpreter that made them first would leave them tied to
// itself (and, once destroyed, dangling) for every interpreter after it.
PyObject* initialise() {
    static PyObject* module = nullptr;
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "quarnel does not support subinterpreters: import it in the main interpreter only");
        return nullptr;
    }
    // The kernels' build was chosen as the program loaded: a name that chose none fails here.
    if (const std::string& problem = instruction_set_problem(); !problem.empty()) {
        PyErr_SetString(PyExc_ImportError, problem.c_str());
        return nullptr;
    }
    if (module == nullptr) module = create_module();
    return Ref::borrow(module).release();
}

}  // namespace
}  // namespace quarnel::python

PyMODINIT_FUNC PyInit_quarnel() {
    return quarnel::python::guarded(quarnel::python::initialise);
}

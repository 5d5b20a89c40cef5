// The extension module zq4180: loading imports what the driver uses, builds
// the class, and runs the demonstration when started as a program.
#include <string_view>

#include "context/context.hpp"
#include "module/demonstration.hpp"
#include "module/driver_class.hpp"
#include "texts/texts.hpp"

namespace zq::module {
namespace {

Context& context_slot(PyObject* module) { return *static_cast<Context*>(PyModule_GetState(module)); }

int exec_module(PyObject* module) {
    Context& context = context_slot(module);
    if (!context_init(context, module)) return -1;

    // The methods find these names in the module's namespace when they run,
    // so a test or a script may replace them.
    for (const char* name : {"platform", "serial", "time", "subprocess"}) {
        py::Ref imported = py::Ref::steal(PyImport_ImportModule(name));
        if (!imported || PyModule_AddObjectRef(module, name, imported.get()) < 0) return -1;
    }
    py::Ref driver_class = py::Ref::steal(make_driver_class(module));
    if (!driver_class || PyModule_AddObjectRef(module, "ZQ4180", driver_class.get()) < 0) return -1;

    const char* name = PyModule_GetName(module);
    if (!name) return -1;
    if (std::string_view(name) == "__main__" && !run_demonstration(context)) return -1;
    return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    auto* context = static_cast<Context*>(PyModule_GetState(module));
    return context ? context_traverse(*context, visit, arg) : 0;
}

int clear_module(PyObject* module) {
    auto* context = static_cast<Context*>(PyModule_GetState(module));
    if (context) context_clear(*context);
    return 0;
}

void free_module(void* module) {
    auto* context = static_cast<Context*>(PyModule_GetState(static_cast<PyObject*>(module)));
    if (context) context_free(*context);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zq4180",
    texts::kModuleDoc,
    sizeof(Context),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace zq::module

PyMODINIT_FUNC PyInit_zq4180(void) { return PyModuleDef_Init(&zq::module::module_def); }

// Lets a launcher load this same file under the name "__main__" (the
// import system looks for PyInit_<last name component>), which runs the
// demonstration.  A plain `import zq4180` never comes here.
PyMODINIT_FUNC PyInit___main__(void) { return PyModuleDef_Init(&zq::module::module_def); }

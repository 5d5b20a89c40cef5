#include "context/context.hpp"

#include <new>

#include "texts/texts.hpp"

namespace zq {
namespace {

// All the owned objects of a context, in declaration order (module is borrowed).
template <class Visit>
void for_each_object(Context& c, Visit visit) {
#define ZQ_VISIT(id, text) visit(c.id);
    ZQ_CONTEXT_STRINGS(ZQ_VISIT)
#undef ZQ_VISIT
    visit(c.poll_interval);
    visit(c.demo_pause);
    visit(c.baud_rate);
    visit(c.data_bits);
    visit(c.read_timeout);
    visit(c.stop_bits);
    visit(c.zero);
    visit(c.open_kwnames);
    visit(c.run_kwnames);
}

}  // namespace

bool context_init(Context& c, PyObject* module) {
#define ZQ_INTERN(id, text) \
    if (!(c.id = PyUnicode_InternFromString(text))) return false;
    ZQ_CONTEXT_STRINGS(ZQ_INTERN)
#undef ZQ_INTERN
    c.poll_interval = PyFloat_FromDouble(0.01);
    c.demo_pause = PyLong_FromLong(3);
    c.baud_rate = PyLong_FromLong(4800);
    c.data_bits = PyLong_FromLong(8);
    c.read_timeout = PyLong_FromLong(50);
    c.stop_bits = PyLong_FromLong(1);
    c.zero = PyLong_FromLong(0);
    c.open_kwnames = Py_BuildValue("(ss)", "timeout", "stopbits");
    c.run_kwnames = Py_BuildValue("(ss)", "stdout", "stderr");
    c.module = module;
    c.locks = new (std::nothrow) ObjectLocks();
    if (!c.locks) {
        PyErr_NoMemory();
        return false;
    }
    bool complete = true;
    for_each_object(c, [&](PyObject* object) { complete = complete && object != nullptr; });
    return complete;
}

int context_traverse(Context& c, visitproc visit, void* arg) {
    int result = 0;
    for_each_object(c, [&](PyObject* object) {
        if (result == 0 && object) result = visit(object, arg);
    });
    return result;
}

void context_clear(Context& c) {
    for_each_object(c, [](PyObject*& object) { Py_CLEAR(object); });
    c.module = nullptr;
}

void context_free(Context& c) {
    context_clear(c);
    delete c.locks;
    c.locks = nullptr;
}

Context* context_of(PyObject* module) {
    auto* context = static_cast<Context*>(PyModule_Check(module) ? PyModule_GetState(module) : nullptr);
    if (!context || !context->module) {
        PyErr_SetString(PyExc_RuntimeError, texts::kModuleTornDown);
        return nullptr;
    }
    return context;
}

py::Ref global(const Context& context, PyObject* name) {
    PyObject* namespace_dict = PyModule_GetDict(context.module);
    PyObject* found = PyDict_GetItemWithError(namespace_dict, name);
    if (!found && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        found = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
        if (!found && !PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    return py::Ref::borrow(found);
}

}  // namespace zq

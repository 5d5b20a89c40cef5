#include "module/function_shells.hpp"

#include <string>

#include "texts/texts.hpp"

namespace zq::module {
namespace {

constexpr char kClassName[] = "ZQ4180";
constexpr char kModuleName[] = "zq4180";
constexpr char kSourceName[] = "<zq4180>";

// For each method a factory that closes over the operation:
//     def _make_3(operation):
//         def __read(self):
//             return operation(self)
//         return __read
std::string factory_source() {
    std::string source;
    for (std::size_t i = 0; i < method_count(); ++i) {
        const MethodSpec& m = method_table()[i];
        const std::string parameters = m.parameter ? std::string("self, ") + m.parameter : "self";
        source += "def _make_" + std::to_string(i) + "(operation):\n";
        source += "    def " + std::string(m.name) + "(" + parameters + "):\n";
        source += "        return operation(" + parameters + ")\n";
        source += "    return " + std::string(m.name) + "\n";
    }
    return source;
}

py::Ref annotations_of(const MethodSpec& m) {
    py::Ref annotations = py::Ref::steal(PyDict_New());
    if (!annotations) return {};
    for (const Annotation& a : m.annotations) {
        if (!a.name) break;
        py::Ref type = py::Ref::steal(PyUnicode_FromString(a.type));
        if (!type || PyDict_SetItemString(annotations.get(), a.name, type.get()) < 0) return {};
    }
    return annotations;
}

bool set(PyObject* function, const char* attribute, py::Ref value) {
    return value && PyObject_SetAttrString(function, attribute, value.get()) == 0;
}

py::Ref text_or_none(const char* text) {
    return text ? py::Ref::steal(PyUnicode_FromString(text)) : py::Ref::borrow(Py_None);
}

// Names, texts and defaults as a method written in the class body has them.
bool describe(PyObject* function, const MethodSpec& m) {
    const std::string qualname = std::string(kClassName) + "." + m.name;
    py::Ref code = py::Ref::steal(PyObject_GetAttrString(function, "__code__"));
    py::Ref replace = code ? py::Ref::steal(PyObject_GetAttrString(code.get(), "replace")) : py::Ref{};
    py::Ref kwargs = py::Ref::steal(Py_BuildValue("{s:s}", "co_qualname", qualname.c_str()));
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    if (!replace || !kwargs || !no_args) return false;
    py::Ref renamed = py::Ref::steal(PyObject_Call(replace.get(), no_args.get(), kwargs.get()));
    py::Ref defaults = m.default_value ? py::Ref::steal(Py_BuildValue("(s)", m.default_value))
                                       : py::Ref::borrow(Py_None);
    return set(function, "__code__", std::move(renamed)) &&
           set(function, "__qualname__", py::Ref::steal(PyUnicode_FromString(qualname.c_str()))) &&
           set(function, "__module__", py::Ref::steal(PyUnicode_FromString(kModuleName))) &&
           set(function, "__doc__", text_or_none(m.doc)) &&
           set(function, "__defaults__", std::move(defaults)) &&
           set(function, "__annotations__", annotations_of(m));
}

}  // namespace

PyObject* make_method_functions(PyObject* module) {
    py::Ref code = py::Ref::steal(Py_CompileString(factory_source().c_str(), kSourceName, Py_file_input));
    py::Ref scratch = py::Ref::steal(PyDict_New());
    if (!code || !scratch) return nullptr;
    if (PyDict_SetItemString(scratch.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return nullptr;
    if (!py::Ref::steal(PyEval_EvalCode(code.get(), scratch.get(), scratch.get()))) return nullptr;

    // The factories ran in a scratch namespace; the methods' own globals are
    // the module's namespace, as for any function defined in a module.
    PyObject* module_globals = PyModule_GetDict(module);
    py::Ref functions = py::Ref::steal(PyList_New(0));
    if (!functions) return nullptr;
    for (std::size_t i = 0; i < method_count(); ++i) {
        MethodSpec& m = method_table()[i];
        const std::string factory_name = "_make_" + std::to_string(i);
        PyObject* factory = PyDict_GetItemString(scratch.get(), factory_name.c_str());
        if (!factory) {
            PyErr_Format(PyExc_RuntimeError, texts::kMethodFactoryMissing, factory_name.c_str());
            return nullptr;
        }
        py::Ref rebound = py::Ref::steal(PyFunction_New(PyFunction_GetCode(factory), module_globals));
        py::Ref operation =
            py::Ref::steal(PyCFunction_NewEx(&m.operation, module, nullptr));
        if (!rebound || !operation) return nullptr;
        py::Ref function = py::call(rebound.get(), operation.get());
        if (!function || !describe(function.get(), m)) return nullptr;
        if (PyList_Append(functions.get(), function.get()) < 0) return nullptr;
    }
    return functions.release();
}

}  // namespace zq::module

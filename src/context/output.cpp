#include "context/output.hpp"

namespace zq {

bool print_line(const Context& context, PyObject* line) {
    py::Ref print = global(context, context.print);
    return print && py::call(print.get(), line);
}

bool print_prefixed(const Context& context, const char* prefix, PyObject* value) {
    py::Ref print = global(context, context.print);
    if (!print) return false;
    py::Ref text = py::Ref::steal(PyObject_Str(value));
    if (!text) return false;
    py::Ref head = py::Ref::steal(PyUnicode_FromString(prefix));
    if (!head) return false;
    py::Ref line = py::Ref::steal(PyUnicode_Concat(head.get(), text.get()));
    return line && py::call(print.get(), line.get());
}

}  // namespace zq

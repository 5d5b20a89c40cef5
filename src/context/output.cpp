#include "context/output.hpp"

#include <string>

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

namespace {

// prefix + "[170, 5, 18, ...]" for a bytes or bytearray object, written
// directly: the same text str(list(reply)) gives, without a list of ints.
py::Ref reply_line(const char* prefix, const char* data, Py_ssize_t size) {
    std::string line(prefix);
    line.reserve(line.size() + 2 + static_cast<std::size_t>(size) * 5);
    line += '[';
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (i > 0) line += ", ";
        line += std::to_string(static_cast<unsigned char>(data[i]));
    }
    line += ']';
    return py::Ref::steal(
        PyUnicode_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size())));
}

}  // namespace

bool print_reply(const Context& context, const char* prefix, PyObject* reply) {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_CheckExact(reply)) {
        data = PyBytes_AS_STRING(reply);
        size = PyBytes_GET_SIZE(reply);
    } else if (PyByteArray_CheckExact(reply)) {
        data = PyByteArray_AS_STRING(reply);
        size = PyByteArray_GET_SIZE(reply);
    } else {
        py::Ref values = py::Ref::steal(PySequence_List(reply));
        return values && print_prefixed(context, prefix, values.get());
    }
    py::Ref print = global(context, context.print);
    py::Ref line = print ? reply_line(prefix, data, size) : py::Ref{};
    return line && py::call(print.get(), line.get());
}

}  // namespace zq

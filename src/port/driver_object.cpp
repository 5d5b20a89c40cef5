// The driver object's constructor and close.
#include "port/operations.hpp"
#include "pyref/arguments.hpp"

namespace zq::port {

PyObject* init(Context& c, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* serial_port = args[1];
    if (!py::require_exact_type(serial_port, &PyUnicode_Type, "serial_port")) return nullptr;
    // No hardware is touched here: only open() goes near the port.
    py::Ref broadcast = py::Ref::steal(PyLong_FromLong(0xFF));
    py::Ref no_version = py::Ref::steal(PyLong_FromLong(0));
    if (!broadcast || !no_version) return nullptr;
    const bool set = py::setattr(self, c.port, serial_port) &&
                     py::setattr(self, c.addr, broadcast.get()) &&
                     py::setattr(self, c.product_model, c.empty) &&
                     py::setattr(self, c.product_number, c.empty) &&
                     py::setattr(self, c.soft_version, no_version.get());
    if (!set) return nullptr;
    Py_RETURN_NONE;
}

PyObject* close(Context& c, PyObject* const* args) {
    py::Ref ser = py::getattr(args[0], c.ser);  // AttributeError when never opened
    if (!ser || !py::call_method(ser.get(), c.close)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace zq::port

// Port names: a device ("/dev/ttyUSB0", "COM3") or a URL that pySerial's
// URL handlers open ("rfc2217://host:port", "spy:///dev/ttyUSB0", "loop://").
#pragma once

#include "context/context.hpp"

namespace zq::port {

// A text containing "://": 1 for a URL, 0 for a device name, -1 with an
// error set.  Any other port value (bytes, a path object) is a device name
// handed on as it is.
inline int is_url(const Context& c, PyObject* port) {
    return PyUnicode_Check(port) ? PySequence_Contains(port, c.url_marker) : 0;
}

// port.lower().startswith("socket://"): 1, 0, or -1 with an error set.
inline int is_socket_url(const Context& c, PyObject* port) {
    py::Ref lowered = py::call_method(port, c.lower);
    py::Ref starts = lowered ? py::call_method(lowered.get(), c.startswith, c.socket_scheme) : py::Ref{};
    return starts ? py::truth(starts.get()) : -1;
}

// The local device the availability check looks at: the port itself for a
// device name, the wrapped device of "spy://DEVICE[?options]" (a trace of a
// local port), and none for any other URL (nothing local to look at: the
// opening gives the verdict).  `none` is set in the last case; an empty
// result without `none` means an error is set.
inline py::Ref device_to_check(const Context& c, PyObject* port, bool& none) {
    none = false;
    const int url = is_url(c, port);
    if (url <= 0) return url == 0 ? py::Ref::borrow(port) : py::Ref{};
    none = true;
    py::Ref lowered = py::call_method(port, c.lower);
    py::Ref spy = lowered ? py::call_method(lowered.get(), c.startswith, c.spy_scheme) : py::Ref{};
    const int traced = spy ? py::truth(spy.get()) : -1;
    if (traced <= 0) {
        none = traced == 0;
        return {};
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(port);
    const Py_ssize_t scheme = PyUnicode_GET_LENGTH(c.spy_scheme);
    const Py_ssize_t options = PyUnicode_FindChar(port, '?', scheme, length, 1);
    if (options == -2) {
        none = false;
        return {};
    }
    py::Ref device = py::Ref::steal(PyUnicode_Substring(port, scheme, options < 0 ? length : options));
    if (!device) {
        none = false;
        return {};
    }
    const int nested = PySequence_Contains(device.get(), c.url_marker);
    if (nested < 0) none = false;
    if (nested != 0 || PyUnicode_GET_LENGTH(device.get()) == 0) return {};
    none = false;
    return device;
}

}  // namespace zq::port

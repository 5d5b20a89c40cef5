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

// port.lower().startswith(scheme): 1, 0, or -1 with an error set.
inline int has_scheme(const Context& c, PyObject* port, PyObject* scheme) {
    py::Ref lowered = py::call_method(port, c.lower);
    py::Ref starts = lowered ? py::call_method(lowered.get(), c.startswith, scheme) : py::Ref{};
    return starts ? py::truth(starts.get()) : -1;
}

inline int is_socket_url(const Context& c, PyObject* port) {
    return has_scheme(c, port, c.socket_scheme);
}

// The local device the availability check looks at: the port itself for a
// device name, the wrapped device of "spy://DEVICE[?options]" (a trace of a
// local port), and none for any other URL (nothing local to look at: the
// opening gives the verdict).  1 with `device` set, 0 for none, -1 with an
// error set.
inline int device_to_check(const Context& c, PyObject* port, py::Ref& device) {
    const int url = is_url(c, port);
    if (url <= 0) {
        if (url == 0) device = py::Ref::borrow(port);
        return url == 0 ? 1 : -1;
    }
    const int traced = has_scheme(c, port, c.spy_scheme);
    if (traced <= 0) return traced;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(port);
    const Py_ssize_t scheme = PyUnicode_GET_LENGTH(c.spy_scheme);
    const Py_ssize_t options = PyUnicode_FindChar(port, '?', scheme, length, 1);
    if (options == -2) return -1;
    device = py::Ref::steal(PyUnicode_Substring(port, scheme, options < 0 ? length : options));
    if (!device) return -1;
    const int nested = PySequence_Contains(device.get(), c.url_marker);
    if (nested < 0) return -1;
    if (nested || PyUnicode_GET_LENGTH(device.get()) == 0) {
        device = py::Ref{};  // another URL inside, or nothing: no local device
        return 0;
    }
    return 1;
}

}  // namespace zq::port

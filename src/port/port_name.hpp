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

}  // namespace zq::port

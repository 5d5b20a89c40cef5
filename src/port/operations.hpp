// The port operations: the driver object's life cycle, the availability
// check, opening, and the frame exchange.  Same calling shape as the
// device operations.
#pragma once

#include "context/context.hpp"

namespace zq::port {

PyObject* init(Context& context, PyObject* const* args);                  // self, serial_port
PyObject* close(Context& context, PyObject* const* args);                 // self
PyObject* read(Context& context, PyObject* const* args);                  // self
PyObject* write_and_read(Context& context, PyObject* const* args);        // self, cmd
PyObject* check_port_available(Context& context, PyObject* const* args);  // self
PyObject* open(Context& context, PyObject* const* args);                  // self

}  // namespace zq::port

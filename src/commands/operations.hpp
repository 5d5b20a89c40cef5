// The driver's device operations.  Each takes the module context and the
// call's arguments, `self` first (the method objects pass exactly as many
// as they declare), and returns a new reference or null with an error set.
#pragma once

#include "context/context.hpp"

namespace zq::commands {

PyObject* check_crc(Context& context, PyObject* const* args);            // self, data
PyObject* cal_crc(Context& context, PyObject* const* args);              // self, data
PyObject* show_device_version(Context& context, PyObject* const* args);  // self
PyObject* set_work_mode(Context& context, PyObject* const* args);        // self, mode
PyObject* set_ouput_mode(Context& context, PyObject* const* args);       // self, mode
PyObject* set_voltage_max(Context& context, PyObject* const* args);      // self, voltage
PyObject* set_out_voltage(Context& context, PyObject* const* args);      // self, voltage
PyObject* set_out_current(Context& context, PyObject* const* args);      // self, current
PyObject* set_new_addr(Context& context, PyObject* const* args);         // self, address
PyObject* restore_factory(Context& context, PyObject* const* args);      // self
PyObject* read_dev_status(Context& context, PyObject* const* args);      // self
PyObject* read_device_version(Context& context, PyObject* const* args);  // self

}  // namespace zq::commands

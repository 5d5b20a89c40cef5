// read_dev_status: the live measurements, setpoints and status bits.
#include "commands/operations.hpp"
#include "commands/request.hpp"
#include "protocol/status.hpp"

namespace zq::commands {
namespace {

bool put(PyObject* dict, PyObject* key, py::Ref value) {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

py::Ref milli_to_unit(std::uint32_t raw) {
    return py::Ref::steal(PyFloat_FromDouble(raw / 1000.0));
}

py::Ref text(PyObject* interned) { return py::Ref::borrow(interned); }

PyObject* mode_text(const Context& c, protocol::RegulationMode mode) {
    switch (mode) {
        case protocol::RegulationMode::kConstantVoltage: return c.mode_cv;
        case protocol::RegulationMode::kConstantCurrent: return c.mode_cc;
        case protocol::RegulationMode::kUnknown: break;
    }
    return c.mode_xx;
}

PyObject* status_dict(const Context& c, const protocol::Status& s) {
    py::Ref dict = py::Ref::steal(_PyDict_NewPresized(10));  // ten keys, no resizing
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    const bool complete =
        put(d, c.key_current_real, milli_to_unit(s.current_ma)) &&
        put(d, c.key_voltage_real, milli_to_unit(s.voltage_mv)) &&
        put(d, c.key_current_set, milli_to_unit(s.current_set_ma)) &&
        put(d, c.key_voltage_max_set, milli_to_unit(s.voltage_max_mv)) &&
        put(d, c.key_voltage_set, milli_to_unit(s.voltage_set_mv)) &&
        put(d, c.key_out_status, text(s.output_on ? c.on : c.off)) &&
        put(d, c.key_beyond_temp, py::Ref::steal(PyBool_FromLong(s.over_temperature))) &&
        put(d, c.key_out_mode, text(mode_text(c, s.mode))) &&
        put(d, c.key_fan_speed, py::Ref::steal(PyLong_FromLong(s.fan_speed))) &&
        put(d, c.key_work_mode, text(s.remote ? c.remote : c.local));
    return complete ? dict.release() : nullptr;
}

}  // namespace

PyObject* read_dev_status(Context& c, PyObject* const* args) {
    PyObject* self = args[0];
    py::Ref command = new_request(c, self, c.word_read_dev_real_status);
    if (!command) return nullptr;
    py::Ref reply = exchange(c, self, command.get());
    if (!reply) return nullptr;
    const int received = py::truth(reply.get());
    if (received < 0) return nullptr;
    if (!received) Py_RETURN_NONE;
    protocol::Frame bytes;
    if (!reply_bytes(reply.get(), protocol::kStatusBytesNeeded, bytes)) return nullptr;
    return status_dict(c, protocol::decode_status(bytes.data()));
}

}  // namespace zq::commands

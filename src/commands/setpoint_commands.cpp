// set_voltage_max, set_out_voltage and set_out_current: a value in volts or
// amperes sent as 32-bit milli-units, least significant byte first.
#include "commands/operations.hpp"
#include "commands/request.hpp"
#include "context/output.hpp"
#include "protocol/setpoint.hpp"
#include "texts/texts.hpp"

namespace zq::commands {
namespace {

struct Setpoint {
    const char* argument;  // the parameter's name, for errors
    const char* unit;      // "V" or "A"
    const char* printed;   // the line printed with the reply, or null
};

constexpr Setpoint kVoltageMax{"voltage", "V", nullptr};
constexpr Setpoint kOutVoltage{"voltage", "V", texts::kSetVoltageRead};
constexpr Setpoint kOutCurrent{"current", "A", texts::kSetCurrentRead};

// The milli-units of a value, or an error set: a NaN or infinite argument
// fails as int() fails on it; any finite value outside the 32-bit field,
// however large, is refused as out of range.
bool scale(const Setpoint& setpoint, double value, std::uint32_t& milli) {
    const protocol::ScaledSetpoint scaled = protocol::scale_to_milli(value);
    switch (scaled.error) {
        case protocol::ScaleError::kNone:
            milli = scaled.milli;
            return true;
        case protocol::ScaleError::kNotANumber:
            PyErr_SetString(PyExc_ValueError, texts::kSetpointNotANumber);
            return false;
        case protocol::ScaleError::kInfinite:
            PyErr_SetString(PyExc_OverflowError, texts::kSetpointInfinite);
            return false;
        case protocol::ScaleError::kOutOfRange:
            break;
    }
    py::Ref shown = py::Ref::steal(PyFloat_FromDouble(value));
    if (shown) {
        PyErr_Format(PyExc_ValueError, texts::kSetpointRange, setpoint.argument, setpoint.unit,
                     setpoint.unit, shown.get());
    }
    return false;
}

PyObject* send_setpoint(Context& c, PyObject* const* args, PyObject* word_name,
                        const Setpoint& setpoint) {
    PyObject* self = args[0];
    // Refused values leave no trace: nothing is built, nothing is written.
    const double value = PyFloat_AsDouble(args[1]);
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    std::uint32_t milli = 0;
    if (!scale(setpoint, value, milli)) return nullptr;

    py::Ref command = new_request(c, self, word_name);
    if (!command) return nullptr;
    const auto payload = protocol::little_endian_u32(milli);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        if (!set_request_byte(command.get(), static_cast<Py_ssize_t>(3 + i), payload[i])) {
            return nullptr;
        }
    }
    py::Ref reply = exchange(c, self, command.get());
    if (!reply) return nullptr;
    const int received = py::truth(reply.get());
    if (received < 0) return nullptr;
    if (received && setpoint.printed) {
        if (!print_reply(c, setpoint.printed, reply.get())) return nullptr;
    }
    return PyBool_FromLong(received);
}

}  // namespace

PyObject* set_voltage_max(Context& c, PyObject* const* args) {
    return send_setpoint(c, args, c.word_set_max_out_voltage, kVoltageMax);
}

PyObject* set_out_voltage(Context& c, PyObject* const* args) {
    return send_setpoint(c, args, c.word_set_out_voltage, kOutVoltage);
}

PyObject* set_out_current(Context& c, PyObject* const* args) {
    return send_setpoint(c, args, c.word_set_out_current, kOutCurrent);
}

}  // namespace zq::commands

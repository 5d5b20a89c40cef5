// set_work_mode and set_ouput_mode: one byte of payload each.
#include "commands/operations.hpp"
#include "commands/request.hpp"
#include "texts/texts.hpp"

namespace zq::commands {

PyObject* set_work_mode(Context& c, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* mode = args[1];
    py::Ref command = new_request(c, self, c.word_set_work_mode);
    if (!command) return nullptr;
    // Anything but exactly "remote" selects local control, the safe side.
    const int remote = py::equals(mode, c.remote);
    if (remote < 0 || !set_request_byte(command.get(), 3, remote)) return nullptr;
    py::Ref reply = exchange(c, self, command.get());
    return reply ? reply_received(reply.get()) : nullptr;
}

PyObject* set_ouput_mode(Context& c, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* mode = args[1];
    // Only the exact words switch the output: False, 0, None or "Off" must
    // never turn a supply on.
    const int on = py::equals(mode, c.on);
    if (on < 0) return nullptr;
    if (!on) {
        const int off = py::equals(mode, c.off);
        if (off < 0) return nullptr;
        if (!off) return PyErr_Format(PyExc_ValueError, texts::kOutputModeValue, mode);
    }
    py::Ref command = new_request(c, self, c.word_set_out_mode);
    if (!command || !set_request_byte(command.get(), 3, on)) return nullptr;
    py::Ref reply = exchange(c, self, command.get());
    return reply ? reply_received(reply.get()) : nullptr;
}

}  // namespace zq::commands

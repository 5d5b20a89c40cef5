// set_new_addr and restore_factory.
#include "commands/operations.hpp"
#include "commands/request.hpp"
#include "context/output.hpp"
#include "pyref/arguments.hpp"
#include "texts/texts.hpp"

namespace zq::commands {

PyObject* set_new_addr(Context& c, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* address = args[1];
    if (!py::require_exact_type(address, &PyLong_Type, "address")) return nullptr;
    // A bus address is one byte; refuse rather than let the frame carry a
    // value the supply would receive cut to 8 bits.
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(address, &overflow);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (overflow || value < 0 || value > 255) {
        return PyErr_Format(PyExc_ValueError, texts::kAddressRange, address);
    }
    py::Ref command = new_request(c, self, c.word_set_new_addr);
    if (!command || !set_request_byte(command.get(), 3, value)) return nullptr;
    // The object keeps its address: only an identity read-out changes it.
    py::Ref reply = exchange(c, self, command.get());
    return reply ? reply_received(reply.get()) : nullptr;
}

PyObject* restore_factory(Context& c, PyObject* const* args) {
    PyObject* self = args[0];
    py::Ref command = new_request(c, self, c.word_restore_factory);
    if (!command) return nullptr;
    py::Ref reply = exchange(c, self, command.get());
    if (!reply) return nullptr;
    const int received = py::truth(reply.get());
    if (received < 0) return nullptr;
    if (received) {
        if (!print_reply(c, texts::kRestoreFactory, reply.get())) return nullptr;
    }
    return PyBool_FromLong(received);
}

}  // namespace zq::commands

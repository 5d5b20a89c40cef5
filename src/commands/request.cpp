#include "commands/request.hpp"

#include <algorithm>
#include <cstring>

#include "texts/texts.hpp"

namespace zq::commands {

py::Ref new_request(const Context& c, PyObject* self, PyObject* word_name) {
    py::Ref template_frame = py::getattr(self, c.cmd_template);
    if (!template_frame) return {};
    py::Ref command = py::list_of(template_frame.get());
    if (!command) return {};
    py::Ref address = py::getattr(self, c.addr);
    if (!address || PyList_SetItem(command.get(), 1, address.release()) < 0) return {};
    py::Ref word = py::getattr(self, word_name);
    if (!word || PyList_SetItem(command.get(), 2, word.release()) < 0) return {};
    return command;
}

bool set_request_byte(PyObject* command, Py_ssize_t index, long value) {
    PyObject* item = PyLong_FromLong(value);
    return item && PyList_SetItem(command, index, item) == 0;
}

py::Ref exchange(const Context& c, PyObject* self, PyObject* command) {
    if (!py::call_method(self, c.cal_crc, command)) return {};
    return py::call_method(self, c.write_and_read, command);
}

namespace {

// Copies the first bytes of a buffer, at most a frame's worth.
Py_ssize_t copy_head(const char* data, Py_ssize_t size, protocol::Frame& out) {
    const Py_ssize_t kept = std::min<Py_ssize_t>(size, static_cast<Py_ssize_t>(out.size()));
    std::memcpy(out.data(), data, static_cast<std::size_t>(kept));
    return size;
}

}  // namespace

bool reply_bytes(PyObject* reply, std::size_t needed, protocol::Frame& out) {
    out.fill(0);
    Py_ssize_t size = 0;
    if (PyBytes_Check(reply)) {
        size = copy_head(PyBytes_AS_STRING(reply), PyBytes_GET_SIZE(reply), out);
    } else if (PyByteArray_Check(reply)) {
        size = copy_head(PyByteArray_AS_STRING(reply), PyByteArray_GET_SIZE(reply), out);
    } else {
        py::Ref values = py::Ref::steal(PySequence_List(reply));
        if (!values) return false;
        size = PyList_GET_SIZE(values.get());
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = PyList_GET_ITEM(values.get(), i);
            if (!PyLong_Check(item)) {
                PyErr_Format(PyExc_TypeError, texts::kReplyByteType, i, Py_TYPE(item)->tp_name);
                return false;
            }
            int overflow = 0;
            const long value = PyLong_AsLongAndOverflow(item, &overflow);
            if (value == -1 && PyErr_Occurred()) return false;
            if (overflow || value < 0 || value > 255) {
                PyErr_Format(PyExc_ValueError, texts::kReplyByteRange, i, item);
                return false;
            }
            if (i < static_cast<Py_ssize_t>(out.size())) out[i] = static_cast<std::uint8_t>(value);
        }
    }
    if (size < static_cast<Py_ssize_t>(needed)) {
        PyErr_Format(PyExc_IndexError, texts::kReplyTooShort, size, static_cast<Py_ssize_t>(needed));
        return false;
    }
    return true;
}

PyObject* reply_received(PyObject* reply) {
    const int received = PyObject_IsTrue(reply);
    if (received < 0) return nullptr;
    return PyBool_FromLong(received);
}

}  // namespace zq::commands

#include "commands/request.hpp"

#include "texts/texts.hpp"

namespace zq::commands {

py::Ref new_request(const Context& c, PyObject* self, PyObject* word_name) {
    py::Ref template_frame = py::getattr(self, c.cmd_template);
    if (!template_frame) return {};
    py::Ref command = py::Ref::steal(PySequence_List(template_frame.get()));
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

bool reply_bytes(PyObject* reply, std::size_t needed, std::vector<std::uint8_t>& out) {
    out.clear();
    if (PyBytes_Check(reply)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(reply));
        out.assign(data, data + PyBytes_GET_SIZE(reply));
    } else if (PyByteArray_Check(reply)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(reply));
        out.assign(data, data + PyByteArray_GET_SIZE(reply));
    } else {
        py::Ref values = py::Ref::steal(PySequence_List(reply));
        if (!values) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
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
            out.push_back(static_cast<std::uint8_t>(value));
        }
    }
    if (out.size() < needed) {
        PyErr_Format(PyExc_IndexError, texts::kReplyTooShort, static_cast<Py_ssize_t>(out.size()),
                     static_cast<Py_ssize_t>(needed));
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

// __write_and_read: one request out, one reply back, over `self.ser`.
//
// The reply is recognised by the count of waiting bytes alone, so the
// exchange polls that count (every 10 ms through the module's `time.sleep`,
// 30 times at most) and reads only when exactly one frame is waiting: a
// missing reply costs about 0.3 s, never the port's 50 s read time-out.
#include "port/caught_error.hpp"
#include "port/operations.hpp"
#include "texts/texts.hpp"

namespace zq::port {
namespace {

constexpr int kMaxPolls = 30;

// The request as bytes, before anything touches the port: a value outside
// 0..255 (an address of 300, say) is refused here, never cut to 8 bits.
// A count or a text is no frame either, though bytes() would take them.
py::Ref frame_bytes(PyObject* command) {
    if (PyLong_Check(command) || PyUnicode_Check(command)) {
        PyErr_Format(PyExc_TypeError, texts::kFrameNotBytes, Py_TYPE(command)->tp_name);
        return {};
    }
    if (PyList_CheckExact(command)) {
        // The usual frame, a list of small ints, converted directly; anything
        // else in it takes the interpreter's conversion and its errors.
        const Py_ssize_t size = PyList_GET_SIZE(command);
        py::Ref bytes = py::Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
        if (!bytes) return {};
        char* out = PyBytes_AS_STRING(bytes.get());
        Py_ssize_t i = 0;
        for (; i < size; ++i) {
            PyObject* item = PyList_GET_ITEM(command, i);
            if (!PyLong_CheckExact(item)) break;
            int overflow = 0;
            const long value = PyLong_AsLongAndOverflow(item, &overflow);
            if (overflow || value < 0 || value > 255) break;
            out[i] = static_cast<char>(value);
        }
        if (i == size) return bytes;
    }
    return py::Ref::steal(PyBytes_FromObject(command));
}

// self.ser.<method>(*args), `ser` looked up anew each time.
template <class... Args>
py::Ref port_call(const Context& c, PyObject* self, PyObject* method, Args... args) {
    py::Ref ser = py::getattr(self, c.ser);
    return ser ? py::call_method(ser.get(), method, args...) : py::Ref{};
}

// `left > 0`, `left == right`, `left != right` as Python evaluates them.
int compare(PyObject* left, PyObject* right, int op) {
    py::Ref result = py::Ref::steal(PyObject_RichCompare(left, right, op));
    return result ? py::truth(result.get()) : -1;
}

// `isinstance(ser, serial.SerialBase) and not ser.is_open`: a pySerial
// connection that has been closed.  Anything else (no such class in the
// module, a stand-in port) is not known to be closed.  1, 0, or -1 with an
// error set.
int closed_pyserial_connection(const Context& c, PyObject* ser) {
    py::Ref serial = global(c, c.serial);
    if (!serial) return -1;
    py::Ref base = py::getattr(serial.get(), c.serial_base);
    if (!base) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    const int family = PyObject_IsInstance(ser, base.get());
    if (family <= 0) return family;
    py::Ref is_open = py::getattr(ser, c.is_open);
    const int open = is_open ? py::truth(is_open.get()) : -1;
    return open < 0 ? -1 : !open;
}

// `raise serial.PortNotOpenError()`: what the write would have said about a
// closed connection.  Always returns false.
bool raise_port_not_open(const Context& c) {
    py::Ref serial = global(c, c.serial);
    py::Ref error_class = serial ? py::getattr(serial.get(), c.port_not_open_error) : py::Ref{};
    py::Ref error = error_class ? py::call(error_class.get()) : py::Ref{};
    if (!error) return false;
    if (!PyExceptionInstance_Check(error.get())) {
        PyErr_SetString(PyExc_TypeError, texts::kNotAnException);
        return false;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return false;
}

// The count of waiting bytes that the drain asks for first.  A closed
// pySerial connection is refused before anything is asked of it, with
// pySerial's own not-open error (its `inWaiting()` would otherwise fail with
// whatever the platform makes of a missing handle: a TypeError from fcntl on
// POSIX).  Only `is_open`, a plain attribute of pySerial's connections, is
// read for that; stand-in ports are not pySerial connections and see the
// same calls as before.
py::Ref stale_count(const Context& c, PyObject* self) {
    py::Ref ser = py::getattr(self, c.ser);  // AttributeError when never opened
    if (!ser) return {};
    const int closed = closed_pyserial_connection(c, ser.get());
    if (closed < 0) return {};
    if (closed) {
        raise_port_not_open(c);
        return {};
    }
    return py::call_method(ser.get(), c.in_waiting);
}

// Drops what already waits, typically the late reply to an earlier request:
// otherwise it would be taken as the reply to this one.
bool discard_stale_input(const Context& c, PyObject* self) {
    py::Ref waiting = stale_count(c, self);
    if (!waiting) return false;
    const int any = compare(waiting.get(), c.zero, Py_GT);
    if (any < 0) return false;
    return !any || port_call(c, self, c.read, waiting.get());
}

bool sleep_one_poll(const Context& c) {
    py::Ref time = global(c, c.time);
    py::Ref sleep = time ? py::getattr(time.get(), c.sleep) : py::Ref{};
    return sleep && py::call(sleep.get(), c.poll_interval);
}

// The frame read at the first poll that sees exactly one frame waiting;
// `read_any` stays false when no poll did.
py::Ref await_reply(const Context& c, PyObject* self, bool& read_any) {
    read_any = false;
    for (int polls_left = kMaxPolls; polls_left > 0;) {
        --polls_left;
        if (!sleep_one_poll(c)) return {};
        py::Ref waiting = port_call(c, self, c.in_waiting);
        if (!waiting) return {};
        py::Ref frame_length = py::getattr(self, c.cmd_length);
        if (!frame_length) return {};
        const int complete = compare(waiting.get(), frame_length.get(), Py_EQ);
        if (complete < 0) return {};
        if (complete) {
            read_any = true;
            return port_call(c, self, c.read, waiting.get());
        }
    }
    return py::Ref::borrow(Py_None);
}

// Length, sync byte, checksum, in that order: 1 accepted, 0 refused, -1 error.
int acceptable(const Context& c, PyObject* self, PyObject* data) {
    const Py_ssize_t size = PyObject_Size(data);
    if (size < 0) return -1;
    py::Ref size_object = py::Ref::steal(PyLong_FromSsize_t(size));
    py::Ref frame_length = py::getattr(self, c.cmd_length);
    if (!size_object || !frame_length) return -1;
    const int wrong_length = compare(size_object.get(), frame_length.get(), Py_NE);
    if (wrong_length != 0) return wrong_length < 0 ? -1 : 0;

    py::Ref index = py::Ref::steal(PyLong_FromLong(0));
    py::Ref first = index ? py::Ref::steal(PyObject_GetItem(data, index.get())) : py::Ref{};
    py::Ref sync = py::Ref::steal(PyLong_FromLong(0xAA));
    if (!first || !sync) return -1;
    const int wrong_sync = compare(first.get(), sync.get(), Py_NE);
    if (wrong_sync != 0) return wrong_sync < 0 ? -1 : 0;

    py::Ref values = py::list_of(data);
    if (!values) return -1;
    py::Ref verdict = py::call_method(self, c.check_crc, values.get());
    return verdict ? py::truth(verdict.get()) : -1;
}

}  // namespace

PyObject* write_and_read(Context& c, PyObject* const* args) {
    PyObject* self = args[0];
    py::Ref frame = frame_bytes(args[1]);
    if (!frame) return nullptr;
    if (!discard_stale_input(c, self)) return nullptr;
    if (!port_call(c, self, c.write, frame.get())) return nullptr;  // exactly once

    bool read_any = false;
    py::Ref data = await_reply(c, self, read_any);
    if (!data) return nullptr;
    if (!read_any) Py_RETURN_NONE;
    const int accepted = acceptable(c, self, data.get());
    if (accepted < 0) return nullptr;
    if (!accepted) Py_RETURN_NONE;
    return data.release();  // the very object the port's read returned
}

PyObject* read(Context& c, PyObject* const* args) {
    PyObject* self = args[0];
    py::Ref waiting = port_call(c, self, c.in_waiting);
    if (!waiting) return nullptr;
    const int any = compare(waiting.get(), c.zero, Py_GT);
    if (any < 0) return nullptr;
    if (!any) Py_RETURN_NONE;
    return port_call(c, self, c.read, waiting.get()).release();
}

}  // namespace zq::port

// __cal_crc and __check_crc: the frame checksum on a list of integers, with
// the interpreter's arithmetic, so any list behaves as the same code
// written in Python would (elements of any size, floats refused by `&`).
#include "commands/operations.hpp"
#include "protocol/checksum.hpp"
#include "pyref/arguments.hpp"

namespace zq::commands {
namespace {

// sum(values[:count]) & 0xFF for a list whose first `count` elements are
// exact ints (bools count): their low 64 bits are enough, see
// ChecksumAccumulator.  Adding them runs no Python code, so the list cannot
// change meanwhile.  False when some element needs the interpreter's `+`.
bool small_int_checksum(PyObject* values, Py_ssize_t count, unsigned& checksum) {
    protocol::ChecksumAccumulator sum;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(values, i);
        if (!PyLong_CheckExact(item) && !PyBool_Check(item)) return false;
        sum.add(PyLong_AsUnsignedLongLongMask(item));
    }
    checksum = sum.value();
    return true;
}

// sum(data[:-1]) & 0xFF
py::Ref checksum_of_all_but_last(PyObject* data) {
    const Py_ssize_t length = PyList_GET_SIZE(data);
    const Py_ssize_t summed = length > 0 ? length - 1 : 0;
    unsigned fast = 0;
    if (small_int_checksum(data, summed, fast)) return py::Ref::steal(PyLong_FromUnsignedLong(fast));
    // A copy, as data[:-1] is: Python additions cannot disturb it.
    py::Ref head = py::Ref::steal(PyList_GetSlice(data, 0, summed));
    if (!head) return {};

    py::Ref sum = py::Ref::steal(PyLong_FromLong(0));
    for (Py_ssize_t i = 0; sum && i < PyList_GET_SIZE(head.get()); ++i) {
        sum = py::Ref::steal(PyNumber_Add(sum.get(), PyList_GET_ITEM(head.get(), i)));
    }
    if (!sum) return {};
    py::Ref mask = py::Ref::steal(PyLong_FromLong(0xFF));
    return mask ? py::Ref::steal(PyNumber_And(sum.get(), mask.get())) : py::Ref{};
}

}  // namespace

PyObject* check_crc(Context&, PyObject* const* args) {
    PyObject* data = args[1];
    if (!py::require_exact_type(data, &PyList_Type, "data")) return nullptr;
    py::Ref checksum = checksum_of_all_but_last(data);
    if (!checksum) return nullptr;
    py::Ref last = py::Ref::steal(PySequence_GetItem(data, -1));
    if (!last) return nullptr;
    return PyObject_RichCompare(last.get(), checksum.get(), Py_EQ);
}

PyObject* cal_crc(Context&, PyObject* const* args) {
    PyObject* data = args[1];
    if (!py::require_exact_type(data, &PyList_Type, "data")) return nullptr;
    py::Ref checksum = checksum_of_all_but_last(data);
    if (!checksum) return nullptr;
    if (PySequence_SetItem(data, -1, checksum.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace zq::commands

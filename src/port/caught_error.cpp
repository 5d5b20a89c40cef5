#include "port/caught_error.hpp"

#include "texts/texts.hpp"

namespace zq::port {

CaughtError::CaughtError() {
    PyErr_Fetch(&type_, &value_, &traceback_);
    PyErr_NormalizeException(&type_, &value_, &traceback_);
    if (traceback_ && value_) PyException_SetTraceback(value_, traceback_);
}

CaughtError::~CaughtError() {
    if (!py::holds_interpreter_lock()) return;  // a daemon thread ended at exit
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
}

int CaughtError::matches(PyObject* classes) {
    bool catchable = PyExceptionClass_Check(classes);
    if (PyTuple_Check(classes)) {
        catchable = true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(classes); ++i) {
            catchable = catchable && PyExceptionClass_Check(PyTuple_GET_ITEM(classes, i));
        }
    }
    if (!catchable) {
        PyErr_SetString(PyExc_TypeError, texts::kCannotCatch);
        chain_into_pending();
        return -1;
    }
    return PyErr_GivenExceptionMatches(type_, classes) ? 1 : 0;
}

int CaughtError::matches_serial_exception(const Context& c) {
    py::Ref serial = global(c, c.serial);
    py::Ref classes = serial ? py::getattr(serial.get(), c.serial_exception) : py::Ref{};
    if (!classes) {
        chain_into_pending();
        return -1;
    }
    return matches(classes.get());
}

bool CaughtError::is_exception() const {
    return PyErr_GivenExceptionMatches(type_, PyExc_Exception) != 0;
}

PyObject* CaughtError::reraise() {
    PyErr_Restore(type_, value_, traceback_);
    type_ = value_ = traceback_ = nullptr;
    return nullptr;
}

void CaughtError::chain_into_pending() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && value_ && value != value_) {
        Py_INCREF(value_);
        PyException_SetContext(value, value_);
    }
    PyErr_Restore(type, value, traceback);
}

}  // namespace zq::port

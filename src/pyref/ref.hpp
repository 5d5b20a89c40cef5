// A small owner for one strong reference to an interpreter object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zq::py {

// Whether this thread holds the interpreter lock, as it does whenever it runs
// the driver's code, except in one case: a daemon thread that the interpreter
// ends at exit is stopped where it waits for the lock, and unwinds through the
// calls it was in without it.  Its references are then left as they are (the
// process is ending): dropping one would free objects while the main thread
// tears the interpreter down, a crash at exit (every time since Python 3.12,
// whose allocator needs the thread's own state).
inline bool holds_interpreter_lock() { return PyGILState_Check() != 0; }

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (or null, meaning an error is set).
    static Ref steal(PyObject* object) { return Ref(object); }
    // Adds a reference of its own to a borrowed object.
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() {
        if (object_ && holds_interpreter_lock()) Py_DECREF(object_);
    }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller (for return values).
    PyObject* release() { return std::exchange(object_, nullptr); }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// Keeps the pending exception aside while cleanup code runs, and puts it
// back afterwards (an error raised by the cleanup itself is dropped).
class PendingError {
public:
    PendingError() { PyErr_Fetch(&type_, &value_, &traceback_); }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() {
        if (!holds_interpreter_lock()) return;  // see holds_interpreter_lock()
        PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

}  // namespace zq::py

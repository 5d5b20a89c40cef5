// Attribute look-ups and calls, each returning an owned result (empty when
// the interpreter raised).  Everything is looked up when it is used, so a
// subclass, a replaced method or a monkeypatched module is always obeyed.
#pragma once

#include "pyref/ref.hpp"

namespace zq::py {

inline Ref getattr(PyObject* object, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(object, name));
}

inline bool setattr(PyObject* object, PyObject* name, PyObject* value) {
    return PyObject_SetAttr(object, name, value) == 0;
}

// callable(*args)
template <class... Args>
Ref call(PyObject* callable, Args... args) {
    // Slot 0 is scratch space the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* stack[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(
        callable, stack + 1, sizeof...(args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*positional, **dict(zip(kwnames, keyword_values)))
template <std::size_t N, std::size_t K>
Ref call_with_keywords(PyObject* callable, PyObject* const (&positional)[N],
                       PyObject* kwnames, PyObject* const (&keyword_values)[K]) {
    PyObject* stack[N + K];
    for (std::size_t i = 0; i < N; ++i) stack[i] = positional[i];
    for (std::size_t i = 0; i < K; ++i) stack[N + i] = keyword_values[i];
    return Ref::steal(PyObject_Vectorcall(callable, stack, N, kwnames));
}

// object.name(*args), the method looked up on the object at this moment.
template <class... Args>
Ref call_method(PyObject* object, PyObject* name, Args... args) {
    PyObject* stack[] = {object, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, stack, 1 + sizeof...(args), nullptr));
}

// list(sequence), with direct paths for the two kinds the driver meets on
// every call: a tuple (the frame template) and bytes (a reply).
inline Ref list_of(PyObject* sequence) {
    if (PyTuple_CheckExact(sequence)) {
        const Py_ssize_t size = PyTuple_GET_SIZE(sequence);
        Ref list = Ref::steal(PyList_New(size));
        for (Py_ssize_t i = 0; list && i < size; ++i) {
            PyObject* item = PyTuple_GET_ITEM(sequence, i);
            Py_INCREF(item);
            PyList_SET_ITEM(list.get(), i, item);
        }
        return list;
    }
    if (PyBytes_CheckExact(sequence)) {
        const Py_ssize_t size = PyBytes_GET_SIZE(sequence);
        const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(sequence));
        Ref list = Ref::steal(PyList_New(size));
        for (Py_ssize_t i = 0; list && i < size; ++i) {
            PyObject* item = PyLong_FromLong(bytes[i]);  // small ints: cached, cannot fail
            if (!item) return {};
            PyList_SET_ITEM(list.get(), i, item);
        }
        return list;
    }
    return Ref::steal(PySequence_List(sequence));
}

// Python truth: 1, 0, or -1 with an error set.
inline int truth(PyObject* object) { return PyObject_IsTrue(object); }

// `left == right` as Python evaluates it, then its truth: 1, 0, or -1.
inline int equals(PyObject* left, PyObject* right) {
    Ref result = Ref::steal(PyObject_RichCompare(left, right, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

}  // namespace zq::py

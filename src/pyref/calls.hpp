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

// Python truth: 1, 0, or -1 with an error set.
inline int truth(PyObject* object) { return PyObject_IsTrue(object); }

// `left == right` as Python evaluates it, then its truth: 1, 0, or -1.
inline int equals(PyObject* left, PyObject* right) {
    Ref result = Ref::steal(PyObject_RichCompare(left, right, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

}  // namespace zq::py

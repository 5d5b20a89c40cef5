// The argument type rule shared by the driver's methods.
#pragma once

#include "pyref/ref.hpp"
#include "texts/texts.hpp"

namespace zq::py {

// True when `value` is exactly of `type` (no subclass); otherwise raises
// TypeError with the driver's incorrect-type message.
inline bool require_exact_type(PyObject* value, PyTypeObject* type, const char* argument) {
    if (Py_IS_TYPE(value, type)) return true;
    PyErr_Format(PyExc_TypeError, texts::kIncorrectType, argument, type->tp_name,
                 Py_TYPE(value)->tp_name);
    return false;
}

}  // namespace zq::py

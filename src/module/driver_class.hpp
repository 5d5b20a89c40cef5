// The class ZQ4180, made by the interpreter's `type` as a class statement
// would make it.
#pragma once

#include "context/context.hpp"

namespace zq::module {

// A new reference to the class, or null with an error set.
PyObject* make_driver_class(PyObject* module);

}  // namespace zq::module

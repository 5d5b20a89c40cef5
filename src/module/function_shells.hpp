// The class's methods are real function objects, so that everything that
// inspects functions works on them as on any Python method: binding to an
// instance, __defaults__, __annotations__, inspect.signature, help() and
// unittest.mock.create_autospec.  Each body is one line that hands its
// arguments to the C++ operation; argument counting and keyword matching
// are the interpreter's own.
#pragma once

#include "context/context.hpp"
#include "module/method_table.hpp"

namespace zq::module {

// One function object per entry of the method table, in table order, as a
// new list; null with an error set on failure.
PyObject* make_method_functions(PyObject* module);

}  // namespace zq::module

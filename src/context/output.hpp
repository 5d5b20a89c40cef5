// Printed lines go through the interpreter's `print`, looked up when used,
// so redirected or captured standard output sees them and a failing
// standard output raises in the caller.
#pragma once

#include "context/context.hpp"

namespace zq {

// print(line)
bool print_line(const Context& context, PyObject* line);

// print(prefix + str(value))
bool print_prefixed(const Context& context, const char* prefix, PyObject* value);

// print(prefix + str(list(reply))): the reply's byte values in list notation.
bool print_reply(const Context& context, const char* prefix, PyObject* reply);

}  // namespace zq

// What the module does when it is started as a program: drive the supply
// on a fixed port through a short sequence and close it.
#pragma once

#include "context/context.hpp"

namespace zq::module {

// Binds `opat_port` and `zq4100` in the module's namespace and runs the
// sequence; false with an error set when a step raised.
bool run_demonstration(const Context& context);

}  // namespace zq::module

// The class's methods as scripts see them: names, parameters, defaults,
// annotations and documentation texts, in the order the class defines them,
// each with the C++ operation its body calls.
#pragma once

#include <cstddef>

#include "context/context.hpp"

namespace zq::module {

struct Annotation {
    const char* name;  // a parameter, or "return"
    const char* type;  // stored as a text, not as the type itself
};

struct MethodSpec {
    const char* name;           // the short name: "__cal_crc", "open"
    const char* parameter;      // the one parameter after self, or null
    const char* default_value;  // the parameter's default text, or null
    Annotation annotations[2];  // in order; unused entries have a null name
    const char* doc;            // null: the method has no documentation text
    PyMethodDef operation;      // called by the method's body with (self[, parameter])
};

// The eighteen methods in the class's order.
MethodSpec* method_table();
std::size_t method_count();

// "_ZQ4180__cal_crc" for a private name, the name itself otherwise.
bool is_private_name(const char* name);

}  // namespace zq::module

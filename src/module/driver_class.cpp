#include "module/driver_class.hpp"

#include <string>

#include "module/function_shells.hpp"
#include "module/method_table.hpp"
#include "protocol/frame.hpp"

namespace zq::module {
namespace {

namespace proto = zq::protocol;

constexpr char kClassName[] = "ZQ4180";

struct Constant {
    const char* name;
    long value;
};

// The class constants after the template, in the class's order.
constexpr Constant kConstants[] = {
    {"__CMD_WORD_SET_WORK_MODE", proto::kSetWorkMode},
    {"__CMD_WORD_SET_OUT_MODE", proto::kSetOutMode},
    {"__CMD_WORD_SET_MAX_OUT_VOLTAGE", proto::kSetMaxOutVoltage},
    {"__CMD_WORD_SET_OUT_VOLTAGE", proto::kSetOutVoltage},
    {"__CMD_WORD_SET_OUT_CURRENT", proto::kSetOutCurrent},
    {"__CMD_WORD_SET_NEW_ADDR", proto::kSetNewAddr},
    {"__CMD_WORD_READ_DEV_REAL_STATUS", proto::kReadDevRealStatus},
    {"__CMD_WORD_READ_DEV_VERSION", proto::kReadDevVersion},
    {"__CMD_WORD_RESTORE_FACTORY", proto::kRestoreFactory},
    {"__CMD_WORD_DEV_RETURN", proto::kDevReturn},
    {"__CMD_LENGTH", static_cast<long>(proto::kFrameLength)},
};

// Private names are stored as the class body would store them.
std::string stored_name(const char* name) {
    return is_private_name(name) ? std::string("_") + kClassName + name : std::string(name);
}

bool put(PyObject* namespace_dict, const std::string& name, py::Ref value) {
    return value && PyDict_SetItemString(namespace_dict, name.c_str(), value.get()) == 0;
}

py::Ref template_tuple() {
    py::Ref frame = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(proto::kTemplate.size())));
    if (!frame) return {};
    for (std::size_t i = 0; i < proto::kTemplate.size(); ++i) {
        PyObject* byte = PyLong_FromLong(proto::kTemplate[i]);
        if (!byte) return {};
        PyTuple_SET_ITEM(frame.get(), static_cast<Py_ssize_t>(i), byte);
    }
    return frame;
}

}  // namespace

PyObject* make_driver_class(PyObject* module) {
    // The namespace in a class statement's order: __module__ first, then
    // __qualname__, the constants, the methods.  No __doc__: the class has none.
    py::Ref ns = py::Ref::steal(PyDict_New());
    if (!ns) return nullptr;
    PyObject* d = ns.get();
    if (!put(d, "__module__", py::Ref::steal(PyUnicode_FromString("zq4180"))) ||
        !put(d, "__qualname__", py::Ref::steal(PyUnicode_FromString(kClassName))) ||
        !put(d, stored_name("__CMD_TEMPLATE"), template_tuple())) {
        return nullptr;
    }
    for (const Constant& constant : kConstants) {
        if (!put(d, stored_name(constant.name), py::Ref::steal(PyLong_FromLong(constant.value)))) {
            return nullptr;
        }
    }
    py::Ref functions = py::Ref::steal(make_method_functions(module));
    if (!functions) return nullptr;
    for (std::size_t i = 0; i < method_count(); ++i) {
        PyObject* function = PyList_GET_ITEM(functions.get(), static_cast<Py_ssize_t>(i));
        if (!put(d, stored_name(method_table()[i].name), py::Ref::borrow(function))) return nullptr;
    }
    return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", kClassName,
                                 reinterpret_cast<PyObject*>(&PyBaseObject_Type), d);
}

}  // namespace zq::module

#include "module/method_table.hpp"

#include <cstring>
#include <exception>
#include <new>

#include "commands/operations.hpp"
#include "port/operations.hpp"
#include "texts/texts.hpp"

namespace zq::module {
namespace {

using Operation = PyObject* (*)(Context&, PyObject* const*);

// Whether a call holds the object's lock for its whole run: everything
// that talks to the port or reads what a read-out stores does; the
// constructor and the checksum arithmetic do not need to.
enum Locking { kUnlocked, kLocked };

// The entry point of one operation.  The method bodies always pass the
// right count; anyone who digs the entry point out of a method object and
// calls it otherwise gets an error, not a crash.
template <Operation Op, Py_ssize_t Arity, Locking Lock>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != Arity) return PyErr_Format(PyExc_TypeError, texts::kWrongArgumentCount, Arity, nargs);
    Context* context = context_of(module);
    if (!context) return nullptr;
    // A C++ exception (an allocation failing) must become a Python one: it
    // would otherwise end the whole process.
    try {
        if (Lock == kUnlocked) return Op(*context, args);
        ObjectLockGuard guard(*context->locks, args[0]);
        return guard.held() ? Op(*context, args) : nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        return PyErr_Format(PyExc_RuntimeError, texts::kCppError, error.what());
    }
}

template <Operation Op, Py_ssize_t Arity, Locking Lock = kLocked>
PyMethodDef operation(const char* name) {
    return {name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&entry<Op, Arity, Lock>)),
            METH_FASTCALL, nullptr};
}

constexpr Annotation kNone{nullptr, nullptr};

MethodSpec kMethods[] = {
    {"__init__", "serial_port", nullptr, {{"serial_port", "str"}, kNone}, texts::kDocInit,
     operation<port::init, 2, kUnlocked>("__init__")},
    {"__check_crc", "data", nullptr, {{"data", "list"}, {"return", "bool"}}, texts::kDocCheckCrc,
     operation<commands::check_crc, 2, kUnlocked>("__check_crc")},
    {"__cal_crc", "data", nullptr, {{"data", "list"}, {"return", "None"}}, texts::kDocCalCrc,
     operation<commands::cal_crc, 2, kUnlocked>("__cal_crc")},
    {"__read", nullptr, nullptr, {kNone, kNone}, texts::kDocRead, operation<port::read, 1>("__read")},
    {"__write_and_read", "cmd", nullptr, {{"cmd", "bytes"}, kNone}, texts::kDocWriteAndRead,
     operation<port::write_and_read, 2>("__write_and_read")},
    {"show_device_version", nullptr, nullptr, {{"return", "dict"}, kNone},
     texts::kDocShowDeviceVersion,
     operation<commands::show_device_version, 1>("show_device_version")},
    {"set_work_mode", "mode", "remote", {{"return", "bool"}, kNone}, texts::kDocSetWorkMode,
     operation<commands::set_work_mode, 2>("set_work_mode")},
    {"set_ouput_mode", "mode", "off", {{"return", "bool"}, kNone}, texts::kDocSetOuputMode,
     operation<commands::set_ouput_mode, 2>("set_ouput_mode")},
    {"set_voltage_max", "voltage", nullptr, {{"voltage", "float"}, {"return", "bool"}},
     texts::kDocSetVoltageMax, operation<commands::set_voltage_max, 2>("set_voltage_max")},
    {"set_out_voltage", "voltage", nullptr, {{"voltage", "float"}, {"return", "bool"}},
     texts::kDocSetOutVoltage, operation<commands::set_out_voltage, 2>("set_out_voltage")},
    {"set_out_current", "current", nullptr, {{"current", "float"}, {"return", "bool"}},
     texts::kDocSetOutCurrent, operation<commands::set_out_current, 2>("set_out_current")},
    {"set_new_addr", "address", nullptr, {{"address", "int"}, {"return", "bool"}},
     texts::kDocSetNewAddr, operation<commands::set_new_addr, 2>("set_new_addr")},
    {"restore_factory", nullptr, nullptr, {{"return", "bool"}, kNone}, texts::kDocRestoreFactory,
     operation<commands::restore_factory, 1>("restore_factory")},
    {"read_dev_status", nullptr, nullptr, {{"return", "dict"}, kNone}, texts::kDocReadDevStatus,
     operation<commands::read_dev_status, 1>("read_dev_status")},
    {"__read_device_version", nullptr, nullptr, {kNone, kNone}, texts::kDocReadDeviceVersion,
     operation<commands::read_device_version, 1>("__read_device_version")},
    {"check_port_available", nullptr, nullptr, {{"return", "bool"}, kNone},
     texts::kDocCheckPortAvailable,
     operation<port::check_port_available, 1>("check_port_available")},
    {"open", nullptr, nullptr, {{"return", "bool"}, kNone}, texts::kDocOpen,
     operation<port::open, 1>("open")},
    {"close", nullptr, nullptr, {kNone, kNone}, nullptr, operation<port::close, 1>("close")},
};

}  // namespace

MethodSpec* method_table() { return kMethods; }
std::size_t method_count() { return sizeof(kMethods) / sizeof(kMethods[0]); }

bool is_private_name(const char* name) {
    const std::size_t length = std::strlen(name);
    const bool leading = length > 2 && name[0] == '_' && name[1] == '_';
    const bool trailing = length > 4 && name[length - 1] == '_' && name[length - 2] == '_';
    return leading && !trailing;
}

}  // namespace zq::module

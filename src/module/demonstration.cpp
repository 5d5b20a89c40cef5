#include "module/demonstration.hpp"

#include "context/output.hpp"
#include "texts/texts.hpp"

namespace zq::module {
namespace {

bool say(const Context& c, const char* text) {
    py::Ref line = py::Ref::steal(PyUnicode_FromString(text));
    return line && print_line(c, line.get());
}

// zq4100.<name>(*args)
template <class... Args>
py::Ref call_named(PyObject* supply, const char* name, Args... args) {
    py::Ref method = py::Ref::steal(PyUnicode_InternFromString(name));
    return method ? py::call_method(supply, method.get(), args...) : py::Ref{};
}

// The same, the result dropped: the sequence goes on whatever a command reports.
template <class... Args>
bool step(PyObject* supply, const char* name, Args... args) {
    return static_cast<bool>(call_named(supply, name, args...));
}

bool pause(const Context& c) {
    py::Ref time = global(c, c.time);
    py::Ref sleep = time ? py::getattr(time.get(), c.sleep) : py::Ref{};
    return sleep && py::call(sleep.get(), c.demo_pause);
}

bool run_sequence(const Context& c, PyObject* supply) {
    py::Ref new_address = py::Ref::steal(PyLong_FromLong(6));
    py::Ref ceiling = py::Ref::steal(PyFloat_FromDouble(2.0));
    py::Ref voltage = py::Ref::steal(PyFloat_FromDouble(1.222));
    py::Ref current = py::Ref::steal(PyFloat_FromDouble(0.888));
    if (!new_address || !ceiling || !voltage || !current) return false;
    return say(c, texts::kDemoRemote) && step(supply, "set_work_mode", c.remote) &&
           step(supply, "set_new_addr", new_address.get()) &&
           step(supply, "set_voltage_max", ceiling.get()) &&
           step(supply, "set_out_voltage", voltage.get()) &&
           step(supply, "set_out_current", current.get()) &&
           step(supply, "set_ouput_mode", c.on) && pause(c) && say(c, texts::kDemoLocal) &&
           step(supply, "read_dev_status") && step(supply, "set_work_mode", c.local) &&
           step(supply, "set_ouput_mode", c.off) && step(supply, "restore_factory") &&
           step(supply, "close") && say(c, texts::kDemoClosed);
}

}  // namespace

bool run_demonstration(const Context& c) {
    PyObject* globals = PyModule_GetDict(c.module);
    py::Ref port = py::Ref::steal(PyUnicode_FromString(texts::kDemoPort));
    if (!port || PyDict_SetItemString(globals, "opat_port", port.get()) < 0) return false;
    py::Ref class_name = py::Ref::steal(PyUnicode_FromString("ZQ4180"));
    py::Ref driver_class = class_name ? global(c, class_name.get()) : py::Ref{};
    py::Ref supply = driver_class ? py::call(driver_class.get(), port.get()) : py::Ref{};
    if (!supply || PyDict_SetItemString(globals, "zq4100", supply.get()) < 0) return false;

    py::Ref opened = call_named(supply.get(), "open");
    const int ok = opened ? py::truth(opened.get()) : -1;
    if (ok < 0) return false;
    if (ok) return run_sequence(c, supply.get());
    py::Ref line = py::Ref::steal(PyUnicode_FromFormat("%s%U%s", texts::kDemoOpenFailedPrefix,
                                                       port.get(), texts::kDemoOpenFailedSuffix));
    return line && print_line(c, line.get());
}

}  // namespace zq::module

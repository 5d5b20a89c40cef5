#include "module/demonstration.hpp"

#include "context/output.hpp"
#include "texts/texts.hpp"

namespace zq::module {
namespace {

bool say(const Context& c, const char* text) {
    py::Ref line = py::Ref::steal(PyUnicode_FromString(text));
    return line && print_line(c, line.get());
}

// A name of the module's namespace, looked up when used, as the
// sequence's own code would.
py::Ref module_name(const Context& c, const char* name) {
    py::Ref key = py::Ref::steal(PyUnicode_InternFromString(name));
    return key ? global(c, key.get()) : py::Ref{};
}

// zq4100.<name>(*args)
template <class... Args>
py::Ref call_named(const Context& c, const char* name, Args... args) {
    py::Ref supply = module_name(c, "zq4100");
    py::Ref method = py::Ref::steal(PyUnicode_InternFromString(name));
    return supply && method ? py::call_method(supply.get(), method.get(), args...) : py::Ref{};
}

// The same, the result dropped: the sequence goes on whatever a command reports.
template <class... Args>
bool step(const Context& c, const char* name, Args... args) {
    return static_cast<bool>(call_named(c, name, args...));
}

bool pause(const Context& c) {
    py::Ref time = global(c, c.time);
    py::Ref sleep = time ? py::getattr(time.get(), c.sleep) : py::Ref{};
    return sleep && py::call(sleep.get(), c.demo_pause);
}

bool run_sequence(const Context& c) {
    py::Ref new_address = py::Ref::steal(PyLong_FromLong(6));
    py::Ref ceiling = py::Ref::steal(PyFloat_FromDouble(2.0));
    py::Ref voltage = py::Ref::steal(PyFloat_FromDouble(1.222));
    py::Ref current = py::Ref::steal(PyFloat_FromDouble(0.888));
    if (!new_address || !ceiling || !voltage || !current) return false;
    return say(c, texts::kDemoRemote) && step(c, "set_work_mode", c.remote) &&
           step(c, "set_new_addr", new_address.get()) &&
           step(c, "set_voltage_max", ceiling.get()) &&
           step(c, "set_out_voltage", voltage.get()) &&
           step(c, "set_out_current", current.get()) &&
           step(c, "set_ouput_mode", c.on) && pause(c) && say(c, texts::kDemoLocal) &&
           step(c, "read_dev_status") && step(c, "set_work_mode", c.local) &&
           step(c, "set_ouput_mode", c.off) && step(c, "restore_factory") &&
           step(c, "close") && say(c, texts::kDemoClosed);
}

}  // namespace

bool run_demonstration(const Context& c) {
    PyObject* globals = PyModule_GetDict(c.module);
    py::Ref port = py::Ref::steal(PyUnicode_FromString(texts::kDemoPort));
    if (!port || PyDict_SetItemString(globals, "opat_port", port.get()) < 0) return false;
    py::Ref driver_class = module_name(c, "ZQ4180");
    py::Ref opat_port = driver_class ? module_name(c, "opat_port") : py::Ref{};
    py::Ref supply = opat_port ? py::call(driver_class.get(), opat_port.get()) : py::Ref{};
    if (!supply || PyDict_SetItemString(globals, "zq4100", supply.get()) < 0) return false;

    py::Ref opened = call_named(c, "open");
    const int ok = opened ? py::truth(opened.get()) : -1;
    if (ok < 0) return false;
    if (ok) return run_sequence(c);
    // "open serial port:" + opat_port + " failed!"
    py::Ref shown_port = module_name(c, "opat_port");
    py::Ref line = shown_port ? py::Ref::steal(PyUnicode_FromFormat(
                                    "%s%S%s", texts::kDemoOpenFailedPrefix, shown_port.get(),
                                    texts::kDemoOpenFailedSuffix))
                              : py::Ref{};
    return line && print_line(c, line.get());
}

}  // namespace zq::module

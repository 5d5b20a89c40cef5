// check_port_available: can the port be opened?  On Windows a trial open;
// elsewhere `lsof`, which lists any process holding the device file.  A URL
// names no local device to look at, except spy://DEVICE, whose device is
// checked: any other URL counts as available, and opening it gives the
// verdict.
#include "context/output.hpp"
#include "port/caught_error.hpp"
#include "port/operations.hpp"
#include "port/port_name.hpp"
#include "texts/texts.hpp"

namespace zq::port {
namespace {

// platform.system().lower() == "windows"; -1 with an error set.
int on_windows(const Context& c) {
    py::Ref platform = global(c, c.platform);
    py::Ref system = platform ? py::call_method(platform.get(), c.system) : py::Ref{};
    py::Ref lowered = system ? py::call_method(system.get(), c.lower) : py::Ref{};
    return lowered ? py::equals(lowered.get(), c.windows) : -1;
}

// serial.Serial(self.port).close(); True, or False on SerialException.
PyObject* probe_by_opening(const Context& c, PyObject* self) {
    py::Ref serial = global(c, c.serial);
    py::Ref serial_class = serial ? py::getattr(serial.get(), c.serial_class) : py::Ref{};
    py::Ref port = serial_class ? py::getattr(self, c.port) : py::Ref{};
    py::Ref device;
    const int local = port ? device_to_check(c, port.get(), device) : -1;
    if (local == 0) Py_RETURN_TRUE;
    py::Ref probe = local > 0 ? py::call(serial_class.get(), device.get()) : py::Ref{};
    if (probe && py::call_method(probe.get(), c.close)) Py_RETURN_TRUE;
    CaughtError error;
    const int busy = error.matches_serial_exception(c);
    if (busy < 0) return nullptr;
    if (!busy) return error.reraise();
    Py_RETURN_FALSE;
}

// subprocess.PIPE
py::Ref pipe(const Context& c) {
    py::Ref subprocess = global(c, c.subprocess);
    return subprocess ? py::getattr(subprocess.get(), c.pipe) : py::Ref{};
}

// subprocess.run(["lsof", "--", self.port], stdout=PIPE, stderr=PIPE):
// any output means some process holds the port.  "--" keeps a port name
// such as "-h" or "+D/" from being read as an option.  -1 on error.
int held_by_a_process(const Context& c, PyObject* self) {
    py::Ref subprocess = global(c, c.subprocess);
    py::Ref run = subprocess ? py::getattr(subprocess.get(), c.run) : py::Ref{};
    py::Ref port = run ? py::getattr(self, c.port) : py::Ref{};
    if (!port) return -1;
    py::Ref device;
    const int local = device_to_check(c, port.get(), device);
    if (local <= 0) return local;
    py::Ref argv = py::Ref::steal(PyList_New(3));
    if (!argv) return -1;
    PyObject* items[] = {c.lsof, c.end_of_options, device.get()};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        Py_INCREF(items[i]);
        PyList_SET_ITEM(argv.get(), i, items[i]);
    }
    py::Ref out_pipe = pipe(c);
    py::Ref err_pipe = out_pipe ? pipe(c) : py::Ref{};
    if (!err_pipe) return -1;
    PyObject* const positional[] = {argv.get()};
    PyObject* const keywords[] = {out_pipe.get(), err_pipe.get()};
    py::Ref result = py::call_with_keywords(run.get(), positional, c.run_kwnames, keywords);
    py::Ref output = result ? py::getattr(result.get(), c.stdout_name) : py::Ref{};
    return output ? py::truth(output.get()) : -1;
}

PyObject* probe_with_lsof(const Context& c, PyObject* self) {
    const int held = held_by_a_process(c, self);
    if (held >= 0) return PyBool_FromLong(!held);
    CaughtError error;
    if (!error.is_exception()) return error.reraise();
    if (!print_prefixed(c, texts::kPortCheckError, error.value())) {
        error.chain_into_pending();
        return nullptr;
    }
    Py_RETURN_FALSE;
}

}  // namespace

PyObject* check_port_available(Context& c, PyObject* const* args) {
    PyObject* self = args[0];
    const int windows = on_windows(c);
    if (windows < 0) return nullptr;
    return windows ? probe_by_opening(c, self) : probe_with_lsof(c, self);
}

}  // namespace zq::port

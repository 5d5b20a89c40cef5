// open: check the port is free, open it at 4800 8N1, identify the supply,
// and keep the connection only for a model this driver knows.
#include <optional>

#include "context/output.hpp"
#include "port/caught_error.hpp"
#include "port/operations.hpp"
#include "port/port_name.hpp"
#include "texts/texts.hpp"

namespace zq::port {
namespace {

// serial.Serial(self.port, 4800, 8, "N", timeout=50, stopbits=1), or
// serial.serial_for_url(...) with the same settings for a URL.  A
// socket:// URL is refused with an explanation: `refused` is set and
// nothing is opened.
py::Ref open_connection(const Context& c, PyObject* self, bool& refused) {
    refused = false;
    py::Ref serial = global(c, c.serial);
    py::Ref opener = serial ? py::getattr(serial.get(), c.serial_class) : py::Ref{};
    py::Ref port = opener ? py::getattr(self, c.port) : py::Ref{};
    const int url = port ? is_url(c, port.get()) : -1;
    if (url < 0) return {};
    if (url) {
        const int raw_tcp = is_socket_url(c, port.get());
        if (raw_tcp < 0) return {};
        if (raw_tcp) {
            refused = true;
            py::Ref line = py::Ref::steal(PyUnicode_FromFormat(texts::kSocketUrlRefused, port.get()));
            if (line) print_line(c, line.get());
            return {};
        }
        opener = py::getattr(serial.get(), c.serial_for_url);
        if (!opener) return {};
    }
    PyObject* const positional[] = {port.get(), c.baud_rate, c.data_bits, c.parity_none};
    PyObject* const keywords[] = {c.read_timeout, c.stop_bits};
    return py::call_with_keywords(opener.get(), positional, c.open_kwnames, keywords);
}

// Runs the identity read-out so that only its own answer can name the
// model: the stored model is blanked first, and put back when the supply
// stayed silent (show_device_version keeps reporting who answered last).
// Returns the model the read-out left, or empty with an error set.
py::Ref identify(const Context& c, PyObject* self) {
    py::Ref kept = py::getattr(self, c.product_model);
    if (!kept || !py::setattr(self, c.product_model, c.empty)) return {};
    py::Ref answered = py::call_method(self, c.read_device_version);
    py::Ref model = answered ? py::getattr(self, c.product_model) : py::Ref{};

    // As a `finally:` clause: runs whether or not the read-out raised; an
    // error of its own replaces the read-out's (which becomes its context).
    std::optional<CaughtError> raised;
    if (!model) raised.emplace();
    py::Ref now = py::getattr(self, c.product_model);
    int blank = now ? py::equals(now.get(), c.empty) : -1;
    if (blank > 0 && !py::setattr(self, c.product_model, kept.get())) blank = -1;
    if (blank < 0) {
        if (raised) raised->chain_into_pending();
        return {};
    }
    if (raised) raised->reraise();
    return model;
}

// "4180" or "4181": 1, 0, or -1 with an error set.
int known_model(const Context& c, PyObject* model) {
    const int first = py::equals(model, c.model_4180);
    return first != 0 ? first : py::equals(model, c.model_4181);
}

// The steps that run under open's exception handler: 1 for True, 0 for
// False, -1 when an exception is pending.  `connection` receives the
// connection as soon as it exists.
int try_open(const Context& c, PyObject* self, py::Ref& connection) {
    py::Ref available = py::call_method(self, c.check_port_available);
    if (!available) return -1;
    const int free = py::truth(available.get());
    if (free < 0) return -1;
    if (!free) {
        py::Ref line = py::Ref::steal(PyUnicode_FromString(texts::kPortAlreadyOpened));
        return line && print_line(c, line.get()) ? 0 : -1;
    }
    bool refused = false;
    connection = open_connection(c, self, refused);
    if (refused) return PyErr_Occurred() ? -1 : 0;
    if (!connection || !py::setattr(self, c.ser, connection.get())) return -1;
    py::Ref model = identify(c, self);
    if (!model) return -1;
    const int known = known_model(c, model.get());
    if (known != 0) return known;
    return py::call_method(self, c.close) ? 0 : -1;
}

// Closes a connection that a failed open created, so that the port is not
// left held by this very process (the next availability check would call
// it busy).  Its own ordinary errors belong to the same failure.
bool drop_connection(const Context& c, py::Ref& connection) {
    if (!connection) return true;
    if (py::call_method(connection.get(), c.close)) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace

PyObject* open(Context& c, PyObject* const* args) {
    PyObject* self = args[0];
    py::Ref connection;
    const int opened = try_open(c, self, connection);
    if (opened >= 0) return PyBool_FromLong(opened);

    CaughtError error;
    const int serial_error = error.matches_serial_exception(c);
    if (serial_error < 0) return nullptr;
    if (serial_error) {
        if (!print_prefixed(c, texts::kCannotOpenPort, error.value())) {
            error.chain_into_pending();
            return nullptr;
        }
    } else if (!error.is_exception()) {
        // KeyboardInterrupt, SystemExit: not ours to swallow, but the port is
        // not left held by an open that did not finish.
        if (!drop_connection(c, connection)) {
            error.chain_into_pending();
            return nullptr;
        }
        return error.reraise();
    }
    if (!drop_connection(c, connection)) {
        error.chain_into_pending();
        return nullptr;
    }
    Py_RETURN_FALSE;
}

}  // namespace zq::port

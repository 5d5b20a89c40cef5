// __read_device_version stores who the supply is; show_device_version
// reports what was stored, without talking to the supply.
#include <utility>

#include "commands/operations.hpp"
#include "commands/request.hpp"
#include "protocol/identity.hpp"

namespace zq::commands {
namespace {

// One character per byte, code point = byte value (latin-1), nothing trimmed.
py::Ref text_of(const std::uint8_t* bytes, std::size_t count) {
    return py::Ref::steal(
        PyUnicode_DecodeLatin1(reinterpret_cast<const char*>(bytes), static_cast<Py_ssize_t>(count), nullptr));
}

bool store(PyObject* self, PyObject* name, py::Ref value) {
    return value && py::setattr(self, name, value.get());
}

}  // namespace

PyObject* read_device_version(Context& c, PyObject* const* args) {
    PyObject* self = args[0];
    py::Ref command = new_request(c, self, c.word_read_dev_version);
    if (!command) return nullptr;
    py::Ref reply = exchange(c, self, command.get());
    if (!reply) return nullptr;
    const int received = py::truth(reply.get());
    if (received < 0) return nullptr;
    if (!received) Py_RETURN_NONE;  // a silent supply leaves the stored identity alone
    protocol::Frame bytes;
    if (!reply_bytes(reply.get(), protocol::kIdentityBytesNeeded, bytes)) return nullptr;
    const protocol::Identity id = protocol::decode_identity(bytes.data());
    const bool stored =
        store(self, c.addr, py::Ref::steal(PyLong_FromLong(id.address))) &&
        store(self, c.product_model, text_of(id.model.data(), id.model.size())) &&
        store(self, c.product_number, text_of(id.serial_number.data(), id.serial_number.size())) &&
        store(self, c.soft_version, py::Ref::steal(PyLong_FromLong(id.soft_version)));
    if (!stored) return nullptr;
    Py_RETURN_NONE;
}

PyObject* show_device_version(Context& c, PyObject* const* args) {
    PyObject* self = args[0];
    py::Ref version = py::Ref::steal(PyDict_New());
    if (!version) return nullptr;
    const std::pair<PyObject*, PyObject*> fields[] = {
        {c.key_model, c.product_model},
        {c.key_sn, c.product_number},
        {c.key_soft_version, c.soft_version},
    };
    for (const auto& [key, attribute] : fields) {
        py::Ref value = py::getattr(self, attribute);
        if (!value || PyDict_SetItem(version.get(), key, value.get()) < 0) return nullptr;
    }
    return version.release();
}

}  // namespace zq::commands

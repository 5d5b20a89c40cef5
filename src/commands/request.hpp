// The steps every command shares, done through `self` so that subclasses
// and replaced methods are obeyed: a fresh list from the template, the
// address and the command word, the checksum, one exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "context/context.hpp"

namespace zq::commands {

// command = list(self.__CMD_TEMPLATE); command[1] = self.__addr;
// command[2] = getattr(self, word_name)
py::Ref new_request(const Context& context, PyObject* self, PyObject* word_name);

// command[index] = value
bool set_request_byte(PyObject* command, Py_ssize_t index, long value);

// self.__cal_crc(command); return self.__write_and_read(command)
py::Ref exchange(const Context& context, PyObject* self, PyObject* command);

// The bytes of a reply handed to a decoder: a bytes or bytearray object as
// it is, any other sequence element by element (ints 0..255 only).  Only a
// replaced exchange or an odd port can produce anything but bytes.
bool reply_bytes(PyObject* reply, std::size_t needed, std::vector<std::uint8_t>& out);

// The result of a setting command: True when a reply came back.
PyObject* reply_received(PyObject* reply);

}  // namespace zq::commands

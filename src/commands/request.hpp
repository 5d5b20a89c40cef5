// The steps every command shares, done through `self` so that subclasses
// and replaced methods are obeyed: a fresh list from the template, the
// address and the command word, the checksum, one exchange.
#pragma once

#include <cstddef>

#include "context/context.hpp"
#include "protocol/frame.hpp"

namespace zq::commands {

// command = list(self.__CMD_TEMPLATE); command[1] = self.__addr;
// command[2] = getattr(self, word_name)
py::Ref new_request(const Context& context, PyObject* self, PyObject* word_name);

// command[index] = value
bool set_request_byte(PyObject* command, Py_ssize_t index, long value);

// self.__cal_crc(command); return self.__write_and_read(command)
py::Ref exchange(const Context& context, PyObject* self, PyObject* command);

// The first bytes of a reply, for a decoder that reads `needed` of them: a
// bytes or bytearray object as it is, any other sequence element by
// element (ints 0..255 only).  Only a replaced exchange or an odd port can
// produce anything but bytes.  Only a frame's worth is copied, whatever the
// reply's length.
bool reply_bytes(PyObject* reply, std::size_t needed, protocol::Frame& out);

// The result of a setting command: True when a reply came back.
PyObject* reply_received(PyObject* reply);

}  // namespace zq::commands

"""Atheris target: random call sequences on a driver object over a port
that answers with fuzzed bytes and behaves oddly on demand.

Crash-finding only (the differential oracle lives in the test suite): each
call must end in a result or an ordinary exception, with ASan and UBSan
watching the C++ underneath.  Run it through tools/atheris.sh, which builds the extension
with clang, ASan, UBSan and libFuzzer's coverage hooks and preloads the
matching runtime.
"""
import math
import sys
import types

import atheris

import zq4180


class Hostile:
    def __eq__(self, other):
        raise ArithmeticError("eq")

    __hash__ = object.__hash__

    def __float__(self):
        raise ArithmeticError("float")

    def __index__(self):
        raise ArithmeticError("index")

    def __str__(self):
        raise ArithmeticError("str")


def frame(fdp):
    """A reply: a well-formed frame with fuzzed contents, or raw fuzzed bytes."""
    if fdp.ConsumeBool():
        body = bytes([0xAA]) + fdp.ConsumeBytes(24).ljust(24, b"\0")
        return body + bytes([sum(body) & 0xFF])
    return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 30))


class Port:
    def __init__(self, fdp):
        self.fdp, self.buffer = fdp, b""

    def _odd(self, normal):
        choice = self.fdp.ConsumeIntInRange(0, 12)
        if choice == 1:
            raise OSError(5, "I/O error")
        if choice == 2:
            return [26.0, -1, 2 ** 70, "26", None, Hostile(), [], True][self.fdp.ConsumeIntInRange(0, 7)]
        return normal

    def write(self, data):
        self.buffer = frame(self.fdp) if self.fdp.ConsumeBool() else b""
        return self._odd(len(data))

    def inWaiting(self):
        return self._odd(len(self.buffer))

    def read(self, size):
        data, self.buffer = self.buffer[:size] if isinstance(size, int) else self.buffer, b""
        return self._odd(data)

    def close(self):
        self._odd(None)


def value(fdp):
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind == 0:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 40))
    if kind == 1:
        return fdp.ConsumeRegularFloat()
    if kind == 2:
        return [math.nan, math.inf, -math.inf, -0.0, 4294967.295, 4294967.296, 1e306][fdp.ConsumeIntInRange(0, 6)]
    if kind == 3:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 8))
    if kind == 4:
        return ["on", "off", "remote", "local"][fdp.ConsumeIntInRange(0, 3)]
    if kind == 5:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 30))
    if kind == 6:
        return fdp.ConsumeIntListInRange(fdp.ConsumeIntInRange(0, 30), -300, 300)
    if kind == 7:
        return [value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    if kind == 8:
        return Hostile()
    if kind == 9:
        return bytearray(frame(fdp))
    return [None, True, 1j, object(), (), {}][kind - 10]


METHODS = ["set_work_mode", "set_ouput_mode", "set_voltage_max", "set_out_voltage", "set_out_current",
           "set_new_addr", "restore_factory", "read_dev_status", "show_device_version", "check_port_available",
           "open", "close", "__init__", "_ZQ4180__check_crc", "_ZQ4180__cal_crc", "_ZQ4180__read",
           "_ZQ4180__write_and_read", "_ZQ4180__read_device_version"]


def install_fakes(fdp, port):
    def run(args, **kwargs):
        return types.SimpleNamespace(stdout=b"busy" if fdp.ConsumeBool() else b"", stderr=b"")

    def connect(*args, **kwargs):
        if fdp.ConsumeIntInRange(0, 7) == 0:
            raise OSError(2, "no such device")
        return port

    zq4180.time = types.SimpleNamespace(sleep=lambda seconds: None)
    zq4180.subprocess = types.SimpleNamespace(run=run, PIPE=-1)
    zq4180.serial = types.SimpleNamespace(Serial=connect, serial_for_url=connect, SerialException=OSError)
    zq4180.platform = types.SimpleNamespace(system=lambda: "Linux")


class Silence:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    port = Port(fdp)
    install_fakes(fdp, port)
    obj = zq4180.ZQ4180(fdp.ConsumeUnicode(6) if fdp.ConsumeBool() else "COM3")
    obj.ser = port
    for _ in range(fdp.ConsumeIntInRange(1, 6)):
        name = METHODS[fdp.ConsumeIntInRange(0, len(METHODS) - 1)]
        args = [value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 2))]
        try:
            getattr(obj, name)(*args)
        except Exception:
            pass


def main():
    sys.stdout = Silence()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

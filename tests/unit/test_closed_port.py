"""A command on a closed pySerial connection fails with pySerial's own not-open error.

These use pySerial's real classes and the driver's real `serial` module (no
fakes installed), except where the fakes show what must stay unchanged.
"""
import pytest
import serial

from .fakes import FakePort, frame


class Recording(serial.Serial):
    """A pySerial subclass that notes the port calls the driver makes."""

    def __init__(self, *args, **kwargs):
        self.calls = []
        super().__init__(*args, **kwargs)

    def inWaiting(self):
        self.calls.append("inWaiting")
        return super().inWaiting()

    def write(self, data):
        self.calls.append("write")
        return super().write(data)

    def read(self, size=1):
        self.calls.append("read")
        return super().read(size)


CLOSED = {
    "posix-never-opened": lambda: serial.Serial(),
    "posix-subclass": lambda: Recording(),
    "loop-url": lambda: serial.serial_for_url("loop://", do_not_open=True),
    "loop-url-closed": lambda: _closed(serial.serial_for_url("loop://")),
    "rfc2217-url": lambda: serial.serial_for_url("rfc2217://127.0.0.1:9", do_not_open=True),
}
# every command shares one exchange: a setting and a read-out stand for all
COMMANDS = [("set_ouput_mode", ("on",)), ("read_dev_status", ())]


def _closed(port):
    port.close()
    return port


@pytest.mark.parametrize("name, args", COMMANDS, ids=[c[0] for c in COMMANDS])
@pytest.mark.parametrize("make", list(CLOSED.values()), ids=list(CLOSED))
def test_every_command_on_a_closed_connection(zq, capsys, make, name, args):
    obj = zq.ZQ4180("/dev/ttyUSB0")
    obj.ser = make()
    with pytest.raises(serial.PortNotOpenError, match="^Attempting to use a port that is not open$") as caught:
        getattr(obj, name)(*args)
    assert caught.value.__context__ is None and caught.value.__cause__ is None  # no pySerial internals shown
    assert getattr(obj.ser, "calls", []) == []  # refused before anything is asked of the port
    assert capsys.readouterr().out == ""


class OpenButFailing(serial.Serial):
    """Open in pySerial's eyes, failing in the way a given error says."""

    def __init__(self, error):
        super().__init__()
        self.error = error
        self.is_open = True

    def inWaiting(self):
        raise self.error


@pytest.mark.parametrize("error", [OSError(5, "Input/output error"), serial.SerialException("gone"),
                                   TypeError("odd"), KeyboardInterrupt()])
def test_errors_of_an_open_connection_stay_as_they_are(zq, error):
    obj = zq.ZQ4180("/dev/ttyUSB0")
    obj.ser = OpenButFailing(error)
    with pytest.raises(type(error)) as caught:
        obj.read_dev_status()
    assert caught.value is error


def test_stand_in_ports_see_what_they_saw_before(env):
    # No SerialBase in a replaced `serial` module and none behind a fake port:
    # a fake's own error comes through, and an open fake sees the same calls.
    error = TypeError("argument must be an int, or have a fileno() method.")
    obj, port = env.driver(raises={"inWaiting": error})
    with pytest.raises(TypeError) as caught:
        obj.set_out_voltage(1.0)
    assert caught.value is error and port.log == [("inWaiting",)]
    obj.ser = FakePort(env.clock, [frame(0x01)])
    assert obj.set_work_mode() is True
    assert [event[0] for event in obj.ser.log[:3]] == ["inWaiting", "write", "sleep"]


def test_a_closed_pyserial_port_behind_a_replaced_serial_module(zq, env):
    # The class looked up is the module's `serial.SerialBase` at call time:
    # a stand-in module without it means "not known to be closed".
    obj = zq.ZQ4180("/dev/ttyUSB0")
    obj.ser = serial.Serial()
    with pytest.raises(AttributeError, match="'fd'"):  # pySerial's own, unchanged
        obj.read_dev_status()
    env.serial.SerialBase, env.serial.PortNotOpenError = serial.SerialBase, env.serial.SerialException
    with pytest.raises(env.serial.SerialException):
        obj.read_dev_status()

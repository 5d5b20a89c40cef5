"""Commands after close() or after a failed open(), through a real pty, pySerial and lsof."""
import pytest
import serial

from .helpers import zq4180

pytestmark = pytest.mark.e2e


def expect_not_open(call):
    with pytest.raises(serial.PortNotOpenError, match="^Attempting to use a port that is not open$") as caught:
        call()
    assert isinstance(caught.value, serial.SerialException) and caught.value.__context__ is None


@pytest.mark.parametrize("command", [
    lambda drv: drv.set_out_voltage(3.0), lambda drv: drv.read_dev_status(),
], ids=["set_out_voltage", "read_dev_status"])
def test_after_close(supply, driver, capsys, command):
    driver.close()
    supply.clear_log()
    expect_not_open(lambda: command(driver))
    assert supply.wait_idle() and supply.requests == []  # nothing reached the line
    assert capsys.readouterr().out == ""
    assert driver.open() is True and driver.read_dev_status() is not None  # open again: all is well


@pytest.mark.parametrize("fault", ["no_reply", "bad_checksum"])
def test_after_an_open_that_got_no_valid_answer(supply, fault):
    supply.inject(fault, command=0x31)
    drv = zq4180.ZQ4180(supply.port)
    assert drv.open() is False  # it closed the connection it made
    supply.wait_idle()
    supply.clear_log()
    expect_not_open(lambda: drv.set_work_mode("remote"))
    assert supply.wait_idle() and supply.requests == []
    assert drv.open() is True and drv.set_work_mode("remote") is True
    drv.close()


def test_a_pyserial_subclass_sees_the_same_calls_while_open(supply):
    calls = []

    class Watched(serial.Serial):
        def inWaiting(self):
            calls.append("inWaiting")
            return super().inWaiting()

        def write(self, data):
            calls.append("write")
            return super().write(data)

        def read(self, size=1):
            calls.append("read")
            return super().read(size)

    drv = zq4180.ZQ4180(supply.port)
    drv.ser = Watched(supply.port, 4800, timeout=50)
    assert drv.set_work_mode("remote") is True
    assert calls[:2] == ["inWaiting", "write"] and calls[-1] == "read"
    assert set(calls[2:-1]) == {"inWaiting"}
    drv.ser.close()
    calls.clear()
    expect_not_open(drv.read_dev_status)
    assert calls == []  # refused before anything is asked of the port

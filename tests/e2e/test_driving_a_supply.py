"""Commands, read-outs and opening, through a real pty with real pySerial and lsof."""
import subprocess
import sys
import time

import pytest

from zq4180_sim import FRAME_TIME

from .helpers import ADDRESS, expected_status, zq4180

pytestmark = pytest.mark.e2e

BUSY = "serial port already opened!, Please close and try" + " " * 23 + "again!\n"
FACTORY = {"remote": False, "output_on": False, "voltage_max_mv": 30_000,
           "voltage_set_mv": 5_000, "current_limit_ma": 1_000}


def test_open_adopts_the_address_the_supply_reports(supply, driver):
    assert driver.read_dev_status() == expected_status(supply)
    assert driver.set_out_voltage(2.5) is True
    assert [r[1] for r in supply.requests] == [255, ADDRESS, ADDRESS]
    assert [r[2] for r in supply.requests] == [0x31, 0x26, 0x23]


@pytest.mark.parametrize("method, args, before, after, label", [
    ("set_work_mode", ("remote",), {}, {"remote": True}, None),
    ("set_work_mode", ("local",), {"remote": True}, {"remote": False}, None),
    ("set_ouput_mode", ("on",), {}, {"output_on": True}, None),
    ("set_ouput_mode", ("off",), {"output_on": True}, {"output_on": False}, None),
    ("set_voltage_max", (12.5,), {}, {"voltage_max_mv": 12_500}, None),
    ("set_out_voltage", (2.75,), {}, {"voltage_set_mv": 2_750}, "set voltage, read:"),
    ("set_out_current", (0.25,), {}, {"current_limit_ma": 250}, "set current, read:"),
    ("restore_factory", (),
     {"remote": True, "output_on": True, "voltage_max_mv": 2_000, "voltage_set_mv": 1_222,
      "current_limit_ma": 888}, FACTORY, "Restore FACTORY:"),
])
def test_command_changes_the_supply_and_the_status_shows_it(
        supply, driver, capsys, method, args, before, after, label):
    supply.state.configure(**before)
    assert getattr(driver, method)(*args) is True
    reply = supply.exchanges[-1].reply
    assert capsys.readouterr().out == (f"{label}{list(reply)}\n" if label else "")
    assert {k: getattr(supply.state, k) for k in after} == after
    status = driver.read_dev_status()
    assert status == expected_status(supply)
    assert list(status) == list(expected_status(supply))


@pytest.mark.parametrize("load, volts, amps, mode, current, voltage", [
    (10.0, 5.0, 1.0, "CV", 0.5, 5.0),
    (10.0, 5.0, 0.2, "CC", 0.2, 2.0),
    (None, 5.0, 0.2, "CV", 0.0, 5.0),
])
def test_regulation_under_a_load(supply, driver, load, volts, amps, mode, current, voltage):
    supply.state.configure(load_ohms=load)
    assert driver.set_voltage_max(30.0) and driver.set_out_voltage(volts)
    assert driver.set_out_current(amps) and driver.set_ouput_mode("on")
    status = driver.read_dev_status()
    assert (status["out_mode"], status["current_real"], status["voltage_real"]) == (mode, current, voltage)
    assert driver.set_ouput_mode("off")
    assert driver.read_dev_status()["out_mode"] == "XX"


def test_conditions_of_the_unit_are_reported(supply, driver):
    supply.state.configure(over_temperature=True, fan_speed=5)
    status = driver.read_dev_status()
    assert (status["beyond_temp"], status["fan_speed"]) == (True, 5)


def test_new_address_leaves_the_object_on_the_old_one(supply, driver, capsys):
    assert driver.set_new_addr(9) is True
    assert supply.state.address == 9
    # the object keeps the address its open read: the supply no longer answers it
    assert driver.read_dev_status() is None
    assert supply.requests[-1][1] == ADDRESS
    driver.close()
    again = zq4180.ZQ4180(supply.port)
    assert again.open() is True
    assert again.read_dev_status() == expected_status(supply)
    assert supply.requests[-1][1] == 9
    again.close()
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("model, accepted", [("4180", True), ("4181", True), ("4182", False),
                                             ("0000", False)])
def test_identity_and_model_check(make_supply, capsys, model, accepted):
    supply = make_supply(model_code=model, serial_number="000012345", firmware=0x1234)
    drv = zq4180.ZQ4180(supply.port)
    assert drv.open() is accepted
    assert drv.ser.is_open is accepted
    assert drv.show_device_version() == {"model": model, "SN": "000012345", "soft_version": 0x1234}
    assert capsys.readouterr().out == ""
    drv.close()


@pytest.fixture(params=["another process", "another driver of this process"])
def holder(request, supply):
    """Something that holds the supply's port open, released after the test."""
    if request.param == "another process":
        proc = subprocess.Popen(
            [sys.executable, "-c",
             "import os, sys, time\n"
             "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
             "print('holding', flush=True)\n"
             "time.sleep(60)\n",
             supply.port], stdout=subprocess.PIPE, text=True)
        assert proc.stdout.readline() == "holding\n"
        yield proc
        proc.kill()
        proc.wait()
        proc.stdout.close()
    else:
        first = zq4180.ZQ4180(supply.port)
        assert first.open() is True
        yield first
        first.close()


def test_busy_port_is_refused(supply, holder, capsys):
    capsys.readouterr()
    sent = len(supply.requests)
    drv = zq4180.ZQ4180(supply.port)
    assert drv.check_port_available() is False
    assert drv.open() is False
    assert capsys.readouterr().out == BUSY
    assert not hasattr(drv, "ser")
    assert len(supply.requests) == sent


def test_paced_status_read(make_supply, monkeypatch):
    supply = make_supply(pacing=True)
    drv = zq4180.ZQ4180(supply.port)
    assert drv.open() is True
    clock = CountingTime()
    monkeypatch.setattr(zq4180, "time", clock)
    start = time.perf_counter()
    status = drv.read_dev_status()
    elapsed = time.perf_counter() - start
    drv.close()
    assert status == expected_status(supply)
    polls = len(clock.slept)
    print(f"paced status read: {elapsed * 1000:.1f} ms, {polls} polls")
    # request and reply take 26 byte times each way on a 4800-baud line
    assert elapsed >= 2 * FRAME_TIME
    assert set(clock.requested) == {0.01} and polls <= 30
    # ten punctual polls come before the reply can be complete
    if sum(clock.slept[:10]) < 2 * FRAME_TIME - 0.004:
        assert polls >= 11


class CountingTime:
    """The time module, with every sleep recorded: asked-for and actual length."""

    def __init__(self):
        self.requested, self.slept = [], []

    def sleep(self, seconds):
        began = time.perf_counter()
        time.sleep(seconds)
        self.slept.append(time.perf_counter() - began)
        self.requested.append(seconds)

    def __getattr__(self, name):
        return getattr(time, name)

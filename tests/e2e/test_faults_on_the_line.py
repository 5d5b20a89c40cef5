"""Spoiled replies, silence and a vanishing port, through a real pty."""
import time

import pytest

from .helpers import ADDRESS, RaiseSpy, call_or_fail_if_stuck, expected_status

pytestmark = pytest.mark.e2e

# kind, parameters, whether the driver still takes the reply
FAULTS = [
    ("no_reply", {}, False),
    ("bad_sync", {}, False),
    ("bad_checksum", {}, False),
    ("noise", {}, False),                  # 29 bytes wait, never exactly 26
    ("late", {"delay": 0.5}, False),       # after the driver's 30 polls
    ("split", {"gap": 0.05}, True),        # the rest arrives within the polls
    ("split", {"gap": 0.5}, False),
]
# method, arguments, result without a reply, line printed with a reply
SPOILED = [
    ("read_dev_status", (), None, None),
    ("set_out_voltage", (2.5,), False, "set voltage, read:"),
]


@pytest.mark.parametrize("method, args, silent, label", SPOILED, ids=[m for m, *_ in SPOILED])
@pytest.mark.parametrize("kind, params, taken", FAULTS,
                         ids=[f"{k}{'-' + str(p['gap']) if 'gap' in p else ''}" for k, p, _ in FAULTS])
def test_fault_result_and_recovery(supply, driver, capsys, kind, params, taken,
                                   method, args, silent, label):
    supply.inject(kind, **params)
    result = getattr(driver, method)(*args)
    spoiled = supply.exchanges[-1]
    assert spoiled.fault == kind
    if not taken:
        assert result is silent
        assert capsys.readouterr().out == ""
    elif label is None:
        assert result == expected_status(supply)
    else:
        assert result is True
        assert capsys.readouterr().out == f"{label}{list(spoiled.reply)}\n"
    # a reply landing inside the next exchange's own wait would be taken as its reply
    assert supply.wait_idle()
    assert driver.read_dev_status() == expected_status(supply)


@pytest.mark.parametrize("method, args, silent", [
    ("set_work_mode", ("remote",), False),
    ("set_ouput_mode", ("on",), False),
    ("set_voltage_max", (5.0,), False),
    ("set_out_voltage", (2.5,), False),
    ("set_out_current", (0.5,), False),
    ("set_new_addr", (9,), False),
    ("restore_factory", (), False),
    ("read_dev_status", (), None),
])
def test_every_command_reports_silence(supply, driver, capsys, method, args, silent):
    supply.inject("no_reply")
    assert getattr(driver, method)(*args) is silent
    assert capsys.readouterr().out == ""
    assert supply.exchanges[-1].fault == "no_reply"
    assert supply.requests[-1][1] == ADDRESS


def test_reopen_needs_a_live_answer(supply, driver, capsys):
    driver.close()
    supply.inject("no_reply", command=0x31)
    assert driver.open() is False
    assert capsys.readouterr().out == ""
    assert not driver.ser.is_open
    assert driver.show_device_version()["model"] == "4181"
    assert driver.open() is True


@pytest.mark.parametrize("replug_after", [None, 0.2], ids=["replug", "timed-replug"])
def test_unplug_raises_and_the_stable_path_reopens(supply, driver, capsys, replug_after):
    spy = driver.ser = RaiseSpy(driver.ser)
    supply.inject("unplug", replug_after=replug_after)
    for _ in range(2):  # and it stays an error, not a crash
        with pytest.raises(OSError) as caught:
            call_or_fail_if_stuck(driver.read_dev_status)
        assert caught.value is spy.raised[-1]
    driver.ser = spy.wrapped
    driver.close()
    if replug_after is None:
        # while unplugged the stable path is gone and open says why
        assert driver.open() is False
        out = capsys.readouterr().out
        assert out.startswith(f"Cannot open serial port[Errno 2] could not open port {supply.port}")
        assert out.count("\n") == 1
        supply.replug()
    else:
        deadline = time.monotonic() + 5
        while not supply.plugged:
            assert time.monotonic() < deadline, "no re-plug"
            time.sleep(0.01)
    sent = len(supply.requests)
    assert driver.open() is True
    assert driver.read_dev_status() == expected_status(supply)
    # a re-open asks the address the object already holds, not the broadcast one
    assert [r[1] for r in supply.requests[sent:]] == [ADDRESS, ADDRESS]

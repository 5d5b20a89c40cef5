"""The driver through pySerial's URL handlers, against a real ser2net."""
import re

import pytest

import zq4180

from .conftest import ADDRESS

pytestmark = [
    pytest.mark.net,
    # pySerial 3.5's RFC 2217 reader thread uses the old threading names.
    pytest.mark.filterwarnings(r"ignore:set(Daemon|Name)\(\) is deprecated:DeprecationWarning"),
]

FACTORY = {"voltage_max_set": 30.0, "voltage_set": 5.0, "current_set": 1.0,
           "out_status": "off", "work_mode": "local"}


def rfc2217(ports):
    return f"rfc2217://127.0.0.1:{ports['rfc2217']}?ign_set_control"


def test_every_command_through_rfc2217(supply, ser2net, capsys):
    drv = zq4180.ZQ4180(rfc2217(ser2net))
    assert drv.open() is True
    try:
        assert drv.show_device_version() == {"model": "4181", "SN": "076787041",
                                             "soft_version": 373}
        assert drv.set_work_mode("remote") is True
        assert drv.set_voltage_max(12.5) is True
        assert drv.set_out_voltage(3.3) is True
        assert drv.set_out_current(0.25) is True
        assert drv.set_ouput_mode("on") is True
        # 3.3 V into 10 ohm would draw 0.33 A: the 0.25 A limit puts it in CC at 2.5 V.
        assert drv.read_dev_status() == {
            "current_real": 0.25, "voltage_real": 2.5, "current_set": 0.25,
            "voltage_max_set": 12.5, "voltage_set": 3.3, "out_status": "on",
            "beyond_temp": False, "out_mode": "CC", "fan_speed": 0, "work_mode": "remote"}
        assert drv.set_ouput_mode("off") is True
        assert drv.read_dev_status()["out_status"] == "off"

        assert drv.restore_factory() is True
        assert FACTORY.items() <= drv.read_dev_status().items()
        printed = capsys.readouterr().out.splitlines()
        assert [line.split(":")[0] for line in printed] == [
            "set voltage, read", "set current, read", "Restore FACTORY"]
        voltage_reply = next(x.reply for x in supply.exchanges if x.request[2] == 0x23)
        assert printed[0] == "set voltage, read:" + str(list(voltage_reply))

        assert drv.set_new_addr(9) is True
        assert supply.state.address == 9
    finally:
        drv.close()

    # A new object finds the supply at its new address through the same server.
    again = zq4180.ZQ4180(rfc2217(ser2net))
    assert again.open() is True
    try:
        assert again._ZQ4180__addr == 9
        assert again.read_dev_status()["work_mode"] == "local"
    finally:
        again.close()


def test_spy_url_writes_a_hex_trace(supply, tmp_path):
    trace = tmp_path / "trace.txt"
    drv = zq4180.ZQ4180(f"spy://{supply.port}?file={trace}")
    assert drv.open() is True
    assert drv.read_dev_status() is not None
    drv.close()
    text = trace.read_text().lower()
    # Identity request by broadcast, then status to the address the supply reported.
    assert re.search(r"tx\b.*aa ff 31 00", text)
    assert re.search(rf"tx\b.*aa {ADDRESS:02x} 26 00", text)
    assert len(re.findall(r"rx\b.*\baa {:02x} 12\b".format(ADDRESS), text)) == 2


def test_socket_url_is_refused_with_an_explanation(supply, ser2net, capsys):
    drv = zq4180.ZQ4180(f"socket://127.0.0.1:{ser2net['raw']}")
    assert drv.open() is False
    printed = capsys.readouterr().out.splitlines()
    assert len(printed) == 1 and "rfc2217://" in printed[0]
    assert supply.requests == []

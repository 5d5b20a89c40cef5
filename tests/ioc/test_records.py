"""Records served to Channel Access and pvAccess: puts through the library, refusals, metadata, alarms."""

import time

import pytest

pytest.importorskip("softioc")
pytest.importorskip("caproto")

from .helpers import (COMM_ALARM, INVALID, MAJOR, MINOR, NO_ALARM, WRITE_ALARM, answering,  # noqa: E402
                      changes_sent, wait_for)

LIMITS = ["--max-voltage", "10", "--max-current", "1"]


@pytest.fixture
def one(paced, make_ioc):
    supply = paced()
    ioc, ca = make_ioc(supply.port, *LIMITS, "--interval", "0.2")
    wait_for(lambda: answering(ca) and ca.alarm("VOLT:SP") == (NO_ALARM, 0), what="first reading")
    return supply, ioc, ca


@pytest.mark.parametrize("setpoint, value, readback, field", [
    ("VOLT:SP", 3.3, "VOLT:RBV", "voltage_set_mv"),
    ("CURR:SP", 0.5, "CURR:RBV", "current_limit_ma"),
    ("VLIM:SP", 8.0, "VLIM:RBV", "voltage_max_mv"),
    ("OUTP:SP", 1, "OUTP:RBV", "output_on"),
])
def test_put_with_completion_then_get(one, setpoint, value, readback, field):
    supply, _, ca = one
    ca.put(setpoint, value)
    # no wait: the put completed after the read-back, so the readback already shows it
    assert ca.value(readback) == pytest.approx(value)
    assert ca.value(setpoint) == pytest.approx(value)
    assert ca.alarm(readback) == (NO_ALARM, 0)
    held = supply.state.snapshot()[field]
    assert held == (value if field == "output_on" else round(value * 1000))


@pytest.mark.parametrize("setpoint, value, message", [
    ("VOLT:SP", 12, "voltage 12.000 V is over the limit 10.000 V (from --max-voltage)"),
    ("CURR:SP", 1.5, "current limit 1.500 A is over the limit 1.000 A (from --max-current)"),
    ("VLIM:SP", 10.001, "ceiling 10.001 V is over the limit 10.000 V (from --max-voltage)"),
])
def test_put_over_a_limit_is_refused_not_clamped(one, setpoint, value, message):
    supply, _, ca = one
    before = ca.value(setpoint)
    since = len(supply.exchanges)
    ca.put(setpoint, value)
    assert ca.value(setpoint) == pytest.approx(before)            # reverted, never clamped
    assert ca.alarm(setpoint) == (MINOR, WRITE_ALARM)
    assert message in ca.value("MSG:FULL")
    assert ca.value("MSG") == ca.value("MSG:FULL")[:36] + "..."       # cut to a stringin's 39
    time.sleep(0.5)
    assert changes_sent(supply, since) == []                       # nothing sent
    # the next accepted put clears the alarm
    ca.put(setpoint, 0.5)
    assert ca.alarm(setpoint) == (NO_ALARM, 0)


def test_switch_on_refused_for_a_standing_value_and_setpoints_follow_the_supply(one):
    supply, _, ca = one
    supply.state.configure(voltage_set_mv=12000, voltage_max_mv=20000)   # someone turned the knob
    wait_for(lambda: ca.value("VOLT:SP") == pytest.approx(12.0), what="setpoint following the reading")
    since = len(supply.exchanges)
    ca.put("OUTP:SP", 1)
    assert ca.value("OUTP:SP") == 0
    assert ca.alarm("OUTP:SP") == (MINOR, WRITE_ALARM)
    assert "12.000 V is over the limit 10.000 V" in ca.value("MSG:FULL")
    time.sleep(0.5)
    assert changes_sent(supply, since) == []
    assert not supply.state.snapshot()["output_on"]


def test_an_unchanged_value_is_sent_again(one):
    supply, _, ca = one
    ca.put("VOLT:SP", 2.0)
    supply.state.configure(voltage_set_mv=4000)        # the front panel, between two scans
    since = len(supply.exchanges)
    ca.put("VOLT:SP", 2.0)
    assert 0x23 in changes_sent(supply, since)
    assert supply.state.snapshot()["voltage_set_mv"] == 2000


READBACKS = ["VOLT:RBV", "VOLT:MEAS", "CURR:RBV", "CURR:MEAS", "VLIM:RBV", "POW:MEAS", "OUTP:RBV", "MODE",
             "TEMP:ALARM", "FAN", "CTRL", "IDN", "COMM", "MSG", "MSG:FULL"]


def test_readbacks_refuse_writes(one):
    _, _, ca = one
    for record in READBACKS:
        before = ca.read(record).data
        value = "x" if record in ("IDN", "MSG") else b"x" if record == "MSG:FULL" else 1
        assert ca.put(record, value, timeout=5).status.name == "ECA_NOWTACCESS", record
        assert list(ca.read(record).data) == list(before), record


METADATA = [  # record, units, HOPR
    ("VOLT:SP", "V", 10.0), ("VOLT:RBV", "V", 10.0), ("VOLT:MEAS", "V", 10.0),
    ("CURR:SP", "A", 1.0), ("CURR:RBV", "A", 1.0), ("CURR:MEAS", "A", 1.0),
    ("VLIM:SP", "V", 10.0), ("VLIM:RBV", "V", 10.0), ("POW:MEAS", "W", 10.0),
]


def test_units_precision_and_display_limits(one):
    _, _, ca = one
    for record, units, hopr in METADATA:
        md = ca.read(record, "control").metadata
        assert (md.units.decode(), md.precision) == (units, 3), record
        assert (md.lower_disp_limit, md.upper_disp_limit) == (0, pytest.approx(hopr)), record
    for setpoint in ("VOLT:SP", "CURR:SP", "VLIM:SP"):
        # the limit is shown, never a drive limit the record would clamp to
        assert (ca.value(setpoint + ".DRVH"), ca.value(setpoint + ".DRVL")) == (0, 0), setpoint


def test_every_record_has_a_description(one):
    _, _, ca = one
    from zq4180_ioc.names import FIELDS
    for field in FIELDS:
        assert ca.value(f"{field}.DESC"), field


def test_temperature_alarm_is_major(one):
    supply, _, ca = one
    assert (ca.value("TEMP:ALARM"), ca.alarm("TEMP:ALARM")[0]) == (0, NO_ALARM)
    supply.state.configure(over_temperature=True)
    wait_for(lambda: ca.value("TEMP:ALARM") == 1, what="the alarm")
    assert ca.alarm("TEMP:ALARM")[0] == MAJOR
    supply.state.configure(over_temperature=False)
    wait_for(lambda: ca.alarm("TEMP:ALARM")[0] == NO_ALARM, what="the alarm to clear")


def test_readings_fill_the_readbacks_with_the_readings_time(one):
    supply, _, ca = one
    supply.state.configure(fan_speed=5)
    ca.put("VOLT:SP", 2.5)
    ca.put("OUTP:SP", 1)
    wait_for(lambda: ca.value("FAN") == 5, what="fan speed")
    assert ca.value("VOLT:MEAS") == pytest.approx(2.5)
    assert ca.value("CURR:MEAS") == pytest.approx(0.25)
    assert ca.value("POW:MEAS") == pytest.approx(0.625)
    assert ca.value("MODE") == 0                             # CV
    assert "076787041" in ca.value("IDN")
    stamps = {ca.read(r).metadata.timestamp for r in ("VOLT:MEAS", "CURR:MEAS", "FAN")}
    assert abs(max(stamps) - time.time()) < 5


def test_lost_and_returning_port(one):
    supply, _, ca = one
    supply.unplug()
    wait_for(lambda: ca.value("COMM") == 2, what="COMM No port")
    for record in ("VOLT:RBV", "VOLT:MEAS", "OUTP:RBV", "MODE", "FAN"):
        assert ca.alarm(record) == (INVALID, COMM_ALARM)
    assert ca.alarm("COMM")[0] == MAJOR
    assert "port lost" in ca.value("MSG:FULL")
    supply.replug()
    wait_for(lambda: ca.value("COMM") == 0, timeout=20, what="the port back")
    wait_for(lambda: ca.alarm("VOLT:RBV") == (NO_ALARM, 0), what="readbacks valid again")


def test_silent_supply_sets_comm_no_reply(one):
    supply, _, ca = one
    supply.inject("no_reply", count=None)
    wait_for(lambda: ca.value("COMM") == 1, timeout=20, what="COMM No reply")
    assert ca.alarm("CURR:MEAS") == (INVALID, COMM_ALARM)
    since = len(supply.exchanges)
    ca.put("VOLT:SP", 1.0)                                   # refused: nothing queued for a silent supply
    assert ca.alarm("VOLT:SP") == (MINOR, WRITE_ALARM)
    assert "not answering" in ca.value("MSG:FULL")
    assert changes_sent(supply, since) == []
    supply.clear_faults()
    wait_for(lambda: ca.value("COMM") == 0, timeout=20, what="answers again")


def test_pvaccess_get(one):
    p4p_client = pytest.importorskip("p4p.client.thread")
    import os
    _, _, ca = one
    ca.put("VOLT:SP", 1.25)
    conf = {k: os.environ[k] for k in ("EPICS_PVA_ADDR_LIST", "EPICS_PVA_AUTO_ADDR_LIST", "EPICS_PVA_SERVER_PORT",
                                       "EPICS_PVA_BROADCAST_PORT")}
    ctx = p4p_client.Context("pva", conf=conf, useenv=False)
    try:
        value = ctx.get(ca.prefix + "VOLT:RBV", timeout=10)
        assert float(value) == pytest.approx(1.25)
        assert value.raw.display.units == "V"
        assert value.raw.display.precision == 3
        msg = ctx.get(ca.prefix + "IDN", timeout=10)
        assert "076787041" in str(msg)
    finally:
        ctx.close()


def test_another_supply_at_the_port(one):
    supply, _, ca = one
    supply.unplug()
    supply.state.configure(serial_number="099999999")
    supply.replug()
    wait_for(lambda: ca.value("COMM") == 3, timeout=20, what="COMM Other supply")
    assert ca.alarm("VOLT:RBV") == (INVALID, COMM_ALARM)
    assert ca.alarm("COMM")[0] == MAJOR
    assert "another supply answers at the port" in ca.value("MSG:FULL")
    since = len(supply.exchanges)
    ca.put("VOLT:SP", 1.0)
    assert ca.alarm("VOLT:SP") == (MINOR, WRITE_ALARM)
    assert changes_sent(supply, since) == []

"""ZQ4180Epics against a running IOC: plans, refusals that raise, the confirmed off."""

import asyncio

import pytest

pytest.importorskip("softioc")
pytest.importorskip("caproto")
pytest.importorskip("bluesky")
pytest.importorskip("ophyd_async.epics.core")

from .helpers import answering, changes_sent, wait_for  # noqa: E402


@pytest.fixture
def served(paced, make_ioc):
    supply = paced()
    ioc, ca = make_ioc(supply.port, "--max-voltage", "10", "--max-current", "1", "--interval", "0.2")
    wait_for(lambda: answering(ca), what="first reading")
    from bluesky import RunEngine
    from ophyd_async.core import init_devices

    from zq4180_bench.bluesky import ZQ4180Epics
    RE = RunEngine(call_returns_result=True)
    with init_devices():
        psu = ZQ4180Epics(ca.prefix)
    return supply, ca, RE, psu


def _run(RE, start):
    """Await ``start()`` on the RunEngine's event loop."""
    async def run():
        return await start()
    return asyncio.run_coroutine_threadsafe(run(), RE.loop).result(60)


def test_count_and_scan_documents(served):
    supply, ca, RE, psu = served
    from bluesky.plans import count, scan
    docs = []
    RE(count([psu], 2), lambda name, doc: docs.append((name, doc)))
    RE(scan([psu], psu, 0.5, 2.5, 5), lambda name, doc: docs.append((name, doc)))
    from event_model import schema_validators, DocumentNames
    for name, doc in docs:
        schema_validators[DocumentNames[name]].validate(doc)
    descriptor = [doc for name, doc in docs if name == "descriptor"][-1]
    assert descriptor["data_keys"]["psu"]["units"] == "V"
    assert descriptor["data_keys"]["psu"]["source"] == f"ca://{ca.prefix}VOLT:RBV"
    assert descriptor["data_keys"]["psu-measured_current"]["units"] == "A"
    configuration = descriptor["configuration"]["psu"]["data"]
    assert configuration["psu-control"] == "Remote"          # the scan's settings took remote control
    assert {"psu-current_limit", "psu-ceiling", "psu-output"} <= set(configuration)
    events = [doc["data"] for name, doc in docs if name == "event"]
    assert [round(e["psu"], 3) for e in events[-5:]] == [0.5, 1.0, 1.5, 2.0, 2.5]
    assert supply.state.snapshot()["voltage_set_mv"] == 2500


def test_set_between_millivolts_and_locate(served):
    supply, ca, RE, psu = served
    from bluesky import plan_stubs as bps
    RE(bps.mv(psu, 1.3334))
    assert supply.state.snapshot()["voltage_set_mv"] == 1333
    located = _run(RE, psu.locate)
    assert located["setpoint"] == pytest.approx(1.3334, abs=1e-3)
    assert located["readback"] == pytest.approx(1.333)


def test_check_limits_refuses_with_nothing_sent(served):
    supply, ca, RE, psu = served
    from bluesky.plans import scan
    from bluesky.simulators import check_limits
    since = len(supply.exchanges)
    with pytest.raises(ValueError, match="over the limit 10.000 V"):
        check_limits(scan([psu], psu, 0, 12, 3))
    assert changes_sent(supply, since) == []


def test_refused_set_raises_with_the_iocs_message(served):
    supply, ca, RE, psu = served
    supply.state.configure(voltage_set_mv=12000, voltage_max_mv=20000)     # the knob, past the limit
    wait_for(lambda: ca.value("VOLT:SP") == pytest.approx(12.0), what="the setpoint to follow")
    since = len(supply.exchanges)
    with pytest.raises(ValueError) as refused:
        _run(RE, lambda: psu.output.set("On"))
    assert "12.000 V is over the limit 10.000 V" in str(refused.value)
    assert str(refused.value) == ca.value("MSG:FULL")
    assert changes_sent(supply, since) == []


def test_settable_signals_and_the_off_at_the_end(served):
    supply, ca, RE, psu = served
    from bluesky import plan_stubs as bps
    from bluesky.plans import count

    from zq4180_bench.bluesky import output_off_at_end
    RE(bps.mv(psu.current_limit, 0.5, psu.ceiling, 8.0))
    RE(bps.mv(psu, 2.0))
    RE(bps.mv(psu.output, "On"))
    state = supply.state.snapshot()
    assert (state["current_limit_ma"], state["voltage_max_mv"], state["output_on"]) == (500, 8000, True)
    RE(count([psu], 1))
    assert supply.state.snapshot()["output_on"]          # a plan's end (stop) leaves the output on
    RE(output_off_at_end(count([psu], 1), psu))
    assert not supply.state.snapshot()["output_on"]
    assert ca.value("MSG") == "output off (confirmed)"


REMOTE, OUTPUT, CEILING, VOLTAGE, CURRENT = 0x20, 0x21, 0x22, 0x23, 0x24


@pytest.mark.parametrize("moves, settings, switched_on", [
    # issued together, whatever the order: the settings first, the output on last
    ([("output", "On"), ("current_limit", 0.5)], {CURRENT}, True),
    ([("current_limit", 0.5), ("output", "On")], {CURRENT}, True),
    ([("output", "On"), ("current_limit", 0.5), ("ceiling", 8.0)], {CEILING, CURRENT}, True),
    ([("output", "On"), ("", 3.0)], {VOLTAGE}, True),                   # the movable itself
    ([("output", "On"), ("", 3.0), ("current_limit", 0.5)], {VOLTAGE, CURRENT}, True),
    # a setting that fails keeps the output off, nothing else sent
    ([("output", "On"), ("current_limit", 1.5)], set(), False),
])
def test_output_on_goes_after_the_settings_issued_with_it(served, moves, settings, switched_on):
    supply, ca, RE, psu = served
    from bluesky import plan_stubs as bps
    from bluesky.utils import FailedStatus
    since = len(supply.exchanges)
    args = [a for name, value in moves for a in (getattr(psu, name) if name else psu, value)]
    if switched_on:
        RE(bps.mv(*args))
    else:
        with pytest.raises((FailedStatus, ValueError)):
            RE(bps.mv(*args))
    sent = [c for c in changes_sent(supply, since) if c != REMOTE]
    if switched_on:
        assert sent[-1] == OUTPUT and OUTPUT not in sent[:-1]
        sent = sent[:-1]
    assert set(sent) == settings
    assert supply.state.snapshot()["output_on"] == switched_on


@pytest.mark.parametrize("plan", ["count", "scan", "settings"])
def test_mock_mode_runs_plans_without_an_ioc(plan):
    from bluesky import RunEngine
    from bluesky import plan_stubs as bps
    from bluesky.plans import count, scan
    from ophyd_async.core import init_devices

    from zq4180_bench.bluesky import ZQ4180Epics
    RE = RunEngine(call_returns_result=True)
    with init_devices(mock=True):
        psu = ZQ4180Epics("ZQTNOWHERE:S1:")
    plans = {"count": lambda: count([psu], 2), "scan": lambda: scan([psu], psu, 0, 2, 5),
             "settings": lambda: bps.mv(psu.current_limit, 0.5, psu.ceiling, 8.0, psu.output, "On")}
    RE(plans[plan]())
    if plan == "scan":
        assert _run(RE, psu.locate)["setpoint"] == pytest.approx(2.0)


@pytest.mark.parametrize("on, off", [("On", "Off"), ("on", "off"), ("ON", "OFF"), (True, False), (1, 0)])
def test_output_takes_the_spellings_of_on_and_off(served, on, off):
    supply, ca, RE, psu = served
    from bluesky import plan_stubs as bps
    RE(bps.mv(psu.output, on))
    assert supply.state.snapshot()["output_on"]
    RE(bps.mv(psu.output, off))
    assert not supply.state.snapshot()["output_on"]
    assert ca.value("MSG") == "output off (confirmed)"


@pytest.mark.parametrize("value", ["yes", 2, None, 0.5])
def test_output_refuses_other_values_with_nothing_sent(served, value):
    supply, ca, RE, psu = served
    since = len(supply.exchanges)
    with pytest.raises(ValueError, match="output must be 'On' or 'Off'"):
        _run(RE, lambda: psu.output.set(value))
    assert changes_sent(supply, since) == []


def test_scan_ending_in_cc_completes(served):
    supply, ca, RE, psu = served
    from bluesky import plan_stubs as bps
    from bluesky.plans import scan
    RE(bps.mv(psu.current_limit, 0.1))
    RE(bps.mv(psu.output, "On"))
    docs = []
    RE(scan([psu], psu, 0.5, 3.0, 6), lambda name, doc: docs.append((name, doc)))   # 10 ohm: CC above 1 V
    last = [doc["data"] for name, doc in docs if name == "event"][-1]
    assert round(last["psu"], 3) == 3.0                        # the setpoint read back, not the measured
    assert last["psu-regulation"] == "CC"
    assert last["psu-measured_voltage"] < 1.1

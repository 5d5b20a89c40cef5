"""ZQ4180Supply through virtual supplies: plans, documents, limits, the safe order,
read-backs, the confirmed off at the end of a plan, mock mode and the event loop."""
import asyncio
import subprocess
import sys
import time

import pytest

pytest.importorskip("bluesky")

import bluesky.plan_stubs as bps
from bluesky.plans import count, scan
from bluesky.simulators import check_limits

from bluesky_helpers import CEILING, CURRENT, OUTPUT, VOLTAGE, WORK_MODE, run, set_state, settings, source_env


def validate(documents):
    from event_model import DocumentNames, schema_validators
    for name, doc in documents:
        schema_validators[DocumentNames[name]].validate(doc)


def events(RE):
    return [doc["data"] for name, doc in RE.documents if name == "event"]


def descriptor(RE):
    return next(doc for name, doc in RE.documents if name == "descriptor")


def test_count_documents_valid_with_units(RE, devices, sim):
    set_state(sim, volts=2.0, amps=0.5, output=True)
    psu = devices(sim.port)
    RE(count([psu], num=3))
    validate(RE.documents)
    keys = descriptor(RE)["data_keys"]
    assert {k: keys[k]["units"] for k in ("psu", "psu-measured_voltage", "psu-measured_current", "psu-power")} == {
        "psu": "V", "psu-measured_voltage": "V", "psu-measured_current": "A", "psu-power": "W"}
    assert all(keys[k]["precision"] == 3 for k in ("psu", "psu-measured_voltage", "psu-measured_current"))
    config = descriptor(RE)["configuration"]["psu"]
    assert config["data"] == {"psu-current_limit": 0.5, "psu-ceiling": 30.0, "psu-output": "on",
                              "psu-control": "local"}
    assert config["data_keys"]["psu-current_limit"]["units"] == "A"
    assert [e["psu-measured_current"] for e in events(RE)] == [0.2] * 3
    assert psu.hints == {"fields": ["psu", "psu-measured_voltage", "psu-measured_current"]}


def test_scan_moves_and_reads(RE, devices, sim):
    psu = devices(sim.port, max_voltage=5)
    RE(bps.mv(psu.current_limit, 1.0, psu.output, "on"))
    RE(scan([psu], psu, 0.0, 2.0, 5))
    validate(RE.documents)
    rows = events(RE)
    assert [r["psu"] for r in rows] == [0.0, 0.5, 1.0, 1.5, 2.0]
    assert [r["psu-measured_current"] for r in rows] == pytest.approx([0.0, 0.05, 0.1, 0.15, 0.2])
    assert [r["psu-regulation"] for r in rows] == ["CV"] * 5


def test_a_scan_into_constant_current(RE, devices, sim):
    set_state(sim, amps=0.1, output=True)       # 10 ohms: CC above 1 V
    psu = devices(sim.port)
    RE(scan([psu], psu, 0.0, 3.0, 4))
    rows = events(RE)
    assert [r["psu"] for r in rows] == [0.0, 1.0, 2.0, 3.0]          # the setpoints were taken ...
    assert [r["psu-regulation"] for r in rows][-2:] == ["CC", "CC"]   # ... though the output never got there
    assert rows[-1]["psu-measured_voltage"] == pytest.approx(1.0)


@pytest.mark.parametrize("stop, wanted", [
    (1.0001, [0.0, 0.333, 0.667, 1.0]),
    (0.0035, [0.0, 0.001, 0.002, 0.004]),    # 1.1667 mV -> 1 mV, 3.5 mV -> 4 mV (whole millivolts)
])
def test_setpoints_between_whole_millivolts(RE, devices, sim, stop, wanted):
    psu = devices(sim.port)
    sim.clear_log()
    RE(scan([psu], psu, 0.0, stop, 4))
    assert [r["psu"] for r in events(RE)] == wanted
    assert [v for w, v in settings(sim) if w == VOLTAGE] == [round(v * 1000) for v in wanted]


@pytest.mark.parametrize("plan, limits", [
    (lambda psu: scan([psu], psu, 0.0, 12.0, 3), {"max_voltage": 10}),
    (lambda psu: bps.mv(psu.current_limit, 1.5), {"max_current": 1}),
    (lambda psu: bps.mv(psu.ceiling, 10.5), {"max_voltage": 10}),
    # switching on with a standing value over a limit
    (lambda psu: bps.mv(psu.output, "on"), {"max_voltage": 4}),
])
def test_check_limits_refuses_before_anything_runs(RE, devices, sim, plan, limits):
    set_state(sim, volts=5.0)
    psu = devices(sim.port, **limits)
    sim.clear_log()
    with pytest.raises(ValueError):
        check_limits(plan(psu))
    assert settings(sim) == []


@pytest.mark.parametrize("name, value, limits", [
    (None, 11.0, {"max_voltage": 10}),
    ("current_limit", 1.001, {"max_current": 1}),
    ("ceiling", 10.0006, {"max_voltage": 10}),
    (None, -0.5, {}),
])
def test_a_set_over_a_limit_fails_with_nothing_sent(RE, devices, sim, name, value, limits):
    psu = devices(sim.port, **limits)
    target = psu if name is None else getattr(psu, name)
    sim.clear_log()

    async def attempt():
        await target.set(value)
    with pytest.raises(ValueError):
        run(attempt())
    assert settings(sim) == []


def test_locate_gives_setpoint_and_readback(RE, devices, sim):
    psu = devices(sim.port)
    RE(bps.mv(psu, 1.5))
    assert run(psu.locate()) == {"setpoint": 1.5, "readback": 1.5}
    set_state(sim, volts=2.0)                   # the knob turned since
    RE(bps.trigger(psu, wait=True))
    assert run(psu.locate()) == {"setpoint": 1.5, "readback": 2.0}


@pytest.mark.parametrize("signals, order", [
    ((("current_limit", 0.5), ("output", "on")), [CURRENT, OUTPUT]),
    ((("output", "on"), ("current_limit", 0.5)), [CURRENT, OUTPUT]),
    # from 1 V under a 2 V ceiling to 3 V under 4 V: the ceiling first keeps the output at 1 V meanwhile
    ((("output", "on"), (None, 3.0), ("ceiling", 4.0)), [CEILING, VOLTAGE, OUTPUT]),
    # from 1 V under a 2 V ceiling to 0.5 V under 0.8 V: the voltage first
    (((None, 0.5), ("ceiling", 0.8), ("output", "on")), [VOLTAGE, CEILING, OUTPUT]),
])
def test_sets_issued_together_go_in_the_safe_order(RE, devices, sim, signals, order):
    set_state(sim, volts=1.0, ceiling=2.0)
    psu = devices(sim.port)
    sim.clear_log()
    args = []
    for name, value in signals:
        args += [psu if name is None else getattr(psu, name), value]
    RE(bps.mv(*args))
    assert [w for w, _ in settings(sim) if w != WORK_MODE] == order
    assert sim.state.snapshot()["output_on"]


def test_switch_on_checked_as_a_whole(RE, devices, sim):
    set_state(sim, amps=2.0)
    psu = devices(sim.port, max_current=1)
    RE(bps.mv(psu.current_limit, 0.5, psu.output, "on"))   # together: the new limit counts
    assert sim.state.snapshot()["output_on"] and sim.state.snapshot()["current_limit_ma"] == 500


def test_a_read_back_that_differs_fails_the_set_at_once(RE, devices, sim, monkeypatch):
    psu = devices(sim.port)
    model = sim.state
    handle = model.handle

    def ignores_voltage(request):      # acknowledges the voltage and keeps the old one
        if len(request) > 2 and request[2] == VOLTAGE:
            return model.reply(bytes([VOLTAGE]))
        return handle(request)
    monkeypatch.setattr(model, "handle", ignores_voltage)
    started = time.monotonic()
    with pytest.raises(Exception, match="DIFFERS"):
        RE(bps.mv(psu, 2.0))
    assert time.monotonic() - started < psu.timeout


def test_a_silent_supply_fails_the_set(RE, devices, sim):
    psu = devices(sim.port, timeout=5.0)
    sim.inject("no_reply", count=None)
    try:
        with pytest.raises(Exception):
            RE(bps.mv(psu, 2.0))
    finally:
        sim.clear_faults()
    assert [w for w, _ in settings(sim) if w == VOLTAGE] == []   # nothing sent after an unanswered read


def test_stop_and_the_end_of_a_plan_leave_the_output_on(RE, devices, sim):
    set_state(sim, volts=1.0, output=True)
    psu = devices(sim.port)
    RE(scan([psu], psu, 1.0, 2.0, 3))
    run(psu.stop())
    psu.close()
    assert sim.state.snapshot()["output_on"]
    assert [w for w, _ in settings(sim) if w == OUTPUT] == []


def test_garbage_collection_leaves_the_output_on(RE, sim):
    import gc

    from ophyd_async.core import init_devices

    from zq4180_bench.bluesky import ZQ4180Supply
    with init_devices():
        psu = ZQ4180Supply(sim.port)
    RE(bps.mv(psu, 2.0, psu.output, "on"))
    owner = psu.owner
    del psu
    gc.collect()
    time.sleep(0.2)
    try:
        assert [w for w, _ in settings(sim) if w == OUTPUT] == [OUTPUT] and sim.state.snapshot()["output_on"]
    finally:
        owner.close()


def test_the_end_of_the_process_leaves_the_output_on(sim):
    script = (
        "from bluesky import RunEngine\nimport bluesky.plan_stubs as bps\n"
        "from ophyd_async.core import init_devices\nfrom zq4180_bench.bluesky import ZQ4180Supply\n"
        "RE = RunEngine({})\n"
        f"with init_devices():\n    psu = ZQ4180Supply({sim.port!r})\n"
        "RE(bps.mv(psu, 2.5, psu.output, 'on'))\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                          env=source_env())
    assert done.returncode == 0, done.stderr
    sim.wait_idle()
    state = sim.state.snapshot()
    assert state["output_on"] and state["voltage_set_mv"] == 2500


def failing_plan(psu):
    yield from bps.mv(psu, 1.0)
    raise RuntimeError("the sample broke")


@pytest.mark.parametrize("plan, raises", [
    (lambda psu: scan([psu], psu, 0.0, 1.0, 3), None),
    (failing_plan, RuntimeError),
])
def test_output_off_at_end(RE, devices, sim, plan, raises):
    from zq4180_bench.bluesky import output_off_at_end
    set_state(sim, volts=1.0, output=True)
    psu = devices(sim.port)
    if raises:
        with pytest.raises(raises):
            RE(output_off_at_end(plan(psu), psu))
    else:
        RE(output_off_at_end(plan(psu), psu))
    assert not sim.state.snapshot()["output_on"]
    assert run(psu.output.get_value()) == "off"


def test_output_off_at_end_names_an_unconfirmed_off(RE, devices, sim):
    from zq4180_bench.bluesky import OutputMayBeOn, output_off_at_end
    set_state(sim, volts=1.0, output=True)
    psu = devices(sim.port)

    def plan():
        yield from bps.null()
        sim.inject("no_reply", count=None)
    try:
        with pytest.raises(OutputMayBeOn, match=r"OUTPUT MAY STILL BE ON"):
            RE(output_off_at_end(plan(), psu))
    finally:
        sim.clear_faults()


def test_mock_mode_opens_no_port(RE, devices, monkeypatch, tmp_path):
    import zq4180_bench.inprocess as inprocess

    def no_port(*args, **kwargs):
        raise AssertionError("a port was opened in mock mode")
    monkeypatch.setattr(inprocess, "Owner", no_port)
    monkeypatch.setattr(inprocess, "start_virtual", no_port)
    for target in (str(tmp_path / "no-such-port"), "sim"):
        psu = devices(target, mock=True, max_voltage=5)
        RE(bps.mv(psu, 3.0))
        RE(bps.mv(psu.current_limit, 0.5, psu.output, "on"))
        assert run(psu.locate()) == {"setpoint": 3.0, "readback": 3.0}
        assert run(psu.current_limit.get_value()) == 0.5
        with pytest.raises(ValueError):
            check_limits(scan([psu], psu, 0, 6, 2))


def test_the_event_loop_runs_during_trigger(RE, devices, virtual_supplies):
    paced = virtual_supplies(1, pacing=True, load_ohms=10.0)   # an exchange takes about 108 ms
    psu = devices(paced.port)

    async def trigger_with_ticker():
        ticks = 0
        done = False

        async def ticker():
            nonlocal ticks
            while not done:
                await asyncio.sleep(0.005)
                ticks += 1
        task = asyncio.ensure_future(ticker())
        await psu.trigger()
        done = True
        await task
        return ticks
    time.sleep(0.3)                      # the worker's read after connecting is over
    paced.wait_idle()
    paced.clear_log()
    assert run(trigger_with_ticker()) >= 5
    assert [r[2] for r in paced.requests] == [0x26]       # one status exchange filled every reading


def test_connecting_changes_nothing(RE, devices, sim):
    set_state(sim, volts=7.5, ceiling=9.0, amps=0.3, output=True, remote=False)
    before = sim.state.snapshot()
    psu = devices(sim.port)
    RE(count([psu], num=2))
    psu.close()
    assert settings(sim) == [] and sim.state.snapshot() == before


@pytest.mark.parametrize("fault", [
    {"kind": "no_reply", "command": OUTPUT},       # the off frame's reply lost: tried again
    {"kind": "no_reply", "command": 0x26},         # the confirming read's reply lost
    {"kind": "late", "command": OUTPUT, "delay": 0.5},
])
def test_output_off_at_end_through_a_lost_reply(RE, devices, sim, fault):
    from zq4180_bench.bluesky import output_off_at_end
    set_state(sim, volts=1.0, output=True)
    psu = devices(sim.port)

    def plan():
        yield from bps.null()
        sim.inject(**fault)
    RE(output_off_at_end(plan(), psu))
    assert not sim.state.snapshot()["output_on"]


def test_an_off_drops_a_setting_not_yet_sent(RE, devices, sim):
    psu = devices(sim.port)
    sim.clear_log()

    async def switch_on_then_off():
        switching_on = asyncio.ensure_future(psu.output.set("on"))
        while psu._batcher._open is None:      # the request waits for others to join it
            await asyncio.sleep(0)
        result = await psu.switch_off()
        with pytest.raises(Exception, match="switched off"):
            await switching_on
        return result
    assert run(switch_on_then_off()).confirmed
    time.sleep(0.1)
    assert (OUTPUT, 1) not in settings(sim) and not sim.state.snapshot()["output_on"]


def test_a_lost_port_fails_trigger_then_recovers(RE, devices, sim):
    from zq4180_bench import SupplyError
    psu = devices(sim.port)

    async def trigger():
        await psu.trigger()
    sim.unplug()
    with pytest.raises(SupplyError):
        run(trigger())
    sim.replug()
    deadline = time.monotonic() + 10
    while True:
        try:
            run(trigger())
            break
        except SupplyError:
            assert time.monotonic() < deadline
            time.sleep(0.2)
    assert run(psu.readback.get_value()) == 5.0


def test_a_pause_keeps_the_output_on_and_an_abort_switches_it_off(RE, devices, sim):
    from zq4180_bench.bluesky import output_off_at_end
    set_state(sim, volts=1.0, output=True)
    psu = devices(sim.port)

    def plan():
        yield from bps.mv(psu, 2.0)
        yield from bps.checkpoint()
        yield from bps.pause()
        yield from bps.mv(psu, 3.0)
    from bluesky.utils import RunEngineInterrupted
    with pytest.raises(RunEngineInterrupted):
        RE(output_off_at_end(plan(), psu))
    assert RE.state == "paused"
    state = sim.state.snapshot()
    assert state["output_on"] and state["voltage_set_mv"] == 2000     # stop() on pause switched nothing off
    RE.abort("the sample moved")
    state = sim.state.snapshot()
    assert not state["output_on"] and state["voltage_set_mv"] == 2000


@pytest.mark.parametrize("how", ["device", "setpoint signal"])
@pytest.mark.parametrize("volts, sent_mv", [
    (3.0, 3000), (1.3333, 1333),
    # half a millivolt: the setpoint shown is the one sent, however Python's round() would go
    (0.0025, 2), (0.0055, 6),
])
def test_every_way_to_set_the_voltage_reaches_the_supply(RE, devices, sim, how, volts, sent_mv):
    psu = devices(sim.port)
    sim.clear_log()
    RE(bps.mv(psu if how == "device" else psu.setpoint, volts))
    assert [v for w, v in settings(sim) if w == VOLTAGE] == [sent_mv]
    assert sim.state.snapshot()["voltage_set_mv"] == sent_mv
    assert run(psu.locate()) == {"setpoint": sent_mv / 1000, "readback": sent_mv / 1000}


def off_at_end(psu):
    from zq4180_bench.bluesky import output_off_at_end
    return output_off_at_end(bps.null(), psu)


@pytest.mark.parametrize("plan, off_named", [
    (lambda psu: bps.mv(psu, 3.0), False),
    (lambda psu: bps.mv(psu.current_limit, 0.2), False),
    (lambda psu: bps.mv(psu.output, "off"), False),
    (lambda psu: count([psu]), False),
    (off_at_end, True),           # never "output off (confirmed)" for an off that was not sent
])
def test_a_closed_device_fails_instead_of_passing_for_done(RE, devices, sim, plan, off_named):
    from zq4180_bench.bluesky import OutputMayBeOn
    set_state(sim, volts=2.0, output=True)
    psu = devices(sim.port)
    psu.close()
    sim.clear_log()
    with pytest.raises(OutputMayBeOn if off_named else Exception, match="not connected"):
        RE(plan(psu))
    assert settings(sim) == [] and sim.state.snapshot()["output_on"]
    run(psu.connect(force_reconnect=True))      # and it opens again
    RE(bps.mv(psu, 3.0))
    assert sim.state.snapshot()["voltage_set_mv"] == 3000

"""The hub's jobs in one process, against a virtual supply: the queue bound, requests that run
out of time, and the off that goes ahead of everything (each checked on the wire)."""

import asyncio
import logging
import threading

import pytest

pytest.importorskip("nicegui", reason="the panel extra is not installed")

from zq4180_bench import Limits, open_supply

from zq4180_panel import jobs as jobs_module
from zq4180_panel.hub import Failed, Hub, Refused
from zq4180_panel.station import MAX_WAITING, Station

from .helpers import changes_sent

OUTPUT, VOLTAGE = 0x21, 0x23


@pytest.fixture
def bench_hub(make_supply, tmp_path, config_file):
    """(hub, virtual supply, release): the worker is held by a job until ``release`` is set."""
    sup = make_supply()
    supply = open_supply(sup.port, limits=Limits.of(5.0, 0.5), config=str(config_file), safe_end="never")
    station = Station("s1", supply, tmp_path / "s1.csv")
    hub = Hub([station])
    hub.start()
    release = threading.Event()
    yield hub, sup, release
    release.set()
    hub.shutdown()


def hold(hub, release) -> None:
    """Keep the worker busy until ``release`` is set (as a long request would)."""
    station = hub.get("s1")
    station.worker.submit(lambda supply: release.wait(10), label="held")
    for _ in range(200):
        if station.worker.busy == "held":
            return
        threading.Event().wait(0.02)
    raise AssertionError("the worker never took the holding job")


def test_queue_bound_refuses_at_once_and_sends_nothing(bench_hub):
    hub, sup, release = bench_hub
    hold(hub, release)
    mark = len(sup.exchanges)

    async def flood():
        tasks = [asyncio.ensure_future(hub.apply("s1", voltage=1.0 + k / 100)) for k in range(MAX_WAITING + 4)]
        await asyncio.sleep(0.3)
        refused = [t for t in tasks if t.done()]
        release.set()
        results = await asyncio.gather(*tasks, return_exceptions=True)
        return refused, results

    refused, results = asyncio.run(flood())
    assert len(refused) == 4
    for task in refused:
        assert isinstance(task.exception(), Refused) and task.exception().status == 503
        assert "too many requests wait" in task.exception().reason
    done = [r for r in results if isinstance(r, dict)]
    assert len(done) == MAX_WAITING and all(r["ok"] for r in done)
    assert changes_sent(sup, mark).count(VOLTAGE) == MAX_WAITING      # the refused ones sent nothing
    assert sup.state.voltage_set_mv == 1070


def test_a_request_not_started_in_time_is_cancelled(bench_hub, monkeypatch, caplog):
    hub, sup, release = bench_hub
    monkeypatch.setattr(jobs_module, "JOB_TIMEOUT", 0.3)
    hold(hub, release)
    mark = len(sup.exchanges)
    with caplog.at_level(logging.INFO, logger="zq4180_panel"):
        with pytest.raises(Failed, match="not started within .*cancelled, nothing was sent"):
            asyncio.run(hub.apply("s1", voltage=2.5))
        release.set()
        hub.get("s1").worker.submit(lambda supply: None).result(5)       # the worker has moved on
    assert VOLTAGE not in changes_sent(sup, mark) and sup.state.voltage_set_mv != 2500
    assert "settings {'voltage': 2.5} cancelled before they started: nothing sent" in caplog.text


def test_a_request_started_in_time_is_logged_and_shown(bench_hub, monkeypatch, caplog):
    hub, sup, release = bench_hub
    monkeypatch.setattr(jobs_module, "JOB_TIMEOUT", 0.3)
    station = hub.get("s1")
    sup.inject("late", command=VOLTAGE, delay=0.5)     # the change outlives its client's patience
    with caplog.at_level(logging.INFO, logger="zq4180_panel"):
        with pytest.raises(Failed, match="still running .* logged and shown"):
            asyncio.run(hub.apply("s1", voltage=1.5))
        station.worker.submit(lambda supply: None).result(10)
    assert sup.state.voltage_set_mv == 1500
    assert "s1: settings {'voltage': 1.5} -> " in caplog.text
    assert station.worker.last_ok.voltage_set_V == 1.5 or station.last.voltage_set_V == 1.5


def test_off_cancels_queued_changes_and_goes_first(bench_hub):
    hub, sup, release = bench_hub
    hold(hub, release)
    mark = len(sup.exchanges)

    async def scenario():
        queued = [asyncio.ensure_future(hub.apply("s1", voltage=2.0, current=0.1, output="on")) for _ in range(3)]
        await asyncio.sleep(0.2)
        off = asyncio.ensure_future(hub.off(hub.get("s1")))
        await asyncio.sleep(0.2)
        release.set()
        return await off, await asyncio.gather(*queued, return_exceptions=True)

    entry, queued = asyncio.run(scenario())
    assert entry["confirmed"] and entry["message"] == "s1: output off (confirmed)"
    assert all(isinstance(q, Failed) and "an output-off came first" in str(q) for q in queued)
    assert changes_sent(sup, mark)[:1] == [OUTPUT] and not sup.state.output_on
    assert VOLTAGE not in changes_sent(sup, mark)          # no queued setting switched it back on


def test_readings_go_on_during_a_slow_ramp(bench_hub, tmp_path):
    import csv
    import time
    hub, sup, _ = bench_hub
    station = hub.get("s1")
    station.worker.submit(lambda supply: None).result(10)
    state = hub.start_ramp("s1", 4.5, 0.02)           # one 0.1 V step every 5 s
    time.sleep(6.5)
    assert hub.stop_ramp("s1")
    state.future.exception(10)
    station.log.close()
    rows = [line for line in open(station.log_path) if not line.startswith("#")]
    stamps = [float(r["elapsed_s"]) for r in csv.DictReader(rows)]
    gaps = [b - a for a, b in zip(stamps, stamps[1:])]
    assert stamps and max(gaps) < 3.0, gaps              # never a whole dwell without a reading
    assert sup.state.voltage_set_mv in (4900, 4800)      # stopped where it was


# (how far the ramp goes, at what rate): slow enough that every step waits for a read
RAMP_STARTS = [(+0.3, 0.2), (-0.3, 0.25), (+0.05, 1.0)]


@pytest.mark.parametrize("by, rate", RAMP_STARTS)
def test_a_ramp_never_takes_more_than_one_exchange_past_a_reading(bench_hub, by, rate):
    """Counted on the wire, not timed: between two readings shown on the card (and written to the
    CSV) a ramp sends remote control and a step at most besides the read, never an unshown read too."""
    hub, sup, _ = bench_hub
    station = hub.get("s1")
    marks: list[int] = []
    shown = station.worker.on_reading

    def counted(reading):
        marks.append(len(sup.exchanges))
        shown(reading)

    station.worker.on_reading = counted
    try:
        station.worker.submit(lambda supply: supply.apply(voltage=2.0)).result(10)
        state = hub.start_ramp("s1", round(2.0 + by, 3), rate)
        state.future.result(20)
    finally:
        station.worker.on_reading = shown
    assert sup.state.voltage_set_mv == round((2.0 + by) * 1000)
    gaps = [b - a for a, b in zip(marks, marks[1:])]
    assert gaps and max(gaps) <= 3, gaps        # remote control, a step, the read that is shown


# (the rest of an off request that the limits refuse, what the refusal names)
OFF_WITH_REFUSED_REST = [
    ({"voltage": 9.0}, "voltage 9.000 V is over the limit"),
    ({"current": 0.9}, "over the limit"),
    ({"ceiling": 9.0, "voltage": 1.0}, "over the limit"),
]


@pytest.mark.parametrize("rest, reason", OFF_WITH_REFUSED_REST)
def test_an_off_with_a_refused_rest_says_the_off_was_done(bench_hub, rest, reason):
    hub, sup, _ = bench_hub
    assert asyncio.run(hub.apply("s1", voltage=1.0, current=0.1, output="on"))["ok"] and sup.state.output_on
    mark = len(sup.exchanges)
    with pytest.raises(Refused) as refused:
        asyncio.run(hub.apply("s1", output="off", **rest))
    assert refused.value.status == 422
    assert refused.value.reason.startswith("s1: output off (confirmed); the rest of the request was refused: ")
    assert reason in refused.value.reason
    assert not sup.state.output_on and changes_sent(sup, mark) == [OUTPUT]      # the off, and nothing else

"""The worker: one owner per port, a bounded queue, and an off that jumps it."""
import concurrent.futures
import threading
import time

import pytest

from .helpers import OUTPUT, STATUS, VOLTAGE, set_state, wait_for

pytestmark = pytest.mark.bench


@pytest.fixture
def worker(supply):
    from zq4180_bench import Worker, open_supply
    bench = open_supply(supply.port, safe_end="never")
    readings = []
    worker = Worker(bench, interval=0.05, on_reading=readings.append).start()
    worker.readings = readings
    yield worker
    worker.stop()
    bench.close()


def holding(worker):
    """Submit a job that holds the worker until released; returns (started, release)."""
    started, release = threading.Event(), threading.Event()

    def job(supply):
        started.set()
        release.wait(10)
    future = worker.submit(job, label="hold")
    assert started.wait(5)
    return future, release


def test_submit_refuses_at_once_beyond_max_waiting(worker):
    from zq4180_bench import QueueFull
    running, release = holding(worker)
    queued = [worker.submit(lambda s, i=i: i) for i in range(worker.max_waiting)]
    with pytest.raises(QueueFull):
        worker.submit(lambda s: "one too many")
    assert isinstance(QueueFull("x"), RuntimeError)
    release.set()
    assert [f.result(5) for f in queued] == list(range(worker.max_waiting))


@pytest.mark.parametrize("max_waiting", [0, -1])
def test_a_worker_needs_room_for_a_job(supply, max_waiting):
    from zq4180_bench import Supply, Worker
    with pytest.raises(ValueError):
        Worker(Supply(supply.port), max_waiting=max_waiting)


def test_off_behind_a_flood_goes_next_and_cancels_the_queue(supply, worker):
    from zq4180_bench import QueueFull
    set_state(supply, volts=2, output=True, remote=True)
    running, release = holding(worker)
    flood = [worker.submit(lambda s: s.apply(voltage=5, output="on")) for _ in range(worker.max_waiting)]
    with pytest.raises(QueueFull):
        worker.submit(lambda s: s.apply(output="on"))
    supply.clear_log()
    off = worker.off()
    assert all(f.cancelled() for f in flood)            # none of them may switch it back on
    assert worker.off() is off                          # a second caller shares the pending off
    later = worker.submit(lambda s: "after the off")    # off is no job: the queue is free again
    release.set()
    result = off.result(10)
    assert result.confirmed and not supply.state.output_on
    assert later.result(5) == "after the off"
    words = [r[2] for r in supply.requests]
    assert words[:2] == [OUTPUT, STATUS] and VOLTAGE not in words
    assert running.result(5) is None


def test_concurrent_offs_share_one_future(supply, worker):
    running, release = holding(worker)
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        futures = list(pool.map(lambda _: worker.off(), range(16)))
    release.set()
    assert len({id(f) for f in futures}) == 1 and futures[0].result(10).confirmed
    supply.wait_idle()
    assert sum(1 for r in supply.requests if r[2] == OUTPUT) == 1


def test_off_stops_a_running_ramp_after_its_current_exchange(supply, worker):
    set_state(supply, volts=0, output=True, remote=True)
    steps = []

    def ramp_like(s):
        volts = 0.0
        while not s.cancel.is_set():
            volts = round(volts + 0.01, 3)
            s.command("set_out_voltage", volts + 0.0005)
            steps.append(volts)
            s.read()                                    # a procedure reads, so readings keep flowing
        return "stopped"
    ramp = worker.submit(ramp_like, label="ramp")
    assert wait_for(lambda: len(steps) >= 5)
    seen = len(worker.readings)
    off = worker.off()
    assert ramp.result(5) == "stopped"
    assert off.result(10).confirmed and not supply.state.output_on
    words = [r[2] for r in supply.requests]
    last_step = max(i for i, w in enumerate(words) if w == VOLTAGE)
    assert words.index(OUTPUT) > last_step             # nothing of the ramp after the off
    assert len(worker.readings) >= seen and any(r.ok for r in worker.readings)
    assert not worker.supply.cancel.is_set()           # the next ramp may run
    assert worker.submit(lambda s: s.cancel.is_set()).result(5) is False


def test_readings_a_job_takes_reach_the_observers_once(worker):
    running, release = holding(worker)
    before = len(worker.readings)
    release.set()
    taken = worker.submit(lambda s: [s.read() for _ in range(3)]).result(5)
    assert all(any(r is t for r in worker.readings) for t in taken)
    assert len({id(r) for r in worker.readings}) == len(worker.readings) >= before + 3


def test_off_after_the_thread_stopped_still_switches_off(supply, worker):
    set_state(supply, output=True, remote=True)
    worker.stop()
    assert not worker.alive
    assert worker.off().result(10).confirmed and not supply.state.output_on


def test_off_while_the_port_is_lost_answers_unconfirmed_without_hanging(supply, worker):
    supply.unplug()
    started = time.monotonic()
    result = worker.off().result(15)
    assert not result.confirmed and "OUTPUT MAY STILL BE ON" in result.message()
    assert time.monotonic() - started < 10


def test_the_worker_outlives_a_read_that_raises(supply, worker, monkeypatch):
    calls = []
    real = worker.supply.read

    def odd(**kwargs):
        calls.append(kwargs)
        if len(calls) == 1:
            raise RuntimeError("an odd port object")
        return real(**kwargs)
    monkeypatch.setattr(worker.supply, "read", odd)
    assert wait_for(lambda: len(calls) >= 3)
    assert worker.alive and worker.off().result(10).confirmed


# when the second off comes: while the first waits behind a running job, or while it runs
@pytest.mark.parametrize("second_off_when", ["pending", "running"])
def test_a_later_off_cancels_what_was_queued_after_the_first(supply, worker, second_off_when):
    set_state(supply, volts=2, output=True, remote=True)
    running, release = holding(worker)
    if second_off_when == "running":
        supply.inject("no_reply", count=1, command=STATUS)   # the off's first confirmation is lost
    first = worker.off()
    if second_off_when == "running":
        release.set()
        assert wait_for(lambda: worker.busy == "off")
    switch_on = worker.submit(lambda s: s.apply(output="on"))
    second = worker.off()
    release.set()
    assert second is first and second.result(10).confirmed
    assert switch_on.cancelled()
    time.sleep(0.2)
    supply.wait_idle()
    assert not supply.state.output_on

"""A lost port read back to back, another supply at the port, and the guard counted from the end."""
import pytest

from .helpers import IDENTITY, STATUS, wait_for

pytestmark = pytest.mark.bench


@pytest.fixture
def bench(supply):
    from zq4180_bench import open_supply
    with open_supply(supply.port, safe_end="never") as bench:
        yield bench


def test_back_to_back_reads_through_a_lost_port_make_one_row_per_reopen_attempt(supply, bench):
    from zq4180_bench import Poller
    supply.unplug()
    rows = list(Poller(bench, 0, duration=2.5))
    assert {r.status for r in rows} == {"no_port"}
    assert 2 <= len(rows) <= 5, len(rows)             # about one a second, not thousands


def test_the_worker_reads_a_lost_port_about_once_a_second(supply, bench):
    from zq4180_bench import Worker
    rows = []
    supply.unplug()
    worker = Worker(bench, interval=0, on_reading=rows.append).start()
    try:
        assert wait_for(lambda: len(rows) >= 2, timeout=5)
        count = len(rows)
        assert wait_for(lambda: len(rows) >= count + 1, timeout=5)
        assert len(rows) <= count + 3
    finally:
        worker.stop()


def swap(supply, serial):
    """Another supply (another serial number) appears behind the same port."""
    supply.unplug()
    supply.state.configure(serial_number=serial)
    supply.replug()


def test_another_supply_at_the_port_is_said_once_and_never_driven(supply, bench):
    from zq4180_bench import Worker
    rows, events = [], []
    worker = Worker(bench, interval=0.1, on_reading=rows.append, on_event=events.append).start()
    try:
        assert wait_for(lambda: rows and rows[-1].ok)
        swap(supply, "111111111")
        assert wait_for(lambda: sum(r.status == "other_supply" for r in rows) >= 2, timeout=8)
        supply.clear_log()
        assert wait_for(lambda: sum(r.status == "other_supply" for r in rows) >= 3, timeout=8)
        assert set(r[2] for r in supply.requests) == {IDENTITY}     # only asked who it is, nothing else
        swap(supply, "076787041")
        assert wait_for(lambda: rows[-1].ok, timeout=8)
    finally:
        worker.stop()
    others = [e for e in events if e.kind == "other_supply"]
    assert len(others) == 1 and "serial number 111111111" in others[0].text
    assert "another supply answers" in others[0].line()
    assert [e.kind for e in events if e.kind in ("other_supply", "port_back")][-1] == "port_back"
    row = next(r for r in rows if r.status == "other_supply")
    assert row.voltage_V is None and "111111111" in row.answering
    assert "answering" not in row.as_dict()                          # not a log column


def test_another_supply_read_back_to_back_keeps_one_row_per_attempt(supply, bench):
    from zq4180_bench import Poller
    swap(supply, "222222222")
    rows = list(Poller(bench, 0, duration=2.5))
    assert rows[0].status in ("no_port", "other_supply") and rows[-1].status == "other_supply"
    assert len(rows) <= 5


# fault; the least time from the failed request to the next one that reaches the supply
GUARDED = [
    ("no_reply", 0.6 + 0.2),      # the driver waits for the reply first, then the guard runs
    ("late", 0.6 + 0.2),
]


@pytest.mark.parametrize("fault, gap", GUARDED)
def test_the_guard_counts_from_when_the_exchange_gave_up(supply, bench, fault, gap):
    supply.inject(fault, command=STATUS)
    first = bench.read()
    assert first.status == "no_reply"
    assert bench.read().ok
    stamps = supply.stamps
    failed = next(i for i, (_, e) in enumerate(stamps) if e.fault == fault)
    assert stamps[failed + 1][0] - stamps[failed][0] >= gap

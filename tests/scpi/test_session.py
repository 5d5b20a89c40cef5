"""A connection's lines against a stand-in station: any text gives a reply line or an error, never a crash,
and nothing that is refused reaches the station."""
import asyncio

import pytest
from hypothesis import given, settings, strategies as st

from zq4180_bench.limits import Limits
from zq4180_bench.readings import Reading
from zq4180_scpi.errors import TEXTS, ErrorQueue
from zq4180_scpi.session import Session

READING = Reading(time="t", elapsed_s=0.0, voltage_V=5.0, current_A=0.5, power_W=2.5, voltage_set_V=5.0,
                  current_limit_A=1.0, voltage_max_V=30.0, output="on", regulation="CV", work_mode="remote",
                  over_temperature=False, fan_speed=1)


class FakeSupply:
    def __init__(self):
        self.limits = Limits.of(12, 2)
        self.identity = {"model": "4181", "SN": "076787041", "soft_version": 373}

    def check_request(self, **values):
        from zq4180_bench.limits import LimitError
        for name, value in values.items():
            top = 12 if name != "current" else 2
            if value > top:
                raise LimitError(f"{name} {value:.3f} is over the limit {top:.3f}", None, None)


class FakeStation:
    name = "S1"
    read_only = False

    def __init__(self):
        self.supply = FakeSupply()
        self.applied = []
        self.offs = 0
        self.reads = 0

    async def fresh_reading(self):
        self.reads += 1
        return READING

    def last(self):
        return READING

    async def apply(self, **request):
        self.applied.append(request)
        return []

    async def off(self):
        from zq4180_bench.off import OffResult
        self.offs += 1
        return OffResult(True, READING)


def run(lines, station=None):
    station = station or FakeStation()
    session = Session(station)

    async def go():
        return [await session.execute(line) for line in lines]
    return asyncio.run(go()), session, station


@pytest.mark.parametrize("line, applied", [
    ("VOLT 5", [{"voltage": 5.0}]),
    ("APPL 3,0.2;:OUTP ON", [{"voltage": 3.0, "current": 0.2}, {"output": "on"}]),
    ("VOLT 1;VOLT 20;VOLT 2", [{"voltage": 1.0}]),
    ("SYST:LOC;SYST:REM", [{"mode": "local"}, {"mode": "remote"}]),
    ("VOLT:LIM MAX;CURR DEF", [{"ceiling": 12.0}, {"current": 0.0}]),
    ("*RST", [{"voltage": 0.0}]),
])
def test_what_reaches_the_station(line, applied):
    _, _, station = run([line])
    assert station.applied == applied


def test_one_fresh_reading_a_line_renewed_after_a_setting():
    replies, _, station = run(["MEAS:VOLT?;CURR?;POW?;:OUTP?", "VOLT?;:VOLT 3;:VOLT?"])
    assert replies[0] == "5.000;0.500;2.500;1"
    assert station.reads == 1 + 2


@settings(max_examples=400, deadline=None)
@given(st.lists(st.text(alphabet=st.sampled_from(list("VOLTCURMEASPWIDNQ*:;?, .0123456789-+eEmMAVxX\"'\t")) |
                        st.characters(), max_size=60), min_size=1, max_size=4))
def test_any_text_gives_a_reply_line_or_a_known_error(lines):
    replies, session, station = run(lines)
    for reply in replies:
        assert reply is None or ("\n" not in reply and reply != "")
    while len(session.errors):
        code, text = session.errors.pop()
        assert code in TEXTS and text.startswith(TEXTS[code])
        assert code != -300, text            # never this server's own fault
    for request in station.applied:
        assert all(v <= 12 for k, v in request.items() if k in ("voltage", "ceiling"))
        assert all(v <= 2 for k, v in request.items() if k == "current")


@pytest.mark.parametrize("pushed, read_between, codes, overflow", [
    (16, 0, [1] * 16, None),
    (17, 0, [1] * 15 + [-350], "2 errors lost"),
    (20, 0, [1] * 15 + [-350], "5 errors lost"),
    (18, 3, [1] * 12 + [-350, 1], "2 errors lost"),   # three read after an overflow: room again, in order
    (34, 16, [1] * 15 + [-350], "2 errors lost"),     # all read, then a new overflow counts afresh
])
def test_the_error_queue_keeps_16_and_says_how_many_were_lost(pushed, read_between, codes, overflow):
    queue = ErrorQueue()
    for k in range(pushed):
        if k == 17 and read_between:
            for _ in range(read_between):
                queue.pop()
        queue.push(1, "x")
    entries = [queue.pop() for _ in range(len(queue))]
    assert [c for c, _ in entries] == codes
    assert queue.pop() == (0, "No error")
    for code, text in entries:
        assert text.startswith(TEXTS.get(code, "x"))
        if code == -350:
            assert text.startswith("Queue overflow; ") and overflow in text

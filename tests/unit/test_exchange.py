"""One request and its reply: draining, the single write, the 30 polls, acceptance."""
import types

import pytest

from .fakes import OddPort, frame, request

GOOD = frame(0x01, 0x12)
REQ = request(0xFF, 0x26, b"", 0xCF)


def exchange(obj, cmd=...):
    return obj._ZQ4180__write_and_read(list(REQ) if cmd is ... else cmd)


@pytest.mark.parametrize("reply, result, polls, left", [
    ([(1, GOOD)], GOOD, 1, b""),
    ([(0, GOOD)], GOOD, 1, b""),
    ([(3, GOOD[:10]), (9, GOOD[10:])], GOOD, 9, b""),
    ([(t, GOOD[t - 1:t]) for t in range(1, 27)], GOOD, 26, b""),
    ([(30, GOOD)], GOOD, 30, b""),
    ([(1, GOOD[:20]), (31, GOOD[20:])], None, 30, GOOD[:20]),
    ([(1, GOOD + b"\x00")], None, 30, GOOD + b"\x00"),
    ([(1, b"\x00" + GOOD)], None, 30, b"\x00" + GOOD),
    ([(1, frame(sync=0x55))], None, 1, b""),
    ([(1, frame(crc_delta=1))], None, 1, b""),
    ([(1, frame(crc_delta=-1))], None, 1, b""),
    ([(1, frame(0x42, 0x99, b"\x01"))], frame(0x42, 0x99, b"\x01"), 1, b""),
    (None, None, 30, b""),
], ids=["first-poll", "at-write", "split", "byte-by-byte", "last-poll", "too-late",
        "27-waiting", "garbage-first", "bad-sync", "crc+1", "crc-1", "foreign", "silent"])
def test_exchange_outcomes(env, reply, result, polls, left):
    obj, port = env.driver(reply)
    got = exchange(obj)
    assert got == result
    if result is not None:
        assert got is port.last_read
    assert env.clock.sleeps == [0.01] * polls
    assert port.writes == [REQ]
    assert bytes(port.buffer) == left
    assert sum(1 for e in port.log if e[0] == "read") == (0 if left or reply is None else 1)


@pytest.mark.parametrize("stale, head", [
    (b"", [("inWaiting",), ("write", REQ)]),
    (b"\x01\x02\x03", [("inWaiting",), ("read", 3), ("write", REQ)]),
])
def test_call_order_on_the_port(env, stale, head):
    obj, port = env.driver([(2, GOOD)], stale=stale)
    assert exchange(obj) == GOOD
    assert port.log == head + [("sleep", 0.01), ("inWaiting",), ("sleep", 0.01), ("inWaiting",), ("read", 26)]


def test_a_late_reply_is_not_taken_by_the_next_command(env):
    late = frame(0x01, 0x23)
    status = frame(0x01, 0x26, b"\x10")
    obj, port = env.driver([(1, late[:20]), (31, late[20:])], [(2, status)])
    assert obj.set_out_voltage(1.0) is False
    env.clock.sleep(0.5)  # the rest of the late reply arrives between the calls
    assert bytes(port.buffer) == late
    assert obj.read_dev_status()["current_real"] == 0.016
    assert not port.buffer


@pytest.mark.parametrize("stale, result", [(b"", None), (b"\x01\x02\x03", b"\x01\x02\x03")])
def test_read_takes_whatever_waits(env, stale, result):
    obj, port = env.driver(stale=stale)
    assert obj._ZQ4180__read() == result
    assert not port.buffer and port.log[1:] == ([("read", 3)] if stale else [])


@pytest.mark.parametrize("cmd, sent", [
    (REQ, REQ),
    (bytearray(REQ), REQ),
    (tuple(REQ), REQ),
    ([1, 2, 3], b"\x01\x02\x03"),
])
def test_frame_forms_written_as_bytes(env, cmd, sent):
    obj, port = env.driver(GOOD)
    assert exchange(obj, cmd) == GOOD
    assert port.writes == [sent] and type(port.writes[0]) is bytes


@pytest.mark.parametrize("cmd, error", [
    ([256] + list(REQ[1:]), ValueError),
    (list(REQ[:25]) + [-1], ValueError),
    ([2 ** 64] * 26, ValueError),
    (["x"] * 26, TypeError),
    ([1.0] * 26, TypeError),
    ("AA", TypeError),
    (26, TypeError),
    (None, TypeError),
])
def test_unconvertible_frames_touch_nothing(env, cmd, error):
    obj, port = env.driver(GOOD)
    with pytest.raises(error):
        exchange(obj, cmd)
    assert port.log == []


@pytest.mark.parametrize("failing", ["inWaiting", "write", "read"])
def test_port_errors_propagate_unchanged(env, failing):
    error = OSError(5, "device gone")
    obj, port = env.driver(GOOD, stale=b"\x01", raises={failing: error})
    with pytest.raises(OSError) as caught:
        exchange(obj)
    assert caught.value is error


def test_no_port_is_an_attribute_error(zq, env):
    with pytest.raises(AttributeError, match="ser"):
        exchange(zq.ZQ4180("COM3"))


def test_sleep_is_looked_up_at_every_poll(env, zq, monkeypatch):
    later = types.SimpleNamespace(sleep=env.clock.sleep)
    first = []

    def sleep_once(seconds):
        first.append(seconds)
        monkeypatch.setattr(zq, "time", later)
        env.clock.sleep(seconds)

    monkeypatch.setattr(zq, "time", types.SimpleNamespace(sleep=sleep_once))
    obj, _ = env.driver([(3, GOOD)])
    assert exchange(obj) == GOOD
    assert first == [0.01] and env.clock.sleeps == [0.01] * 3


@pytest.mark.parametrize("count, data, result", [
    (26.0, GOOD, GOOD),
    (26, GOOD[:25], None),
    (26, list(GOOD), list(GOOD)),
    (26, bytearray(b"\x55") + GOOD[1:], None),
])
def test_count_equality_and_what_read_returns(env, count, data, result):
    obj = env.zq.ZQ4180("COM3")
    obj.ser = OddPort(env.clock, count, data)
    got = exchange(obj)
    assert got == result and (result is None or got is data)
    assert obj.ser.log[-1] == ("read", count) and type(obj.ser.log[-1][1]) is type(count)


def test_checks_run_in_order_and_through_self(env):
    seen = []

    class Sub(env.zq.ZQ4180):
        def _ZQ4180__check_crc(self, data):
            seen.append(data)
            return True

    obj, _ = env.driver(frame(sync=0x55), frame(crc_delta=3), cls=Sub)
    assert exchange(obj) is None and seen == []
    assert exchange(obj) == frame(crc_delta=3)
    assert seen == [list(frame(crc_delta=3))] and type(seen[0]) is list

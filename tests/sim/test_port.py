"""The pty side: faults, port lifecycle, lsof, pacing."""
import os
import subprocess
import time

import pytest
import serial

from zq4180_sim import VirtualSupply, build_frame

STATUS = build_frame(1, 0x26)
IDENTITY = build_frame(1, 0x31)


def good_status(supply):
    return supply.state.handle(STATUS)


def ask(line, supply, request=STATUS) -> bytes:
    line.write(request)
    assert supply.wait_idle()
    return line.read(line.in_waiting)


def wait_for(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline
        time.sleep(0.01)


@pytest.mark.parametrize("kind, params, spoil", [
    ("no_reply", {}, lambda r: b""),
    ("bad_sync", {}, lambda r: b"\x55" + r[1:25] + bytes([(r[25] - 0xAA + 0x55) & 0xFF])),
    ("bad_checksum", {}, lambda r: r[:25] + bytes([(r[25] + 1) & 0xFF])),
    ("noise", {"noise": b"\x01\x02"}, lambda r: b"\x01\x02" + r),
    ("split", {"gap": 0.05}, lambda r: r),
    ("late", {"delay": 0.05}, lambda r: r),
])
def test_fault_spoils_one_reply(supply, line, kind, params, spoil):
    supply.inject(kind, **params)
    assert ask(line, supply) == spoil(good_status(supply))
    assert ask(line, supply) == good_status(supply)
    assert [e.fault for e in supply.exchanges] == [kind, None]


def test_fault_count_and_command_word(supply, line):
    supply.inject("no_reply", count=2, command=0x26)
    assert ask(line, supply, IDENTITY) != b""
    assert [ask(line, supply) for _ in range(3)] == [b"", b"", good_status(supply)]
    supply.inject("no_reply", count=None)
    assert [ask(line, supply) for _ in range(3)] == [b""] * 3
    supply.clear_faults()
    assert ask(line, supply) == good_status(supply)


@pytest.mark.parametrize("word, value, field, before", [
    (0x21, b"\x01", "output_on", False),
    (0x20, b"\x01", "remote", False),
    (0x24, (500).to_bytes(4, "little"), "current_limit_ma", None),
    (0x23, (3000).to_bytes(4, "little"), "voltage_set_mv", None),
])
def test_an_ignored_setting_is_acknowledged_and_changes_nothing(supply, line, word, value, field, before):
    start = getattr(supply.state, field) if before is None else before
    setattr(supply.state, field, start)
    supply.inject("ignore", count=None, command=word)
    request = build_frame(1, word, value)
    assert ask(line, supply, request) == supply.state.reply(bytes([word]))
    assert getattr(supply.state, field) == start
    supply.clear_faults()
    ask(line, supply, request)
    assert getattr(supply.state, field) != start


def test_split_arrives_in_two_parts(supply, line):
    supply.inject("split", split_at=10, gap=1.0)
    line.write(STATUS)
    line.timeout = 0.5
    assert line.read(26) == good_status(supply)[:10]
    assert supply.wait_idle() and line.read(26) == good_status(supply)[10:]


def test_late_reply_misses_the_driver_budget(supply, line):
    supply.inject("late", delay=1.0)
    line.write(STATUS)
    time.sleep(0.31)  # the driver's 30 polls of 10 ms
    assert line.in_waiting == 0
    assert supply.wait_idle()
    assert line.read(line.in_waiting) == good_status(supply)


@pytest.mark.parametrize("bad", [
    dict(kind="smoke"), dict(kind="late", count=0), dict(kind="late", gap=1),
    dict(kind="split", split_at=26), dict(kind="bad_sync", sync=0xAA), dict(kind="noise", noise=b""),
])
def test_inject_refuses_bad_arguments(supply, bad):
    with pytest.raises(ValueError):
        supply.inject(**bad)


def test_no_own_slave_fd_and_serves_across_reopen(supply):
    for name in (supply.port, supply.pty_name):
        assert subprocess.run(["lsof", "--", name], capture_output=True, text=True).stdout == ""
    for _ in range(3):
        with serial.Serial(supply.port, 4800, timeout=1) as line:
            line.write(STATUS)
            assert line.read(26) == good_status(supply)
        time.sleep(0.05)  # the server meets EIO while nobody has the port open


def test_unplug_and_replug(supply, line):
    assert ask(line, supply) != b""
    supply.unplug()
    assert not os.path.lexists(supply.port) and supply.pty_name is None
    with pytest.raises(serial.SerialException):
        line.write(STATUS)
    line.close()
    supply.replug()
    assert os.readlink(supply.port) == supply.pty_name
    with serial.Serial(supply.port, 4800, timeout=1) as again:
        again.write(STATUS)
        assert again.read(26) == good_status(supply)


def test_unplug_mid_exchange_then_automatic_replug(supply, line):
    supply.inject("unplug", replug_after=0.2)
    line.write(STATUS)
    wait_for(lambda: supply.pty_name is None)
    with pytest.raises(OSError):
        line.in_waiting
    wait_for(lambda: os.path.exists(supply.port))
    with serial.Serial(supply.port, 4800, timeout=1) as again:
        again.write(STATUS)
        assert again.read(26) == good_status(supply)


def test_stop_removes_the_link_it_was_given(tmp_path):
    link = tmp_path / "ttyPSU"
    with VirtualSupply(3, pacing=False, link=link) as sup:
        assert os.readlink(link) == sup.pty_name
    assert not os.path.lexists(link)
    link.write_text("not ours")
    with pytest.raises(FileExistsError):
        VirtualSupply(link=link).start()


def test_pacing_takes_a_line_time_each_way():
    with VirtualSupply(1) as sup, serial.Serial(sup.port, 4800, timeout=1) as line:
        line.write(STATUS)  # warm-up
        line.read(26)
        start = time.monotonic()
        line.write(STATUS)
        assert line.read(26) == good_status(sup)
        assert time.monotonic() - start >= 0.108

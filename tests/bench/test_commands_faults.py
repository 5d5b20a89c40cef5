"""The zq4180 command under faults aimed at one command word: switching off, standing values,
late acknowledgements, the temperature alarm, another supply at the port, a lost port read back
to back, and the wording of counts and intervals."""
import json
import threading
import time

import pytest

from .helpers import CURRENT, IDENTITY, OUTPUT, STATUS, VOLTAGE, WORK_MODE, set_state, settings, wait_for, words

pytestmark = pytest.mark.bench


def frames(supply):
    return [(r[2], r[3]) for r in supply.requests]


def ignoring_off(supply):
    """The supply acknowledges output-off and keeps the output on."""
    def hook(exchange):
        if exchange.request[2] == OUTPUT and exchange.request[3] == 0:
            supply.state.configure(output_on=True)
    supply.on_exchange = hook


# fault on one word; confirmed; the frames sent before anything else of the request
OFF_FAULTS = [
    (None, True),
    ({"kind": "no_reply", "command": OUTPUT}, True),        # the off frame again, after the guard
    ({"kind": "no_reply", "command": STATUS}, True),        # the confirming read again
    ({"kind": "late", "command": OUTPUT, "delay": 0.5}, True),
    ({"kind": "no_reply", "command": OUTPUT, "count": 3}, True),   # taken, unacknowledged: the read confirms
    ({"kind": "no_reply", "command": STATUS, "count": 3}, False),
    ("ignores", False),
]


@pytest.mark.parametrize("named", [False, True])
@pytest.mark.parametrize("fault, confirmed", OFF_FAULTS)
def test_set_output_off_goes_first_and_says_when_unconfirmed(cli, supply, isolated, fault, confirmed, named):
    set_state(supply, volts=3, ceiling=30, amps=0.5, output=True, remote=True)
    target = supply.port
    if named:
        (isolated / "zq4180.toml").write_text(f'[supplies.bench-a]\nport = "{supply.port}"\n')
        target = "bench-a"
    if fault == "ignores":
        ignoring_off(supply)
    elif fault:
        supply.inject(**fault)
    status, out, err = cli("set", target, "--output", "off", "--voltage", "1")
    sent = frames(supply)
    assert sent[0][0] == IDENTITY and sent[1] == (OUTPUT, 0)        # nothing read or changed before the off
    if confirmed:
        assert status == 0 and "Output:        request off, read back off" in out
        assert supply.state.voltage_set_mv == 1000 and not supply.state.output_on
    else:
        said = [line for line in err.splitlines() if "OUTPUT MAY STILL BE ON" in line]
        name = "bench-a" if named else supply.port
        assert status == 1 and len(said) == 1
        assert said[0].startswith(f"zq4180: {name}: OUTPUT MAY STILL BE ON: output-off not confirmed after 3 tries")
        assert "last reading:" in said[0]
        assert sent.count((OUTPUT, 0)) == 3
        assert (VOLTAGE not in [w for w, _ in sent]) and supply.state.voltage_set_mv == 3000   # nothing else


# standing state; options; the fix named
STANDING = [
    ({"amps": 2, "output": True}, ["--max-current", "1", "set", "{port}", "--voltage", "3"], "(--current 1 fixes it)"),
    ({"volts": 9, "output": True}, ["--max-voltage", "5", "set", "{port}", "--current", "0.1"],
     "(--voltage 5 fixes it)"),
    ({"amps": 2, "output": False}, ["--max-current", "1.25", "set", "{port}", "--output", "on"],
     "(--current 1.25 fixes it)"),
    ({"amps": 2, "output": True}, ["--max-current", "1", "ramp", "{port}", "--to", "1", "--rate", "10"],
     "(first: zq4180 set {port} --current 1)"),
]


@pytest.mark.parametrize("standing, argv, fix", STANDING)
def test_a_standing_value_over_a_limit_is_refused_naming_its_fix(cli, supply, standing, argv, fix):
    set_state(supply, ceiling=30, remote=True, **{"volts": 2, "amps": 0.5, **standing})
    before = supply.state.snapshot()
    status, _, err = cli(*[a.format(port=supply.port) for a in argv])
    assert status == 2 and "refused:" in err and fix.format(port=supply.port) in err, err
    assert set(words(supply)) <= {IDENTITY, STATUS} and supply.state.snapshot() == before


@pytest.mark.parametrize("argv", [
    ["--max-voltage", "12", "set", "{port}", "--ceiling", "12.001"],
    ["--max-voltage", "12", "set", "{port}", "--ceiling", "12.001", "--voltage", "13"],
    ["--max-voltage", "12", "ramp", "{port}", "--to", "12.5", "--rate", "1"],
])
def test_a_refusal_comes_without_unrelated_warnings(cli, supply, argv):
    set_state(supply, volts=20, ceiling=5, output=False)
    status, _, err = cli(*[a.format(port=supply.port) for a in argv])
    assert status == 2 and "over the limit 12.000 V" in err
    assert "ceiling:" not in err.split("refused")[0] and "above the ceiling" not in err


@pytest.mark.parametrize("fault, shown, status, why", [
    ({"kind": "no_reply", "command": VOLTAGE}, "Voltage:       request 1.000 V, read back 1.000 V  (no reply to "
                                               "the setting)", 1,
     "1 of 2 settings not confirmed: voltage (not acknowledged, though the read-back shows it taken)"),
    ({"kind": "late", "command": VOLTAGE, "delay": 0.5}, "read back 1.000 V  (no reply to the setting)", 1,
     "voltage (not acknowledged"),
    ({"kind": "no_reply", "command": CURRENT}, "Current limit: request 0.200 A, read back 0.200 A  (no reply", 1,
     "current (not acknowledged, though the read-back shows it taken), voltage (not sent: an earlier step failed)"),
    ({"kind": "no_reply", "command": STATUS, "count": 1}, None, 1, None),
    (None, "Voltage:       request 1.000 V, read back 1.000 V", 0, None),
])
def test_a_lost_acknowledgement_still_shows_the_value_read_back(cli, supply, fault, shown, status, why):
    if fault:
        supply.inject(**fault)
    got, out, err = cli("set", supply.port, "--current", "0.2", "--voltage", "1")
    if fault and fault["command"] == STATUS:     # the status read before anything is set went unanswered
        assert got == 1 and "did not answer the status request" in err and supply.state.voltage_set_mv != 1000
        return
    assert got == status and shown in out
    assert "read back no reply" not in out
    assert why is None or why in err


@pytest.mark.parametrize("alarm", [True, False])
def test_switching_on_under_the_temperature_alarm_is_said(cli, supply, alarm):
    supply.state.configure(over_temperature=alarm)
    status, _, err = cli("set", supply.port, "--voltage", "1", "--output", "on")
    assert status == 0 and ("reports its temperature alarm" in err) == alarm
    assert supply.state.output_on


@pytest.mark.parametrize("port, text, hinted", [
    ("rfc2217://lab:2217", "rfc2217://lab:2217: does not open: timeout while waiting for option 'control'", True),
    ("bench-a", "rfc2217://lab:2217: does not open: timeout while waiting for option 'control'", True),
    ("rfc2217://lab:2217?ign_set_control", "does not open: timeout while waiting for option 'control'", False),
    ("rfc2217://lab:2217", "rfc2217://lab:2217: does not open: [Errno 111] Connection refused", False),
    ("/dev/ttyUSB0", "/dev/ttyUSB0: does not open: timeout while waiting for option 'control'", False),
])
def test_an_rfc2217_port_that_waits_for_the_control_option_suggests_ign_set_control(port, text, hinted):
    from zq4180_bench.commands.main import _rfc2217_hint
    assert ("add ?ign_set_control" in _rfc2217_hint(text, port)) == hinted


def test_an_rfc2217_port_that_does_not_open_exits_1(cli):
    status, _, err = cli("status", "rfc2217://127.0.0.1:9")
    assert status == 1 and "does not open" in err and "Traceback" not in err


def swap(supply, serial):
    supply.unplug()
    supply.state.configure(serial_number=serial)
    supply.replug()


def later(steps):
    def run():
        t0 = time.monotonic()
        for at, action in steps:
            time.sleep(max(0.0, t0 + at - time.monotonic()))
            action()
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread


def test_log_writes_other_supply_rows_and_says_once_which_answers(cli, supply, isolated):
    path = isolated / "log.jsonl"
    later([(0.4, lambda: swap(supply, "111111111")), (2.6, lambda: swap(supply, "076787041"))]).join
    status, _, err = cli("log", supply.port, "--interval", "0.2", "--duration", "4", "--jsonl", path)
    rows = [json.loads(line) for line in path.read_text().splitlines()]
    kinds = [r["status"] for r in rows]
    assert status == 0 and "other_supply" in kinds and kinds[0] == "ok" and kinds[-1] == "ok", kinds
    said = [line for line in err.splitlines() if "another supply answers" in line]
    assert len(said) == 1 and "serial number 111111111" in said[0] and "076787041" in said[0]


def test_a_lost_port_read_back_to_back_writes_about_a_row_a_second(cli, supply, isolated):
    path = isolated / "log.csv"
    later([(0.5, supply.unplug)])
    status, _, err = cli("log", supply.port, "--interval", "0", "--duration", "3.5", "--csv", path)
    rows = [line for line in path.read_text().splitlines() if ",no_port," in line]
    assert status == 0 and 1 <= len(rows) <= 6, len(rows)


@pytest.mark.parametrize("options, said, header", [
    (["--interval", "0", "--count", "1"], "as fast as the line allows, 1 reading", "0 s (as fast as the line allows)"),
    (["--interval", "0.25", "--count", "2"], "every 0.25 s, 2 readings", "0.25 s"),
    (["--interval", "0.1", "--duration", "0.3"], "every 0.1 s for 0.3 s", "0.1 s"),
])
def test_log_says_its_interval_and_counts_in_words(cli, supply, isolated, options, said, header):
    path = isolated / "log.csv"
    status, _, err = cli("log", supply.port, *options, "--csv", path)
    assert status == 0 and said in err and "every 0.0 s" not in err
    rows = len([line for line in path.read_text().splitlines() if not line.startswith("#")]) - 1
    assert f"{rows} row{'s' if rows != 1 else ''} written" in err and "1 rows" not in err
    assert f"# interval: {header}\n" in path.read_text()


@pytest.mark.parametrize("completed, shown", [(0, "0 rows"), (1, "1 row"), (2, "2 rows"), (1.0, "1 row")])
def test_the_progress_bar_counts_rows_in_words(completed, shown):
    pytest.importorskip("rich")
    from types import SimpleNamespace

    from zq4180_bench.commands.progress import rows_column
    assert rows_column().render(SimpleNamespace(completed=completed)).plain == shown


def test_a_run_log_names_the_bus_address_and_a_one_row_sequence(cli, supply, isolated):
    seq = isolated / "seq.csv"
    seq.write_text("voltage,current,seconds\n1,0.1,0.1\n")
    log = isolated / "run.csv"
    status, _, err = cli("run", supply.port, seq, "--log", log)
    text = log.read_text()
    assert status == 0 and "bus address 1" in text and "(1 row, repeat 1)" in text
    assert "sequence done: 1 row x 1" in err


# --on-exit; how many output-off frames the supply ignores; exit status; lines about the off on stderr
OFF_ROW_UNCONFIRMED = [
    ("off", None, 1, ["{name}: OUTPUT MAY STILL BE ON: "]),                 # the safe end's line, once
    ("keep", None, 1, ["{name}: OUTPUT MAY STILL BE ON: "]),                # no safe end: the row's own
    ("off", 3, 1, ["safe end: output off (confirmed)", "error: output-off not confirmed ("]),
]


@pytest.mark.parametrize("on_exit, ignored, status, said", OFF_ROW_UNCONFIRMED)
def test_a_sequence_row_whose_off_is_not_confirmed_is_said_once(cli, supply, isolated, on_exit, ignored, status,
                                                               said):
    seq = isolated / "seq.csv"
    seq.write_text("voltage,current,seconds,output\n1,0.1,0.1,on\n0,0.1,0.1,off\n")
    left = [ignored]

    def hook(exchange):
        if exchange.request[2] == OUTPUT and exchange.request[3] == 0 and left[0] != 0:
            supply.state.configure(output_on=True)
            left[0] = None if left[0] is None else left[0] - 1
    supply.on_exchange = hook
    code, _, err = cli("--on-exit", on_exit, "--max-voltage", "5", "--max-current", "1", "run", supply.port, seq)
    lines = [line for line in err.splitlines() if "output-off" in line or "output off" in line]
    assert code == status
    assert len(lines) == len(said), err
    for line, expected in zip(lines, said):
        assert expected.format(name=supply.port) in line, err
    assert not any("error: OUTPUT MAY STILL BE ON" in line for line in err.splitlines()), err

"""Limits, bad sequences, the safe end after signals, lost supplies and the late-reply guard."""
import json
import os
import signal
import subprocess
import threading
import time

import pytest

from .helpers import (CURRENT, IDENTITY, OUTPUT, READS, STATUS, VOLTAGE, WORK_MODE, set_state, settings, wait_for,
                      words)

pytestmark = pytest.mark.bench

LIMITS = ["--max-voltage", "5", "--max-current", "1"]
SEQUENCE_HEADER = "voltage,current,seconds\n# a comment counts as a line\n"


def sequence(path, rows):
    path.write_text(SEQUENCE_HEADER + rows)
    return path


# each case: options after the port; what the refusal names
REFUSALS = [
    (["set", "{port}", "--voltage", "5.1"], "voltage 5.100 V is over the limit 5.000 V (from --max-voltage)"),
    (["set", "{port}", "--ceiling", "6", "--voltage", "1"], "ceiling 6.000 V"),
    (["set", "{port}", "--current", "1.5", "--voltage", "1"], "1.000 A (from --max-current)"),
    (["ramp", "{port}", "--to", "6", "--rate", "10"], "ramp target"),
    (["sweep", "{port}", "--from", "0", "--to", "5.5", "--step", "1", "--current", "0.1"], "5.500 V"),
    (["sweep", "{port}", "--from", "0", "--to", "1", "--step", "1", "--current", "2"], "--max-current"),
    (["run", "{port}", "{seq}"], "{seq}:4: voltage 9.000 V is over the limit 5.000 V (from --max-voltage)"),
]


@pytest.mark.parametrize("argv, said", REFUSALS, ids=lambda v: v[0] if isinstance(v, list) else None)
def test_a_value_over_a_limit_is_refused_with_nothing_set(cli, supply, isolated, argv, said):
    seq = sequence(isolated / "seq.csv", "1,0.1,0.1\n9,0.1,0.1\n")
    set_state(supply, volts=2, output=True, remote=True)       # a supply left on must stay on
    before = supply.state.snapshot()
    status, out, err = cli(*LIMITS, *[a.format(port=supply.port, seq=seq) for a in argv])
    assert status == 2 and said.format(seq=seq) in err
    assert set(words(supply)) <= set(READS), [hex(w) for w in words(supply)]
    assert supply.state.snapshot() == before


@pytest.mark.parametrize("text, line", [
    ("1,0.1,0.1\n2,0.1\n", 4),
    ("1,0.1,0.1\n\n# gap\n2,zero,1\n", 6),
    ("1,0.1,0.1,on\n", 3),
])
def test_a_bad_sequence_row_is_refused_before_opening(cli, supply, isolated, text, line):
    path = sequence(isolated / "seq.csv", text)
    status, out, err = cli("run", supply.port, path)
    assert status == 2 and err.startswith(f"{path}:{line}: ") and out == ""
    assert supply.requests == []


def config_file(isolated, body):
    path = isolated / "bench.toml"
    path.write_text(body)
    return path


# config body; the target; CLI limits; the voltage asked; exit status; the source named
CONFIGURED = [
    ('[supplies.bench]\nport = "{port}"\nmax_voltage = 3\n', "bench", [], 3.5, 2, "[supplies.bench] max_voltage"),
    ('[supplies.bench]\nport = "{link}"\nmax_voltage = 3\n', "{port}", [], 3.5, 2, "[supplies.bench] max_voltage"),
    ('[supplies.bench]\nserial = "076787041"\nmax_voltage = 3\n', "{port}", [], 3.5, 2, "max_voltage"),
    ('[supplies.bench]\nport = "{link}"\nserial = "076787041"\nmax_voltage = 3\n', "076787041", [], 3.5, 2,
     "max_voltage"),
    ('[supplies.bench]\nport = "{link}"\nmax_voltage = 3\n', "{port}", ["--max-voltage", "2"], 2.5, 2,
     "--max-voltage"),
    ('[supplies.bench]\nport = "{link}"\nmax_voltage = 3\n', "{port}", ["--max-voltage", "5"], 3.5, 2,
     "[supplies.bench] max_voltage"),
    ('[supplies.bench]\nport = "{link}"\nmax_voltage = 3\n', "{port}", ["--max-voltage", "5"], 2.5, 0, None),
    ('[supplies.other]\nserial = "999999999"\nmax_voltage = 3\n', "{port}", [], 3.5, 0, None),
]


@pytest.mark.parametrize("body, target, limits, volts, expected, source", CONFIGURED)
def test_configured_limits_by_name_port_and_serial(cli, supply, isolated, body, target, limits, volts, expected,
                                                    source):
    link = isolated / "by-id-link"
    link.symlink_to(os.path.realpath(supply.port))             # another name for the same device
    path = config_file(isolated, body.format(port=supply.port, link=link))
    status, _, err = cli("--config", path, *limits, "set", target.format(port=supply.port), "--voltage", volts)
    assert status == expected
    if source:
        assert source in err and set(words(supply)) <= set(READS)
    else:
        assert supply.state.voltage_set_mv == round(volts * 1000)


@pytest.mark.parametrize("body, where", [
    ("[supplies.bench]\nmax_voltage = = 3\n", ":2:"),
    ("[supplies.bench]\nmax_volts = 3\n", "[supplies.bench]: unknown key 'max_volts'"),
])
def test_a_bad_configuration_is_refused_before_opening(cli, supply, isolated, body, where):
    path = config_file(isolated, body)
    status, _, err = cli("--config", path, "status", supply.port)
    assert status == 2 and f"{path}" in err and where in err
    assert supply.requests == []


# -- the safe end after a signal -----------------------------------------------------

SLOW = {
    "sweep": ["--from", "0", "--to", "1", "--step", "0.01", "--current", "0.5", "--settle", "0.1"],
    "run": ["{seq}", "--interval", "0.2"],
}


@pytest.mark.parametrize("command, signals, status", [
    ("sweep", [signal.SIGINT], 130), ("sweep", [signal.SIGTERM], 143), ("sweep", [signal.SIGHUP], 129),
    ("run", [signal.SIGINT], 130), ("run", [signal.SIGTERM], 143), ("run", [signal.SIGHUP], 129),
    ("sweep", [signal.SIGINT, signal.SIGINT], 130),              # a second Ctrl-C does not skip the safe end
])
def test_the_safe_end_after_a_signal(make_supply, isolated, command, signals, status):
    supply = make_supply(pacing=True)
    seq = sequence(isolated / "seq.csv", "1.0,0.2,5\n2.0,0.1,5\n")
    argv = [a.format(seq=seq) for a in SLOW[command]]
    proc = subprocess.Popen(["zq4180", command, supply.port, *argv], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert wait_for(lambda: supply.state.output_on)
        time.sleep(0.3)
        for sig in signals:
            proc.send_signal(sig)
            time.sleep(0.15)
        _, err = proc.communicate(timeout=15)
    finally:
        proc.kill()
    assert proc.returncode == status, err
    assert "Traceback" not in err and "output off (confirmed)" in err
    assert not supply.state.output_on and not supply.state.remote
    last = supply.requests[-3:]
    assert [(r[2], r[3]) for r in last] == [(OUTPUT, 0), (STATUS, 0), (WORK_MODE, 0)]


# -- a supply that falls silent or disappears ------------------------------------------

def later(supply, steps, once_on=False):
    """Run (seconds, action) pairs on a thread, timed from now or from the output going on."""
    def run():
        if once_on and not wait_for(lambda: supply.state.output_on):
            return
        t0 = time.monotonic()
        for at, action in steps:
            time.sleep(max(0.0, t0 + at - time.monotonic()))
            action()
    threading.Thread(target=run, daemon=True).start()


def test_log_keeps_going_through_silence_and_unplug(cli, supply, isolated):
    path = isolated / "log.jsonl"
    # the late-reply guard counts from when the unanswered exchange gave up: answers again by about 1.5 s
    later(supply, [(0.5, lambda: supply.inject("no_reply", command=STATUS)), (2.0, supply.unplug),
                   (2.8, supply.replug)])
    status, _, err = cli("log", supply.port, "--interval", "0.2", "--duration", "4", "--jsonl", path)
    rows = [json.loads(line) for line in path.read_text().splitlines()]
    assert status == 0 and "Traceback" not in err
    assert len(rows) == 20
    seen = [r["status"] for r in rows]
    changes = [s for i, s in enumerate(seen) if i == 0 or s != seen[i - 1]]
    assert changes == ["ok", "no_reply", "ok", "no_port", "ok"]
    assert all(r["voltage_V"] is None for r in rows if r["status"] != "ok")


# command; fault after the output is on; whether the safe end can reach the supply
LOSSES = [
    ("run", {"kind": "no_reply", "command": STATUS}, True),
    ("run", {"kind": "unplug", "replug_after": 0.3}, True),
    ("run", {"kind": "unplug"}, False),
    ("sweep", {"kind": "no_reply", "command": STATUS}, True),
    ("sweep", {"kind": "unplug", "replug_after": 0.3}, True),
    ("ramp", {"kind": "no_reply", "command": VOLTAGE}, True),
]


@pytest.mark.parametrize("command, fault, reachable", LOSSES)
def test_a_lost_supply_stops_the_command_with_a_safe_end(cli, supply, isolated, command, fault, reachable):
    seq = sequence(isolated / "seq.csv", "1.0,0.1,3\n")
    argv = {"run": ["run", supply.port, seq, "--interval", "0.1", "--log", isolated / "run.csv"],
            "sweep": ["sweep", supply.port, *SLOW["sweep"], "--csv", isolated / "iv.csv"],
            "ramp": ["ramp", supply.port, "--to", "1", "--rate", "2"]}[command]
    if command == "ramp":
        set_state(supply, volts=5, output=True)
    later(supply, [(0.3, lambda: supply.inject(**fault))], once_on=True)
    status, _, err = cli(*argv)
    assert status == 1 and "Traceback" not in err
    if reachable:
        assert "output off (confirmed)" in err
        assert not supply.state.output_on and not supply.state.remote
    else:
        said = [line for line in err.splitlines() if "OUTPUT MAY STILL BE ON" in line]
        assert said and "output on" in said[0]        # the last reading that had an answer


# -- the late-reply guard ------------------------------------------------------------

@pytest.mark.parametrize("argv, word", [
    (["set", "{port}", "--current", "0.5", "--voltage", "1"], CURRENT),
    (["log", "{port}", "--interval", "0", "--count", "3", "--csv", "late.csv"], STATUS),
    (["list", "--probe", "{port}"], IDENTITY),
    (["status", "{port}"], IDENTITY),
], ids=["set", "log", "probe", "open"])
def test_nothing_is_sent_until_0_6_s_after_an_unanswered_request(cli, supply, argv, word):
    supply.inject("late", command=word, delay=0.4)
    cli(*[a.format(port=supply.port) for a in argv])
    stamps = supply.stamps
    failed = next(i for i, (_, e) in enumerate(stamps) if e.fault == "late")
    for t, exchange in stamps[failed + 1:failed + 2]:
        assert t - stamps[failed][0] >= 0.55, hex(exchange.request[2])
    if word == CURRENT:
        assert (VOLTAGE, 1000) not in settings(supply)        # a failed step stops the rest


def test_the_safe_end_repeats_output_off_until_a_read_confirms_it(supply):
    from zq4180_bench import open_supply
    with open_supply(supply.port, safe_end="always") as bench:
        set_state(supply, volts=2, output=True, remote=True)
        supply.inject("no_reply", count=2, command=STATUS)
        results = []
        bench.on_safe_end = results.append
        supply.clear_log()
    assert results[0].confirmed and results[0].local
    assert [(r[2], r[3]) for r in supply.requests] == [(OUTPUT, 0), (STATUS, 0)] * 3 + [(WORK_MODE, 0)]


def test_a_signal_held_back_by_the_safe_end_still_ends_the_command(supply):
    from zq4180_bench import open_supply
    from zq4180_bench.signals import Terminated
    sent = []

    def terminate_once(exchange):
        if exchange.request[2] == OUTPUT and exchange.request[3] == 0 and not sent:
            sent.append(os.kill(os.getpid(), signal.SIGTERM))
    with pytest.raises(Terminated):
        with open_supply(supply.port) as bench:
            bench.apply(voltage=1, output="on")
            supply.on_exchange = terminate_once
    assert sent and not supply.state.output_on and not supply.state.remote   # the safe end ran to its end


@pytest.mark.parametrize("argv", [
    ["sweep", "{port}", "--from", "0", "--to", "1", "--step", "0.5", "--current", "0.1", "--csv", "/no/such/x.csv"],
    ["sweep", "{port}", "--from", "0", "--to", "1", "--step", "0.5", "--current", "0.1", "--plot", "/no/such/x.png"],
    ["run", "{port}", "{seq}", "--log", "/no/such/run.csv"],
    ["log", "{port}", "--count", "1", "--csv", ""],
], ids=["sweep-csv", "sweep-plot", "run-log", "empty-name"])
def test_an_output_file_that_cannot_be_written_is_refused_before_opening(cli, supply, isolated, argv):
    seq = sequence(isolated / "seq.csv", "1.0,0.1,1\n")
    status, _, err = cli(*[str(a).format(port=supply.port, seq=seq) for a in argv])
    assert status == 2 and "Traceback" not in err
    assert supply.wait_idle() and supply.requests == []


def test_late_ms_counts_the_wait_for_a_late_reply(supply):
    from zq4180_bench import Poller, open_supply
    with open_supply(supply.port, safe_end="never") as bench:
        supply.inject("no_reply", command=STATUS)
        rows = list(Poller(bench, 0.2, count=2))
    assert [r.status for r in rows] == ["no_reply", "ok"]
    assert rows[1].late_ms > 250          # its request could go out only 0.6 s after the failed one

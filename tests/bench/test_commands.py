"""Each zq4180 command's normal path, end to end through a virtual supply on a pty."""
import json
import os
import re
import signal
import subprocess
import threading

import pytest
import serial

from .helpers import (CEILING, CURRENT, IDENTITY, ISO_MS, LOG_COLUMNS, OUTPUT, READS, STATUS, SWEEP, VOLTAGE,
                      WORK_MODE, csv_rows, set_state, settings, wait_for, words)

pytestmark = pytest.mark.bench

# -- list ------------------------------------------------------------------------

def test_list_shows_the_virtual_port_and_probe_asks_only_its_identity(cli, supply):
    status, out, _ = cli("--sim", "list")
    assert status == 0 and re.search(r"zq4180-sim-\S+/ttyZQ4180 .*virtual supply", out)
    status, out, _ = cli("list", "--probe", supply.port)
    assert status == 0
    assert "model 4181, serial number 076787041, firmware 373, bus address 1" in out
    assert words(supply) == [IDENTITY]
    status, out, _ = cli("list", "--probe", supply.port + ".gone")
    assert status == 1 and "no such port" in out


def test_probe_takes_a_configured_name(cli, supply, isolated):
    (isolated / "zq4180.toml").write_text(f'[supplies.bench]\nport = "{supply.port}"\n')
    status, out, _ = cli("list", "--probe", "bench")
    assert status == 0 and "model 4181" in out


def test_probe_names_the_process_holding_the_port(cli, supply):
    with serial.Serial(supply.port, 4800):
        status, out, _ = cli("list", "--probe", supply.port)
    line = out.splitlines()[-1]
    assert status == 1
    assert "busy" in line and f"PID {os.getpid()}" in line
    assert "not a supply" not in line          # a busy port says nothing of what is behind it
    assert supply.requests == []


def test_probe_points_a_bridge_holding_its_pty_to_rfc2217(cli, isolated):
    link = isolated / "bridge"
    socat = subprocess.Popen(["socat", f"PTY,link={link},raw,echo=0", f"PTY,link={isolated / 'other'},raw,echo=0"],
                             stderr=subprocess.DEVNULL)
    try:
        assert wait_for(link.exists, 5)
        status, out, _ = cli("list", "--probe", link)
    finally:
        socat.terminate()
        socat.wait()
    assert status == 1
    assert f"socat (PID {socat.pid})" in out
    assert "rfc2217://" in out


# -- status ----------------------------------------------------------------------

def test_status_text_and_json(cli, supply):
    set_state(supply, volts=1.222, ceiling=2.0, amps=0.888, output=True, remote=True)
    status, out, _ = cli("status", supply.port)
    assert status == 0
    lines = out.splitlines()
    assert "Voltage: 1.222 V [set 1.222 V, ceiling 2.000 V]" in lines
    assert "Current: 0.122 A [limit 0.888 A]" in lines
    for expected in ("Power: 0.149 W", "Output: on", "Regulation: CV", "Control: remote",
                     "Temperature alarm: off", "Fan: 0"):
        assert expected in lines
    status, out, _ = cli("status", supply.port, "--json")
    record = json.loads(out)                   # stdout carries the JSON and nothing else
    assert status == 0 and list(record) == LOG_COLUMNS + ["identity"]
    assert record["identity"] == {"model": "4181", "SN": "076787041", "soft_version": 373, "address": 1}
    assert (record["voltage_V"], record["current_limit_A"], record["status"]) == (1.222, 0.888, "ok")
    assert set(words(supply)) == set(READS)    # status never changes a supply
    supply.inject("no_reply", command=STATUS)
    status, out, err = cli("status", supply.port)
    assert status == 1 and "no reply" in out and "did not answer" in err


# -- set -------------------------------------------------------------------------

def test_set_shows_each_request_beside_its_read_back(cli, supply):
    status, out, err = cli("set", supply.port, "--voltage", "1.005", "--current-limit", "0.5", "--output", "on")
    assert status == 0
    assert "Voltage:       request 1.005 V, read back 1.005 V" in out
    assert "Current limit: request 0.500 A, read back 0.500 A" in out
    assert "Output:        request on, read back on" in out
    assert (VOLTAGE, 1005) in settings(supply)             # not 1004: the driver truncates
    assert "read:[" not in out and "read:[" not in err      # the driver's lines only with --verbose
    assert "no voltage limit" in err and "no current limit" in err
    _, out, err = cli("-v", "set", supply.port, "--voltage", "1")
    assert "read:[" not in out and "driver: set voltage, read:[" in err
    assert supply.state.output_on and supply.state.remote


# (standing volts, ceiling), options, the settings expected on the wire after remote control
WIRE_ORDER = [
    ((5, 30), ["--voltage", "1.222", "--ceiling", "2"], [(VOLTAGE, 1222), (CEILING, 2000)]),    # both down
    ((1, 2), ["--voltage", "5", "--ceiling", "8"], [(CEILING, 8000), (VOLTAGE, 5000)]),         # both up
    ((3, 10), ["--voltage", "6", "--ceiling", "4"], [(CEILING, 4000), (VOLTAGE, 6000)]),        # ceiling down, voltage up
    ((5, 3), ["--voltage", "2", "--ceiling", "10"], [(VOLTAGE, 2000), (CEILING, 10000)]),       # ceiling up, voltage down
    ((2, 5), ["--ceiling", "4", "--voltage", "8"], [(CEILING, 4000), (VOLTAGE, 8000)]),
    ((5, 30), ["--output", "off", "--current", "0.5", "--voltage", "2"],
     [(OUTPUT, 0), (CURRENT, 500), (VOLTAGE, 2000)]),
    ((5, 30), ["--mode", "local", "--output", "on", "--voltage", "2", "--current-limit", "0.25"],
     [(CURRENT, 250), (VOLTAGE, 2000), (OUTPUT, 1), (WORK_MODE, 0)]),
    ((5, 30), ["--output", "on", "--ceiling", "3", "--current", "0.1", "--voltage", "2"],
     [(CURRENT, 100), (VOLTAGE, 2000), (CEILING, 3000), (OUTPUT, 1)]),
]


@pytest.mark.parametrize("standing, options, expected", WIRE_ORDER)
def test_set_sends_in_the_safe_order(cli, supply, standing, options, expected):
    set_state(supply, volts=standing[0], ceiling=standing[1], output=True)
    status, _, _ = cli("set", supply.port, *options)
    sent = settings(supply)
    off_first = expected[:1] if expected[0] == (OUTPUT, 0) else []     # the confirmed off goes before remote control
    assert status == 0 and sent == off_first + [(WORK_MODE, 1)] + expected[len(off_first):]
    assert words(supply)[-1] == STATUS           # the read-back
    # the output follows min(ceiling, voltage): never above both its old and its new value
    volts, ceiling = standing[0] * 1000, standing[1] * 1000
    worst = max(min(volts, ceiling), min(supply.state.voltage_set_mv, supply.state.voltage_max_mv))
    for word, value in sent:
        volts, ceiling = (value, ceiling) if word == VOLTAGE else (volts, value) if word == CEILING else (volts, ceiling)
        assert min(volts, ceiling) <= worst


@pytest.mark.parametrize("options, fault, shown", [
    (["--current", "0.2", "--voltage", "1"], {"kind": "no_reply", "command": VOLTAGE}, "no reply"),
    (["--voltage", "1", "--output", "on"], {"kind": "no_reply", "command": VOLTAGE}, "not sent"),
    (["--current", "70"], None, "DIFFERS"),                 # the supply stops at 65.535 A
])
def test_set_exits_1_when_unanswered_or_the_read_back_differs(cli, supply, options, fault, shown):
    if fault:
        supply.inject(**fault)
    status, out, _ = cli("set", supply.port, *options)
    assert status == 1 and shown in out
    assert not supply.state.output_on                       # never switched on after a failure


# -- watch -----------------------------------------------------------------------

def test_watch_into_a_pipe_reports_events_and_keeps_going(supply):
    proc = subprocess.Popen(["zq4180", "watch", supply.port, "--interval", "0.1"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    lines = []
    reader = threading.Thread(target=lambda: lines.extend(proc.stdout), daemon=True)
    reader.start()

    def seen(text):
        return wait_for(lambda: any(text in line for line in list(lines)), 8)
    try:
        assert seen("output off")
        set_state(supply, output=True, remote=True)
        assert seen("EVENT output: off -> on")
        supply.inject("no_reply", command=STATUS)
        assert seen("EVENT no reply") and seen("EVENT answering")
        supply.unplug()
        assert seen("EVENT port lost")
        supply.replug()
        assert seen("EVENT port back")
        count = len(lines)
        assert wait_for(lambda: len(lines) >= count + 3, 5)
    finally:
        proc.send_signal(signal.SIGINT)
        status = proc.wait(10)
    reader.join(5)
    err = proc.stderr.read()
    assert status == 130 and "Traceback" not in err
    readings = [line for line in lines if "EVENT" not in line]
    assert len(readings) >= 10 and all(ISO_MS.match(line.split("  ")[0]) for line in lines)
    assert set(words(supply)) == set(READS)


# -- log -------------------------------------------------------------------------

def test_log_csv(cli, supply, isolated):
    path = isolated / "log.csv"
    status, out, _ = cli("--max-voltage", "12", "log", supply.port, "--interval", "0", "--count", "3", "--csv", path)
    assert status == 0 and out == ""
    comments, header, rows = csv_rows(path)
    keys = [c[2:].split(":", 1)[0] for c in comments]
    assert {"tool", "start", "port", "identity", "interval", "limits"} <= set(keys)
    assert any("12.000 V" in c and "--max-voltage" in c for c in comments)
    assert header == LOG_COLUMNS and len(rows) == 3
    record = [dict(zip(header, row)) for row in rows]
    assert all(ISO_MS.match(r["time"]) and r["status"] == "ok" and r["late_ms"] == "0.0" for r in record)
    assert [float(r["elapsed_s"]) for r in record] == sorted(float(r["elapsed_s"]) for r in record)
    assert set(words(supply)) == set(READS)


def test_log_duration_keeps_its_deadlines(cli, supply, isolated):
    status, _, _ = cli("log", supply.port, "--interval", "0.25", "--duration", "1", "--csv", isolated / "d.csv")
    _, _, rows = csv_rows(isolated / "d.csv")
    assert status == 0 and len(rows) == 4
    assert [float(r[1]) for r in rows] == pytest.approx([0, 0.25, 0.5, 0.75], abs=0.1)


def test_log_jsonl_append_and_force(cli, supply, isolated):
    path = isolated / "log.jsonl"
    assert cli("log", supply.port, "--interval", "0", "--count", "2", "--jsonl", path)[0] == 0
    records = [json.loads(line) for line in path.read_text().splitlines()]
    assert len(records) == 2 and all(list(r) == LOG_COLUMNS for r in records)
    assert cli("log", supply.port, "--interval", "0", "--count", "3", "--jsonl", path, "--append")[0] == 0
    assert len(path.read_text().splitlines()) == 5
    assert cli("log", supply.port, "--interval", "0", "--count", "1", "--jsonl", path, "--force")[0] == 0
    assert len(path.read_text().splitlines()) == 1
    path = isolated / "a.csv"
    cli("log", supply.port, "--interval", "0", "--count", "2", "--csv", path)
    assert cli("log", supply.port, "--interval", "0", "--count", "3", "--csv", path, "--append")[0] == 0
    _, header, rows = csv_rows(path)
    assert header == LOG_COLUMNS and len(rows) == 5         # one header, comments before the new rows
    path.write_text("time,volts\n")
    status, _, err = cli("log", supply.port, "--count", "1", "--csv", path, "--append")
    assert status == 2 and "header" in err


# -- ports: the environment, virtual supplies, files that exist ---------------------------

def test_port_from_the_environment(cli, supply, isolated, monkeypatch):
    sequence = isolated / "seq.csv"
    sequence.write_text("voltage,current,seconds\n1,0.1,0\n")
    monkeypatch.setenv("ZQ4180_PORT", supply.port)
    assert cli("run", sequence)[0] == 0                      # [PORT] SEQUENCE with PORT left out
    assert (VOLTAGE, 1000) in settings(supply)


def test_no_port_at_all_is_a_usage_error(cli):
    status, _, err = cli("status")
    assert "ZQ4180_PORT" in err and status == 2


def test_sim_serves_n_supplies_numbered_from_1(cli):
    status, out, _ = cli("--sim", "2", "list", "--probe")
    assert status == 0 and "serial number 076787041" in out and "serial number 076787042" in out
    status, out, _ = cli("--sim", "2", "status", "2", "--json")
    assert status == 0 and json.loads(out)["identity"]["SN"] == "076787042"


@pytest.mark.parametrize("argv, existing", [
    (["log", "{port}", "--count", "1", "--csv", "out.csv"], "out.csv"),
    (["sweep", "{port}", *SWEEP, "--csv", "out.csv"], "out.csv"),
    (["sweep", "{port}", *SWEEP, "--csv", "new.csv", "--plot", "out.png"], "out.png"),
    (["run", "{port}", "seq.csv", "--log", "out.csv"], "out.csv"),
])
def test_an_output_file_that_exists_is_refused_before_opening(cli, supply, isolated, argv, existing):
    (isolated / "seq.csv").write_text("voltage,current,seconds\n1,0.1,0\n")
    (isolated / existing).write_text("keep me\n")
    status, _, err = cli(*[a.format(port=supply.port) for a in argv])
    assert status == 2 and "--force" in err
    assert (isolated / existing).read_text() == "keep me\n" and supply.requests == []

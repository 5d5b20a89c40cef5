"""The procedures' commands (ramp, sweep, run), end to end through a virtual supply on a pty."""
import csv
import sys

import pytest

from .helpers import (CURRENT, LOG_COLUMNS, OUTPUT, STATUS, SWEEP, VOLTAGE, WORK_MODE, csv_rows, set_state, settings,
                      words)

pytestmark = pytest.mark.bench


# -- ramp ------------------------------------------------------------------------

@pytest.mark.parametrize("options, largest", [
    (["--rate", "100"], 100),
    (["--step", "0.5", "--dwell", "0", "--max-step", "0.3"], 300),
])
def test_ramp_moves_in_small_steps_and_stays_at_its_target(cli, supply, options, largest):
    set_state(supply, volts=5, output=True)
    status, out, err = cli("ramp", supply.port, "--to", "3.8", *options)
    assert status == 0 and "request 3.800 V, read back 3.800 V" in out
    steps = [5000] + [v for w, v in settings(supply) if w == VOLTAGE]
    assert steps[-1] == 3800 and max(a - b for a, b in zip(steps, steps[1:])) <= largest
    assert steps == sorted(steps, reverse=True)
    assert "ramp to" not in err and "\r" not in err         # no progress bar off a terminal
    assert supply.state.output_on and supply.state.voltage_set_mv == 3800


# -- sweep -----------------------------------------------------------------------

@pytest.mark.parametrize("through_cc, points", [(False, 4), (True, 9)])
def test_sweep_stops_on_cc_unless_asked_and_ends_safe(cli, supply, isolated, through_cc, points):
    path = isolated / "iv.csv"
    status, _, _ = cli("sweep", supply.port, *SWEEP, "--csv", path, *(["--through-cc"] if through_cc else []))
    assert status == 0
    rows = list(csv.DictReader(path.open()))
    assert list(rows[0]) == ["voltage_set_V", "voltage_V", "current_A", "power_W", "regulation"]
    assert [float(r["voltage_set_V"]) for r in rows] == [0.25 * k for k in range(points)]
    assert rows[-1]["regulation"] == "CC" and all(r["regulation"] == "CV" for r in rows[:3])
    sent = settings(supply)
    assert sent[:4] == [(WORK_MODE, 1), (CURRENT, 50), (VOLTAGE, 0), (OUTPUT, 1)]   # on after limit and voltage
    assert sent[-2:] == [(OUTPUT, 0), (WORK_MODE, 0)]
    assert not supply.state.output_on and not supply.state.remote


def test_sweep_points_reach_the_wire_in_whole_millivolts(cli, supply):
    status, out, _ = cli("sweep", supply.port, "--from", "0.1234", "--to", "0.5", "--step", "0.1",
                         "--current", "1", "--settle", "0")
    assert status == 0 and out.splitlines()[0].startswith("voltage_set_V,")   # CSV on stdout
    assert [v for w, v in settings(supply) if w == VOLTAGE] == [123, 223, 323, 423, 500]


MAGIC = {".png": (b"\x89PNG",), ".svg": (b"<svg", b"<?xml"), ".pdf": (b"%PDF",)}


@pytest.mark.parametrize("suffix", sorted(MAGIC))
def test_sweep_plot_format_follows_the_suffix(cli, supply, isolated, suffix):
    plot = isolated / f"iv{suffix}"
    status, _, _ = cli("sweep", supply.port, *SWEEP, "--csv", isolated / "iv.csv", "--plot", plot)
    assert status == 0 and plot.read_bytes().lstrip().startswith(MAGIC[suffix])


def test_sweep_without_matplotlib_still_writes_the_csv(cli, supply, isolated, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    status, _, err = cli("sweep", supply.port, *SWEEP, "--csv", isolated / "iv.csv", "--plot", isolated / "iv.png")
    assert status == 1 and "zq4180[plot]" in err
    assert len(list(csv.DictReader((isolated / "iv.csv").open()))) == 4 and not (isolated / "iv.png").exists()


def test_sweep_on_keep_leaves_the_output_on(cli, supply):
    assert cli("--on-exit", "keep", "sweep", supply.port, *SWEEP)[0] == 0
    assert supply.state.output_on and OUTPUT not in [w for w, v in settings(supply)][4:]


def test_sim_led_load_gives_a_curve(cli):
    status, out, _ = cli("--sim", "--sim-load", "led", "sweep", "--from", "1.7", "--to", "2.1", "--step", "0.1",
                         "--current", "0.1", "--settle", "0")
    rows = list(csv.DictReader(out.splitlines()))
    amps = [float(r["current_A"]) for r in rows]
    assert status == 0 and len(rows) == 5 and amps == sorted(amps)
    assert amps[3] > 5 * amps[1] > 0                       # 2.0 V against 1.8 V: a knee, not a resistor


# -- run -------------------------------------------------------------------------

def test_run_applies_rows_in_order_and_logs_while_holding(cli, supply, isolated):
    sequence = isolated / "seq.csv"
    sequence.write_text("voltage,current,seconds,output\n# two rows\n1.0,0.2,0.3,on\n2.0,0.1,0.2,off\n")
    log = isolated / "run.csv"
    status, _, _ = cli("run", supply.port, sequence, "--interval", "0.1", "--repeat", "2", "--log", log)
    assert status == 0
    row1 = [(WORK_MODE, 1), (CURRENT, 200), (VOLTAGE, 1000), (OUTPUT, 1)]    # switching on: the checked path
    row2 = [(OUTPUT, 0), (CURRENT, 100), (VOLTAGE, 2000)]                   # the confirmed off first
    assert settings(supply) == (row1 + row2) * 2 + [(OUTPUT, 0), (WORK_MODE, 0)]
    assert words(supply)[-3:] == [OUTPUT, STATUS, WORK_MODE]
    comments, header, rows = csv_rows(log)
    assert header == LOG_COLUMNS and any(c.startswith("# sequence:") for c in comments)
    logged = [(r[5], r[8]) for r in rows]                  # voltage_set_V, output
    assert logged == ([("1.0", "on")] * 3 + [("2.0", "off")] * 2) * 2
    assert not supply.state.output_on and not supply.state.remote


def test_run_ramps_a_row_that_asks(cli, supply, isolated):
    sequence = isolated / "ramp.csv"
    sequence.write_text("voltage,current,seconds,output,ramp\n1,0.1,0\n1.5,0.1,0,on,20\n")
    assert cli("run", supply.port, sequence)[0] == 0
    assert [v for w, v in settings(supply) if w == VOLTAGE] == [1000, 1100, 1200, 1300, 1400, 1500]


def test_a_sequence_saved_by_a_spreadsheet_runs(cli, supply, isolated):
    sequence = isolated / "excel.csv"
    sequence.write_bytes("voltage,current,seconds\r\n1.25,0.1,0\r\n".encode("utf-8-sig"))   # BOM, CRLF
    assert cli("run", supply.port, sequence)[0] == 0
    assert (VOLTAGE, 1250) in settings(supply)

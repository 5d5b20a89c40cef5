"""The example scripts run as a user runs them, against virtual supplies."""
import csv
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from zq4180_sim import VirtualSupply

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run(script, *args, cwd):
    done = subprocess.run([sys.executable, str(EXAMPLES / script), *args], cwd=cwd,
                          capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout + done.stderr


def test_sweep_verifies_every_millivolt(tmp_path):
    # Each of these times 1000.0 falls just below the whole millivolt.
    out = tmp_path / "sweep.csv"
    code, text = run("sweep_to_csv.py", "--no-pacing", "--settle", "0", "--start", "1.001",
                     "--stop", "1.005", "--step", "0.002", "--csv", str(out), cwd=tmp_path)
    assert code == 0, text
    rows = list(csv.DictReader(out.open()))
    assert [(r["requested_v"], r["voltage_set"], r["verified"]) for r in rows] == [
        ("1.001", "1.001", "yes"), ("1.003", "1.003", "yes"), ("1.005", "1.005", "yes")]
    assert "sweep: 3 steps, 3 verified, 0 failed" in text


def test_sweep_reports_a_step_the_supply_missed(tmp_path):
    out = tmp_path / "sweep.csv"
    with VirtualSupply(2, pacing=False, load_ohms=100.0) as supply:
        supply.inject("no_reply", command=0x23)
        code, text = run("sweep_to_csv.py", "--port", supply.port, "--settle", "0",
                         "--start", "1", "--stop", "3", "--step", "1", "--csv", str(out),
                         cwd=tmp_path)
        state = supply.state.snapshot()
    assert code == 1, text
    assert [r["verified"] for r in csv.DictReader(out.open())] == ["no", "yes", "yes"]
    assert "1 failed" in text
    assert not state["output_on"] and not state["remote"]


def test_parallel_supplies_summary(tmp_path):
    code, text = run("parallel_supplies.py", "--no-pacing", "--count", "3", "--reads", "2",
                     cwd=tmp_path)
    assert code == 0, text
    assert "summary: supplies 3, opened 3, status reads answered 6/6" in text
    assert {f"SN 00000000{n}" for n in (1, 2, 3)} <= set(re.findall(r"SN \d{9}", text))


@pytest.mark.skipif(not (shutil.which("ser2net") or os.access("/usr/sbin/ser2net", os.X_OK)),
                    reason="ser2net is not installed (apt-get install ser2net)")
def test_remote_supply_through_its_own_ser2net(tmp_path):
    code, text = run("remote_supply.py", "--no-pacing", cwd=tmp_path)
    assert code == 0, text
    assert "rfc2217://127.0.0.1:" in text and "read-back matches the settings" in text
    pid = int(re.search(r"\(pid (\d+)\)", text).group(1))
    with pytest.raises(ProcessLookupError):  # the example stopped its server
        os.kill(pid, 0)


@pytest.mark.parametrize("program", ["/no/such/path", "not-executable"])
def test_remote_supply_with_a_ser2net_that_is_not_there(tmp_path, program):
    if program == "not-executable":
        program = str(tmp_path / program)
        open(program, "w").close()
    code, text = run("remote_supply.py", "--ser2net", program, cwd=tmp_path)
    assert code == 2
    assert text == (f"ser2net not found at {program}: install it (apt-get install ser2net), pass --ser2net, "
                    "or give --url of a running server\n")

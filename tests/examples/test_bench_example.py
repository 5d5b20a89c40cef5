"""The bench library example runs as a user runs it, against a virtual LED."""
import csv
import subprocess
import sys
from pathlib import Path

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "bench_library.py"


def test_bench_library_example(tmp_path):
    done = subprocess.run([sys.executable, str(EXAMPLE), "--log", "log.csv"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    assert "refused before sending: voltage 4.000 V is over the limit 3.000 V" in out
    assert "Voltage:       request 1.800 V, read back 1.800 V" in out
    assert "CC" in out.splitlines()[-3]          # the LED reached the current limit
    assert out.rstrip().endswith("output off, local control")
    rows = list(csv.DictReader(line for line in (tmp_path / "log.csv").open() if not line.startswith("#")))
    assert len(rows) == 3 and {r["status"] for r in rows} == {"ok"}

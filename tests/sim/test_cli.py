import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest
import serial

import zq4180_sim
from zq4180_sim import build_frame
from zq4180_sim.cli import main

ENV = {**os.environ, "PYTHONPATH": str(Path(zq4180_sim.__file__).parents[1])}


@pytest.mark.parametrize("argv", [
    ["--count", "0"], ["--address", "256"], ["--load", "-1"], ["--fan-speed", "8"],
    ["--serial-number", "12345"], ["--model-code", "41810"], ["--fault", "smoke"],
    ["--fault", "late,delay=soon"], ["--fault", "no_reply,command=0x300"], ["--fault", "late,when=1"],
    ["--link", "/no/such/dir/tty"], ["-n", "2", "--link", "/tmp/x"], ["--bogus"],
    ["-n", "2", "--link", "/tmp/x", "--link", "/tmp/x"], ["--demo", "--address", "3"],
])
def test_bad_input_is_one_line(capsys, argv):
    assert main(argv) != 0
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1 and err.startswith("zq4180-sim: error: ")


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_serves_until_signalled(sig):
    proc = subprocess.Popen(
        [sys.executable, "-m", "zq4180_sim", "--no-pacing", "-n", "2", "-a", "0x07",
         "--load", "10", "--fan-speed", "2", "--fault", "no_reply,command=identity"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=ENV)
    try:
        ports = [proc.stdout.readline().strip() for _ in range(2)]
        assert all(os.path.islink(p) for p in ports) and ports[0] != ports[1]
        with serial.Serial(ports[1], 4800, timeout=0.5) as line:
            line.write(build_frame(255, 0x31))
            assert line.read(26) == b""
            line.write(build_frame(7, 0x26))
            assert line.read(26)[:10] == bytes.fromhex("aa 07 12 00 00 00 00 00 00 20")
    finally:
        proc.send_signal(sig)
        _, err = proc.communicate(timeout=10)
    assert (proc.returncode, err) == (0, "")
    assert not any(os.path.lexists(p) for p in ports)


def test_demo_runs_the_demonstration_steps_and_reads_the_status():
    done = subprocess.run([sys.executable, "-m", "zq4180_sim", "--demo", "--no-pacing"],
                          capture_output=True, text=True, env=ENV, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    lines = done.stdout.splitlines()
    assert [line.split(":")[0].split("[")[0] for line in lines] == [
        "set work mode to remote controll", "set voltage, read", "set current, read",
        "------------ local -------------", "status", "Restore FACTORY", "zq4100 series closed!"]
    assert "'voltage_set': 1.222" in lines[4] and "'out_status': 'on'" in lines[4]

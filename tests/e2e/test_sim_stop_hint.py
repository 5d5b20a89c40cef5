"""zq4180-sim serving in the foreground tells a person at a terminal how to stop it."""
import os
import select
import signal
import subprocess
import sys

import pytest

pytestmark = pytest.mark.e2e


def serve(stderr):
    sim = subprocess.Popen([sys.executable, "-m", "zq4180_sim", "--no-pacing"], stdout=subprocess.PIPE,
                           stderr=stderr, text=True)
    assert sim.stdout.readline().strip()  # the port comes first, on stdout
    return sim


def stop(sim):
    sim.send_signal(signal.SIGINT)
    _, err = sim.communicate(timeout=10)
    assert sim.returncode == 0
    return err


def test_how_to_stop_is_said_on_a_terminal():
    master, slave = os.openpty()
    try:
        sim = serve(slave)
        said = b""
        while not said.endswith(b"\n") and select.select([master], [], [], 5)[0]:
            said += os.read(master, 1024)
        stop(sim)
    finally:
        os.close(slave)
        os.close(master)
    line = said.decode().strip()
    assert line.startswith("zq4180-sim: serving until stopped: press Ctrl-C")
    assert f"kill {sim.pid}" in line


def test_nothing_is_said_to_a_pipe():
    assert stop(serve(subprocess.PIPE)) == ""

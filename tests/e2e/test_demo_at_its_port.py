"""`zq4180-demo --help`'s recipe, followed: a virtual supply published at the fixed port."""
import fcntl
import os
import shutil
import signal
import subprocess
import sys

import pytest

pytestmark = pytest.mark.e2e

DEMO_PORT = "/dev/cu.usbserial-21320"


def command(name, module):
    script = shutil.which(name)
    return [script] if script else [sys.executable, "-m", module]


@pytest.mark.skipif(os.geteuid() != 0, reason="the link is made in /dev: root only")
@pytest.mark.skipif(os.path.lexists(DEMO_PORT), reason=f"{DEMO_PORT} exists on this machine")
def test_the_demonstration_runs_against_a_virtual_supply_at_its_port():
    # suites run side by side (other interpreters) take the fixed port in turn
    with open("/tmp/zq4180-demo-port.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        _run_demo()


def _run_demo():
    sim = subprocess.Popen(command("zq4180-sim", "zq4180_sim") + [
        "--address", "6", "--load", "10", "--link", DEMO_PORT],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert sim.stdout.readline().strip() == DEMO_PORT
        demo = subprocess.run(command("zq4180-demo", "zq4180_launch.demo"), capture_output=True,
                              text=True, timeout=60, stdin=subprocess.DEVNULL)
    finally:
        sim.send_signal(signal.SIGINT)
        sim.communicate(timeout=10)
    assert (demo.returncode, demo.stderr) == (0, "")
    assert [line.split(":")[0].split("[")[0] for line in demo.stdout.splitlines()] == [
        "set work mode to remote controll", "set voltage, read", "set current, read",
        "------------ local -------------", "Restore FACTORY", "zq4100 series closed!"]
    assert sim.returncode == 0 and not os.path.lexists(DEMO_PORT)

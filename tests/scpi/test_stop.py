"""``zq4180-scpi --on-exit off`` stopped at any moment once its supplies are served: the end runs.

Each case runs the command in a process of its own with hooks that send the process a stop
signal at one exact moment (a second one during the end, for some), so a moment between two
lines of the start or the end cannot be missed by timing.
"""
import os
import signal
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

SCRIPT = r"""
import asyncio, os, signal, sys
from zq4180_sim import VirtualSupply
from zq4180_bench import frontend
from zq4180_scpi import cli, runner, station

sig = getattr(signal, sys.argv[1])
moments = set(sys.argv[2:])

def kill(moment):
    if moment in moments:
        os.kill(os.getpid(), sig)

def after(owner, name, moment, coroutine=False):
    original = getattr(owner, name)
    if coroutine:
        async def hooked(*a, **k):
            kill(moment)
            return await original(*a, **k)
    else:
        def hooked(*a, **k):
            result = original(*a, **k)
            kill(moment)
            return result
    setattr(owner, name, hooked)

after(station.Station, "start", "station-started")
after(runner, "open_listeners", "before-listen", coroutine=True)
after(runner, "resource_lines", "serving")
after(asyncio, "run", "after-loop")
after(frontend, "end_all", "after-the-end")
after(cli, "serve", "after-serve")
if "fails-while-serving" in moments:
    def broken(listeners):
        raise RuntimeError("a fault while serving")
    runner.resource_lines = broken

sim = VirtualSupply(1, pacing=False, load_ohms=10.0).start()
sim.state.configure(remote=True, voltage_set_mv=5000, current_limit_ma=1000, output_on=True)
try:
    status = cli.main([sim.port, "--listen", "127.0.0.1:0", "--on-exit", "off"])
except RuntimeError:
    status = "error"
print("RESULT", status, sim.state.output_on, flush=True)
sim.stop()
"""


def run_stopped(sig, *moments):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.join(ROOT, "python") + os.pathsep + env.get("PYTHONPATH", "")
    for name in ("ZQ4180_PORT", "ZQ4180_CONFIG"):
        env.pop(name, None)
    done = subprocess.run([sys.executable, "-c", SCRIPT, sig, *moments], capture_output=True, text=True,
                          env=env, timeout=60)
    result = [line for line in done.stdout.splitlines() if line.startswith("RESULT")]
    return done, result


@pytest.mark.parametrize("moments", [
    ("station-started",),                 # the worker runs, nothing listens yet
    ("before-listen",),                   # inside the loop, before any port is bound
    ("serving",),                         # the usual stop
    ("serving", "after-loop"),            # a second signal once the loop has closed
    ("serving", "after-the-end"),         # ... once the end is done
    ("serving", "after-serve"),           # ... and once the supplies are no longer served
])
@pytest.mark.parametrize("sig", ["SIGINT", "SIGTERM", "SIGHUP"])
def test_a_stop_signal_at_any_moment_switches_off_and_exits_0(moments, sig):
    done, result = run_stopped(sig, *moments)
    assert result == ["RESULT 0 False"], (done.returncode, done.stdout, done.stderr)
    assert done.stderr.count("stopping") == 1 and "Traceback" not in done.stderr, done.stderr
    if moments == ("station-started",):     # stopped before binding: no port is offered
        assert "TCPIP0::" not in done.stdout


def test_a_fault_while_serving_still_runs_the_end():
    done, result = run_stopped("SIGINT", "fails-while-serving")
    assert result == ["RESULT error False"], (done.returncode, done.stdout, done.stderr)

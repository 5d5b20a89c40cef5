"""``zq4180-panel --scpi``: the same SCPI front end on the panel's own workers."""
import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("nicegui", reason="the panel extra is not installed")
pytest.importorskip("pyvisa_py")

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RESOURCE = re.compile(r"^(\S+) (TCPIP0::127\.0\.0\.1::\d+::SOCKET)$")


class Panel:
    def __init__(self, *argv):
        env = {k: v for k, v in os.environ.items() if k not in ("ZQ4180_PORT", "ZQ4180_CONFIG")}
        env["PYTHONPATH"] = os.path.join(ROOT, "python") + os.pathsep + env.get("PYTHONPATH", "")
        self.proc = subprocess.Popen([sys.executable, "-m", "zq4180_panel", "--port", "0", *argv],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        self.lines: queue.Queue = queue.Queue()
        self.err: list[str] = []
        threading.Thread(target=self._drain, daemon=True).start()
        self.url = self.proc.stdout.readline().strip()

    def _drain(self):
        for line in self.proc.stderr:
            self.err.append(line)
            self.lines.put(line.rstrip("\n"))

    def resources(self, count, timeout=30.0):
        found = []
        end = time.monotonic() + timeout
        while len(found) < count and time.monotonic() < end:
            try:
                line = self.lines.get(timeout=0.5)
            except queue.Empty:
                continue
            m = RESOURCE.match(line)
            if m:
                found.append((m.group(1), m.group(2)))
        return found

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        return self.proc.returncode


@pytest.fixture
def panel():
    started = []

    def start(*argv):
        p = Panel(*argv)
        started.append(p)
        return p
    yield start
    for p in started:
        p.stop()


def test_the_panel_serves_scpi_for_each_supply(panel, visa, virtual_supplies):
    a = virtual_supplies(1, pacing=False, load_ohms=10.0)
    b = virtual_supplies(1, pacing=False, load_ohms=10.0, serial_number="076787042")
    p = panel(a.port, b.port, "--max-voltage", "6", "--scpi", "127.0.0.1:0")
    assert p.url.startswith("http://127.0.0.1:")                 # the first stdout line stays the address
    found = p.resources(2)
    assert [name for name, _ in found] == ["s1", "s2"]
    first, second = (visa(resource) for _, resource in found)
    assert first.query("*IDN?").split(",")[2] == "076787041"
    assert second.query("*IDN?").split(",")[2] == "076787042"
    first.write("APPL 4,1;:OUTP ON")
    assert first.query("MEAS:VOLT?") == "4.000"
    assert a.state.output_on and not b.state.output_on
    first.write("VOLT 7")                                        # the panel's limits hold for SCPI too
    assert first.query("SYST:ERR?").startswith('-222,"Data out of range; voltage 7.000 V is over the limit')
    first.write("OUTP OFF")
    assert first.query("OUTP?") == "0"
    assert p.stop() == 0, "".join(p.err)
    assert "".join(p.err).count("TCPIP0::") == 2


def test_the_panels_read_only_holds_for_scpi(panel, visa, virtual_supplies):
    a = virtual_supplies(1, pacing=False, load_ohms=10.0)
    p = panel(a.port, "--read-only", "--scpi", "127.0.0.1:0")
    [(name, resource)] = p.resources(1)
    inst = visa(resource)
    inst.write("OUTP ON")
    assert inst.query("SYST:ERR?").startswith('-203,"Command protected')
    assert inst.query("OUTP?") == "0"
    assert not a.state.output_on


@pytest.mark.parametrize("argv, message", [
    (["--scpi", "0.0.0.0:0"], "add --allow-remote-control"),
    (["--scpi", "5025"], "--scpi takes HOST:PORT"),
])
def test_scpi_beyond_loopback_needs_allow_remote_control(argv, message, virtual_supplies):
    a = virtual_supplies(1, pacing=False)
    env = {k: v for k, v in os.environ.items() if k not in ("ZQ4180_PORT", "ZQ4180_CONFIG")}
    env["PYTHONPATH"] = os.path.join(ROOT, "python") + os.pathsep + env.get("PYTHONPATH", "")
    done = subprocess.run([sys.executable, "-m", "zq4180_panel", a.port, "--port", "0", *argv], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and message in done.stderr and done.stdout == ""


@pytest.mark.parametrize("delay", [0.0, 0.1, 0.25, 0.5, 0.75, 1.0, 1.5])
def test_a_stop_signal_at_any_moment_of_the_start_ends_in_the_panels_end(delay, panel, virtual_supplies):
    # after the SCPI lines the web server is still starting: wherever the signal lands, the panel
    # must close SCPI, run its end and exit 0 (it once hung, or ended without its end)
    a = virtual_supplies(1, pacing=False, load_ohms=10.0)
    p = panel(a.port, "--scpi", "127.0.0.1:0")
    assert len(p.resources(1)) == 1
    time.sleep(delay)
    assert p.stop() == 0, "".join(p.err)
    err = "".join(p.err)
    assert "SIGINT: stopping" in err and "the session's CSV logs stay in" in err, err
    assert "Traceback" not in err

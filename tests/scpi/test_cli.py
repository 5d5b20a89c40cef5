"""``zq4180-scpi`` as a program: its stdout lines, options, refusals and its end."""
import os
import re
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("pyvisa")
pytest.importorskip("pyvisa_py")

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LINE = re.compile(r"^(\S+) TCPIP0::127\.0\.0\.1::(\d+)::SOCKET$")


def _env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.join(ROOT, "python") + os.pathsep + env.get("PYTHONPATH", "")
    return env


class Server:
    def __init__(self, *argv, count=1):
        self.proc = subprocess.Popen([sys.executable, "-m", "zq4180_scpi", *argv], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=_env())
        self.lines = [self.proc.stdout.readline() for _ in range(count)]

    def resource(self, k=0):
        return self.lines[k].split()[1]

    def stop(self, sig=signal.SIGINT, timeout=30):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            out, err = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
        return self.proc.returncode, out, err


@pytest.fixture
def server():
    started = []

    def start(*argv, count=1):
        s = Server(*argv, count=count)
        started.append(s)
        return s
    yield start
    for s in started:
        if s.proc.poll() is None:
            s.proc.kill()
            s.proc.communicate()


def run(*argv, timeout=60):
    return subprocess.run([sys.executable, "-m", "zq4180_scpi", *argv], capture_output=True, text=True,
                          env=_env(), timeout=timeout)


def test_one_line_per_supply_and_nothing_else_on_stdout(server, visa):
    s = server("--sim", "2", "--listen", "127.0.0.1:0", count=2)
    names = [LINE.match(line.rstrip("\n")).group(1) for line in s.lines]
    assert names == ["S1", "S2"]
    ports = [int(LINE.match(line).group(2)) for line in s.lines]
    assert len(set(ports)) == 2
    serials = [visa(s.resource(k)).query("*IDN?").split(",")[2] for k in range(2)]
    assert serials == ["076787041", "076787042"]
    status, out, err = s.stop()
    assert status == 0 and out == ""


def test_the_next_supplies_listen_on_the_following_ports(server):
    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        free = probe.getsockname()[1]
    if free > 65000:
        pytest.skip("no room for three ports after the free one")
    s = server("--sim", "3", "--listen", f"127.0.0.1:{free}", count=3)
    assert [int(LINE.match(line).group(2)) for line in s.lines] == [free, free + 1, free + 2]
    assert s.stop()[0] == 0


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_on_exit_off_switches_off_on_every_stop_signal(server, visa, virtual_supplies, sig):
    sim = virtual_supplies(1, pacing=False, load_ohms=10.0)
    s = server(sim.port, "--listen", "127.0.0.1:0", "--on-exit", "off")
    inst = visa(s.resource())
    inst.write("APPL 5,1;:OUTP ON")
    assert inst.query("OUTP?") == "1"
    inst.close()
    status, out, err = s.stop(sig)
    assert status == 0, err
    assert not sim.state.output_on


def test_on_exit_keep_leaves_the_output_on(server, visa, virtual_supplies):
    sim = virtual_supplies(1, pacing=False, load_ohms=10.0)
    s = server(sim.port, "--listen", "127.0.0.1:0")
    inst = visa(s.resource())
    inst.write("APPL 5,1;:OUTP ON")
    assert inst.query("OUTP?") == "1"
    inst.close()
    assert s.stop()[0] == 0
    assert sim.state.output_on


def test_an_unconfirmed_off_at_the_end_names_the_supply_and_exits_1(server, visa, virtual_supplies):
    sim = virtual_supplies(1, pacing=False, load_ohms=10.0)
    s = server(sim.port, "--listen", "127.0.0.1:0", "--on-exit", "off")
    inst = visa(s.resource())
    inst.write("APPL 5,1;:OUTP ON")
    assert inst.query("OUTP?") == "1"
    inst.close()
    sim.inject("no_reply", count=None)
    status, out, err = s.stop(timeout=60)
    assert status == 1
    assert "S1: OUTPUT MAY STILL BE ON: output-off not confirmed after 3 tries" in err
    assert out == ""


def test_read_only(server, visa):
    s = server("--sim", "--read-only", "--listen", "127.0.0.1:0")
    inst = visa(s.resource())
    inst.write("VOLT 1")
    assert inst.query("SYST:ERR?") == ('-203,"Command protected; this server is read-only (--read-only): '
                                       'no setting is taken"')
    assert inst.query("VOLT?") == "5.000"
    s.stop()


@pytest.mark.parametrize("argv, message", [
    (["--sim", "--listen", "0.0.0.0:0"], "add --allow-remote"),
    (["--sim", "--listen", "[::]:0"], "add --allow-remote"),
    (["--sim", "--listen", "5025"], "--listen takes HOST:PORT"),
    (["--sim", "--listen", "127.0.0.1:70000"], "is not a TCP port"),
    (["--sim", "--listen", "::1:5025"], "brackets"),
    (["--sim", "--allow-from", "10.0.0.0/33"], "--allow-from takes"),
    (["--sim-load", "led"], "--sim-load goes with --sim"),
    ([], "name at least one SUPPLY"),
    (["--sim", "--max-voltage", "-1"], "--max-voltage"),
    (["--sim", "--max-voltage", "inf"], "--max-voltage"),
    (["--sim", "--on-exit", "maybe"], "--on-exit"),
])
def test_usage_errors_exit_2_before_anything_opens(argv, message):
    result = run(*argv)
    assert result.returncode == 2
    assert message in result.stderr
    assert result.stdout == ""


def test_a_supply_that_cannot_be_opened_exits_1():
    result = run("/dev/nonexistent-zq4180", "--listen", "127.0.0.1:0")
    assert result.returncode == 1
    assert "/dev/nonexistent-zq4180: no such port" in result.stderr
    assert result.stdout == ""


def test_a_port_in_use_exits_1(server):
    first = server("--sim", "--listen", "127.0.0.1:0")
    port = LINE.match(first.lines[0]).group(2)
    result = run("--sim", "--listen", f"127.0.0.1:{port}")
    assert result.returncode == 1 and "cannot listen on 127.0.0.1:" in result.stderr
    first.stop()


def test_allow_remote_warns_with_the_addresses_and_serves_loopback(server, visa):
    s = server("--sim", "--listen", "0.0.0.0:0", "--allow-remote", "--allow-from", "127.0.0.0/8")
    assert LINE.match(s.lines[0])                 # a wildcard bind is opened on loopback
    assert visa(s.resource()).query("*OPC?") == "1"
    status, out, err = s.stop()
    assert "warning: listening on 0.0.0.0: anyone who reaches this machine" in err
    assert status == 0


def test_the_process_names_itself_for_lsof(server):
    s = server("--sim", "--listen", "127.0.0.1:0")
    with open(f"/proc/{s.proc.pid}/comm") as f:
        assert f.read().strip() == "zq4180-scpi"
    s.stop()


@pytest.mark.parametrize("listen, host", [("localhost:0", "localhost"), ("[::1]:0", "[::1]")])
def test_names_and_ipv6_listen_on_one_port(server, listen, host):
    import socket
    s = server("--sim", "--listen", listen)
    match = re.match(r"^S1 TCPIP0::(.+)::(\d+)::SOCKET$", s.lines[0].rstrip("\n"))
    assert match and match.group(1) == host
    family = socket.AF_INET6 if host.startswith("[") else socket.AF_INET
    with socket.socket(family) as c:
        c.settimeout(5)
        c.connect((host.strip("[]") if family == socket.AF_INET6 else "127.0.0.1", int(match.group(2))))
        c.sendall(b"*OPC?\n")
        assert c.recv(10) == b"1\n"
    assert s.stop()[0] == 0

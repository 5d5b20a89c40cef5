"""What the IOC benchmarks share: ``zq4180-ioc`` as a process on loopback, its CPU time, and
the virtual supplies it serves (run by the benchmark, so their cost is not the IOC's)."""

from __future__ import annotations

import contextlib
import os
import random
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(os.path.dirname(HERE), "python")


def _free_port() -> int:
    for _ in range(100):
        port = random.randint(20000, 59000)
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as t, \
                    socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
                t.bind(("127.0.0.1", port))
                u.bind(("127.0.0.1", port))
            return port
        except OSError:
            continue
    raise RuntimeError("no free port")


def loopback_environment() -> dict[str, str]:
    """Loopback only, on ports of this run's own; set in this process too (the clients read them)."""
    ca, pva = _free_port(), _free_port()
    env = {"EPICS_CA_AUTO_ADDR_LIST": "NO", "EPICS_CA_ADDR_LIST": "127.0.0.1",
           "EPICS_CA_SERVER_PORT": str(ca), "EPICS_CA_REPEATER_PORT": str(ca + 1),
           "EPICS_PVA_AUTO_ADDR_LIST": "NO", "EPICS_PVA_ADDR_LIST": "127.0.0.1",
           "EPICS_PVA_SERVER_PORT": str(pva), "EPICS_PVA_BROADCAST_PORT": str(pva + 1)}
    os.environ.update(env)
    return env


class Ioc:
    def __init__(self, args: list[str], expect: int) -> None:
        self.prefix = f"ZQB{random.randint(0, 10**8):08d}:"
        self.dir = tempfile.mkdtemp(prefix="zq4180-ioc-bench-")
        config = os.path.join(self.dir, "zq4180.toml")
        open(config, "w").close()
        env = dict(os.environ, **loopback_environment(), PYTHONPATH=SOURCE)
        env.pop("ZQ4180_PORT", None)
        env.pop("ZQ4180_CONFIG", None)
        self.err = open(os.path.join(self.dir, "stderr"), "wb")
        self.proc = subprocess.Popen([sys.executable, "-m", "zq4180_ioc", "--prefix", self.prefix,
                                      "--config", config, *args], stdout=subprocess.PIPE, stderr=self.err,
                                     env=env, cwd=self.dir)
        out = b""
        deadline = time.monotonic() + 60
        while out.count(b"\n") < expect:
            if not select.select([self.proc.stdout], [], [], max(0.0, deadline - time.monotonic()))[0]:
                raise RuntimeError("the IOC did not start")
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                raise RuntimeError(open(self.err.name).read())
            out += chunk
        self.bases = [line.split(" ", 1)[1] for line in out.decode().splitlines()]

    def cpu_seconds(self) -> float:
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.err.close()
        shutil.rmtree(self.dir, ignore_errors=True)


@contextlib.contextmanager
def ioc(args: list[str], expect: int = 1):
    server = Ioc(args, expect)
    try:
        yield server
    finally:
        server.close()


@contextlib.contextmanager
def virtual_supplies(count: int):
    from zq4180_sim import VirtualSupply
    supplies = []
    try:
        for i in range(count):
            supplies.append(VirtualSupply(1, pacing=True, load_ohms=10.0,
                                          serial_number=f"{76787041 + i:09d}").start())
        yield supplies
    finally:
        for supply in supplies:
            supply.stop()


def line_exchange_seconds(supply) -> float:
    """The median time one exchange takes on the (paced) line, from the virtual supply's own record."""
    stamps = getattr(supply, "stamps", [])
    gaps = [b - a for a, b in zip(stamps, stamps[1:])]
    return statistics.median(gaps) if gaps else float("nan")


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, round(q / 100 * (len(ordered) - 1))))]

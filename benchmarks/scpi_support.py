"""What the SCPI benchmarks share: a paced virtual supply (``zq4180-sim -v``, its exchanges counted
from its log) and ``zq4180-scpi`` serving it, each in a process of its own, as a user runs them; the
clients alone run in this process."""
from __future__ import annotations

import contextlib
import os
import pathlib
import signal
import subprocess
import sys
import threading

from many_supplies import LINE_EXCHANGE   # one request and its reply at 4800 baud 8N1: 108.3 ms

ROOT = pathlib.Path(__file__).resolve().parent.parent
LINE_LIMIT = 1 / LINE_EXCHANGE


class Sim:
    """A paced virtual supply in a process of its own; ``exchanges`` counts the replies it sent."""

    def __init__(self, load: str = "10") -> None:
        env = dict(os.environ, PYTHONPATH=str(ROOT / "python") + os.pathsep + os.environ.get("PYTHONPATH", ""))
        self.proc = subprocess.Popen([sys.executable, "-m", "zq4180_sim", "-v", "--load", load],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        self.port = self.proc.stdout.readline().strip()
        self.exchanges = 0
        self._reader = threading.Thread(target=self._count, daemon=True)
        self._reader.start()

    def _count(self) -> None:
        for line in self.proc.stderr:
            if " -> " in line:
                self.exchanges += 1

    def stop(self) -> None:
        self.proc.send_signal(signal.SIGINT)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def __enter__(self) -> "Sim":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()


@contextlib.contextmanager
def scpi_server(port: str):
    """Start ``zq4180-scpi PORT`` on a free loopback port; yields the VISA resource."""
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python") + os.pathsep + os.environ.get("PYTHONPATH", ""))
    proc = subprocess.Popen([sys.executable, "-m", "zq4180_scpi", port, "--listen", "127.0.0.1:0"],
                            stdout=subprocess.PIPE, text=True, env=env)
    try:
        line = proc.stdout.readline().split()
        if len(line) != 2:
            raise SystemExit("zq4180-scpi did not start")
        yield line[1]
    finally:
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def session(resource: str):
    import pyvisa
    rm = pyvisa.ResourceManager("@py")
    return rm.open_resource(resource, read_termination="\n", write_termination="\n", timeout=20000)


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(share * (len(ordered) - 1))))]


def direct_reads(port: str, count: int, pause: float) -> list[float]:
    """Milliseconds of ``count`` status reads through the library alone (no server): one exchange here."""
    import time

    from zq4180_bench import open_supply
    spans = []
    with open_supply(port, config=None, safe_end="never") as supply:
        for _ in range(count):
            t = time.perf_counter()
            supply.read()
            spans.append((time.perf_counter() - t) * 1000)
            time.sleep(pause)
    return spans

"""Running ``zq4180-ioc`` as a process on loopback, and reaching it with caproto and p4p."""

from __future__ import annotations

import contextlib
import os
import random
import select
import signal
import socket
import subprocess
import sys
import time

READS = {0x26, 0x31}      # status and identity requests change nothing

# alarm severities and statuses as EPICS numbers them
NO_ALARM, MINOR, MAJOR, INVALID = 0, 1, 2, 3
WRITE_ALARM, STATE_ALARM, COMM_ALARM = 2, 7, 9


def changes_sent(supply, since: int = 0) -> list[int]:
    """Command words other than reads that reached a virtual supply after ``since`` exchanges."""
    return [e.request[2] for e in supply.exchanges[since:] if e.request[2] not in READS]


def _below_ephemeral() -> int:
    """The lowest port the kernel hands out to sockets bound to port 0."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


def _free_pair(taken=()) -> int:
    """A port free, with the one after it, for both TCP and UDP on loopback (a server takes both,
    and the next port for its beacons), and below the ephemeral range: the clients' UDP sockets
    set SO_REUSEADDR and bind to port 0, and Linux may then give one of them a port a server
    already holds the same way, so a Channel Access search socket receives pvAccess beacons and
    its client fails on a packet it cannot parse."""
    high = min(_below_ephemeral(), 65536) - 2
    low = max(1024, min(20000, high // 2))
    for _ in range(100):
        port = random.randint(low, high)
        if {port, port + 1} & set(taken):
            continue
        try:
            with contextlib.ExitStack() as stack:
                for p in (port, port + 1):
                    for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
                        stack.enter_context(socket.socket(socket.AF_INET, kind)).bind(("127.0.0.1", p))
            return port
        except OSError:
            continue
    raise RuntimeError("no free port")


_PORTS: list[int] = []


def loopback_environment() -> dict[str, str]:
    """Client and server settings that keep everything on loopback, on ports of this test run's own
    (the same for the whole run: a Channel Access client library reads them once per process)."""
    if not _PORTS:
        ca = _free_pair()
        _PORTS.extend((ca, _free_pair({ca, ca + 1})))
    ca, pva = _PORTS
    return {
        "EPICS_CA_AUTO_ADDR_LIST": "NO", "EPICS_CA_ADDR_LIST": "127.0.0.1",
        "EPICS_CA_SERVER_PORT": str(ca), "EPICS_CA_REPEATER_PORT": str(ca + 1),
        "EPICS_PVA_AUTO_ADDR_LIST": "NO", "EPICS_PVA_ADDR_LIST": "127.0.0.1",
        "EPICS_PVA_SERVER_PORT": str(pva), "EPICS_PVA_BROADCAST_PORT": str(pva + 1),
        "EPICS_PVAS_SERVER_PORT": str(pva), "EPICS_PVAS_BROADCAST_PORT": str(pva + 1),
    }


def random_prefix() -> str:
    return f"ZQT{random.randint(0, 10**8):08d}:"


class Ioc:
    """One ``python -m zq4180_ioc`` process; ``lines`` are its stdout lines once it serves."""

    def __init__(self, args: list[str], env: dict[str, str], cwd, expect: int, *, ready_timeout: float = 40.0):
        full_env = {k: v for k, v in os.environ.items()
                    if k not in ("ZQ4180_PORT", "ZQ4180_CONFIG") and not k.startswith("EPICS_")}
        full_env.update(env)
        # the source tree first, as for the test run itself
        source = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "python")
        full_env["PYTHONPATH"] = os.pathsep.join(p for p in (source, full_env.get("PYTHONPATH")) if p)
        self.err_path = os.path.join(cwd, f"ioc-{time.monotonic_ns()}.err")
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([sys.executable, "-m", "zq4180_ioc", *map(str, args)], cwd=cwd,
                                         stdout=subprocess.PIPE, stderr=err, env=full_env)
        self.out = b""
        self.lines = self._read_lines(expect, ready_timeout)

    def _read_lines(self, count: int, timeout: float) -> list[str]:
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while self.out.count(b"\n") < count:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                self.stop()
                raise AssertionError(f"the IOC did not serve within {timeout} s; stderr: {self.stderr()}")
            chunk = os.read(fd, 4096)
            if not chunk:
                status = self.proc.wait()
                raise AssertionError(f"the IOC ended (status {status}): {self.stderr()}")
            self.out += chunk
        return self.out.decode().splitlines()[:count]

    def stderr(self) -> str:
        with open(self.err_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self, sig: int = signal.SIGTERM, timeout: float = 60.0) -> int:
        """Send ``sig`` and wait; the exit status (the rest of stdout lands in ``out``)."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if not self.proc.stdout.closed:
            self.out += self.proc.stdout.read()
            self.proc.stdout.close()
        return self.proc.returncode


def wait_for(predicate, timeout: float = 15.0, what: str = "condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)


def answering(ca) -> bool:
    """COMM says OK after a reading (before the first one it is undefined).  A name search is one
    UDP datagram, which a busy machine may drop: unanswered means not yet, and the caller asks again."""
    from caproto import CaprotoTimeoutError
    try:
        return ca.value("COMM") == 0 and ca.alarm("COMM") == (NO_ALARM, 0)
    except CaprotoTimeoutError:
        return False


class Ca:
    """caproto's synchronous client with no repeater: the test starts no helper process."""

    def __init__(self, prefix: str) -> None:
        self.prefix = prefix

    def read(self, name: str, kind: str = "time"):
        from caproto.sync.client import read
        return read(self.prefix + name, data_type=kind, repeater=False, timeout=5)

    def value(self, name: str):
        data = self.read(name).data
        if name.endswith("MSG:FULL"):
            return bytes(data).split(b"\0", 1)[0].decode()
        if hasattr(data[0], "decode"):
            return data[0].decode()
        return data[0]

    def alarm(self, name: str) -> tuple[int, int]:
        md = self.read(name).metadata
        return int(md.severity), int(md.status)

    def put(self, name: str, value, wait: bool = True, timeout: float = 30.0):
        from caproto.sync.client import write
        return write(self.prefix + name, value, notify=wait, repeater=False, timeout=timeout)

"""A real ser2net on 127.0.0.1 in front of a virtual supply's pty."""
import os
import shutil
import signal
import socket
import subprocess
import time

import pytest

from zq4180_sim import VirtualSupply

SER2NET = shutil.which("ser2net") or "/usr/sbin/ser2net"
ADDRESS = 3
LOAD_OHMS = 10.0

# One device, two doors: RFC 2217 (what works) and raw TCP (what the driver refuses).
CONFIG = """\
connection: &rfc2217
  accepter: telnet(rfc2217),tcp,127.0.0.1,{rfc2217}
  connector: serialdev,{device},4800n81,local
connection: &raw
  accepter: tcp,127.0.0.1,{raw}
  connector: serialdev,{device},4800n81,local
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture
def supply():
    with VirtualSupply(ADDRESS, pacing=False, load_ohms=LOAD_OHMS) as sup:
        yield sup


@pytest.fixture
def ser2net(supply, tmp_path):
    """ser2net serving the supply; yields {"rfc2217": port, "raw": port}."""
    if not os.access(SER2NET, os.X_OK):
        pytest.skip("ser2net is not installed (apt-get install ser2net; .ci/run does this)")
    ports = {"rfc2217": free_port(), "raw": free_port()}
    config = tmp_path / "ser2net.yaml"
    config.write_text(CONFIG.format(device=supply.port, **ports))
    log = tmp_path / "ser2net.log"
    with open(log, "wb") as out:
        proc = subprocess.Popen(
            [SER2NET, "-n", "-u", "-P", str(tmp_path / "ser2net.pid"), "-c", str(config)],
            stdin=subprocess.DEVNULL, stdout=out, stderr=out, start_new_session=True)
    try:
        _wait_listening(ports["rfc2217"], proc, log)
        yield ports
    finally:
        _stop(proc)


def _wait_listening(port, proc, log):
    deadline = time.monotonic() + 5
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return
        except OSError:
            pass
        if proc.poll() is not None or time.monotonic() > deadline:
            pytest.fail(f"ser2net did not listen on {port}:\n{log.read_text()}")
        time.sleep(0.02)


def _stop(proc):
    try:
        os.killpg(proc.pid, signal.SIGTERM)
        proc.wait(timeout=5)
    except ProcessLookupError:
        pass
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()

#!/usr/bin/env python3
"""A supply on another machine, through a serial device server (ser2net, RFC 2217).

The driver takes a URL wherever it takes a port name. On the machine the
supply is plugged into, ser2net 4.x serves it with a configuration like

    connection: &supply
      accepter: telnet(rfc2217),tcp,5000
      connector: serialdev,/dev/ttyUSB0,4800n81,local

and this machine opens "rfc2217://labhost:5000?ign_set_control". The
ign_set_control part is needed with ser2net (its RFC 2217 side does not
confirm every line setting); RFC 2217 servers in hardware may not need it.
A raw TCP accepter (socket://) does not work: the driver refuses it and says
why.

    python3 examples/remote_supply.py --url 'rfc2217://labhost:5000?ign_set_control'
    python3 examples/remote_supply.py --port /dev/ttyUSB0   # serve it here through ser2net
    python3 examples/remote_supply.py                       # a virtual supply behind ser2net

Without --url the script starts a private ser2net on 127.0.0.1 (it needs the
ser2net program, e.g. `apt-get install ser2net`) and stops it at the end.
The script sets a small output (3.3 V, 0.5 A limit), switches it on, reads
the status back, and leaves the output off and the supply in local control.
Exit status: 0 when the read-back matched, 1 when not, 2 when no supply could
be reached.
"""
from __future__ import annotations

import argparse
import contextlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from collections.abc import Mapping, Sequence

import zq4180

VOLTAGE_V = 3.3
CURRENT_A = 0.5
CEILING_V = 5.0


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Drive a supply through a serial device server (RFC 2217).")
    parser.add_argument("--url", help="rfc2217://host:port?ign_set_control of a running server")
    parser.add_argument("--port", help="without --url: a local serial port to serve through a "
                                       "private ser2net (default: a virtual supply)")
    parser.add_argument("--ser2net", help="the ser2net program (default: found on PATH or "
                                          "in /usr/sbin)")
    parser.add_argument("--no-pacing", action="store_true",
                        help="virtual supply only: answer at once instead of at 4800 baud")
    return parser.parse_args(argv)


def find_ser2net(given: str | None) -> str | None:
    if given:
        return shutil.which(given)  # None for a path that is missing or not executable
    found: str | None = shutil.which("ser2net")
    if found is None and os.access("/usr/sbin/ser2net", os.X_OK):
        found = "/usr/sbin/ser2net"
    return found


def free_tcp_port() -> int:
    # Let the kernel pick a free port; ser2net binds it a moment later.
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


def stop_process_group(process: subprocess.Popen[bytes]) -> None:
    with contextlib.suppress(ProcessLookupError):
        os.killpg(process.pid, signal.SIGTERM)
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)
        process.wait()


def start_ser2net(cleanup: contextlib.ExitStack, program: str, device: str) -> str:
    """Serve `device` on a free loopback port; returns the URL to open."""
    workdir: str = cleanup.enter_context(tempfile.TemporaryDirectory(prefix="ser2net-"))
    tcp_port: int = free_tcp_port()
    config: str = os.path.join(workdir, "ser2net.yaml")
    with open(config, "w") as out:
        out.write("connection: &supply\n"
                  f"  accepter: telnet(rfc2217),tcp,127.0.0.1,{tcp_port}\n"
                  f"  connector: serialdev,{device},4800n81,local\n")
    log_path: str = os.path.join(workdir, "ser2net.log")
    with open(log_path, "wb") as log:
        # -n: stay in the foreground; -u: no UUCP lock files; -P: a private pid
        # file. Its own session lets us stop it and anything it started at once.
        process: subprocess.Popen[bytes] = subprocess.Popen(
            [program, "-n", "-u", "-P", os.path.join(workdir, "ser2net.pid"), "-c", config],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    cleanup.callback(stop_process_group, process)
    deadline: float = time.monotonic() + 5.0
    while True:
        with contextlib.suppress(OSError):
            socket.create_connection(("127.0.0.1", tcp_port), timeout=0.5).close()
            break
        if process.poll() is not None or time.monotonic() > deadline:
            with open(log_path) as log_text:
                raise RuntimeError(f"ser2net did not start listening on port {tcp_port}:\n"
                                   + log_text.read())
        time.sleep(0.02)
    print(f"ser2net serves {device} on 127.0.0.1:{tcp_port} (pid {process.pid})")
    return f"rfc2217://127.0.0.1:{tcp_port}?ign_set_control"


def start_virtual_supply(cleanup: contextlib.ExitStack, pacing: bool) -> str:
    from zq4180_sim import VirtualSupply  # only needed without real hardware

    supply = cleanup.enter_context(VirtualSupply(address=1, pacing=pacing, load_ohms=100.0))
    port: str = str(supply.port)
    print(f"using a virtual supply at {port}")
    return port


def number(status: Mapping[str, object], key: str) -> float:
    value = status[key]
    if not isinstance(value, (int, float)):
        raise TypeError(f"status {key!r} is not a number: {value!r}")
    return float(value)


def drive(url: str) -> int:
    supply = zq4180.ZQ4180(url)
    if not supply.open():
        hint: str = ("" if "ign_set_control" in url or not url.startswith("rfc2217://")
                     else " (against ser2net add ?ign_set_control to the URL)")
        print(f"could not open a supply at {url}{hint}")
        return 2
    identity: Mapping[str, object] = supply.show_device_version()
    print(f"supply: model {identity['model']}, serial number {identity['SN']}, "
          f"firmware {identity['soft_version']}")
    try:
        answered: bool = (supply.set_work_mode("remote")
                          and supply.set_voltage_max(CEILING_V)
                          and supply.set_out_voltage(VOLTAGE_V)
                          and supply.set_out_current(CURRENT_A)
                          and supply.set_ouput_mode("on"))
        status: Mapping[str, object] | None = supply.read_dev_status()
    finally:
        supply.set_ouput_mode("off")
        supply.set_work_mode("local")
        supply.close()
    if not answered or status is None:
        print("the supply stopped answering")
        return 1
    print(f"status: {status['out_status']} in {status['out_mode']}, "
          f"{number(status, 'voltage_real'):.3f} V {number(status, 'current_real'):.3f} A "
          f"(set {number(status, 'voltage_set'):.3f} V, limit "
          f"{number(status, 'current_set'):.3f} A, ceiling {number(status, 'voltage_max_set'):.3f} V)")
    # Setpoints travel as whole millivolts / milliamperes, truncated.
    matched: bool = (status["out_status"] == "on"
                     and abs(number(status, "voltage_set") - VOLTAGE_V) < 0.0015
                     and abs(number(status, "current_set") - CURRENT_A) < 0.0015
                     and abs(number(status, "voltage_max_set") - CEILING_V) < 0.0015)
    print("read-back matches the settings" if matched else "read-back DIFFERS from the settings")
    return 0 if matched else 1


def main(argv: Sequence[str] | None = None) -> int:
    args: argparse.Namespace = parse_args(argv)
    with contextlib.ExitStack() as cleanup:
        url: str | None = args.url
        if url is None:
            program: str | None = find_ser2net(args.ser2net)
            if program is None:
                where: str = f" at {args.ser2net}" if args.ser2net else ""
                print(f"ser2net not found{where}: install it (apt-get install ser2net), pass --ser2net, "
                      "or give --url of a running server")
                return 2
            device: str = args.port or start_virtual_supply(cleanup, pacing=not args.no_pacing)
            url = start_ser2net(cleanup, program, device)
        print(f"opening {url}")
        return drive(url)


if __name__ == "__main__":
    sys.exit(main())

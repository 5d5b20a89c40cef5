"""Who holds a port: the processes lsof lists, each recognised from its command line.

The same look ``ZQ4180.open()`` takes before it opens a port; the doctor's holders check and
``zq4180 list --probe`` both name the holders through :func:`port_holders`.
"""

from __future__ import annotations

import os
import subprocess
from dataclasses import dataclass


@dataclass(frozen=True)
class Holder:
    """A process that holds a port open, and what to do about it.

    kind is "bridge" (socat or ser2net, a relay that holds the port or its own
    pseudo-terminal for a purpose), "panel" (``zq4180-panel``), "scpi"
    (``zq4180-scpi``), "ioc" (``zq4180-ioc``), "bench" (a
    ``zq4180`` command such as ``zq4180 watch``) or "other". description is
    a phrase to follow "PORT is ...", e.g. "held by zq4180-panel (PID 4242):
    use its API"; advice is one sentence saying what to do instead.
    """
    pid: int
    command: str      # the command name lsof gives (at most 9 characters on Linux)
    kind: str
    description: str
    advice: str


BENCH_COMMANDS = ("list", "status", "set", "watch", "log", "ramp", "sweep", "run")
ADVICE_OTHER = "open() refuses a port that any process holds. Close that program (or: kill PID), then try again."


def port_holders(port: str) -> list[Holder]:
    """The processes holding the local device ``port`` open, as ``lsof -- PORT`` lists them.

    The same look ``ZQ4180.open()`` takes before it opens a port (any holder
    makes it refuse), with each holder recognised from its command line
    (``/proc/PID/cmdline`` on Linux, else the command name lsof gives): a
    bridge holding its own pseudo-terminal (socat ``PTY,link=...``), a
    device server, the front panel ``zq4180-panel``, a ``zq4180`` bench
    command, or another program; each with fitting advice. One entry per
    process, in lsof's order; an empty list when nothing holds the port
    (also for a URL or a path that does not exist). ``zq4180 list --probe``
    and the doctor's holders check both use it.

    Raises OSError when lsof cannot be run (FileNotFoundError when it is not
    installed) and subprocess.TimeoutExpired when it hangs for 30 s.
    """
    return _holders_in(_lsof(port))


def _lsof(port: str) -> bytes:
    return subprocess.run(["lsof", "--", port], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=30).stdout


def _holders_in(out: bytes) -> list[Holder]:
    seen: dict[int, str] = {}
    for line in out.decode(errors="replace").splitlines()[1:]:
        cols = line.split()
        if len(cols) >= 2 and cols[1].isdigit():
            seen.setdefault(int(cols[1]), cols[0])
    return [_holder(pid, command) for pid, command in seen.items()]


def _holder(pid: int, command: str) -> Holder:
    argv = _command_line(pid) or [command]
    program, rest = _program(argv)
    if pid == os.getpid():
        return Holder(pid, command, "other", f"held by {command} (PID {pid}, this very process)",
                      "This process still has it open: close() the earlier driver object or serial "
                      "port first.")
    if _is(program, "zq4180-scpi") or _is_module(program, "zq4180_scpi"):
        return Holder(pid, command, "scpi", f"held by zq4180-scpi (PID {pid}): use its SCPI port",
                      "The SCPI server owns this port while it runs: send SCPI to the TCPIP0::HOST::PORT::SOCKET "
                      "resource it printed when it started (pyvisa, pymeasure, any VISA program), or stop it "
                      "(Ctrl-C) to free the port.")
    if _is(program, "zq4180-ioc") or _is_module(program, "zq4180_ioc"):
        prefix = next((a.split("=", 1)[1] for a in rest if a.startswith("--prefix=")), None) or next(
            (rest[i + 1] for i, a in enumerate(rest[:-1]) if a == "--prefix"), "PREFIX")
        return Holder(pid, command, "ioc", f"held by zq4180-ioc (PID {pid}): use its EPICS records",
                      f"The IOC owns this port while it runs: read and write its records ({prefix}NAME:...) "
                      f"over Channel Access or pvAccess, with the client settings it printed on standard "
                      f"error, or stop it (Ctrl-C) to free the port.")
    if _is(program, "zq4180-panel") or _is_module(program, "zq4180_panel"):
        if any(arg == "--scpi" or arg.startswith("--scpi=") for arg in rest):
            return Holder(pid, command, "panel", f"held by zq4180-panel (PID {pid}): use its API or its SCPI port",
                          "The front panel owns this port while it runs: work through its page, its JSON API, "
                          "or the SCPI resource it printed on standard error (--scpi), or stop the panel "
                          "(Ctrl-C) to free the port.")
        return Holder(pid, command, "panel", f"held by zq4180-panel (PID {pid}): use its API",
                      "The front panel owns this port while it runs: work through its page or its JSON "
                      "API at the address it printed when it started, or stop the panel (Ctrl-C) to "
                      "free the port.")
    if _is(program, "zq4180") or _is_module(program, "zq4180_bench"):
        sub = next((arg for arg in rest if arg in BENCH_COMMANDS), None)
        name = f"zq4180 {sub}" if sub else "zq4180"
        return Holder(pid, command, "bench", f"held by {name} (PID {pid})",
                      f"`{name}` keeps the port while it runs: let it finish, or stop it with Ctrl-C "
                      f"in its terminal (or: kill {pid}), then try again.")
    if _is(program, "socat"):
        pty = next((arg for arg in rest if arg.split(",", 1)[0].split(":", 1)[0].upper() == "PTY"), None)
        if pty is not None:
            return Holder(pid, command, "bridge",
                          f"held by socat (PID {pid}), a bridge that holds its own pseudo-terminal",
                          "Killing it would end the bridge, not free a port: while it runs, every open() "
                          "calls its pty busy. Reach the supply through RFC 2217 instead: ser2net on the "
                          "machine it is plugged into (accepter telnet(rfc2217),tcp,...), and open "
                          "rfc2217://HOST:PORT?ign_set_control in place of the pty.")
        return Holder(pid, command, "bridge", f"held by socat (PID {pid}), a bridge serving the port",
                      "A raw socat relay cannot carry this protocol (socket:// never sees a whole reply): "
                      "serve the port with ser2net (RFC 2217) instead and open rfc2217://HOST:PORT.")
    if _is(program, "ser2net"):
        return Holder(pid, command, "bridge",
                      f"held by ser2net (PID {pid}), a device server serving the port",
                      "ser2net serves this port over the network: open it as rfc2217://HOST:PORT (add "
                      "?ign_set_control for a pty), or stop ser2net to use it here.")
    return Holder(pid, command, "other", f"held by {command} (PID {pid})", ADVICE_OTHER)


def _command_line(pid: int) -> list[str]:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as file:
            raw = file.read()
    except OSError:  # not Linux, the process has gone, or another user's
        return []
    return [arg.decode(errors="replace") for arg in raw.rstrip(b"\0").split(b"\0")] if raw else []


def _program(argv: list[str]) -> tuple[str, list[str]]:
    """The program a command line runs, and its arguments: for a Python
    interpreter the script it runs, or "-m MODULE"."""
    first = os.path.basename(argv[0])
    if not first.startswith("python"):
        return first, argv[1:]
    i = 1
    while i < len(argv):
        arg = argv[i]
        if arg == "-m":
            return ("-m " + argv[i + 1], argv[i + 2:]) if i + 1 < len(argv) else (first, [])
        if arg.startswith("-m"):
            return "-m " + arg[2:], argv[i + 1:]
        if arg == "-c" or arg == "-":
            return first, argv[i + 1:]
        if not arg.startswith("-"):
            return os.path.basename(arg), argv[i + 1:]
        i += 2 if arg in ("-W", "-X") else 1
    return first, []


def _is(program: str, name: str) -> bool:
    # lsof cuts command names to 9 characters: "zq4180-pa" stands for zq4180-panel
    return program == name or (len(program) >= 9 and name.startswith(program))


def _is_module(program: str, package: str) -> bool:
    return program == f"-m {package}" or program.startswith(f"-m {package}.")

"""The checks, in the order a failing ``open()`` meets the problems they look for."""

from __future__ import annotations

import errno
import os
import platform
import shutil
import stat
import subprocess
import time
from dataclasses import dataclass, field
from typing import Iterator

import serial

# who holds a port (shared with `zq4180 list --probe`): check_holders uses these, and every name
# stays importable from here
from .holders import (ADVICE_OTHER, BENCH_COMMANDS, Holder, _command_line, _holder,  # noqa: F401
                      _holders_in, _is, _is_module, _lsof, _program, port_holders)

try:  # POSIX only
    import grp
    import pwd
except ImportError:
    grp = pwd = None

FRAME_LEN = 26
SYNC = 0xAA
MODELS = ("4180", "4181")
POLLS, POLL_INTERVAL = 30, 0.01  # the driver's wait for a reply: about 0.3 s
LATE_GRACE = 0.5                 # a further look, to tell a late reply from silence


def _frame(address: int, word: int) -> bytes:
    head = bytes([SYNC, address, word]) + bytes(FRAME_LEN - 4)
    return head + bytes([sum(head) & 0xFF])


BROADCAST = 0xFF                       # the address a new object asks
IDENTITY_REQUEST = _frame(BROADCAST, 0x31)  # ends in 0xDA

ADVICE_CORRUPT = ("The bytes are damaged on the way: check the cable, its ground and any adapter or "
                  "device server (the line runs at 4800 baud 8N1); another device may share the line.")
ADVICE_CROWD = ("Noise on the line, or more than one device answering the request to address 255: "
                "keep one supply per port and check the cabling.")


@dataclass
class Result:
    """One check's outcome: status is "ok", "warn", "FAIL" or "skip"."""
    status: str
    name: str
    text: str
    details: list[str] = field(default_factory=list)  # facts worth showing, e.g. a hex trace
    advice: list[str] = field(default_factory=list)   # what to do about a problem
    facts: dict = field(default_factory=dict)          # for programs, e.g. {"address": 7}


class _Context:
    def __init__(self, port: str, address: int = BROADCAST) -> None:
        self.port = port
        self.address = address  # where the identity request goes, as the object's open() sends it
        self.request = _frame(address, 0x31)
        self.is_url = "://" in port
        self.windows = platform.system().lower() == "windows"
        self.not_local = None  # why the local checks do not apply
        self.missing = None    # why the device file cannot be examined
        self.blocker = None    # why the port is not opened / talked to
        self.no_lsof = False
        self.ser = None
        self.reply = None      # a valid identity reply


def check_port(ctx: _Context) -> Result:
    port = ctx.port
    if ctx.is_url:
        ctx.not_local = "a URL names no local device"
        return Result("skip", "port", f"{port} is a URL: the local checks do not apply; on to opening it")
    if ctx.windows:
        ctx.not_local = "on Windows opening the port is the test"
        return Result("skip", "port", "on Windows opening the port is the test")
    if not os.path.exists(port):
        ctx.missing = ctx.blocker = "the port does not exist"
        if os.path.islink(port):
            return Result("FAIL", "port", f"{port} is a link to {os.readlink(port)}, which does not exist",
                          advice=["The device is unplugged or was renamed: plug it in again or use its new name.",
                                  _ports_present()])
        return Result("FAIL", "port", f"{port} does not exist",
                      advice=["Check the name, and that the supply or its adapter is plugged in.", _ports_present()])
    where = f" (a link to {os.path.realpath(port)})" if os.path.islink(port) else ""
    if not stat.S_ISCHR(os.stat(port).st_mode):
        return Result("warn", "port", f"{port} exists{where} but is no character device, so no serial port",
                      advice=["Serial ports are character devices such as /dev/ttyUSB0: opening this will most "
                              "likely fail."])
    return Result("ok", "port", f"{port} exists{where}, a character device")


def check_permission(ctx: _Context) -> Result:
    reason = ctx.not_local or ctx.missing
    if reason:
        return Result("skip", "permission", reason)
    port, user = ctx.port, _user_name(os.geteuid())
    if os.access(port, os.R_OK | os.W_OK):
        return Result("ok", "permission", f"{user} may read and write {port}")
    ctx.blocker = "no permission to open the port"
    st = os.stat(port)
    group = _group_name(st.st_gid)
    text = (f"{user} may not read and write {port} (owner {_user_name(st.st_uid)}, group {group}, "
            f"mode {stat.filemode(st.st_mode)})")
    if st.st_mode & 0o060 != 0o060:
        advice = [f"Only its owner may use it. For now: sudo chmod 660 {port}; for good, a udev rule "
                  f'giving the device MODE="0660" and GROUP="dialout".']
    elif _listed_in_group(user, st.st_gid):
        advice = [f"You are in group {group}, but this login session began before you were added.",
                  f"Log out and in again (or run: newgrp {group})."]
    elif platform.system() == "Linux":
        advice = [f"Members of group {group} may use it, and {user} is not one. Join the group:",
                  f"sudo usermod -aG {group} {user}   (then log out and in again)"]
    else:
        advice = [f"Members of group {group} may use it: ask an administrator to add {user} to it."]
    return Result("FAIL", "permission", text, advice=advice)


def check_lsof(ctx: _Context) -> Result:
    if ctx.not_local:
        return Result("skip", "lsof", ctx.not_local)
    path = shutil.which("lsof")
    if path:
        return Result("ok", "lsof", f"installed ({path})")
    ctx.no_lsof = True
    return Result("FAIL", "lsof", "lsof is not installed, and open() needs it to see whether the port is free",
                  advice=["Install it: sudo apt-get install lsof (Debian, Ubuntu) or sudo dnf install lsof (Fedora)."])


def check_holders(ctx: _Context) -> Result:
    reason = ctx.not_local or ctx.missing or ("lsof is missing" if ctx.no_lsof else None)
    if reason:
        return Result("skip", "holders", reason)
    try:
        out = _lsof(ctx.port)
    except (OSError, subprocess.SubprocessError) as exc:
        ctx.blocker = "lsof failed"
        return Result("FAIL", "holders", f"lsof failed: {exc}",
                      advice=["open() fails the same way: repair or reinstall lsof."])
    if not out:  # what open() looks at: any output at all means busy
        return Result("ok", "holders", "no process holds the port")
    ctx.blocker = "the port is in use"
    holders = _holders_in(out)
    advice = list(dict.fromkeys(holder.advice for holder in holders))
    if not holders:
        advice = ["open() refuses a port that any process holds. Close that program (or: kill PID), then try again."]
    said = "; ".join(holder.description for holder in holders) or "held by a process lsof lists"
    return Result("FAIL", "holders", f"{ctx.port} is {said}",
                  details=[] if holders else out.decode(errors="replace").splitlines(), advice=advice,
                  facts={"holders": holders})


def check_open(ctx: _Context) -> Result:
    if ctx.blocker:
        return Result("skip", "opening", ctx.blocker)
    port = ctx.port
    if ctx.is_url and port.lower().startswith("socket://"):
        ctx.blocker = "socket:// cannot carry this protocol"
        return Result("FAIL", "opening", "a socket:// port can never work: pySerial reports at most 1 byte "
                      "waiting on it, so the 26-byte reply is never seen",
                      advice=["Serve the port as RFC 2217 and use rfc2217://HOST:PORT (ser2net: accepter "
                              "telnet(rfc2217),tcp,...; add ?ign_set_control when it serves a pty)."])
    try:
        if ctx.is_url:
            ctx.ser = serial.serial_for_url(port, 4800, 8, "N", timeout=50, stopbits=1)
        else:
            ctx.ser = serial.Serial(port, 4800, 8, "N", timeout=50, stopbits=1)
    except Exception as exc:  # open() turns every error into False
        ctx.blocker = "the port did not open"
        return Result("FAIL", "opening", f"{port} does not open: {exc}", advice=[_open_advice(ctx, exc)])
    return Result("ok", "opening", "the port opens at 4800 baud, 8 data bits, no parity, 1 stop bit")


def check_identity(ctx: _Context) -> Result:
    if ctx.blocker:
        return Result("skip", "identity", ctx.blocker)
    ser = ctx.ser
    details = []
    try:
        # as the driver does: drop stale bytes, send once, poll for exactly one frame
        stale = ser.in_waiting
        if stale:
            ser.read(stale)
            details.append(f"dropped {stale} stale bytes before the request, as open() does")
        ser.write(ctx.request)
        reply, waiting, polls = None, 0, 0
        while polls < POLLS:
            polls += 1
            time.sleep(POLL_INTERVAL)
            waiting = ser.in_waiting
            if waiting == FRAME_LEN:
                reply = ser.read(waiting)
                break
        got = reply
        if reply is None:
            time.sleep(LATE_GRACE)
            extra = ser.in_waiting
            got = ser.read(extra) if extra else b""
    except Exception as exc:
        ctx.blocker = "the port failed while talking"
        return Result("FAIL", "identity", f"the port failed during the exchange: {exc}",
                      advice=["The device went away or errs: check the cable and adapter, then try again."])
    details += ["sent: " + _hex(ctx.request), "got:  " + (_hex(got) or "nothing")]
    if reply is not None:
        problem = _frame_problem(reply, ctx.request)
    else:
        problem = _missing_reply(waiting, got, ctx.request)
    if problem and not got and ctx.address != BROADCAST:
        problem = (f"silence: nothing answered a request to address {ctx.address} within "
                   f"{POLLS * POLL_INTERVAL:.1f} s (nor {LATE_GRACE} s later)",
                   "An object keeps the address it learned at its first open, also after set_new_addr(): "
                   "if the supply has been given a new address since, that object's open() goes "
                   "unanswered. Open a new ZQ4180 object (it asks address 255); zq4180-doctor PORT "
                   "without --address shows the supply's address now.")
    if problem:
        ctx.blocker = "no valid identity reply"
        return Result("FAIL", "identity", problem[0], details=details, advice=[problem[1]])
    ctx.reply = reply
    return Result("ok", "identity", f"the supply answered with a valid frame (at poll {polls} of {POLLS})",
                  details=details)


def check_model(ctx: _Context) -> Result:
    if ctx.reply is None:
        return Result("skip", "model", ctx.blocker or "no identity reply")
    r = ctx.reply
    code = r[3:7]
    about = f"serial number {_text(r[10:19])}, firmware {r[8] | r[9] << 8}"
    if code.decode("latin-1") in MODELS:
        return Result("ok", "model", f"{code.decode('latin-1')} is accepted ({about})")
    return Result("FAIL", "model", f"model code {_text(code)} is not accepted: open() takes only 4180 and 4181 "
                  f"({about})",
                  advice=["Another kind of device answers on this port, or one this driver does not know; "
                          "open() closes the port again."])


def check_address(ctx: _Context) -> Result:
    if ctx.reply is None:
        return Result("skip", "address", ctx.blocker or "no identity reply")
    return Result("ok", "address", f"the supply reports address {ctx.reply[1]}; open() sends every later "
                  "request there, and the object keeps it (set_new_addr() does not change it)",
                  facts={"address": ctx.reply[1]})


CHECKS = (check_port, check_permission, check_lsof, check_holders, check_open, check_identity,
          check_model, check_address)


def diagnose(port: str, address: int = BROADCAST) -> Iterator[Result]:
    """Run every check on ``port`` in order, yielding each result as it is known.

    ``address`` is the one the identity request goes to: 255 as a new
    ``ZQ4180`` object asks, or the address an object learned at its first
    open (it keeps that one, also after ``set_new_addr``).
    """
    if not 0 <= address <= 255:
        raise ValueError(f"address must be between 0 and 255, got {address}")
    ctx = _Context(port, address)
    try:
        for check in CHECKS:
            yield check(ctx)
    finally:
        if ctx.ser is not None:
            try:
                ctx.ser.close()
            except Exception:
                pass


# -- helpers ---------------------------------------------------------------------

def _frame_problem(reply: bytes, request: bytes = IDENTITY_REQUEST):
    if len(reply) != FRAME_LEN:
        return (f"too few bytes: 26 were waiting, but the read returned {len(reply)}", ADVICE_CORRUPT)
    if reply == request:
        return ("the request came back unchanged: something echoes it (loop://, a loop-back plug, an adapter "
                "that echoes what it sends); no supply answered",
                "Connect the supply itself; an RS-485 adapter must not echo its own transmissions.")
    wrong = []
    if reply[0] != SYNC:
        wrong.append(f"wrong sync byte: 0x{reply[0]:02X}, a frame starts with 0xAA")
    expected = sum(reply[:-1]) & 0xFF
    if reply[-1] != expected:
        wrong.append(f"wrong checksum: expected 0x{expected:02X}, got 0x{reply[-1]:02X}")
    return ("; ".join(wrong), ADVICE_CORRUPT) if wrong else None


def _missing_reply(waiting: int, got: bytes, request: bytes = IDENTITY_REQUEST):
    if waiting > FRAME_LEN or len(got) > FRAME_LEN:
        return (f"too many bytes: {max(waiting, len(got))} waiting, a reply is 26; open() never reads them",
                ADVICE_CROWD)
    if not got:
        return (f"silence: no byte came back within {POLLS * POLL_INTERVAL:.1f} s (nor {LATE_GRACE} s later)",
                "Is the supply switched on and cabled to this port? Check TX/RX and ground, and that "
                "this is the right port.")
    if len(got) == FRAME_LEN and _frame_problem(got, request) is None:
        return (f"the reply came too late: {waiting or 'none'} of its 26 bytes had arrived when open() "
                f"stops waiting ({POLLS * POLL_INTERVAL:.1f} s)",
                "A slow link: an adapter's latency timer or a busy device server; shorten the path to the supply.")
    return (f"too few bytes: {len(got)} of 26 arrived", ADVICE_CORRUPT)


def _open_advice(ctx: _Context, exc: Exception) -> str:
    if ctx.is_url and isinstance(exc, ValueError):
        return "pySerial knows no such URL; a device server is reached as rfc2217://HOST:PORT."
    if ctx.is_url and isinstance(exc, (BrokenPipeError, ConnectionResetError)):
        return ("The device server took the connection and dropped it: ser2net serves one client per "
                "port, so another client probably holds this supply. Close it, then run this again.")
    if ctx.is_url:
        return ("Check that the device server runs and listens at that address; ser2net serving a pty "
                "needs ?ign_set_control on rfc2217:// URLs.")
    code = getattr(exc, "errno", None)
    if code in (errno.EACCES, errno.EPERM):
        return "No permission: see the permission check above."
    if code == errno.EBUSY:
        return "The device is busy: a program lsof cannot see (another user's, or a modem manager) has it."
    if code == errno.ENOENT:
        return "The device vanished: plug it in again and run this once more."
    return "Is this the supply's port? Unplug and replug its adapter, then run this once more."


def _ports_present() -> str:
    try:
        from serial.tools import list_ports
        names = sorted(p.device for p in list_ports.comports())
    except Exception:
        names = []
    if names:
        return "Serial ports present: " + ", ".join(names)
    return "No serial adapter is present (dmesg shows what the kernel saw when you plugged it in)."


def _user_name(uid: int) -> str:
    try:
        return pwd.getpwuid(uid).pw_name
    except (AttributeError, KeyError):
        return str(uid)


def _group_name(gid: int) -> str:
    try:
        return grp.getgrgid(gid).gr_name
    except (AttributeError, KeyError):
        return str(gid)


def _listed_in_group(user: str, gid: int) -> bool:
    """Member of the group in the account database (which a running session may predate)."""
    try:
        return user in grp.getgrgid(gid).gr_mem or pwd.getpwnam(user).pw_gid == gid
    except (AttributeError, KeyError):
        return False


def _hex(data: bytes) -> str:
    return " ".join(f"{b:02X}" for b in data)


def _text(data: bytes) -> str:
    shown = data.decode("latin-1")
    return f'"{shown}"' if shown.isprintable() and shown.isascii() else f"bytes {_hex(data)}"

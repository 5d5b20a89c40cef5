"""Serving a :class:`SupplyModel` on a Linux pseudo-terminal."""

from __future__ import annotations

import collections
import errno
import os
import select
import shutil
import tempfile
import threading
import time
import tty
from dataclasses import dataclass, field

from .model import FRAME_LEN, SYNC, SupplyModel, frame_ok

BAUD = 4800
BYTE_TIME = 10 / BAUD              # 8N1: start + 8 data + stop bits
FRAME_TIME = FRAME_LEN * BYTE_TIME  # 54.17 ms
FRAME_GAP = 0.2                    # silence that ends a partial frame
DELIVERY_SETTLE = 0.02             # margin for the kernel to hand written bytes over
IDLE_POLL = 0.01                   # retry interval while nobody has the port open

FAULTS = ("no_reply", "bad_sync", "bad_checksum", "noise", "split", "late", "unplug", "ignore")
# what an ignored setting leaves as it was
_SETTINGS = ("remote", "output_on", "voltage_max_mv", "voltage_set_mv", "current_limit_ma", "address")
FAULT_PARAMS = {
    "bad_sync": {"sync": 0x55},
    "noise": {"noise": b"\x55\x00\xff"},
    "split": {"split_at": FRAME_LEN // 2, "gap": 0.1},
    "late": {"delay": 0.5},
    "unplug": {"replug_after": None},
}


@dataclass
class Fault:
    """An armed fault: applies to the next ``remaining`` replies (None: until cleared)."""
    kind: str
    remaining: int | None = 1
    command: int | None = None
    params: dict = field(default_factory=dict)

    def matches(self, word: int) -> bool:
        return self.command is None or self.command == word


@dataclass(frozen=True)
class Exchange:
    """A request frame the supply took off the line and what it sent back (None: nothing)."""
    request: bytes
    reply: bytes | None
    fault: str | None = None


class _Plug:
    """One pty lifetime: from plugging in to unplugging."""

    def __init__(self) -> None:
        master, slave = os.openpty()
        try:
            self.pty_name = os.ttyname(slave)
            tty.setraw(slave)
        finally:
            # holding the slave would make lsof report the port busy
            os.close(slave)
        os.set_blocking(master, False)
        self.master = master
        self.wake_r, self.wake_w = os.pipe()
        self.halt = threading.Event()
        self.thread: threading.Thread | None = None

    def wake(self) -> None:
        self.halt.set()
        try:
            os.write(self.wake_w, b"x")
        except OSError:
            pass

    def close(self) -> None:
        for fd in (self.master, self.wake_r, self.wake_w):
            try:
                os.close(fd)
            except OSError:
                pass
        self.master = -1


class VirtualSupply:
    """A virtual supply behind a pseudo-terminal, reachable at :attr:`port`.

    ``model_fields`` go to :class:`SupplyModel` (serial_number, firmware, model_code,
    load_ohms or load, over_temperature, fan_speed) unless a ready ``model`` is given, whose
    own address then counts. ``link`` is the path of the symbolic link to publish
    (default: one in a private temporary directory). The exchange record keeps the
    latest ``log_limit`` entries.
    """

    def __init__(self, address: int = 1, *, pacing: bool = True, link: str | os.PathLike | None = None,
                 model: SupplyModel | None = None, log_limit: int = 100_000,
                 **model_fields) -> None:
        self.state = model if model is not None else SupplyModel(address, **model_fields)
        self.pacing = pacing
        self._lock = threading.RLock()
        self._cond = threading.Condition(self._lock)
        self._faults: list[Fault] = []
        self._log: collections.deque[Exchange] = collections.deque(maxlen=log_limit)
        self._plug: _Plug | None = None
        self._started = False
        self._busy = False
        self._last_activity = 0.0
        self._replug_timer: threading.Timer | None = None
        self._own_dir: str | None = None
        self._link = os.path.abspath(os.fspath(link)) if link is not None else None
        self.error: BaseException | None = None
        #: called on the serving thread with each Exchange as it is logged
        self.on_exchange = None

    # -- lifecycle ---------------------------------------------------------------

    def start(self) -> "VirtualSupply":
        with self._lock:
            if self._started:
                return self
            if self._link is None:
                self._own_dir = tempfile.mkdtemp(prefix="zq4180-sim-")
                self._link = os.path.join(self._own_dir, "ttyZQ4180")
            elif os.path.lexists(self._link) and not os.path.islink(self._link):
                raise FileExistsError(f"{self._link} exists and is not a symbolic link")
            elif not os.path.isdir(os.path.dirname(self._link)):
                raise FileNotFoundError(f"no directory for the link {self._link}")
            self._started = True
            try:
                self._plug_in()
            except BaseException:
                self._started = False
                self._cleanup_dir()
                raise
        return self

    def stop(self) -> None:
        with self._lock:
            if not self._started:
                return
            self._started = False
            self._cancel_replug()
        self.unplug()
        self._cleanup_dir()

    def __enter__(self) -> "VirtualSupply":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def unplug(self) -> None:
        """The port disappears: the pty is closed and the link removed."""
        with self._lock:
            self._cancel_replug()
            plug, self._plug = self._plug, None
        if plug is None:
            return
        plug.wake()
        if plug.thread is not threading.current_thread():
            plug.thread.join()
        self._remove_link(plug.pty_name)
        with self._cond:
            self._busy = False
            self._cond.notify_all()

    def replug(self) -> None:
        """A fresh pty appears behind the same :attr:`port` (unplugging first if needed)."""
        self.unplug()
        with self._lock:
            if not self._started:
                raise RuntimeError("the supply is not started")
            self._plug_in()

    @property
    def port(self) -> str:
        """The stable path (a symbolic link) to open; it vanishes while unplugged."""
        if self._link is None:
            raise RuntimeError("the supply has no port until start() (or use it as a context manager)")
        return self._link

    @property
    def pty_name(self) -> str | None:
        """The current pty's own name, None while unplugged."""
        plug = self._plug
        return plug.pty_name if plug else None

    @property
    def plugged(self) -> bool:
        return self._plug is not None

    # -- faults and records ------------------------------------------------------------

    def inject(self, kind: str, count: int | None = 1, command: int | None = None, **params) -> Fault:
        """Arm a fault for the next ``count`` replies (None: until cleared),
        to any command word or only to ``command``.

        Kinds and their parameters (defaults): no_reply; bad_sync (sync=0x55);
        bad_checksum; noise (noise=b"\\x55\\x00\\xff", sent before the reply);
        split (split_at=13, gap=0.1 s); late (delay=0.5 s before the reply starts);
        unplug (replug_after=None: seconds until a new pty appears, None: never);
        ignore (the setting is acknowledged as usual and changes nothing).
        """
        if kind not in FAULTS:
            raise ValueError(f"unknown fault {kind!r}; choose from {', '.join(FAULTS)}")
        if count is not None and (isinstance(count, bool) or not isinstance(count, int) or count < 1):
            raise ValueError("count must be a positive integer or None")
        if command is not None and not (isinstance(command, int) and 0 <= command <= 255):
            raise ValueError("command must be a command word 0..255")
        allowed = FAULT_PARAMS.get(kind, {})
        unknown = set(params) - set(allowed)
        if unknown:
            raise ValueError(f"fault {kind!r} takes no parameter {', '.join(sorted(unknown))}")
        merged = {**allowed, **params}
        _check_fault_params(kind, merged)
        fault = Fault(kind, count, command, merged)
        with self._lock:
            self._faults.append(fault)
        return fault

    def clear_faults(self) -> None:
        with self._lock:
            self._faults.clear()

    @property
    def faults(self) -> list[Fault]:
        with self._lock:
            return list(self._faults)

    @property
    def exchanges(self) -> list[Exchange]:
        with self._lock:
            return list(self._log)

    @property
    def requests(self) -> list[bytes]:
        """Every frame taken off the line, including those for other addresses."""
        with self._lock:
            return [e.request for e in self._log]

    def clear_log(self) -> None:
        with self._lock:
            self._log.clear()

    def wait_idle(self, timeout: float | None = 5.0) -> bool:
        """Wait until every byte sent to the supply is handled and every reply
        (a late one included) is fully written, and no byte has moved either way
        for a short settling time. False on timeout."""
        began = start = time.monotonic()
        with self._cond:
            while True:
                now = time.monotonic()
                plug = self._plug
                if plug is None:
                    return True
                if self._busy or _readable(plug.master):
                    start = now
                # the kernel passes pty bytes on asynchronously, now and then a few ms late
                quiet_until = max(start, self._last_activity) + DELIVERY_SETTLE
                if now >= quiet_until:
                    return True
                if timeout is not None and now - began >= timeout:
                    return False
                self._cond.wait(min(IDLE_POLL, quiet_until - now))

    # -- plumbing ------------------------------------------------------------------

    def _plug_in(self) -> None:
        plug = _Plug()
        try:
            self._point_link(plug.pty_name)
        except BaseException:
            plug.close()
            raise
        plug.thread = threading.Thread(target=self._serve, args=(plug,), daemon=True,
                                       name=f"zq4180-sim {plug.pty_name}")
        self._plug = plug
        plug.thread.start()

    def _point_link(self, target: str) -> None:
        tmp = f"{self._link}.{os.getpid()}.{threading.get_ident()}.tmp"
        os.symlink(target, tmp)
        try:
            os.replace(tmp, self._link)  # atomic: the path never dangles mid-update
        except BaseException:
            os.unlink(tmp)
            raise

    def _remove_link(self, target: str) -> None:
        try:
            if os.readlink(self._link) == target:
                os.unlink(self._link)
        except OSError:
            pass

    def _cleanup_dir(self) -> None:
        if self._own_dir:
            shutil.rmtree(self._own_dir, ignore_errors=True)
            self._own_dir = None
            self._link = None

    def _cancel_replug(self) -> None:
        if self._replug_timer is not None:
            self._replug_timer.cancel()
            self._replug_timer = None

    def _set_busy(self, busy: bool) -> None:
        with self._cond:
            self._busy = busy
            self._cond.notify_all()

    def _take_fault(self, word: int) -> Fault | None:
        with self._lock:
            for fault in self._faults:
                if fault.matches(word):
                    if fault.remaining is not None:
                        fault.remaining -= 1
                        if fault.remaining == 0:
                            self._faults.remove(fault)
                    return fault
        return None

    def _serve(self, plug: _Plug) -> None:
        try:
            self._serve_loop(plug)
        except BaseException as exc:  # keep the reason for the caller; the port dies with it
            self.error = exc
        finally:
            with self._lock:
                plug.close()
                if self._plug is plug:  # died on its own: the port is gone
                    self._plug = None
                    self._remove_link(plug.pty_name)
                self._busy = False
                self._cond.notify_all()

    def _serve_loop(self, plug: _Plug) -> None:
        buf = bytearray()
        stamps: list[float] = []  # arrival time of each byte in buf
        rx_free = 0.0             # when the incoming line is free again (pacing)
        poller = select.poll()
        poller.register(plug.master, select.POLLIN)
        poller.register(plug.wake_r, select.POLLIN)
        while not plug.halt.is_set():
            timeout = None
            if buf:
                timeout = max(0.0, stamps[-1] + FRAME_GAP - time.monotonic())
            events = dict(poller.poll(None if timeout is None else timeout * 1000))
            if plug.halt.is_set():
                return
            now = time.monotonic()
            if buf and now >= stamps[-1] + FRAME_GAP:
                # line silence ends a partial frame
                buf.clear()
                stamps.clear()
                self._set_busy(False)
            mask = events.get(plug.master, 0)
            if not mask:
                continue
            chunk = b""
            if mask & select.POLLIN:
                # busy before the bytes leave the master, so wait_idle never sees neither
                self._set_busy(True)
                try:
                    chunk = os.read(plug.master, 4096)
                    self._last_activity = time.monotonic()
                except OSError as exc:
                    if exc.errno not in (errno.EIO, errno.EAGAIN):
                        raise
            if not chunk:
                self._set_busy(bool(buf))
                # nobody has the slave open (EIO/HUP): wait and look again
                plug.halt.wait(IDLE_POLL)
                continue
            buf += chunk
            stamps += [now] * len(chunk)
            while True:
                frame, first = _next_frame(buf, stamps)
                if frame is None:
                    break
                due = now
                if self.pacing:
                    due = max(first, rx_free) + FRAME_TIME
                    rx_free = due
                if not self._answer(plug, frame, due):
                    return
            self._set_busy(bool(buf))

    def _answer(self, plug: _Plug, request: bytes, due: float) -> bool:
        """Handle one request; False when the supply went away meanwhile."""
        if not _sleep_until(plug.halt, due):
            return False
        with self.state.lock:
            before = {name: getattr(self.state, name) for name in _SETTINGS}
            reply = self.state.handle(request)
            fault = self._take_fault(request[2]) if reply is not None else None
            if fault is not None and fault.kind == "ignore":
                # acknowledged as usual, but nothing changed
                for name, value in before.items():
                    setattr(self.state, name, value)
        segments = [(0.0, reply)] if reply is not None else []
        kind = fault.kind if fault else None
        if kind == "unplug":
            self._log_exchange(request, None, kind)
            self._unplug_from_inside(plug, fault.params["replug_after"])
            return False
        if kind == "no_reply":
            segments = []
        elif kind == "bad_sync":
            bad = bytearray(reply)
            bad[0] = fault.params["sync"]
            bad[-1] = sum(bad[:-1]) & 0xFF  # only the sync byte is wrong
            segments = [(0.0, bytes(bad))]
        elif kind == "bad_checksum":
            segments = [(0.0, reply[:-1] + bytes([(reply[-1] + 1) & 0xFF]))]
        elif kind == "noise":
            segments = [(0.0, fault.params["noise"] + reply)]
        elif kind == "split":
            at = fault.params["split_at"]
            segments = [(0.0, reply[:at]), (fault.params["gap"], reply[at:])]
        elif kind == "late":
            segments = [(fault.params["delay"], reply)]
        self._log_exchange(request, b"".join(s for _, s in segments) if segments else None, kind)
        return self._transmit(plug, segments, due)

    def _transmit(self, plug: _Plug, segments, start: float) -> bool:
        # absolute deadlines from one start time, so pacing adds no drift
        t = start
        for delay, data in segments:
            t += delay
            if not self.pacing:
                if not _sleep_until(plug.halt, t):
                    return False
                self._write(plug.master, data)
                continue
            for i in range(len(data)):
                t += BYTE_TIME
                if not _sleep_until(plug.halt, t):
                    return False
                self._write(plug.master, data[i:i + 1])
        return True

    def _write(self, fd: int, data: bytes) -> None:
        # a full buffer or a closed slave loses the bytes, as a line with nobody listening would
        try:
            os.write(fd, data)
        except OSError:
            pass
        self._last_activity = time.monotonic()

    def _log_exchange(self, request: bytes, reply: bytes | None, fault: str | None) -> None:
        entry = Exchange(bytes(request), reply, fault)
        with self._lock:
            self._log.append(entry)
        if self.on_exchange is not None:
            self.on_exchange(entry)

    def _unplug_from_inside(self, plug: _Plug, replug_after: float | None) -> None:
        with self._lock:
            if self._plug is not plug:
                return
            self._plug = None
            plug.halt.set()
            _close_quietly(plug.master)  # the serving thread closes the rest on its way out
            plug.master = -1
            self._remove_link(plug.pty_name)
            if replug_after is not None and self._started:
                self._replug_timer = threading.Timer(replug_after, self._timed_replug)
                self._replug_timer.daemon = True
                self._replug_timer.start()

    def _timed_replug(self) -> None:
        with self._lock:
            self._replug_timer = None
            if not self._started or self._plug is not None:
                return
            try:
                self._plug_in()
            except OSError as exc:
                self.error = exc


def _next_frame(buf: bytearray, stamps: list[float]) -> tuple[bytes | None, float]:
    """Take the next good frame off the front of buf.

    Resynchronisation: bytes ahead of a sync byte are dropped; a 26-byte candidate
    whose checksum fails loses its first byte and the search starts again.
    """
    while buf:
        start = buf.find(SYNC)
        if start < 0:
            start = len(buf)
        if start:
            del buf[:start]
            del stamps[:start]
            continue
        if len(buf) < FRAME_LEN:
            break
        candidate = bytes(buf[:FRAME_LEN])
        if frame_ok(candidate):
            first = stamps[0]
            del buf[:FRAME_LEN]
            del stamps[:FRAME_LEN]
            return candidate, first
        del buf[:1]
        del stamps[:1]
    return None, 0.0


def _check_fault_params(kind: str, params: dict) -> None:
    if kind == "bad_sync" and not (isinstance(params["sync"], int) and 0 <= params["sync"] <= 255
                                   and params["sync"] != SYNC):
        raise ValueError("sync must be a byte value other than 0xAA")
    if kind == "noise" and not (isinstance(params["noise"], (bytes, bytearray)) and params["noise"]):
        raise ValueError("noise must be non-empty bytes")
    if kind == "noise":
        params["noise"] = bytes(params["noise"])
    if kind == "split" and not (isinstance(params["split_at"], int) and 0 < params["split_at"] < FRAME_LEN):
        raise ValueError("split_at must be 1..25")
    for name in ("gap", "delay"):
        if name in params and not (isinstance(params[name], (int, float)) and params[name] >= 0):
            raise ValueError(f"{name} must be a non-negative number of seconds")
    replug = params.get("replug_after")
    if replug is not None and not (isinstance(replug, (int, float)) and replug >= 0):
        raise ValueError("replug_after must be None or a non-negative number of seconds")


def _sleep_until(halt: threading.Event, deadline: float) -> bool:
    """Sleep until the monotonic deadline; False if halted meanwhile."""
    left = deadline - time.monotonic()
    if left > 0:
        return not halt.wait(left)
    return not halt.is_set()


def _readable(fd: int) -> bool:
    if fd < 0:
        return False
    p = select.poll()
    p.register(fd, select.POLLIN)
    return any(ev & select.POLLIN for _, ev in p.poll(0))


def _close_quietly(fd: int) -> None:
    try:
        os.close(fd)
    except OSError:
        pass

"""Serving a :class:`SupplyModel` on a Linux pseudo-terminal.

The port itself (pty, link, replugging) is :mod:`.plug`, fault injection :mod:`.faults`
and the line's timing and framing :mod:`.line`; their public names are importable
from here too.
"""

from __future__ import annotations

import collections
import errno
import os
import select
import threading
import time
from dataclasses import dataclass

from .faults import _SETTINGS, FAULT_PARAMS, FAULTS, Fault, FaultInjection, _reply_segments
from .line import BAUD, BYTE_TIME, FRAME_GAP, FRAME_TIME, _next_frame, _readable, _sleep_until
from .model import FRAME_LEN, SYNC, SupplyModel, frame_ok
from .plug import PtyPort, _Plug

__all__ = [
    "BAUD", "BYTE_TIME", "DELIVERY_SETTLE", "Exchange", "FAULTS", "FAULT_PARAMS", "FRAME_GAP",
    "FRAME_LEN", "FRAME_TIME", "Fault", "IDLE_POLL", "SYNC", "SupplyModel", "VirtualSupply",
    "frame_ok",
]

DELIVERY_SETTLE = 0.02             # margin for the kernel to hand written bytes over
IDLE_POLL = 0.01                   # retry interval while nobody has the port open


@dataclass(frozen=True)
class Exchange:
    """A request frame the supply took off the line and what it sent back (None: nothing)."""
    request: bytes
    reply: bytes | None
    fault: str | None = None


class VirtualSupply(PtyPort, FaultInjection):
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

    # -- records -------------------------------------------------------------------

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

    def _log_exchange(self, request: bytes, reply: bytes | None, fault: str | None) -> None:
        entry = Exchange(bytes(request), reply, fault)
        with self._lock:
            self._log.append(entry)
        if self.on_exchange is not None:
            self.on_exchange(entry)

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

    # -- serving -------------------------------------------------------------------

    def _set_busy(self, busy: bool) -> None:
        with self._cond:
            self._busy = busy
            self._cond.notify_all()

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
        kind = fault.kind if fault else None
        if kind == "unplug":
            self._log_exchange(request, None, kind)
            self._unplug_from_inside(plug, fault.params["replug_after"])
            return False
        segments = _reply_segments(fault, reply)
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

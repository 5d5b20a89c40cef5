"""A supply's exchanges and reads, each under the late-reply guard (:mod:`.link`).

- Every voltage, ceiling or current-limit frame is checked against the limits
  here, whoever sends it.
- Signals that arrive during an exchange are acted on right after it: an
  exchange is never cut.
- A lost port is reopened about once a second by :meth:`Connection.read`; when
  another supply answers there, readings say ``other_supply``.
"""

from __future__ import annotations

import math
import time
from typing import Any

from . import signals
from .capture import captured
from .errors import NoReply, SupplyLost
from .link import LATE_REPLY_QUIET, REOPEN_INTERVAL, Link
from .readings import NO_PORT, NO_REPLY, OTHER_SUPPLY, Reading, identity_text, now_iso
from .settings import SETPOINTS

try:
    import termios
    _PORT_ERRORS: tuple = (OSError, EOFError, termios.error)
except ImportError:  # Windows
    _PORT_ERRORS = (OSError, EOFError)

__all__ = ["LATE_REPLY_QUIET", "REOPEN_INTERVAL", "Connection", "sleep_until"]


class Connection(Link):
    """One supply's port: the only way frames reach it."""

    def call(self, method: str, *args: Any) -> Any:
        """One driver call under the guard. ``SupplyLost`` when the port fails or is gone;
        ``LimitError`` (nothing sent) for a voltage, ceiling or current-limit frame over a limit.
        SIGINT, SIGTERM and SIGHUP that arrive meanwhile are acted on once the exchange is over."""
        setting = SETPOINTS.get(method)
        if setting is not None and args:
            self.limits.check_value(setting, _frame_milli(args[0]))
        if self.driver is None:
            raise SupplyLost(self.problem or f"{self.port}: not connected")
        self.wait_quiet()
        if method != "read_dev_status":
            self.touched = True
        answered = False
        with signals.deferred():
            try:
                with captured(self._printed):
                    result = getattr(self.driver, method)(*args)
                answered = result is not None and result is not False
            except _PORT_ERRORS as exc:              # pySerial's errors are OSErrors
                self._lost(exc)
                raise SupplyLost(f"{self.port}: port lost ({exc})") from None
            finally:
                if not answered:    # counted from when the exchange gave up, not from its request
                    self._quiet_until = max(self._quiet_until, time.monotonic() + LATE_REPLY_QUIET)
        return result

    def read(self, *, t0: float | None = None, wait_reopen: bool = False) -> Reading:
        """One status read-out. Never raises for silence or a lost port: the
        reading's status says ``no_reply``, ``no_port`` or ``other_supply``.
        A lost port is reopened about once a second; with ``wait_reopen`` a read
        while it is lost waits for the next attempt (one reading per attempt)."""
        if self.driver is None:
            if wait_reopen:
                sleep_until(self._next_reopen)
            if time.monotonic() >= self._next_reopen:
                self._next_reopen = time.monotonic() + REOPEN_INTERVAL
                if self.reconnect():
                    return self.read(t0=t0)
            began, stamp = self._stamp()
            elapsed = began - (self.started if t0 is None else t0)
            if self.other is not None:
                reading = Reading.missing(OTHER_SUPPLY, time=stamp, elapsed_s=elapsed,
                                          answering=identity_text(self.other))
            else:
                reading = Reading.missing(NO_PORT, time=stamp, elapsed_s=elapsed)
        else:
            self.wait_quiet()            # the reading starts when its request can go out
            began, stamp = self._stamp()
            elapsed = began - (self.started if t0 is None else t0)
            try:
                status = self.call("read_dev_status")
            except SupplyLost:
                reading = Reading.missing(NO_PORT, time=stamp, elapsed_s=elapsed)
            else:
                reading = (Reading.missing(NO_REPLY, time=stamp, elapsed_s=elapsed) if status is None
                           else Reading.from_status(status, time=stamp, elapsed_s=elapsed))
        self.last_reading = reading
        if reading.ok:
            self.last_ok = reading
        if self.on_reading is not None:
            self.on_reading(reading)
        return reading

    def _stamp(self) -> tuple[float, str]:
        self.read_started = time.monotonic()
        return self.read_started, now_iso()

    def read_ok(self) -> Reading:
        """A status read-out that must succeed: NoReply / SupplyLost otherwise."""
        reading = self.read(wait_reopen=False)
        if reading.status in (NO_PORT, OTHER_SUPPLY):
            raise SupplyLost(self.problem or f"{self.port}: port lost")
        if reading.status == NO_REPLY:
            raise NoReply(f"{self.port}: the supply did not answer the status request")
        return reading

    def command(self, method: str, *args: Any) -> None:
        """A setting that must be acknowledged: NoReply / SupplyLost otherwise."""
        if not self.call(method, *args):
            raise NoReply(f"{self.port}: the supply did not answer ({_describe(method, args)})")


def _frame_milli(value: Any) -> int:
    """The milli-units the driver puts in a setpoint frame (it truncates toward zero)."""
    try:
        number = float(value)
    except (TypeError, ValueError):
        return 0          # the driver refuses it; nothing is sent
    if not math.isfinite(number):
        return 0
    return math.trunc(number * 1000)


def sleep_until(deadline: float) -> None:
    """Sleep until the monotonic ``deadline``; a signal's exception ends it at once."""
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return
        time.sleep(min(left, 0.1))


def _describe(method: str, args) -> str:
    return f"{method}({', '.join(repr(a) for a in args)})"

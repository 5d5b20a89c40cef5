"""A supply's port: opening it, reopening a lost one, and the late-reply guard.

- A late reply is never taken as the next answer: after an exchange that got
  no reply, nothing is sent to that supply until ``LATE_REPLY_QUIET`` seconds
  after the exchange gave up; the driver's drain then drops whatever arrived late.
- Opening reads the identity; a supply with another serial number than the one
  expected is not kept (:attr:`Link.other` says which answers).
- The exchanges themselves and the reads: :mod:`.connection`.
"""

from __future__ import annotations

import os
import threading
import time
from typing import TYPE_CHECKING, Any, Callable

import zq4180

from . import signals
from .capture import captured
from .errors import OpenError
from .limits import Limits
from .readings import Reading

if TYPE_CHECKING:
    from .config import Config

LATE_REPLY_QUIET = 0.6    # s after an exchange gave up before the next request is sent
REOPEN_INTERVAL = 1.0     # s between attempts to reopen a lost port


class Link:
    """One supply's port, opened and reopened, and the late-reply guard before every request."""

    def __init__(self, port: str, *, name: str | None = None, limits: Limits = Limits(),
                 expected_serial: str | None = None,
                 driver_factory: Callable[[str], Any] | None = None) -> None:
        self.port = port
        self.name = name
        self.limits = limits
        self.expected_serial = expected_serial
        self.identity: dict[str, Any] | None = None
        self.driver: Any = None
        self.printed: list[str] = []
        self.on_print: Callable[[str], None] | None = None
        #: called with every reading :meth:`read` takes (the worker sets it while a job runs)
        self.on_reading: Callable[[Reading], None] | None = None
        #: set to ask a running procedure (ramp, sweep, sequence) to stop after its current exchange
        self.cancel = threading.Event()
        #: the configuration whose entries naming the serial number read are merged at the first open
        self.config: "Config | None" = None
        self.last_reading: Reading | None = None
        self.last_ok: Reading | None = None       # the latest reading with an answer
        self.problem: str | None = None          # why the port is down, while it is
        self.open_reason: str | None = None      # why the last open failed, without the port's name
        self.other: dict[str, Any] | None = None  # identity of another supply found at the port
        self.touched = False                     # a setting (anything but a read) was sent
        self.read_started = 0.0                  # monotonic time the latest reading's request could go out
        self.started = time.monotonic()
        self._factory = driver_factory or zq4180.ZQ4180
        self._quiet_until = 0.0
        self._next_reopen = 0.0

    # -- connection ------------------------------------------------------------

    def connect(self) -> None:
        """Open the port and read the identity; OpenError with the reason otherwise."""
        local = "://" not in self.port and os.path.exists(self.port)
        problem = self._try_open(explain=not local)
        if problem is not None and local and self.other is None:
            # one more identity request (after the guard) before the slower diagnosis: a supply just
            # switched on, or a busy machine, may miss the first
            self.wait_quiet()
            problem = self._try_open(explain=True)
        if problem is not None:
            raise OpenError(problem)

    @property
    def connected(self) -> bool:
        return self.driver is not None

    def _try_open(self, explain: bool = False) -> str | None:
        """None once open, else why not. ``explain`` asks the doctor's checks
        for a silent port (after the late-reply guard: they send a request too)."""
        from .opening import failed_open_reason
        lines: list[str] = []
        drv = self._factory(self.port)
        ok = False
        try:
            with captured(lines.append), signals.deferred():
                ok = drv.open()
        except BaseException as exc:
            if ok:              # a signal acted on right after a good open: the port is not kept
                _close(drv)
            if not isinstance(exc, Exception):
                raise
            return f"{self.port}: {exc}"  # an odd port object; open() handles the ordinary ones
        finally:
            if not ok:  # unanswered, failed or interrupted: the late-reply guard, from when it gave up
                self._quiet_until = max(self._quiet_until, time.monotonic() + LATE_REPLY_QUIET)
        for line in lines:
            self._printed(line)
        if not ok:
            self.other = None
            self.open_reason = failed_open_reason(self.port, lines, before_diagnosis=self.wait_quiet
                                                  if explain else None)
            return f"{self.port}: {self.open_reason}"
        identity = dict(drv.show_device_version())
        identity["address"] = _address(drv)
        expected = self.expected_serial if self.identity is None else self.identity.get("SN")
        if expected is not None and identity.get("SN") != expected:
            _close(drv)
            self.other = identity
            if self.identity is None:
                return (f"{self.port} answers with serial number {identity.get('SN')!r}, but the "
                        f"configuration expects {expected!r} there: not the configured supply")
            return (f"{self.port} now answers with serial number {identity.get('SN')!r}, not "
                    f"{expected!r}: another supply took its place")
        if self.identity is None and self.config is not None:
            from .opening import merge_by_serial
            merge_by_serial(self, self.config, identity.get("SN"))
        self.identity = identity
        self.driver = drv
        self.problem = None
        self.other = None
        return None

    def _lost(self, exc: BaseException | None = None) -> None:
        drv, self.driver = self.driver, None
        if drv is not None:
            _close(drv)
        self.problem = f"port lost: {exc}" if exc is not None else "port lost"
        self._next_reopen = time.monotonic() + REOPEN_INTERVAL

    def reconnect(self) -> bool:
        """One attempt to reopen a lost port (no sooner than the late-reply guard allows)."""
        if self.driver is not None:
            return True
        if "://" not in self.port and not os.path.exists(self.port):
            self.problem = f"{self.port} does not exist"
            self.other = None
            return False
        self.wait_quiet()
        problem = self._try_open()
        if problem is not None:
            self.problem = problem
            return False
        return True

    def close(self) -> None:
        drv, self.driver = self.driver, None
        if drv is not None:
            _close(drv)

    # -- the late-reply guard -------------------------------------------------

    def wait_quiet(self) -> None:
        """Sleep out the late-reply guard (never shortened)."""
        while True:
            left = self._quiet_until - time.monotonic()
            if left <= 0:
                return
            time.sleep(min(left, 0.05))

    def _printed(self, line: str) -> None:
        self.printed.append(line)
        del self.printed[:-100]
        if self.on_print is not None:
            self.on_print(line)


def _address(drv) -> int | None:
    try:
        return int(getattr(drv, "_ZQ4180__addr"))
    except (AttributeError, TypeError, ValueError):
        return None


def _close(drv) -> None:
    try:
        with captured(lambda line: None):
            drv.close()
    except Exception:
        pass

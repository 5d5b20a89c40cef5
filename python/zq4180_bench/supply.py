"""One supply under the bench library's rules: connection, the late-reply guard and reads.

- Software limits are checked before anything is sent, and every voltage,
  ceiling or current-limit frame is checked again here, whoever sends it.
- Settings go out in a safe order with a read-back (:mod:`.settings`).
- Switching off takes one confirmed path (:mod:`.off`), the safe end too.
- A late reply is never taken as the next answer: after an exchange that got
  no reply, nothing is sent to that supply until ``LATE_REPLY_QUIET`` seconds
  after the exchange gave up; the driver's drain then drops whatever arrived late.
- Signals that arrive during an exchange are acted on right after it: an
  exchange is never cut.
- A lost port is reopened about once a second by :meth:`Supply.read`; when
  another supply answers there, readings say ``other_supply``.
"""

from __future__ import annotations

import math
import os
import threading
import time
from typing import TYPE_CHECKING, Any, Callable

import zq4180

from . import signals
from .capture import captured
from .errors import (NoReply, OffNotConfirmed, OpenError, SafeEndError, SettingNotTaken, SupplyError,
                     SupplyLost)
from .limits import LimitError, Limits, check_number
from .off import OFF_TRIES, OffResult, SafeEnd, safe_end, switch_off
from .readings import NO_PORT, NO_REPLY, OTHER_SUPPLY, Reading, identity_text, now_iso
from .settings import SETPOINTS, TOLERANCE, Outcome, apply, check_request, wire

if TYPE_CHECKING:
    from .config import Config

try:
    import termios
    _PORT_ERRORS: tuple = (OSError, EOFError, termios.error)
except ImportError:  # Windows
    _PORT_ERRORS = (OSError, EOFError)

LATE_REPLY_QUIET = 0.6    # s after an exchange gave up before the next request is sent
REOPEN_INTERVAL = 1.0     # s between attempts to reopen a lost port
SAFE_END_TRIES = OFF_TRIES

SAFE_END_MODES = ("always", "on_error", "never")


class Supply:
    """An open supply. Use :func:`open_supply` to get one."""

    def __init__(self, port: str, *, name: str | None = None, limits: Limits = Limits(),
                 safe_end: str = "always", expected_serial: str | None = None,
                 driver_factory: Callable[[str], Any] | None = None) -> None:
        if safe_end not in SAFE_END_MODES:
            raise ValueError(f"safe_end must be one of {SAFE_END_MODES}, got {safe_end!r}")
        self.port = port
        self.name = name
        self.limits = limits
        self.safe_end_mode = safe_end
        self.expected_serial = expected_serial
        self.identity: dict[str, Any] | None = None
        self.driver: Any = None
        self.printed: list[str] = []
        self.on_print: Callable[[str], None] | None = None
        #: called with the SafeEnd result when leaving the context manager ran it
        self.on_safe_end: Callable[[SafeEnd], None] | None = None
        #: called with every reading :meth:`read` takes (the worker sets it while a job runs)
        self.on_reading: Callable[[Reading], None] | None = None
        #: set to ask a running procedure (ramp, sweep, sequence) to stop after its current exchange
        self.cancel = threading.Event()
        #: entries of the configuration that name the supply by serial number (merged at each open)
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
        except Exception as exc:  # an odd port object; open() handles the ordinary ones
            return f"{self.port}: {exc}"
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

    # -- exchanges --------------------------------------------------------------

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
                _sleep_until(self._next_reopen)
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

    # -- settings ------------------------------------------------------------------

    def check(self, *, voltage: float | None = None, current: float | None = None,
              ceiling: float | None = None, what: str = "") -> None:
        """LimitError (nothing sent) when a value is over a limit; ValueError when it is no value."""
        if voltage is not None:
            voltage = check_number("voltage", voltage, "volts")
        if current is not None:
            current = check_number("current", current, "amperes")
        if ceiling is not None:
            ceiling = check_number("ceiling", ceiling, "volts")
        self.limits.check(voltage=voltage, current=current, ceiling=ceiling, what=what)

    def check_request(self, *, voltage: float | None = None, current: float | None = None,
                      ceiling: float | None = None, output: str | None = None,
                      state: Reading | None = None) -> None:
        """LimitError / ValueError exactly as :meth:`apply` raises them before sending, judged
        from ``state``, a reading the caller holds (standing values are skipped without one).
        Nothing is sent."""
        check_request(self, voltage=voltage, current=current, ceiling=ceiling, output=output, state=state)

    def remote(self) -> None:
        self.command("set_work_mode", "remote")

    def set_voltage(self, volts: float) -> None:
        """One output-voltage setting, rounded to whole millivolts."""
        self.check(voltage=volts)
        self.command("set_out_voltage", wire(volts))

    def set_current(self, amps: float) -> None:
        self.check(current=amps)
        self.command("set_out_current", wire(amps))

    def set_ceiling(self, volts: float) -> None:
        self.check(ceiling=volts)
        self.command("set_voltage_max", wire(volts))

    def output(self, state: str) -> None:
        """Output on or off; off takes the confirmed off path (OffNotConfirmed when it fails)."""
        if state not in ("on", "off"):
            raise ValueError(f"output must be 'on' or 'off', got {state!r}")
        if state == "off":
            result = switch_off(self)
            if not result.confirmed:
                raise OffNotConfirmed(result)
            return
        self.command("set_ouput_mode", state)

    def apply(self, *, voltage: float | None = None, current: float | None = None,
              ceiling: float | None = None, output: str | None = None,
              mode: str | None = None, before: Reading | None = None) -> list[Outcome]:
        """The changes in a safe order, then a read-back.

        ``output="off"`` takes the confirmed off path first (OffNotConfirmed, nothing
        else sent, when it fails). Then remote control; the current limit; ceiling and
        voltage ordered so that the output voltage (the lower of the two) never exceeds
        both its old and its new value; a status read that must show the values taken
        and within the limits (SettingNotTaken otherwise), then output on; local control
        after all. Values over a limit, and a state left on over a limit (standing values
        included), raise LimitError before anything is sent; a step that gets no reply
        stops the rest (never switching on). ``before``, a reading the caller just took,
        spares the status read that the order and the checks need.
        """
        return apply(self, voltage=voltage, current=current, ceiling=ceiling, output=output, mode=mode,
                     before=before)

    # -- switching off and the safe end -------------------------------------------------

    def switch_off(self) -> OffResult:
        """Output off, confirmed by a status read (3 tries); never raises for silence or a lost port."""
        return switch_off(self)

    def safe_end(self) -> SafeEnd:
        """The confirmed off, then local control; signals are held back meanwhile and a lost
        port is reopened for it."""
        return safe_end(self)

    # -- context manager ----------------------------------------------------------------

    def __enter__(self) -> "Supply":
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        try:
            # a refusal (a value over a limit, a bad sequence row) before any setting changes nothing
            refused = isinstance(exc, ValueError) and not self.touched
            wanted = self.safe_end_mode == "always" or (self.safe_end_mode == "on_error" and exc_type is not None)
            if wanted and not refused:
                result = self.safe_end()
                if self.on_safe_end is not None:
                    self.on_safe_end(result)
                if not result.confirmed:
                    raise SafeEndError(result) from exc
                if result.signals and signals.exit_status(exc) is None:
                    # a signal held back during the safe end still ends the program, as it asked
                    raise signals.as_exception(result.signals[0]) from exc
        finally:
            self.close()


def _frame_milli(value: Any) -> int:
    """The milli-units the driver puts in a setpoint frame (it truncates toward zero)."""
    try:
        number = float(value)
    except (TypeError, ValueError):
        return 0          # the driver refuses it; nothing is sent
    if not math.isfinite(number):
        return 0
    return math.trunc(number * 1000)


def _sleep_until(deadline: float) -> None:
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return
        time.sleep(min(left, 0.1))


def _describe(method: str, args) -> str:
    return f"{method}({', '.join(repr(a) for a in args)})"


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


_OPENING = ("open_supply", "resolve_target", "failed_open_reason", "plan_supply")


def __getattr__(name: str):
    # opening a supply lives beside this module, and imports it
    if name in _OPENING:
        from . import opening
        return getattr(opening, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = ["LATE_REPLY_QUIET", "NoReply", "OffNotConfirmed", "OpenError", "Outcome", "SafeEnd", "SafeEndError",
           "SettingNotTaken", "Supply", "SupplyError", "SupplyLost", "open_supply", "resolve_target", "wire",
           "LimitError", "TOLERANCE", "OffResult", "switch_off"]

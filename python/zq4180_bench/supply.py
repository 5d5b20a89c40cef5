"""One supply under the bench library's rules.

- Software limits are checked before anything is sent (:class:`~.limits.Limits`).
- Settings go out in a safe order with a read-back (:meth:`Supply.apply`).
- A late reply is never taken as the next answer: after an exchange that got
  no reply, or was interrupted, nothing is sent to that supply until
  ``LATE_REPLY_QUIET`` seconds after the failed request; the driver's drain then
  drops whatever arrived late.
- A lost port is reopened about once a second by :meth:`Supply.read`.
- The safe end switches the output off, confirmed by a status read, then
  hands the supply back to local control.
"""

from __future__ import annotations

import math
import os
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable

import zq4180

from . import signals
from .capture import captured
from .config import Config, ConfigError, SupplyEntry, load_config
from .limits import LimitError, Limits, check_number, milli
from .readings import NO_PORT, NO_REPLY, Reading, now_iso

try:
    import termios
    _PORT_ERRORS: tuple = (OSError, EOFError, termios.error)
except ImportError:  # Windows
    _PORT_ERRORS = (OSError, EOFError)

LATE_REPLY_QUIET = 0.6    # s after a failed request before the next one is sent
REOPEN_INTERVAL = 1.0     # s between attempts to reopen a lost port
SAFE_END_TRIES = 3
TOLERANCE = 0.001         # a read-back within a milli-unit of the request matches

SAFE_END_MODES = ("always", "on_error", "never")


class SupplyError(Exception):
    """Something about a supply that ends a command with exit status 1."""


class OpenError(SupplyError):
    """The supply could not be opened; the text says why."""


class NoReply(SupplyError):
    """The supply did not answer a request."""


class SupplyLost(SupplyError):
    """The supply's port disappeared or failed."""


class SafeEndError(SupplyError):
    """The safe end could not confirm the output off."""

    def __init__(self, result: "SafeEnd") -> None:
        super().__init__(result.message())
        self.result = result


@dataclass(frozen=True)
class Outcome:
    """One requested change beside what the supply reports afterwards."""
    name: str                 # "mode", "output", "current", "ceiling", "voltage"
    requested: Any
    readback: Any = None
    answered: bool = True     # the supply acknowledged the command
    sent: bool = True

    @property
    def ok(self) -> bool:
        if not (self.sent and self.answered) or self.readback is None:
            return False
        if isinstance(self.requested, float):
            return abs(self.readback - self.requested) < TOLERANCE - 1e-9
        return self.readback == self.requested

    def text(self) -> str:
        unit = {"current": "A", "ceiling": "V", "voltage": "V"}.get(self.name)
        label = {"mode": "Mode", "output": "Output", "current": "Current limit",
                 "ceiling": "Ceiling", "voltage": "Voltage"}[self.name]

        def show(v):
            return f"{v:.3f} {unit}" if unit and v is not None else str(v)
        if not self.sent:
            result = "not sent (an earlier step failed)"
        elif not self.answered:
            result = "no reply"
        elif self.readback is None:
            result = "no read-back"
        else:
            result = show(self.readback) + ("" if self.ok else "  DIFFERS")
        return f"{label + ':':15s}request {show(self.requested)}, read back {result}"


@dataclass(frozen=True)
class SafeEnd:
    confirmed: bool
    reading: Reading | None
    local: bool = False
    last_ok: Reading | None = None   # the latest reading with an answer, what the output was last seen doing
    problem: str | None = None       # why the supply could not be reached, when it could not
    signals: tuple[int, ...] = ()    # signals that arrived while it ran (held back, not lost)

    def message(self) -> str:
        if self.confirmed:
            return "safe end: output off (confirmed)" + (", local control" if self.local else "")
        from .readings import one_line
        last = one_line(self.last_ok) if self.last_ok is not None else "none with an answer"
        why = f" ({self.problem})" if self.problem else ""
        return (f"OUTPUT MAY STILL BE ON: output-off not confirmed after {SAFE_END_TRIES} tries{why}; "
                f"last reading: {last}")


def resolve_target(target: str | None, config: Config, env: dict | None = None) -> tuple[str, SupplyEntry | None]:
    """(port, configuration entry) for a port, URL, configured name or serial number."""
    env = os.environ if env is None else env
    if target is None or target == "":
        target = env.get("ZQ4180_PORT") or None
        if target is None:
            raise OpenError("no PORT given and ZQ4180_PORT is not set (see zq4180 list)")
    entry = config.by_name(target)
    if entry is not None:
        if entry.port is None:
            raise OpenError(f"{entry.source} has no port")
        return entry.port, entry
    by_serial = config.by_serial(target)
    if by_serial:
        entry = by_serial[0]
        if entry.port is None:
            raise OpenError(f"serial number {target} is {entry.source}, which has no port")
        return entry.port, entry
    return target, None


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
        self.last_reading: Reading | None = None
        self.last_ok: Reading | None = None       # the latest reading with an answer
        self.problem: str | None = None          # why the port is down, while it is
        self.open_reason: str | None = None      # why the last open failed, without the port's name
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
        if problem is not None and local:
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
        lines: list[str] = []
        drv = self._factory(self.port)
        start = time.monotonic()
        ok = False
        try:
            with captured(lines.append):
                ok = drv.open()
        except Exception as exc:  # an odd port object; open() handles the ordinary ones
            return f"{self.port}: {exc}"
        finally:
            if not ok:  # unanswered, failed or interrupted: the late-reply guard
                self._quiet_until = start + LATE_REPLY_QUIET
        for line in lines:
            self._printed(line)
        if not ok:
            self.open_reason = failed_open_reason(self.port, lines, before_diagnosis=self.wait_quiet
                                                  if explain else None)
            return f"{self.port}: {self.open_reason}"
        identity = dict(drv.show_device_version())
        identity["address"] = _address(drv)
        if self.expected_serial is not None and identity.get("SN") != self.expected_serial:
            _close(drv)
            return (f"{self.port} answers with serial number {identity.get('SN')!r}, but the "
                    f"configuration expects {self.expected_serial!r} there: not the configured supply")
        if self.identity is not None and identity.get("SN") != self.identity.get("SN"):
            _close(drv)
            return (f"{self.port} now answers with serial number {identity.get('SN')!r}, not "
                    f"{self.identity.get('SN')!r}: another supply took its place")
        self.identity = identity
        self.driver = drv
        self.problem = None
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
        """Sleep out the late-reply guard."""
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
        """One driver call under the guard. ``SupplyLost`` when the port fails or is gone."""
        if self.driver is None:
            raise SupplyLost(self.problem or f"{self.port}: not connected")
        self.wait_quiet()
        if method != "read_dev_status":
            self.touched = True
        start = time.monotonic()
        answered = False
        try:
            with captured(self._printed):
                result = getattr(self.driver, method)(*args)
            answered = result is not None and result is not False
            return result
        except _PORT_ERRORS as exc:              # pySerial's errors are OSErrors
            self._lost(exc)
            raise SupplyLost(f"{self.port}: port lost ({exc})") from None
        finally:
            if not answered:
                self._quiet_until = max(self._quiet_until, start + LATE_REPLY_QUIET)

    def read(self, *, t0: float | None = None) -> Reading:
        """One status read-out. Never raises for silence or a lost port: the
        reading's status says ``no_reply`` or ``no_port``; a lost port is
        reopened about once a second."""
        if self.driver is None:
            if time.monotonic() >= self._next_reopen:
                self._next_reopen = time.monotonic() + REOPEN_INTERVAL
                if self.reconnect():
                    return self.read(t0=t0)
            began, stamp = self._stamp()
            reading = Reading.missing(NO_PORT, time=stamp, elapsed_s=began - (self.started if t0 is None else t0))
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
        return reading

    def _stamp(self) -> tuple[float, str]:
        self.read_started = time.monotonic()
        return self.read_started, now_iso()

    def read_ok(self) -> Reading:
        """A status read-out that must succeed: NoReply / SupplyLost otherwise."""
        reading = self.read()
        if reading.status == NO_PORT:
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

    def remote(self) -> None:
        self.command("set_work_mode", "remote")

    def set_voltage(self, volts: float, *, checked: bool = True) -> None:
        """One output-voltage setting, rounded to whole millivolts."""
        if checked:
            self.check(voltage=volts)
        self.command("set_out_voltage", wire(volts))

    def set_current(self, amps: float) -> None:
        self.check(current=amps)
        self.command("set_out_current", wire(amps))

    def set_ceiling(self, volts: float) -> None:
        self.check(ceiling=volts)
        self.command("set_voltage_max", wire(volts))

    def output(self, state: str) -> None:
        if state not in ("on", "off"):
            raise ValueError(f"output must be 'on' or 'off', got {state!r}")
        self.command("set_ouput_mode", state)

    def apply(self, *, voltage: float | None = None, current: float | None = None,
              ceiling: float | None = None, output: str | None = None,
              mode: str | None = None, before: Reading | None = None) -> list[Outcome]:
        """Remote control, then the changes in a safe order, then a read-back.

        Order: output off (when asked); the current limit; ceiling and voltage
        ordered so that the output voltage (the lower of the two) never
        exceeds both its old and its new value; output on last; local control
        after all. Values over a limit raise LimitError before anything is
        sent; a step that gets no reply stops the rest (never switching on).
        ``before``, a reading the caller just took, spares the status read
        that the order and the switch-on check need.
        """
        if output is not None and output not in ("on", "off"):
            raise ValueError(f"output must be 'on' or 'off', got {output!r}")
        if mode is not None and mode not in ("remote", "local"):
            raise ValueError(f"mode must be 'remote' or 'local', got {mode!r}")
        values = {k: v for k, v in (("voltage", voltage), ("current", current), ("ceiling", ceiling))
                  if v is not None}
        self.check(**values)
        values = {k: milli(float(v)) / 1000 for k, v in values.items()}
        if before is None or not before.ok:   # a caller's fresh reading saves an exchange
            before = self.read_ok()
        if output == "on":
            # what switching on will deliver, new or standing values alike
            new_v = values.get("voltage", before.voltage_set_V)
            new_c = values.get("ceiling", before.voltage_max_V)
            self.limits.check(voltage=min(new_v, new_c), current=values.get("current", before.current_limit_A),
                              what="switching the output on")
        steps: list[tuple[str, Any]] = [("mode", "remote")]
        if output == "off":
            steps.append(("output", "off"))
        if "current" in values:
            steps.append(("current", values["current"]))
        steps += _voltage_order(before, values.get("ceiling"), values.get("voltage"))
        if output == "on":
            steps.append(("output", "on"))
        if mode == "local":
            steps.append(("mode", "local"))
        # per kind of step, as its last occurrence went (mode: "remote" first, "local" last)
        answered: dict[str, bool] = {}
        sent: dict[str, bool] = {}
        failed = False
        for name, value in steps:
            sent[name] = not failed
            if failed:
                answered[name] = False
                continue
            ok = bool(self.call(_METHODS[name], value if name in ("mode", "output") else wire(value)))
            answered[name] = ok
            failed = not ok
        after = self.read()
        requests = {"mode": mode, "output": output, **values}
        # in the order sent: each kind where its (last) step stands
        order = {name: i for i, (name, _) in enumerate(steps)}
        outcomes = []
        for name in sorted((n for n, v in requests.items() if v is not None), key=lambda n: order[n]):
            requested = requests[name]
            readback = None
            if after.ok:
                readback = {"mode": after.work_mode, "output": after.output, "current": after.current_limit_A,
                            "ceiling": after.voltage_max_V, "voltage": after.voltage_set_V}[name]
            outcomes.append(Outcome(name, requested, readback, answered=answered.get(name, False),
                                    sent=sent.get(name, False)))
        return outcomes

    # -- the safe end -----------------------------------------------------------------

    def safe_end(self) -> SafeEnd:
        """Output off until a status read confirms it (3 tries), then local control.
        Signals are held back meanwhile; a lost port is reopened for it."""
        with signals.shielded() as seen:
            reading = None
            confirmed = False
            for attempt in range(SAFE_END_TRIES):
                if self.driver is None:
                    if attempt:
                        time.sleep(REOPEN_INTERVAL)
                    if not self.reconnect():
                        continue
                try:
                    self.call("set_ouput_mode", "off")
                except SupplyLost:
                    continue
                reading = self.read()
                if reading.ok and reading.output == "off":
                    confirmed = True
                    break
            local = False
            if self.driver is not None:
                try:
                    local = bool(self.call("set_work_mode", "local"))
                except SupplyLost:
                    pass
            return SafeEnd(confirmed, reading if reading is not None else self.last_reading, local,
                           last_ok=self.last_ok, problem=self.problem, signals=tuple(seen))

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


_METHODS = {"mode": "set_work_mode", "output": "set_ouput_mode", "current": "set_out_current",
            "ceiling": "set_voltage_max", "voltage": "set_out_voltage"}


def wire(value: float) -> float:
    """The float that reaches the supply as exactly ``round(value × 1000)``
    milli-units: the driver truncates toward zero, so half a unit is added."""
    return (milli(value) + 0.5) / 1000 if milli(value) > 0 else 0.0


def _voltage_order(before: Reading, ceiling: float | None, voltage: float | None) -> list[tuple[str, float]]:
    if ceiling is None and voltage is None:
        return []
    if ceiling is None:
        return [("voltage", voltage)]
    if voltage is None:
        return [("ceiling", ceiling)]
    # the output follows min(ceiling, voltage): take the order whose midway value is lower
    via_ceiling_first = min(ceiling, before.voltage_set_V)
    via_voltage_first = min(before.voltage_max_V, voltage)
    if via_ceiling_first <= via_voltage_first:
        return [("ceiling", ceiling), ("voltage", voltage)]
    return [("voltage", voltage), ("ceiling", ceiling)]


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


def failed_open_reason(port: str, printed: list[str],
                       before_diagnosis: Callable[[], None] | None = None) -> str:
    """The reason alone: "no such port ...", "busy: held by NAME (PID n) ...", "silence: ...",
    "not this kind of supply: ...", "does not open: ..."."""
    text = " ".join(printed)
    if "://" not in port and not os.path.exists(port):
        return "no such port (see zq4180 list)"
    if "already opened" in text:
        return f"busy: {_holders_text(port)}"
    if "Cannot open serial port" in text:
        reason = text.split("Cannot open serial port", 1)[1].strip()
        return f"does not open: {reason}" if reason else "does not open"
    if before_diagnosis is None:
        return "no valid identity reply (silent, or not this kind of supply)"
    before_diagnosis()
    try:
        from zq4180_doctor.checks import diagnose
        for result in diagnose(port):
            if result.status == "FAIL":
                prefix = {"model": "not this kind of supply: ", "holders": "busy: "}.get(result.name, "")
                return prefix + result.text
    except Exception:
        pass
    return f"no valid identity reply (silent, or not this kind of supply; zq4180-doctor {port} tells more)"


def _holders_text(port: str) -> str:
    try:
        from zq4180_doctor import checks
        holders = checks.port_holders(port)
        if holders:
            return "; ".join(h.description + (f" ({h.advice})" if h.kind == "bridge" else "")
                             for h in holders)
    except Exception:
        pass
    return f"another process holds it (zq4180-doctor {port} names it)"


def open_supply(target: str | None = None, *, limits: Limits | None = None,
                config: Config | str | os.PathLike | None = None, safe_end: str = "always",
                env: dict | None = None, driver_factory: Callable[[str], Any] | None = None) -> Supply:
    """Open a supply by port, ``rfc2217://`` URL, configured name or serial number.

    Limits: the stricter of ``limits`` and those configured for the supply
    (matched by name, by the configured port's real path, or by the serial
    number read at open). Returns a connected :class:`Supply`, a context
    manager whose exit runs the safe end as ``safe_end`` says.
    """
    if not isinstance(config, Config):
        config = load_config(config, env)
    port, entry = resolve_target(target, config, env)
    entries = [entry] if entry is not None else config.by_port(port)
    expected = next((e.serial for e in entries if e.serial), None)
    merged = limits or Limits()
    for e in entries:
        merged = merged.merged(e.limits())
    supply = Supply(port, name=entry.name if entry else (entries[0].name if len(entries) == 1 else None),
                    limits=merged, safe_end=safe_end, expected_serial=expected,
                    driver_factory=driver_factory)
    supply.connect()
    serial = (supply.identity or {}).get("SN")
    if serial:
        for e in config.by_serial(serial):
            if e not in entries:
                supply.limits = supply.limits.merged(e.limits())
                if supply.name is None:
                    supply.name = e.name
    return supply


__all__ = ["LATE_REPLY_QUIET", "NoReply", "OpenError", "Outcome", "SafeEnd", "SafeEndError", "Supply",
           "SupplyError", "SupplyLost", "open_supply", "resolve_target", "wire", "ConfigError",
           "LimitError"]

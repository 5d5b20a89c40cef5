"""One supply under the bench library's rules.

- Software limits are checked before anything is sent, and every voltage,
  ceiling or current-limit frame again where it is sent (:mod:`.connection`).
- Settings go out in a safe order with a read-back (:mod:`.settings`).
- Switching off takes one confirmed path (:mod:`.off`), the safe end too.
- Opening, reopening a lost port and the late-reply guard: :mod:`.link`; exchanges and reads:
  :mod:`.connection`.
"""

from __future__ import annotations

from typing import Any, Callable

from . import signals
from .connection import LATE_REPLY_QUIET, REOPEN_INTERVAL, Connection
from .errors import (NoReply, OffNotConfirmed, OpenError, SafeEndError, SettingNotTaken, SupplyError,
                     SupplyLost)
from .limits import LimitError, Limits, check_number
from .off import OFF_TRIES, OffResult, SafeEnd, confirmed_off, safe_end, switch_off
from .readings import Reading
from .settings import TOLERANCE, Outcome, apply, check_request, switch_on, wire

SAFE_END_TRIES = OFF_TRIES
SAFE_END_MODES = ("always", "on_error", "never")


class Supply(Connection):
    """An open supply. Use :func:`open_supply` to get one."""

    def __init__(self, port: str, *, name: str | None = None, limits: Limits = Limits(),
                 safe_end: str = "always", expected_serial: str | None = None,
                 driver_factory: Callable[[str], Any] | None = None) -> None:
        if safe_end not in SAFE_END_MODES:
            raise ValueError(f"safe_end must be one of {SAFE_END_MODES}, got {safe_end!r}")
        super().__init__(port, name=name, limits=limits, expected_serial=expected_serial,
                         driver_factory=driver_factory)
        self.safe_end_mode = safe_end
        #: called with the SafeEnd result when leaving the context manager ran it
        self.on_safe_end: Callable[[SafeEnd], None] | None = None

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
        """Output on or off. Off takes the confirmed off path (OffNotConfirmed when it fails); on
        goes through :meth:`apply`: the state it leaves is judged, standing values included
        (LimitError), and a status read must show it within the limits before the output-on
        frame (NoReply / SettingNotTaken otherwise, nothing switched on)."""
        if state not in ("on", "off"):
            raise ValueError(f"output must be 'on' or 'off', got {state!r}")
        if state == "off":
            confirmed_off(self)
        else:
            switch_on(self)

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


_OPENING = ("open_supply", "resolve_target", "failed_open_reason", "plan_supply")


def __getattr__(name: str):
    # opening a supply lives beside this module, and imports it
    if name in _OPENING:
        from . import opening
        return getattr(opening, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = ["LATE_REPLY_QUIET", "REOPEN_INTERVAL", "Connection", "SupplyError", "NoReply", "OffNotConfirmed", "OpenError", "Outcome", "SafeEnd", "SafeEndError",
           "SettingNotTaken", "Supply", "SupplyError", "SupplyLost", "open_supply", "resolve_target", "wire",
           "LimitError", "TOLERANCE", "OffResult", "switch_off"]

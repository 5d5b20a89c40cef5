"""``ZQ4180Epics``: one supply served by ``zq4180-ioc``, as an ophyd-async device over Channel Access.

The IOC applies the bench library's rules; this device adds what Channel Access
cannot say: a put the IOC refused still completes as a success there, so every
set reads its setpoint back afterwards and raises ``ValueError`` with the IOC's
``MSG`` when the value was not taken.
"""

from __future__ import annotations

import asyncio
from dataclasses import dataclass
from functools import cached_property
from typing import Any

from ophyd_async.core import (CALCULATE_TIMEOUT, DEFAULT_TIMEOUT, AsyncStatus, MovableLogic, SignalR, SignalRW, StandardMovable,
                              StandardReadable, StandardReadableFormat, StrictEnum)
from ophyd_async.epics.core import epics_signal_r, epics_signal_rw

from ..limits import milli

Format = StandardReadableFormat
PUT_TIMEOUT = 30.0     # s: a put completes after the supply acknowledged and was read back
OFF_TIMEOUT = 60.0     # s: three tries of the confirmed off, reopening the port between them
QUIET_TURNS = 8        # event-loop turns with no new setting before an output switched on goes out


class Mode(StrictEnum):
    """The IOC's ``MODE`` record."""
    CV = "CV"
    CC = "CC"
    OFF = "Off"


class Control(StrictEnum):
    """The IOC's ``CTRL`` record: the front panel or remote control."""
    LOCAL = "Local"
    REMOTE = "Remote"


class Switch(StrictEnum):
    """The IOC's ``OUTP:SP`` / ``OUTP:RBV`` records."""
    OFF = "Off"
    ON = "On"


@dataclass(frozen=True)
class EpicsOffResult:
    """What the IOC's ``OFF`` reported: confirmed, and ``MSG``'s text."""
    confirmed: bool
    text: str

    def message(self) -> str:
        return self.text


class _CheckedSetpoint(SignalRW):
    """A setpoint whose set raises ValueError with the IOC's MSG when the IOC refused the value."""

    def __init__(self, device: "ZQ4180Epics", read_pv: str, write_pv: str, datatype, name: str = "") -> None:
        plain = epics_signal_rw(datatype, read_pv, write_pv)
        super().__init__(plain._connector.backend, timeout=PUT_TIMEOUT, name=name)
        # bound methods, not the device itself (a signal holds no devices)
        self._check, self._confirm = device._check_value, device._confirm
        self._track, self._after_settings = device._track_setting, device._after_settings
        self._write_pv = write_pv

    def set(self, value, timeout=PUT_TIMEOUT) -> AsyncStatus:   # type: ignore[override]
        status = self._checked_set(value, timeout)
        if "OUTP" not in self._write_pv:
            self._track(status)          # from the call on: an output switched on meanwhile waits for it
        return status

    @AsyncStatus.wrap
    async def _checked_set(self, value, timeout) -> None:
        self._check(self._write_pv, value)
        if "OUTP" in self._write_pv:
            value = _switch(value)                # "on", True, 1: as the records spell it
            if value is Switch.ON:
                await self._after_settings()      # output on last
        await self._put(value, timeout)

    async def _put(self, value, timeout) -> None:
        await SignalRW.set(self, value, timeout=timeout)
        await self._confirm(self._write_pv, value)


def _switch(value) -> Switch:
    """``Off``/``On`` as the IOC's records spell them, from "on"/"off" in any case, a bool, 0/1
    or a Switch; ValueError for anything else."""
    if isinstance(value, Switch):
        return value
    if isinstance(value, (bool, int)) and value in (0, 1):
        return Switch.ON if value else Switch.OFF
    if isinstance(value, str) and value.lower() in ("on", "off"):
        return Switch(value.capitalize())
    raise ValueError(f"output must be 'On' or 'Off', got {value!r}")


class _VoltageLogic(MovableLogic[float]):
    def __init__(self, device: "ZQ4180Epics") -> None:
        super().__init__(setpoint=device.setpoint, readback=device.readback)
        self.device = device

    async def check_move(self, new_position: float) -> None:
        self.device._check_value(self.device._pv("VOLT:SP"), new_position)

    async def calculate_timeout(self, old_position: float, new_position: float) -> float | None:
        return PUT_TIMEOUT

    async def get_units_precision(self) -> tuple[str | None, int | None]:
        return "V", 3

    async def move(self, new_position: float, timeout) -> None:
        # completes when the IOC acknowledged and read back, never by waiting for the measured value
        await self.device.setpoint.set(new_position, timeout=timeout())


class ZQ4180Epics(StandardReadable, StandardMovable[float]):
    """The readings, setpoints and movable voltage of one supply's IOC records.

    ``prefix`` is the supply's record prefix as ``zq4180-ioc`` prints it, trailing colon
    included (``ZQ4180Epics("BENCH:S1:")``).
    """

    def __init__(self, prefix: str, name: str = "") -> None:
        if not prefix.endswith(":"):
            raise ValueError(f"prefix {prefix!r}: give the supply's prefix as zq4180-ioc prints it, "
                             f"ending in ':' (e.g. BENCH:S1:)")
        self.prefix = prefix
        self._limits: dict[str, float | None] = {}
        self._settings: set[asyncio.Task] = set()       # voltage, current limit, ceiling sets under way
        self._mock = False                               # connected in mock mode: no IOC to refuse
        self.setpoint = _CheckedSetpoint(self, self._pv("VOLT:SP"), self._pv("VOLT:SP"), float)
        self.readback = epics_signal_r(float, self._pv("VOLT:RBV"))
        self.measured_voltage = epics_signal_r(float, self._pv("VOLT:MEAS"))
        self.measured_current = epics_signal_r(float, self._pv("CURR:MEAS"))
        self.power = epics_signal_r(float, self._pv("POW:MEAS"))
        self.regulation = epics_signal_r(Mode, self._pv("MODE"))
        self.current_limit = _CheckedSetpoint(self, self._pv("CURR:RBV"), self._pv("CURR:SP"), float)
        self.ceiling = _CheckedSetpoint(self, self._pv("VLIM:RBV"), self._pv("VLIM:SP"), float)
        self.output = _CheckedSetpoint(self, self._pv("OUTP:RBV"), self._pv("OUTP:SP"), Switch)
        self.control = epics_signal_r(Control, self._pv("CTRL"))
        # what a refused put leaves behind (the whole text, not MSG's 39 characters), and the off
        self.message = epics_signal_r(str, self._pv("MSG:FULL"))
        self.comm = epics_signal_r(str, self._pv("COMM"))
        self.off_request = epics_signal_rw(bool, self._pv("OFF"))
        self._written = {pv: epics_signal_r(float if "OUTP" not in pv else Switch, pv)
                         for pv in (self._pv("VOLT:SP"), self._pv("CURR:SP"), self._pv("VLIM:SP"),
                                    self._pv("OUTP:SP"))}
        self.add_readables([self.readback, self.measured_voltage, self.measured_current], Format.HINTED_SIGNAL)
        self.add_readables([self.power, self.regulation], Format.CHILD)
        self.add_readables([self.current_limit, self.ceiling, self.output, self.control], Format.CONFIG_SIGNAL)
        super().__init__(name=name)

    def _pv(self, field: str) -> str:
        return f"ca://{self.prefix}{field}"

    @cached_property
    def movable_logic(self) -> MovableLogic[float]:
        return _VoltageLogic(self)

    async def connect(self, mock=False, timeout: float = DEFAULT_TIMEOUT, force_reconnect: bool = False):
        await super().connect(mock=mock, timeout=timeout, force_reconnect=force_reconnect)
        self._mock = bool(mock)
        for signal in self._written.values():
            await signal.connect(mock=mock, timeout=timeout, force_reconnect=force_reconnect)
        if not mock:
            for pv, signal in self._written.items():
                if "OUTP" not in pv:
                    limits = next(iter((await signal.describe()).values())).get("limits", {})
                    high = (limits.get("display") or {}).get("high")
                    self._limits[pv] = float(high) if high else None

    # -- checks -------------------------------------------------------------------------------------

    def _check_value(self, pv: str, value: Any) -> None:
        """ValueError before anything is sent: not a value, or over the limit the IOC shows (HOPR);
        the IOC judges the whole state again when the put arrives."""
        if "OUTP" in pv:
            _switch(value)
            return
        what = {"VOLT:SP": "voltage", "CURR:SP": "current limit", "VLIM:SP": "ceiling"}[pv[len(self._pv("")):]]
        unit = "A" if "CURR" in pv else "V"
        try:
            number = float(value)
        except (TypeError, ValueError):
            raise ValueError(f"{what} must be a number of {'amperes' if unit == 'A' else 'volts'}, "
                             f"got {value!r}") from None
        if not number >= 0 or number == float("inf"):
            raise ValueError(f"{what} must be a finite number, 0 or more, got {value!r}")
        high = self._limits.get(pv)
        if high is not None and milli(number) > milli(high):
            raise ValueError(f"{what} {number:.3f} {unit} is over the limit {high:.3f} {unit} "
                             f"(HOPR of {pv[len('ca://'):]})")

    async def _confirm(self, pv: str, value: Any) -> None:
        """After a completed put: the setpoint shows the value asked for, without an alarm, or the
        IOC refused it and MSG says why. In mock mode there is no IOC: nothing to check."""
        if self._mock:
            return
        signal = self._written[pv]
        reading = next(iter((await signal.read(cached=False)).values()))
        held = reading["value"]
        if "OUTP" in pv:
            wanted = _switch(value)
            taken = held == wanted
        else:
            taken = milli(float(held)) == milli(float(value))
        if not taken or reading.get("alarm_severity", 0) != 0:
            text = await self.message.get_value()
            raise ValueError(text or f"{pv[len('ca://'):]}: the IOC did not take {value!r}")

    def set(self, new_position: float, timeout=CALCULATE_TIMEOUT):   # type: ignore[override]
        status = super().set(new_position, timeout)
        self._track_setting(status)
        return status

    def _track_setting(self, status) -> None:
        """A voltage, current-limit or ceiling set under way, from the moment it is asked for."""
        self._settings.add(status.task)
        status.task.add_done_callback(self._settings.discard)

    async def _after_settings(self) -> None:
        """Sets issued together with switching on (``bps.mv(psu.output, "On", psu.current_limit,
        0.5)``) reach the supply first, as the library's safe order has it; ValueError, and the
        output stays as it is, when one of them fails."""
        seen, quiet = set(self._settings), 0
        while quiet < QUIET_TURNS:
            await asyncio.sleep(0)
            new = self._settings - seen
            seen |= new
            quiet = 0 if new else quiet + 1
        if seen:
            await asyncio.wait(seen)
        for task in seen:
            failure = "cancelled" if task.cancelled() else task.exception()
            if failure is not None:
                raise ValueError(f"output not switched on: a setting issued with it failed ({failure})")

    # -- the confirmed off -------------------------------------------------------------------------

    async def switch_off(self) -> EpicsOffResult:
        """The IOC's ``OFF`` (the library's confirmed off, ahead of queued puts); MSG says how it went."""
        await self.off_request.set(True, timeout=OFF_TIMEOUT)
        text = await self.message.get_value()
        return EpicsOffResult(text == "output off (confirmed)", text)

    def off_name(self) -> str:
        return self.name or self.prefix.rstrip(":")

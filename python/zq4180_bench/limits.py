"""Software limits: checked before any setting is sent, and again on every setpoint frame."""

from __future__ import annotations

import math
from dataclasses import dataclass

MAX_MILLI = 0xFFFFFFFF     # the wire's 32-bit milli-unit field

#: a setting's name in messages, and its unit
_SHOWN = {"voltage": ("voltage", "V"), "ceiling": ("ceiling", "V"), "current": ("current limit", "A")}


class LimitError(ValueError):
    """A value is over a software limit; nothing was sent.

    ``setting`` names what is over (``"voltage"``, ``"current"``, ``"ceiling"``
    or None); ``fix``, for a standing value, is a value within the limits that
    would fix it (None when the request itself asked too much)."""

    def __init__(self, message: str, setting: str | None = None, fix: float | None = None) -> None:
        super().__init__(message)
        self.setting = setting
        self.fix = fix


def milli(value: float) -> int:
    """The whole milli-units a value reaches the supply as (the library rounds;
    the driver would truncate 1.005 to 1004 mV)."""
    return round(value * 1000)


def fits_wire(value: float) -> bool:
    """Whether a finite, non-negative value rounds to a milli-unit count the wire's field holds."""
    return value * 1000 < MAX_MILLI + 0.5


def check_number(name: str, value, unit: str) -> float:
    """A finite, non-negative number that fits the wire, or ValueError naming it."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        try:
            value = float(value)
        except (TypeError, ValueError):
            raise ValueError(f"{name} must be a number of {unit}, got {value!r}") from None
    value = float(value)
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"{name} must be a finite number of {unit}, 0 or more, got {value!r}")
    if not fits_wire(value):
        raise ValueError(f"{name} {value!r} is beyond what the supply can take")
    return value


@dataclass(frozen=True)
class Limit:
    """One limit: a finite, non-negative number that fits the wire (ValueError otherwise)."""
    value: float
    source: str          # where it came from, e.g. "--max-voltage" or "zq4180.toml [supplies.a] max_voltage"

    def __post_init__(self) -> None:
        value = self.value
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise ValueError(f"a limit must be a number, got {value!r} (from {self.source})")
        if not math.isfinite(value):
            raise ValueError(f"a limit must be a finite number, got {value!r} (from {self.source})")
        if value < 0:
            raise ValueError(f"a limit must be 0 or more, got {value!r} (from {self.source})")
        if not fits_wire(value):
            raise ValueError(f"a limit of {value!r} is beyond what the supply can take (from {self.source})")
        object.__setattr__(self, "value", float(value))

    def over(self, millis: int) -> bool:
        return millis > round(self.value * 1000, 6)

    @property
    def fix(self) -> float:
        """The highest value in whole milli-units within the limit."""
        return math.floor(round(self.value * 1000, 6)) / 1000


@dataclass(frozen=True)
class Limits:
    """The voltage and current limits in force, each with its source (None: no limit)."""
    voltage: Limit | None = None
    current: Limit | None = None

    @classmethod
    def of(cls, max_voltage: float | None = None, max_current: float | None = None, *,
           voltage_source: str = "--max-voltage", current_source: str = "--max-current") -> "Limits":
        """ValueError for a limit that is not a finite, non-negative number that fits the wire."""
        return cls(None if max_voltage is None else Limit(max_voltage, voltage_source),
                   None if max_current is None else Limit(max_current, current_source))

    def merged(self, other: "Limits") -> "Limits":
        """The stricter of each pair."""
        return Limits(_stricter(self.voltage, other.voltage), _stricter(self.current, other.current))

    def limit_of(self, setting: str) -> Limit | None:
        return self.current if setting == "current" else self.voltage

    def check(self, *, voltage: float | None = None, current: float | None = None,
              ceiling: float | None = None, what: str = "") -> None:
        """LimitError when a requested value would reach the supply over its limit."""
        for setting, value in (("voltage", voltage), ("ceiling", ceiling), ("current", current)):
            if value is not None:
                self.check_value(setting, milli(value) if fits_wire(abs(value)) else MAX_MILLI + 1, what=what)

    def check_value(self, setting: str, millis: int, *, what: str = "", standing: bool = False) -> None:
        """LimitError when ``millis`` milli-units of ``setting`` are over its limit; a standing
        value's error carries the value within the limits that fixes it."""
        limit = self.limit_of(setting)
        if limit is None or not limit.over(millis):
            return
        name, unit = _SHOWN[setting]
        prefix = f"{what}: " if what else ""
        kind = "standing " if standing else ""
        raise LimitError(f"{prefix}{kind}{name} {millis / 1000:.3f} {unit} is over the limit "
                         f"{limit.value:.3f} {unit} (from {limit.source})",
                         setting=setting, fix=limit.fix if standing else None)

    def describe(self) -> str:
        parts = []
        parts.append(f"max voltage {self.voltage.value:.3f} V ({self.voltage.source})" if self.voltage
                     else "no voltage limit")
        parts.append(f"max current {self.current.value:.3f} A ({self.current.source})" if self.current
                     else "no current limit")
        return ", ".join(parts)


def _stricter(a: Limit | None, b: Limit | None) -> Limit | None:
    if a is None:
        return b
    if b is None:
        return a
    return b if b.value < a.value else a

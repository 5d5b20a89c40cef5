"""Software limits: checked before any setting is sent."""

from __future__ import annotations

import math
from dataclasses import dataclass


class LimitError(ValueError):
    """A requested value is over a software limit; nothing was sent."""


@dataclass(frozen=True)
class Limit:
    value: float
    source: str          # where it came from, e.g. "--max-voltage" or "zq4180.toml [supplies.a] max_voltage"


def milli(value: float) -> int:
    """The whole milli-units a value reaches the supply as (the library rounds;
    the driver would truncate 1.005 to 1004 mV)."""
    return round(value * 1000)


def check_number(name: str, value, unit: str) -> float:
    """A finite, non-negative number, or ValueError naming it."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        try:
            value = float(value)
        except (TypeError, ValueError):
            raise ValueError(f"{name} must be a number of {unit}, got {value!r}") from None
    value = float(value)
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"{name} must be a finite number of {unit}, 0 or more, got {value!r}")
    if milli(value) > 0xFFFFFFFF:
        raise ValueError(f"{name} {value!r} is beyond what the supply can take")
    return value


@dataclass(frozen=True)
class Limits:
    """The voltage and current limits in force, each with its source (None: no limit)."""
    voltage: Limit | None = None
    current: Limit | None = None

    @classmethod
    def of(cls, max_voltage: float | None = None, max_current: float | None = None, *,
           voltage_source: str = "--max-voltage", current_source: str = "--max-current") -> "Limits":
        return cls(None if max_voltage is None else Limit(float(max_voltage), voltage_source),
                   None if max_current is None else Limit(float(max_current), current_source))

    def merged(self, other: "Limits") -> "Limits":
        """The stricter of each pair."""
        return Limits(_stricter(self.voltage, other.voltage), _stricter(self.current, other.current))

    def check(self, *, voltage: float | None = None, current: float | None = None,
              ceiling: float | None = None, what: str = "") -> None:
        """LimitError when a value would reach the supply over its limit."""
        prefix = f"{what}: " if what else ""
        for name, value, limit, unit in (("voltage", voltage, self.voltage, "V"),
                                         ("ceiling", ceiling, self.voltage, "V"),
                                         ("current limit", current, self.current, "A")):
            if value is None or limit is None:
                continue
            if milli(value) > round(limit.value * 1000, 6):
                raise LimitError(f"{prefix}{name} {value:.3f} {unit} is over the limit "
                                 f"{limit.value:.3f} {unit} (from {limit.source})")

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

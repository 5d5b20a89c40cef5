"""The loads the output can drive.

A load answers one question: at this target voltage (mV) and current limit (mA),
where does the output settle? Each returns (current mA, voltage mV, MODE_CV/MODE_CC),
rounded to whole units and clamped to the status fields.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from .frames import U16_MAX, U32_MAX

# regulation mode, as the status byte's bits 2..3 carry it
MODE_OFF, MODE_CV, MODE_CC = 0, 1, 2


@dataclass(frozen=True)
class Resistor:
    """A resistance in ohms; None is an open circuit, 0 a short."""
    ohms: float | None = None

    def __post_init__(self) -> None:
        ohms = self.ohms
        if ohms is not None:
            if isinstance(ohms, bool) or not isinstance(ohms, (int, float)):
                raise ValueError("load_ohms must be >= 0, inf or None")
            ohms = float(ohms)
            if math.isnan(ohms) or ohms < 0:
                raise ValueError("load_ohms must be >= 0, inf or None")
            object.__setattr__(self, "ohms", None if math.isinf(ohms) else ohms)

    def operating_point(self, target: int, limit: int) -> tuple[int, int, int]:
        load = self.ohms
        if load is None:
            return 0, target, MODE_CV
        # mV / ohm = mA; compare by multiplying so a short circuit needs no special case
        if target <= limit * load:
            current = round(target / load) if load else 0
            return min(current, U16_MAX), target, MODE_CV
        return limit, min(round(limit * load), U32_MAX), MODE_CC


def _positive(name: str, value: float, *, zero: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{name} must be a number")
    value = float(value)
    if not math.isfinite(value) or value < 0 or (value == 0 and not zero):
        raise ValueError(f"{name} must be a finite number {'>=' if zero else '>'} 0")
    return value


LED_N_VT = 0.054          # ideality factor times thermal voltage, V (n ~ 2.1 at 25 C)
LED_SERIES_OHMS = 2.0
# saturation current that puts 1 mA at 1.8 V across the terminals
LED_SATURATION_A = 1e-3 / math.expm1((1.8 - 1e-3 * LED_SERIES_OHMS) / LED_N_VT)


@dataclass(frozen=True)
class Led:
    """A diode with series resistance: V = n_vt * ln(1 + I / saturation_a) + I * series_ohms.

    The defaults draw about 1 mA at 1.8 V and 20 mA at 2.0 V, a red LED's knee.
    """
    saturation_a: float = LED_SATURATION_A
    n_vt: float = LED_N_VT
    series_ohms: float = LED_SERIES_OHMS

    def __post_init__(self) -> None:
        object.__setattr__(self, "saturation_a", _positive("saturation_a", self.saturation_a))
        object.__setattr__(self, "n_vt", _positive("n_vt", self.n_vt))
        object.__setattr__(self, "series_ohms",
                           _positive("series_ohms", self.series_ohms, zero=True))

    def voltage_at(self, amps: float) -> float:
        """Terminal voltage (V) while ``amps`` flow forward."""
        return self.n_vt * math.log1p(amps / self.saturation_a) + amps * self.series_ohms

    def current_at(self, volts: float) -> float:
        """Forward current (A) at terminal voltage ``volts``, by bisection on voltage_at."""
        if volts <= 0:
            return 0.0
        if not self.series_ohms:
            return self.saturation_a * math.expm1(min(volts / self.n_vt, 700.0))
        low, high = 0.0, volts / self.series_ohms  # the junction never drops below 0 V
        for _ in range(200):
            mid = (low + high) / 2
            if mid in (low, high):
                break
            if self.voltage_at(mid) < volts:
                low = mid
            else:
                high = mid
        return (low + high) / 2

    def operating_point(self, target: int, limit: int) -> tuple[int, int, int]:
        amps = self.current_at(target / 1000)
        if amps * 1000 <= limit:
            return min(round(amps * 1000), U16_MAX), target, MODE_CV
        return limit, min(round(self.voltage_at(limit / 1000) * 1000), U32_MAX), MODE_CC


@dataclass(frozen=True)
class CurrentSink:
    """An electronic load in constant-current mode, drawing ``amps`` whenever it sees voltage."""
    amps: float = 0.5

    def __post_init__(self) -> None:
        object.__setattr__(self, "amps", _positive("sink current", self.amps, zero=True))

    def operating_point(self, target: int, limit: int) -> tuple[int, int, int]:
        drawn = self.amps * 1000 if target > 0 else 0.0  # nothing to pull at 0 V
        if drawn <= limit:
            return min(round(drawn), U16_MAX), target, MODE_CV
        # the supply gives no more than its limit, so the sink pulls the output down to 0 V
        return limit, 0, MODE_CC


Load = Resistor | Led | CurrentSink
LOAD_TYPES = (Resistor, Led, CurrentSink)


def _load_from_text(text: str) -> Load:
    spec = text.strip().lower()
    if spec in ("open", "inf", "none"):
        return Resistor(None)
    if spec == "led":
        return Led()
    if spec == "cc":
        return CurrentSink()
    if spec.startswith("cc:"):
        try:
            amps = float(spec[3:])
        except ValueError:
            raise ValueError(f"not a sink current in amperes: {text!r}") from None
        if not math.isfinite(amps) or amps < 0:
            raise ValueError(f"sink current must be a finite number >= 0 A: {text!r}")
        return CurrentSink(amps)
    try:
        ohms = float(spec)
    except ValueError:
        raise ValueError(f"not a load (OHMS, open, led, cc or cc:AMPS): {text!r}") from None
    if math.isnan(ohms) or ohms < 0:
        raise ValueError(f"resistance must be >= 0 ohms: {text!r}")
    return Resistor(ohms)


def parse_load(text: str) -> dict:
    """A load spec as keyword arguments for VirtualSupply, SupplyModel or configure.

    ``OHMS`` (a resistor; 0 is a short), ``open`` (also ``inf``, ``none``), ``led``,
    ``cc`` (a 0.5 A sink) or ``cc:AMPS``; case and surrounding blanks do not matter.
    Always ``{"load": <Resistor | Led | CurrentSink>}``; ValueError with a one-line
    reason otherwise.
    """
    if not isinstance(text, str):
        raise ValueError(f"a load spec is a text, not {type(text).__name__}")
    return {"load": _load_from_text(text)}


def _check_load(value) -> Load:
    if isinstance(value, LOAD_TYPES):
        return value
    if value is None:
        return Resistor(None)
    if isinstance(value, str):
        return _load_from_text(value)
    raise ValueError("load must be a Resistor, Led or CurrentSink, a spec text or None")


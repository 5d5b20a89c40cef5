"""The supply's behaviour: state, electrical model and frame handling, without I/O."""

from __future__ import annotations

import math
import threading
from dataclasses import dataclass

FRAME_LEN = 26
SYNC = 0xAA
BROADCAST = 0xFF
RETURN_WORD = 0x12

CMD_WORK_MODE = 0x20
CMD_OUTPUT = 0x21
CMD_VOLTAGE_MAX = 0x22
CMD_VOLTAGE = 0x23
CMD_CURRENT = 0x24
CMD_NEW_ADDR = 0x25
CMD_STATUS = 0x26
CMD_IDENTITY = 0x31
CMD_FACTORY_RESET = 0x32

COMMAND_NAMES = {
    CMD_WORK_MODE: "work_mode",
    CMD_OUTPUT: "output",
    CMD_VOLTAGE_MAX: "voltage_max",
    CMD_VOLTAGE: "voltage",
    CMD_CURRENT: "current",
    CMD_NEW_ADDR: "new_addr",
    CMD_STATUS: "status",
    CMD_IDENTITY: "identity",
    CMD_FACTORY_RESET: "factory_reset",
}

MODE_OFF, MODE_CV, MODE_CC = 0, 1, 2

U16_MAX = 0xFFFF
U32_MAX = 0xFFFFFFFF

# Factory settings, restored by the reset command (the bus address is not one of them).
FACTORY_VOLTAGE_MAX_MV = 30_000
FACTORY_VOLTAGE_SET_MV = 5_000
FACTORY_CURRENT_LIMIT_MA = 1_000


def checksum(frame) -> int:
    """Low 8 bits of the plain sum of all bytes but the last."""
    return sum(frame[:-1]) & 0xFF


def build_frame(address: int, command: int, payload: bytes = b"", *, sync: int = SYNC) -> bytes:
    """A 26-byte frame with the payload from byte 3 on and the checksum filled in."""
    if len(payload) > FRAME_LEN - 4:
        raise ValueError("payload longer than 22 bytes")
    frame = bytearray(FRAME_LEN)
    frame[0], frame[1], frame[2] = sync, address, command
    frame[3:3 + len(payload)] = payload
    frame[-1] = checksum(frame)
    return bytes(frame)


def frame_ok(frame) -> bool:
    """Length, sync byte and checksum right: what either end accepts as a frame."""
    return len(frame) == FRAME_LEN and frame[0] == SYNC and frame[-1] == checksum(frame)


def _u32(frame, at: int) -> int:
    return int.from_bytes(frame[at:at + 4], "little")


def _check_text(name: str, value: str, length: int) -> str:
    if not isinstance(value, str) or len(value) != length:
        raise ValueError(f"{name} must be a text of {length} characters")
    try:
        value.encode("latin-1")
    except UnicodeEncodeError:
        raise ValueError(f"{name} must use characters U+0000..U+00FF only") from None
    return value


def _check_int(name: str, value: int, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError(f"{name} must be an integer {low}..{high}")
    return value


# -- loads -------------------------------------------------------------------------
#
# A load answers one question: at this target voltage (mV) and current limit (mA),
# where does the output settle? Each returns (current mA, voltage mV, MODE_CV/MODE_CC),
# rounded to whole units and clamped to the status fields.


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


class SupplyModel:
    """One zq4100-series supply as its replies show it.

    Attributes may be read at any time; change them through :meth:`configure`
    (or plain assignment for single fields) while a server is running. All
    access that spans several fields holds ``lock``.

    ``load`` is what the output drives: a :class:`Resistor`, :class:`Led` or
    :class:`CurrentSink`, or a spec text as :func:`parse_load` takes it.
    ``load_ohms`` is the resistor's view of it: setting it selects a resistor;
    reading it gives the resistance, or None for an open circuit or any other
    kind of load. The constructor takes either; when both are given, ``load``
    wins, so callers can keep ``load_ohms`` as a default and override it.
    """

    _SETTABLE = ("address", "model_code", "serial_number", "firmware", "remote", "output_on",
                 "voltage_max_mv", "voltage_set_mv", "current_limit_ma", "load_ohms", "load",
                 "over_temperature", "fan_speed")

    def __init__(self, address: int = 1, *, model_code: str = "4181",
                 serial_number: str = "076787041", firmware: int = 373,
                 load_ohms: float | None = None, load: Load | str | None = None,
                 over_temperature: bool = False, fan_speed: int = 0) -> None:
        self.lock = threading.RLock()
        self.remote = False
        self.output_on = False
        self.voltage_max_mv = FACTORY_VOLTAGE_MAX_MV
        self.voltage_set_mv = FACTORY_VOLTAGE_SET_MV
        self.current_limit_ma = FACTORY_CURRENT_LIMIT_MA
        self._load: Load = Resistor(None)
        chosen = {"load_ohms": load_ohms} if load is None else {"load": load}
        self.configure(address=address, model_code=model_code, serial_number=serial_number,
                       firmware=firmware, over_temperature=over_temperature,
                       fan_speed=fan_speed, **chosen)

    # -- state -----------------------------------------------------------------

    def configure(self, **fields) -> None:
        """Set several fields at once, validated, atomically with respect to ``handle``."""
        unknown = set(fields) - set(self._SETTABLE)
        if unknown:
            raise TypeError(f"unknown field(s): {', '.join(sorted(unknown))}")
        checked = {}
        for name, value in fields.items():
            if name == "address":
                value = _check_int(name, value, 0, 255)
            elif name == "model_code":
                value = _check_text(name, value, 4)
            elif name == "serial_number":
                value = _check_text(name, value, 9)
            elif name == "firmware":
                value = _check_int(name, value, 0, U16_MAX)
            elif name == "fan_speed":
                value = _check_int(name, value, 0, 7)
            elif name in ("voltage_max_mv", "voltage_set_mv"):
                value = _check_int(name, value, 0, U32_MAX)
            elif name == "current_limit_ma":
                value = _check_int(name, value, 0, U16_MAX)
            elif name == "load_ohms":
                value = Resistor(value if value is None else float(value))
            elif name == "load":
                value = _check_load(value)
            else:
                value = bool(value)
            checked[name] = value
        if "load_ohms" in checked:
            if "load" in checked and checked["load"] != checked["load_ohms"]:
                raise ValueError("load and load_ohms given for different loads")
            checked["load"] = checked.pop("load_ohms")
        with self.lock:
            for name, value in checked.items():
                setattr(self, "_load" if name == "load" else name, value)

    @property
    def load(self) -> Load:
        return self._load

    @load.setter
    def load(self, value: Load | str | None) -> None:
        self.configure(load=value)

    @property
    def load_ohms(self) -> float | None:
        load = self._load
        return load.ohms if isinstance(load, Resistor) else None

    @load_ohms.setter
    def load_ohms(self, value: float | None) -> None:
        self.configure(load_ohms=value)

    def snapshot(self) -> dict:
        """A consistent copy of every field plus the measured values."""
        with self.lock:
            state = {name: getattr(self, name) for name in self._SETTABLE}
            state["current_ma"], state["voltage_mv"], state["mode"] = self.measure()
        return state

    def read_out(self) -> dict:
        """The status as a driver's read-out reports it: amperes and volts,
        the state flags as words (what read_dev_status must return now)."""
        s = self.snapshot()
        return {
            "current_real": s["current_ma"] / 1000.0,
            "voltage_real": s["voltage_mv"] / 1000.0,
            "current_set": s["current_limit_ma"] / 1000.0,
            "voltage_max_set": s["voltage_max_mv"] / 1000.0,
            "voltage_set": s["voltage_set_mv"] / 1000.0,
            "out_status": "on" if s["output_on"] else "off",
            "beyond_temp": s["over_temperature"],
            "out_mode": {MODE_CV: "CV", MODE_CC: "CC"}.get(s["mode"], "XX"),
            "fan_speed": s["fan_speed"],
            "work_mode": "remote" if s["remote"] else "local",
        }

    def factory_reset(self) -> None:
        with self.lock:
            self.remote = False
            self.output_on = False
            self.voltage_max_mv = FACTORY_VOLTAGE_MAX_MV
            self.voltage_set_mv = FACTORY_VOLTAGE_SET_MV
            self.current_limit_ma = FACTORY_CURRENT_LIMIT_MA

    def measure(self) -> tuple[int, int, int]:
        """(current mA, voltage mV, MODE_OFF/MODE_CV/MODE_CC) at the output terminals."""
        with self.lock:
            if not self.output_on:
                return 0, 0, MODE_OFF
            target = min(self.voltage_set_mv, self.voltage_max_mv)
            limit = self.current_limit_ma
            load = self._load
        return load.operating_point(target, limit)

    def status_byte(self) -> int:
        with self.lock:
            mode = self.measure()[2]
            return (int(self.output_on) | int(self.over_temperature) << 1 | mode << 2
                    | self.fan_speed << 4 | int(self.remote) << 7)

    # -- frames ----------------------------------------------------------------

    def reply(self, payload: bytes = b"") -> bytes:
        return build_frame(self.address, RETURN_WORD, payload)

    def handle(self, request: bytes) -> bytes | None:
        """The reply frame to one request, or None when the supply stays silent."""
        if not frame_ok(request) or request[1] not in (self.address, BROADCAST):
            return None
        word = request[2]
        with self.lock:
            if word == CMD_STATUS:
                return self.reply(self._status_payload())
            if word == CMD_IDENTITY:
                return self.reply(self._identity_payload())
            if word == CMD_WORK_MODE:
                self.remote = request[3] == 1
            elif word == CMD_OUTPUT:
                self.output_on = request[3] == 1
            elif word == CMD_VOLTAGE_MAX:
                self.voltage_max_mv = _u32(request, 3)
            elif word == CMD_VOLTAGE:
                self.voltage_set_mv = _u32(request, 3)
            elif word == CMD_CURRENT:
                self.current_limit_ma = min(_u32(request, 3), U16_MAX)
            elif word == CMD_NEW_ADDR:
                self.address = request[3]
            elif word == CMD_FACTORY_RESET:
                self.factory_reset()
            else:
                return None
            # built after the change, so a new address answers from the new address
            return self.reply(bytes([word]))

    def _status_payload(self) -> bytes:
        current, voltage, _ = self.measure()
        return (current.to_bytes(2, "little") + voltage.to_bytes(4, "little")
                + bytes([self.status_byte()])
                + self.current_limit_ma.to_bytes(2, "little")
                + self.voltage_max_mv.to_bytes(4, "little")
                + self.voltage_set_mv.to_bytes(4, "little"))

    def _identity_payload(self) -> bytes:
        return (self.model_code.encode("latin-1") + b"\x00"
                + self.firmware.to_bytes(2, "little")
                + self.serial_number.encode("latin-1"))

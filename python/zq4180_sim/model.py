"""The supply's behaviour: its settings and how it answers a request frame, without I/O.

The frame layout lives in :mod:`.frames` and the loads in :mod:`.loads`; their
names stay importable from here.
"""

from __future__ import annotations

import threading

from .frames import (BROADCAST, CMD_CURRENT, CMD_FACTORY_RESET, CMD_IDENTITY, CMD_NEW_ADDR,
                     CMD_OUTPUT, CMD_STATUS, CMD_VOLTAGE, CMD_VOLTAGE_MAX, CMD_WORK_MODE,
                     COMMAND_NAMES, FRAME_LEN, RETURN_WORD, SYNC, U16_MAX, U32_MAX, _u32,
                     build_frame, checksum, frame_ok)
from .loads import (LED_N_VT, LED_SATURATION_A, LED_SERIES_OHMS, LOAD_TYPES, MODE_CC, MODE_CV,
                    MODE_OFF, CurrentSink, Led, Load, Resistor, _check_load, parse_load)

# the frame and load names stay importable from here
__all__ = [
    "BROADCAST", "CMD_CURRENT", "CMD_FACTORY_RESET", "CMD_IDENTITY", "CMD_NEW_ADDR", "CMD_OUTPUT",
    "CMD_STATUS", "CMD_VOLTAGE", "CMD_VOLTAGE_MAX", "CMD_WORK_MODE", "COMMAND_NAMES", "CurrentSink",
    "FACTORY_CURRENT_LIMIT_MA", "FACTORY_VOLTAGE_MAX_MV", "FACTORY_VOLTAGE_SET_MV", "FRAME_LEN",
    "LED_N_VT", "LED_SATURATION_A", "LED_SERIES_OHMS", "LOAD_TYPES", "Led", "Load", "MODE_CC",
    "MODE_CV", "MODE_OFF", "RETURN_WORD", "Resistor", "SYNC", "SupplyModel", "U16_MAX", "U32_MAX",
    "build_frame", "checksum", "frame_ok", "parse_load",
]

# Factory settings, restored by the reset command (the bus address is not one of them).
FACTORY_VOLTAGE_MAX_MV = 30_000
FACTORY_VOLTAGE_SET_MV = 5_000
FACTORY_CURRENT_LIMIT_MA = 1_000


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

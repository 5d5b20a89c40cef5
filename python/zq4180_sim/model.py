"""The supply's behaviour: state, electrical model and frame handling, without I/O."""

from __future__ import annotations

import math
import threading

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


class SupplyModel:
    """One zq4100-series supply as its replies show it.

    Attributes may be read at any time; change them through :meth:`configure`
    (or plain assignment for single fields) while a server is running. All
    access that spans several fields holds ``lock``.
    """

    _SETTABLE = ("address", "model_code", "serial_number", "firmware", "remote", "output_on",
                 "voltage_max_mv", "voltage_set_mv", "current_limit_ma", "load_ohms",
                 "over_temperature", "fan_speed")

    def __init__(self, address: int = 1, *, model_code: str = "4181",
                 serial_number: str = "076787041", firmware: int = 373,
                 load_ohms: float | None = None, over_temperature: bool = False,
                 fan_speed: int = 0) -> None:
        self.lock = threading.RLock()
        self.remote = False
        self.output_on = False
        self.voltage_max_mv = FACTORY_VOLTAGE_MAX_MV
        self.voltage_set_mv = FACTORY_VOLTAGE_SET_MV
        self.current_limit_ma = FACTORY_CURRENT_LIMIT_MA
        self.configure(address=address, model_code=model_code, serial_number=serial_number,
                       firmware=firmware, load_ohms=load_ohms,
                       over_temperature=over_temperature, fan_speed=fan_speed)

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
                if value is not None:
                    value = float(value)
                    if math.isnan(value) or value < 0:
                        raise ValueError("load_ohms must be >= 0, inf or None")
                    if math.isinf(value):
                        value = None
            else:
                value = bool(value)
            checked[name] = value
        with self.lock:
            for name, value in checked.items():
                setattr(self, name, value)

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
            load = self.load_ohms
        if load is None:
            return 0, target, MODE_CV
        # mV / ohm = mA; compare by multiplying so a short circuit needs no special case
        if target <= limit * load:
            current = round(target / load) if load else 0
            return min(current, U16_MAX), target, MODE_CV
        return limit, min(round(limit * load), U32_MAX), MODE_CC

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

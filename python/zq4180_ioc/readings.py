"""A reading as record values: what each readback, setpoint and ``COMM`` shows."""

from __future__ import annotations

import datetime

from zq4180_bench.limits import milli

from .records import MODES

MODES_TEXT = MODES

COMM_CODES = {"ok": 0, "no_reply": 1, "no_port": 2, "other_supply": 3}
#: event kinds that put their text into ``MSG`` (a fault, never a recovery)
FAULT_EVENTS = ("no_reply", "no_port", "other_supply")


def timestamp(reading) -> float | None:
    """The reading's wall-clock time in seconds since 1970 (None when it cannot be read)."""
    try:
        return datetime.datetime.fromisoformat(reading.time).timestamp()
    except (TypeError, ValueError):
        return None


def mode_index(reading) -> int:
    """``MODE``: CV, CC, or Off (output off, or neither reported)."""
    if reading.output != "on" or reading.regulation not in ("CV", "CC"):
        return MODES.index("Off")
    return MODES.index(reading.regulation)


def readback_values(reading) -> dict[str, object]:
    """The readbacks of an answered reading."""
    return {
        "VOLT:RBV": reading.voltage_set_V,
        "VOLT:MEAS": reading.voltage_V,
        "CURR:RBV": reading.current_limit_A,
        "CURR:MEAS": reading.current_A,
        "VLIM:RBV": reading.voltage_max_V,
        "POW:MEAS": reading.power_W,
        "OUTP:RBV": int(reading.output == "on"),
        "MODE": mode_index(reading),
        "TEMP:ALARM": int(bool(reading.over_temperature)),
        "FAN": int(reading.fan_speed or 0),
        "CTRL": int(reading.work_mode == "remote"),
    }


def setpoint_values(reading) -> dict[str, object]:
    """What the setpoint records should hold after an answered reading."""
    return {
        "VOLT:SP": reading.voltage_set_V,
        "CURR:SP": reading.current_limit_A,
        "VLIM:SP": reading.voltage_max_V,
        "OUTP:SP": int(reading.output == "on"),
    }


def differs(old, new) -> bool:
    """Whether a setpoint record's value and the supply's differ as the wire carries them
    (whole milli-units, rounded as the library rounds)."""
    if isinstance(new, float) or isinstance(old, float):
        return milli(float(old)) != milli(float(new))
    return int(old) != int(new)


def comm_code(status: str) -> int:
    return COMM_CODES.get(status, COMM_CODES["no_reply"])


def identity_line(identity) -> str:
    """``IDN``: model, serial number and firmware in a stringin's 39 characters."""
    if not identity:
        return ""
    return f"{identity.get('model')}, SN {identity.get('SN')}, FW {identity.get('soft_version')}"[:39]


STRING_SIZE = 39       # characters a stringin holds
CUT_MARK = "..."


def short_message(text: str) -> str:
    """``MSG``: the message as a stringin holds it (39 bytes); a cut one ends in "..." (``MSG:FULL``
    has the whole text)."""
    if len(text.encode()) <= STRING_SIZE:
        return text
    room = STRING_SIZE - len(CUT_MARK)
    return text.encode()[:room].decode(errors="ignore") + CUT_MARK

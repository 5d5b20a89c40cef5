"""Driver for zq4100-series programmable DC power supplies (models 4180, 4181)."""

# This file ships twice: as zq4180.pyi beside the extension (editors read it
# there) and, copied by the build, as zq4180-stubs/__init__.pyi (mypy reads
# only that one, since a single-file module cannot carry py.typed).

import platform as platform
import subprocess as subprocess
import time as time
from collections.abc import Iterable
from typing import Any, Final, SupportsFloat, SupportsIndex, TypeAlias

import serial as serial

# Anything the C API converts to a double: floats, ints, and any object with
# __float__ or __index__ (Decimal, Fraction, numpy scalars).
_Real: TypeAlias = SupportsFloat | SupportsIndex

class ZQ4180:
    _ZQ4180__CMD_TEMPLATE: Final[tuple[int, ...]]
    _ZQ4180__CMD_WORD_SET_WORK_MODE: Final = 0x20
    _ZQ4180__CMD_WORD_SET_OUT_MODE: Final = 0x21
    _ZQ4180__CMD_WORD_SET_MAX_OUT_VOLTAGE: Final = 0x22
    _ZQ4180__CMD_WORD_SET_OUT_VOLTAGE: Final = 0x23
    _ZQ4180__CMD_WORD_SET_OUT_CURRENT: Final = 0x24
    _ZQ4180__CMD_WORD_SET_NEW_ADDR: Final = 0x25
    _ZQ4180__CMD_WORD_READ_DEV_REAL_STATUS: Final = 0x26
    _ZQ4180__CMD_WORD_READ_DEV_VERSION: Final = 0x31
    _ZQ4180__CMD_WORD_RESTORE_FACTORY: Final = 0x32
    _ZQ4180__CMD_WORD_DEV_RETURN: Final = 0x12
    _ZQ4180__CMD_LENGTH: Final = 26

    port: str
    # Exists only once open() has created a connection. A URL port gets what
    # serial_for_url builds (rfc2217.Serial, loop's Serial, ...), which share
    # SerialBase but not serial.Serial.
    ser: serial.SerialBase
    _ZQ4180__addr: int
    _ZQ4180__product_model: str
    _ZQ4180__product_number: str
    _ZQ4180__soft_version: int

    def __init__(self, serial_port: str) -> None:
        """Record the port name ("COM3", "/dev/ttyUSB0", "rfc2217://host:port").

        Touches no hardware. Only an exact str is accepted (TypeError otherwise).
        """
    def _ZQ4180__check_crc(self, data: list[int]) -> bool: ...
    def _ZQ4180__cal_crc(self, data: list[int]) -> None: ...
    def _ZQ4180__read(self) -> bytes | None: ...
    def _ZQ4180__write_and_read(self, cmd: Iterable[int]) -> bytes | None: ...
    def show_device_version(self) -> dict[str, Any]:
        """The identity from the last open() that got an answer ("" and 0 before any).

        Keys: "model" (str), "SN" (str), "soft_version" (int).
        """
    def set_work_mode(self, mode: str = "remote") -> bool:
        """Put the supply under remote (PC) or local (front panel) control.

        Any value other than "remote" selects local control. True when the supply answered.
        """
    def set_ouput_mode(self, mode: str = "off") -> bool:
        """Switch the output on or off; anything but "on"/"off" raises ValueError.

        True when the supply answered.
        """
    def set_voltage_max(self, voltage: _Real) -> bool:
        """Set the output voltage ceiling in volts.

        Sent as whole millivolts, truncated toward zero; ValueError when that
        count falls outside 0..4294967295. True when the supply answered.
        """
    def set_out_voltage(self, voltage: _Real) -> bool:
        """Set the output voltage in volts.

        Sent as whole millivolts, truncated toward zero; ValueError when that
        count falls outside 0..4294967295. Prints the reply; True when the
        supply answered.
        """
    def set_out_current(self, current: _Real) -> bool:
        """Set the current limit in amperes.

        Sent as whole milliamperes, truncated toward zero; ValueError when that
        count falls outside 0..4294967295. Prints the reply; True when the
        supply answered.
        """
    # bool passes as int for a type checker; the driver refuses it at run time.
    def set_new_addr(self, address: int) -> bool:
        """Give the supply a new bus address (0..255); this object keeps the old one.

        Only an exact int is accepted (TypeError for bool, float); ValueError out of range.
        """
    def restore_factory(self) -> bool:
        """Restore the supply's factory settings. Prints the reply; True when it answered."""
    def read_dev_status(self) -> dict[str, Any] | None:
        """Live measurements, setpoints and state flags; None when the supply did not answer.

        Keys: "current_real", "voltage_real", "current_set", "voltage_max_set",
        "voltage_set" (float, A and V), "out_status" ("on"/"off"), "beyond_temp"
        (bool), "out_mode" ("CV"/"CC"/"XX"), "fan_speed" (int 0..7), "work_mode"
        ("remote"/"local").
        """
    def _ZQ4180__read_device_version(self) -> None: ...
    def check_port_available(self) -> bool:
        """False when another process holds the port.

        Found with lsof (on Windows by a trial open); always True for a URL.
        """
    def open(self) -> bool:
        """Connect at 4800 8N1 and read the supply's identity.

        True only when it answered with model "4180" or "4181"; False for a
        busy or unusable port, silence or another model.
        """
    def close(self) -> None:
        """Close the connection; AttributeError if open() never made one."""

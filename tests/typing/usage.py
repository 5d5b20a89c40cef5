"""Every public call of the driver with the types a careful script uses.

Only type-checked (mypy --strict, assert_type), never run: the calls would
need a supply.
"""
from __future__ import annotations

import decimal
import fractions
import time
from typing import Any, assert_type

import serial

import zq4180


def verified_voltage(supply: zq4180.ZQ4180, volts: float) -> bool:
    if not supply.set_out_voltage(volts):
        return False
    status = supply.read_dev_status()
    if status is None:
        return False
    # Whole millivolts on the wire, truncated.
    set_volts: float = status["voltage_set"]
    return abs(set_volts - volts) < 0.001


def session(port: str) -> dict[str, object]:
    supply = zq4180.ZQ4180(port)
    assert_type(supply.port, str)
    assert_type(supply.check_port_available(), bool)
    if not supply.open():
        return {}
    assert_type(supply.ser, serial.SerialBase)
    version = supply.show_device_version()
    assert_type(version, dict[str, Any])
    model: str = version["model"]
    firmware: int = version["soft_version"]

    assert_type(supply.set_work_mode(), bool)
    supply.set_work_mode("remote")
    assert_type(supply.set_voltage_max(5), bool)
    supply.set_out_current(0.5)
    supply.set_out_current(decimal.Decimal("0.25"))
    supply.set_out_current(fractions.Fraction(1, 8))
    verified_voltage(supply, 1.222)
    supply.set_ouput_mode("on")

    status = supply.read_dev_status()
    assert_type(status, dict[str, Any] | None)
    record: dict[str, object] = {"model": model, "firmware": firmware, "t": time.time()}
    if status is not None:
        watts: float = status["voltage_real"] * status["current_real"]
        regulation: str = status["out_mode"]
        hot: bool = status["beyond_temp"]
        fan: int = status["fan_speed"]
        record.update(status, watts=watts, regulation=regulation, hot=hot, fan=fan)
        # A read-out feeds straight back into the setters.
        supply.set_ouput_mode(status["out_status"])
        supply.set_work_mode(status["work_mode"])

    supply.set_ouput_mode()
    supply.set_work_mode("local")
    assert_type(supply.set_new_addr(6), bool)
    assert_type(supply.restore_factory(), bool)
    assert_type(supply.close(), None)
    return record


def constants() -> int:
    assert_type(zq4180.ZQ4180._ZQ4180__CMD_TEMPLATE, tuple[int, ...])
    return zq4180.ZQ4180._ZQ4180__CMD_LENGTH + len(zq4180.ZQ4180._ZQ4180__CMD_TEMPLATE)


def module_names() -> str:
    # The driver looks these up in its module at each call; tests patch them there.
    done = zq4180.subprocess.run(["true"], check=False)
    assert_type(done.returncode, int)
    return zq4180.platform.system() + str(zq4180.time.monotonic()) + zq4180.serial.__version__

"""A real supply, opt-in. Read-only unless ZQ4180_ALLOW_OUTPUT=1."""
import pytest

pytestmark = pytest.mark.hardware

STATUS_KEYS = {"current_real", "voltage_real", "current_set", "voltage_max_set", "voltage_set",
               "out_status", "beyond_temp", "out_mode", "fan_speed", "work_mode"}

# The guarded sequence stays at or below these.
CEILING_V, VOLTAGE_V, CURRENT_A = 1.0, 0.5, 0.05


def test_identity(driver):
    identity = driver.show_device_version()
    print("supply identity:", identity)
    assert set(identity) == {"model", "SN", "soft_version"}
    assert identity["model"] in ("4180", "4181")


def test_status_read_out(driver):
    status = driver.read_dev_status()
    assert status is not None and set(status) == STATUS_KEYS
    assert status["out_status"] in ("on", "off") and status["out_mode"] in ("CV", "CC", "XX")


def test_low_voltage_sequence(output_allowed):
    drv = output_allowed
    assert drv.set_ouput_mode("off") and drv.set_work_mode("remote")
    assert drv.set_voltage_max(CEILING_V)
    assert drv.set_out_voltage(VOLTAGE_V)
    assert drv.set_out_current(CURRENT_A)
    # "True" only means the supply answered: check the limits took before switching on.
    before = drv.read_dev_status()
    assert before is not None
    assert (before["voltage_max_set"], before["voltage_set"], before["current_set"]) == (
        CEILING_V, VOLTAGE_V, CURRENT_A)
    assert drv.set_ouput_mode("on")
    on = drv.read_dev_status()
    assert on is not None
    assert on["out_status"] == "on" and on["work_mode"] == "remote"
    assert on["voltage_real"] <= CEILING_V + 0.05 and on["current_real"] <= CURRENT_A + 0.01
    assert drv.set_ouput_mode("off")
    assert drv.read_dev_status()["out_status"] == "off"

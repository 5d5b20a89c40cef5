"""Puts with completion while the supply misbehaves: the put completes, and the records say what happened."""

import pytest

pytest.importorskip("softioc")
pytest.importorskip("caproto")

from .helpers import MINOR, NO_ALARM, WRITE_ALARM, answering, wait_for  # noqa: E402

VOLTAGE = 0x23


@pytest.mark.parametrize("fault, held, message", [
    # the setting reached the supply but its acknowledgement did not come back: not confirmed
    ("no_reply", True, "request 2.000 V, read back no reply"),
    ("late", True, "request 2.000 V, read back no reply"),
    ("bad_checksum", True, "request 2.000 V, read back no reply"),
    # acknowledged and ignored: the read-back differs, the setpoint shows what the supply holds
    ("ignore", False, "request 2.000 V, read back 5.000 V DIFFERS"),
])
def test_put_with_completion_under_a_fault(paced, make_ioc, fault, held, message):
    supply = paced()
    _, ca = make_ioc(supply.port, "--max-voltage", "10", "--interval", "0.2")
    wait_for(lambda: answering(ca) and ca.alarm("VOLT:SP") == (NO_ALARM, 0), what="first reading")
    supply.inject(fault, count=1, command=VOLTAGE)
    ca.put("VOLT:SP", 2.0, timeout=60)                   # completes: never hangs on a lost reply
    assert (supply.state.snapshot()["voltage_set_mv"] == 2000) == held
    assert message in ca.value("MSG:FULL")
    assert ca.alarm("VOLT:SP") == (MINOR, WRITE_ALARM)     # until the next accepted put
    shown = 2.0 if held else 5.0
    wait_for(lambda: ca.value("VOLT:RBV") == pytest.approx(shown), what="the readback")
    wait_for(lambda: ca.value("VOLT:SP") == pytest.approx(shown), what="the setpoint to show the supply")
    ca.put("VOLT:SP", 3.0)
    assert ca.alarm("VOLT:SP") == (NO_ALARM, 0)
    assert ca.value("VOLT:RBV") == pytest.approx(3.0)

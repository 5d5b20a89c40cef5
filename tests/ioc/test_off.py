"""OFF and ALL:OFF: the library's confirmed off, with lost replies and a supply that ignores it."""

import pytest

pytest.importorskip("softioc")
pytest.importorskip("caproto")

from .helpers import MAJOR, NO_ALARM, STATE_ALARM, Ca, answering, wait_for  # noqa: E402

OUTPUT = 0x21


def ignore_off(supply):
    """The supply acknowledges output-off and stays on (a relay that sticks)."""
    def hook(exchange):
        if exchange.request[2] == OUTPUT and exchange.request[3] == 0:
            supply.state.configure(output_on=True)
    supply.on_exchange = hook


def switched_on(ca, supply):
    ca.put("VOLT:SP", 1.0)
    ca.put("OUTP:SP", 1)
    assert supply.state.snapshot()["output_on"], (ca.value("MSG"), ca.alarm("OUTP:SP"))


@pytest.mark.parametrize("record", ["OFF", "OUTP:SP"])
@pytest.mark.parametrize("fault", [None, "reply to the off lost", "status reply lost"])
def test_off_is_confirmed_despite_a_lost_reply(paced, make_ioc, record, fault):
    supply = paced()
    _, ca = make_ioc(supply.port, "--interval", "0.2")
    wait_for(lambda: answering(ca), what="first reading")
    switched_on(ca, supply)
    if fault == "reply to the off lost":
        supply.inject("no_reply", count=1, command=OUTPUT)
    elif fault == "status reply lost":
        supply.inject("no_reply", count=1, command=0x26)
    ca.put(record, 0 if record == "OUTP:SP" else 1)
    assert not supply.state.snapshot()["output_on"]
    assert ca.value("MSG") == "output off (confirmed)"
    assert ca.value("OUTP:RBV") == 0
    assert ca.alarm("OUTP:RBV") == (NO_ALARM, 0)
    assert ca.value("OUTP:SP") == 0
    assert ca.value("OFF") == 0


def test_unconfirmed_off_is_major_and_says_so(paced, make_ioc):
    supply = paced()
    _, ca = make_ioc(supply.port, "--interval", "0.2")
    wait_for(lambda: answering(ca), what="first reading")
    switched_on(ca, supply)
    ignore_off(supply)
    ca.put("OFF", 1)
    assert ca.value("MSG").startswith("OUTPUT MAY STILL BE ON")
    assert ca.alarm("OUTP:RBV") == (MAJOR, STATE_ALARM)
    assert ca.value("OUTP:RBV") == 1
    # later readings keep it MAJOR while the output shows on ...
    ca.read("OUTP:RBV")
    wait_for(lambda: ca.alarm("OUTP:RBV") == (MAJOR, STATE_ALARM), what="still major")
    # ... and a confirmed off clears it
    supply.on_exchange = None
    ca.put("OFF", 1)
    assert ca.value("MSG") == "output off (confirmed)"
    assert ca.alarm("OUTP:RBV") == (NO_ALARM, 0)


def test_silent_supply_off_not_confirmed(paced, make_ioc):
    supply = paced()
    _, ca = make_ioc(supply.port, "--interval", "0.2")
    wait_for(lambda: answering(ca), what="first reading")
    switched_on(ca, supply)
    supply.inject("no_reply", count=None)
    ca.put("OFF", 1, timeout=60)
    assert ca.value("MSG:FULL").startswith("OUTPUT MAY STILL BE ON: output-off not confirmed after 3 tries")
    assert ca.value("MSG") == ca.value("MSG:FULL")[:36] + "..."
    assert ca.alarm("OUTP:RBV")[0] >= MAJOR


def test_all_off_switches_every_supply_off(paced, make_ioc):
    supplies = [paced(serial_number=sn) for sn in ("076787041", "076787042")]
    ioc, _ = make_ioc(*(s.port for s in supplies), "--interval", "0.2", expect=2)
    cas = ioc.cas
    for ca, supply in zip(cas, supplies):
        wait_for(lambda: answering(ca), what="first reading")
        switched_on(ca, supply)
    supplies[1].inject("no_reply", count=1, command=OUTPUT)

    Ca(ioc.prefix).put("ALL:OFF", 1)
    for ca, supply in zip(cas, supplies):
        assert not supply.state.snapshot()["output_on"]
        assert ca.value("MSG") == "output off (confirmed)"
        assert ca.value("OUTP:RBV") == 0
    assert Ca(ioc.prefix).value("ALL:OFF") == 0

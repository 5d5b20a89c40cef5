"""The confirmed off under faults: off frame first, 3 tries, remote control before a retry under
local control, nothing else of a request unless the off is confirmed, the guard never shortened."""
import pytest

from .helpers import CURRENT, IDENTITY, OUTPUT, STATUS, VOLTAGE, WORK_MODE, set_state

pytestmark = pytest.mark.bench


def frames(supply):
    """(word, byte 3) of each request: enough to tell output off from on, remote from local."""
    return [(r[2], r[3]) for r in supply.requests]


OFF, READ, REMOTE, LOCAL = (OUTPUT, 0), (STATUS, 0), (WORK_MODE, 1), (WORK_MODE, 0)


def ignoring(supply, ignores):
    """Make the virtual supply acknowledge output-off and keep the output on while ``ignores()``
    says so (the reply goes out after this hook, so the following status read shows it on)."""
    stamps = supply.stamps

    def hook(exchange):
        stamps.append((__import__("time").monotonic(), exchange))
        if exchange.request[2] == OUTPUT and exchange.request[3] == 0 and ignores():
            supply.state.configure(output_on=True)
    supply.on_exchange = hook


@pytest.fixture
def bench(supply):
    from zq4180_bench import open_supply
    with open_supply(supply.port, safe_end="never") as bench:
        set_state(supply, volts=3, output=True, remote=True)
        supply.wait_idle()
        supply.clear_log()
        yield bench


# fault (kind, command word, count); the frames of the off path; confirmed
LOST_REPLIES = [
    (None, [OFF, READ], True),
    (("no_reply", OUTPUT, 1), [OFF, READ], True),                      # acknowledgement lost, the off took
    (("no_reply", STATUS, 1), [OFF, READ, OFF, READ], True),
    (("no_reply", STATUS, 2), [OFF, READ] * 3, True),
    (("no_reply", STATUS, 3), [OFF, READ] * 3, False),
    (("no_reply", None, 6), [OFF, READ] * 3, False),
    (("late", STATUS, 1), [OFF, READ, OFF, READ], True),
    (("bad_checksum", STATUS, 1), [OFF, READ, OFF, READ], True),
]


@pytest.mark.parametrize("fault, expected, confirmed", LOST_REPLIES, ids=lambda v: str(v))
def test_switch_off_through_one_lost_reply_to_each_step(supply, bench, fault, expected, confirmed):
    if fault:
        kind, word, count = fault
        supply.inject(kind, count=count, command=word)
    result = bench.switch_off()
    supply.wait_idle()
    assert frames(supply) == expected
    assert result.confirmed is confirmed
    assert not (confirmed and supply.state.output_on)
    if confirmed:
        assert result.message() == "output off (confirmed)" and result.reading.output == "off"
    else:
        assert result.message().startswith("OUTPUT MAY STILL BE ON: output-off not confirmed after 3 tries (")
        assert "no reply" in result.message() and "last reading: " in result.message()


def test_a_port_lost_at_the_off_frame_is_reopened_for_it(supply, bench):
    supply.inject("unplug", command=OUTPUT, replug_after=0.2)
    set_state(supply, output=True)
    result = bench.switch_off()
    assert result.confirmed and not supply.state.output_on
    words = [w for w, _ in frames(supply)]
    assert words[0] == OUTPUT and words[-3:] == [IDENTITY, OUTPUT, STATUS]


def test_the_guard_is_waited_out_from_when_the_exchange_gave_up(supply, bench):
    """A late acknowledgement must never pass for the confirming status read."""
    supply.inject("late", command=OUTPUT, delay=0.45)
    result = bench.switch_off()
    assert result.confirmed
    stamps = supply.stamps
    first = next(i for i, (_, e) in enumerate(stamps) if e.fault == "late")
    gap = stamps[first + 1][0] - stamps[first][0]
    assert gap >= 0.6 + 0.2, gap        # the exchange gave up after its own wait, then 0.6 s more


def test_a_supply_that_acknowledges_output_off_and_ignores_it(supply, bench):
    from zq4180_bench import OffNotConfirmed
    ignoring(supply, lambda: True)
    with pytest.raises(OffNotConfirmed) as caught:
        bench.apply(output="off", voltage=1, current=0.1)
    supply.wait_idle()
    assert frames(supply) == [OFF, READ] * 3                  # nothing else of the request
    result = caught.value.result
    assert not result.confirmed and result.reading.output == "on"
    assert str(caught.value) == result.message()
    assert result.message().startswith(
        "OUTPUT MAY STILL BE ON: output-off not confirmed after 3 tries "
        "(the supply acknowledged output-off but reports the output still on); last reading: ")
    assert "output on" in result.message()


def test_local_control_gets_remote_control_before_the_next_try(supply, bench):
    set_state(supply, remote=False)
    ignoring(supply, lambda: not supply.state.remote)
    result = bench.switch_off()
    supply.wait_idle()
    assert result.confirmed and not supply.state.output_on
    assert frames(supply) == [OFF, READ, REMOTE, OFF, READ]


# the request; what follows the confirmed off on the wire (after its status read)
OFF_FIRST = [
    ({"output": "off"}, []),
    ({"output": "off", "voltage": 2, "current": 0.5}, [REMOTE, (CURRENT, 0xF4), (VOLTAGE, 0xD0)]),
    ({"output": "off", "mode": "local"}, [LOCAL]),
]


@pytest.mark.parametrize("request_, after", OFF_FIRST)
def test_apply_switches_off_first_then_the_rest(supply, bench, request_, after):
    outcomes = bench.apply(**request_)
    supply.wait_idle()
    sent = frames(supply)
    assert sent[:2] == [OFF, READ]                            # before any other read or mode change
    settings = [f for f in sent[2:] if f[0] != STATUS]
    assert settings == after
    assert outcomes[0].name == "output" and outcomes[0].ok
    assert all(o.ok for o in outcomes)


def test_apply_off_through_a_lost_reply_then_the_settings(supply, bench):
    supply.inject("no_reply", command=STATUS)
    outcomes = bench.apply(output="off", voltage=1)
    assert not supply.state.output_on and supply.state.voltage_set_mv == 1000
    assert frames(supply)[:4] == [OFF, READ, OFF, READ] and [o.ok for o in outcomes] == [True, True]


def test_the_safe_end_is_the_off_path_then_local_control(supply, bench):
    ignoring(supply, lambda: True)
    result = bench.safe_end()
    supply.wait_idle()
    assert not result.confirmed and result.local
    assert frames(supply) == [OFF, READ] * 3 + [LOCAL]
    assert "the supply acknowledged output-off but reports the output still on" in result.message()

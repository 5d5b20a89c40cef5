"""Limits hold for the whole state the output is left in, and on every setpoint frame."""
import math
import time

import pytest

from .helpers import CURRENT, OUTPUT, READS, STATUS, VOLTAGE, set_state, words

pytestmark = pytest.mark.bench

V10, A1 = {"max_voltage": 10}, {"max_current": 1}

# standing state (volts, ceiling, amps, on); limits; the request; refused as (setting, fix) or None
WHOLE_STATE = [
    ((3, 30, 2, True), A1, {"voltage": 3}, ("current", 1.0)),            # standing current limit, output on
    ((12, 30, 0.5, True), V10, {"current": 0.5}, ("voltage", 10.0)),      # standing voltage, output on
    ((3, 30, 2, False), A1, {"output": "on"}, ("current", 1.0)),          # switched on at standing values
    ((12, 30, 0.5, False), V10, {"output": "on", "current": 0.2}, ("voltage", 10.0)),
    ((12, 8, 0.5, True), V10, {"current": 0.5}, None),                    # the ceiling keeps the output at 8 V
    ((12, 30, 0.5, True), V10, {"ceiling": 9}, None),                     # delivered: min(12, 9)
    ((12, 30, 0.5, True), V10, {"voltage": 9}, None),
    ((3, 30, 2, True), A1, {"current": 0.5, "voltage": 4}, None),         # the request fixes it
    ((3, 30, 2, False), A1, {"voltage": 3}, None),                        # stays off: standing values wait
    ((3, 30, 2, True), A1, {"output": "off"}, None),                      # switching off is never refused
    ((3, 30, 2, True), A1, {"output": "off", "voltage": 2}, None),
    ((3, 30, 2, True), A1, {"mode": "local"}, None),                      # nor is a mode change
    ((3, 30, 2, True), A1, {}, None),                                     # nor a read
    ((2, 30, 0.5, True), V10, {"ceiling": 11}, ("ceiling", None)),        # the request itself asks too much
    ((2, 30, 0.5, True), A1, {"current": 1.001}, ("current", None)),
]


@pytest.mark.parametrize("standing, limits, request_, refused", WHOLE_STATE)
def test_the_whole_state_left_on_is_within_the_limits(supply, standing, limits, request_, refused):
    from zq4180_bench import LimitError, Limits, open_supply
    volts, ceiling, amps, on = standing
    with open_supply(supply.port, limits=Limits.of(**limits), safe_end="never") as bench:
        set_state(supply, volts=volts, ceiling=ceiling, amps=amps, output=on, remote=True)
        held = bench.read()
        checked = dict(request_)
        checked.pop("mode", None)
        supply.clear_log()
        if refused is None:
            bench.check_request(state=held, **checked)            # front ends refuse exactly as apply does
            outcomes = bench.apply(**request_)
            assert all(o.ok for o in outcomes), [o.text() for o in outcomes]
            return
        with pytest.raises(LimitError) as by_check:
            bench.check_request(state=held, **checked)
        with pytest.raises(LimitError) as by_apply:
            bench.apply(**request_)
    assert (by_apply.value.setting, by_apply.value.fix) == refused
    assert (by_check.value.setting, by_check.value.fix) == refused
    assert set(words(supply)) <= set(READS)                        # nothing sent
    assert supply.state.output_on is on
    if refused[1] is not None:
        assert "standing" in str(by_apply.value) and "is over the limit" in str(by_apply.value)


def test_a_refusal_names_the_standing_value_and_its_source(supply):
    from zq4180_bench import LimitError, Limits, open_supply
    with open_supply(supply.port, limits=Limits.of(max_current=1), safe_end="never") as bench:
        set_state(supply, volts=3, amps=2, output=True)
        with pytest.raises(LimitError) as caught:
            bench.apply(voltage=3)
    assert str(caught.value) == ("with the output on: standing current limit 2.000 A is over the limit "
                                 "1.000 A (from --max-current)")


def ignore(supply, word):
    """The virtual supply acknowledges ``word`` frames and keeps its old setting."""
    field = {CURRENT: "current_limit_ma", VOLTAGE: "voltage_set_mv"}[word]
    old = getattr(supply.state, field)
    stamps = supply.stamps

    def hook(exchange):
        stamps.append((time.monotonic(), exchange))
        if exchange.request[2] == word:
            supply.state.configure(**{field: old})
    supply.on_exchange = hook


# limits; what is ignored; the request; the setting named
NOT_TAKEN = [
    (A1, CURRENT, {"current": 0.5, "voltage": 1, "output": "on"}, "current"),   # would switch on at 2 A
    ({}, CURRENT, {"current": 0.5, "output": "on"}, "current"),                 # no limit: still not taken
    (V10, VOLTAGE, {"voltage": 5, "output": "on"}, "voltage"),
]


@pytest.mark.parametrize("limits, word, request_, setting", NOT_TAKEN)
def test_a_setting_acknowledged_and_ignored_is_caught_before_switching_on(supply, limits, word, request_, setting):
    from zq4180_bench import Limits, SettingNotTaken, open_supply
    set_state(supply, volts=8, amps=2, output=False, remote=True)
    with open_supply(supply.port, limits=Limits.of(**limits), safe_end="never") as bench:
        ignore(supply, word)
        with pytest.raises(SettingNotTaken) as caught:
            bench.apply(**request_)
    assert caught.value.setting == setting and "not switched on" in str(caught.value)
    assert not supply.state.output_on and OUTPUT not in words(supply)
    assert words(supply)[-1] == STATUS                              # the status read that showed it


def test_a_standing_value_raised_from_the_front_panel_is_caught_before_switching_on(supply):
    """Between the caller's reading and the output-on frame, the current limit went up."""
    from zq4180_bench import Limits, SettingNotTaken, open_supply
    set_state(supply, volts=1, amps=0.5, output=False, remote=True)
    with open_supply(supply.port, limits=Limits.of(max_current=1), safe_end="never") as bench:
        held = bench.read()
        set_state(supply, amps=3)
        with pytest.raises(SettingNotTaken) as caught:
            bench.apply(voltage=2, output="on", before=held)
    assert caught.value.setting == "current" and "over the limit 1.000 A" in str(caught.value)
    assert not supply.state.output_on


# method; the float handed to the driver; refused with a 5 V / 1 A limit
FRAMES = [
    ("set_out_voltage", 5.0005, False),       # the driver truncates: 5000 mV
    ("set_out_voltage", 5.001, True),
    ("set_voltage_max", 5.0019, True),
    ("set_voltage_max", 4.9, False),
    ("set_out_current", 1.0009, False),       # 1000 mA
    ("set_out_current", 1.2, True),
    ("set_out_current", 1e300, True),
]


@pytest.mark.parametrize("method, value, refused", FRAMES)
def test_call_refuses_any_setpoint_frame_over_a_limit(supply, method, value, refused):
    from zq4180_bench import LimitError, Limits, open_supply
    with open_supply(supply.port, limits=Limits.of(max_voltage=5, max_current=1), safe_end="never") as bench:
        supply.clear_log()
        if refused:
            with pytest.raises(LimitError):
                bench.call(method, value)
            assert supply.requests == []
        else:
            assert bench.call(method, value)


@pytest.mark.parametrize("value", [math.nan, -math.nan, math.inf, -math.inf, -0.001, -1, 4294967.296, 1e308,
                                   "5", True])
@pytest.mark.parametrize("which", ["max_voltage", "max_current"])
def test_a_limit_is_a_finite_non_negative_number_that_fits_the_wire(value, which):
    from zq4180_bench import Limits
    with pytest.raises(ValueError):
        Limits.of(**{which: value})


@pytest.mark.parametrize("value, volts", [(0, 0.0), (4294967.295, 4294967.295), (5, 5.0), (0.0005, 0.0)])
def test_limits_that_hold(value, volts):
    from zq4180_bench import LimitError, Limits
    limits = Limits.of(max_voltage=value)
    assert limits.voltage.value == value and limits.voltage.fix == volts
    with pytest.raises(LimitError):
        limits.check(voltage=volts + 0.001)


# standing (volts, ceiling, amps); limits; a fault before the switch-on; what output("on") raises
OUTPUT_ON = [
    ((5, 30, 0.5), V10, None, None),
    ((12, 30, 0.5), V10, None, "LimitError"),                 # standing voltage over the limit
    ((5, 30, 2), A1, None, "LimitError"),                     # standing current limit over the limit
    ((12, 8, 0.5), V10, None, None),                          # the ceiling keeps it at 8 V
    ((5, 30, 0.5), V10, ("no_reply", STATUS, 2), "NoReply"),  # no status read before the output-on frame
]


@pytest.mark.parametrize("standing, limits, fault, raised", OUTPUT_ON)
def test_output_on_is_the_checked_switch_on(supply, standing, limits, fault, raised):
    from zq4180_bench import Limits, open_supply
    volts, ceiling, amps = standing
    with open_supply(supply.port, limits=Limits.of(**limits), safe_end="never") as bench:
        set_state(supply, volts=volts, ceiling=ceiling, amps=amps, output=False, remote=True)
        supply.clear_log()
        if fault:
            kind, word, count = fault
            supply.inject(kind, count=count, command=word)
        if raised is None:
            bench.output("on")
        else:
            with pytest.raises(Exception) as caught:
                bench.output("on")
            assert type(caught.value).__name__ == raised
    supply.wait_idle()
    sent = [(r[2], r[3]) for r in supply.requests]
    assert supply.state.output_on is (raised is None)
    assert ((OUTPUT, 1) in sent) is (raised is None)
    if raised is None:
        assert sent.index((OUTPUT, 1)) > max(i for i, (w, _) in enumerate(sent[:sent.index((OUTPUT, 1))])
                                            if w == STATUS) >= 0

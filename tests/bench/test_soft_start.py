"""Ramps under the limits: a soft start in a sequence, a supply standing over the limit, a stop
between exchanges, and readings while a slow ramp waits."""
import csv
import threading

import pytest

from .helpers import CURRENT, OUTPUT, STATUS, VOLTAGE, WORK_MODE, set_state, settings

pytestmark = pytest.mark.bench


def rows_of(path):
    return list(csv.DictReader(line for line in path.read_text().splitlines() if not line.startswith("#")))


# sequence rows; whether the row's ramp starts with the output on at 0 V
SOFT = [
    ("0.5,0.2,0.2,on,2\n", True),                              # off -> on, ramped: a soft start
    ("0.3,0.2,0.1,on\n0.5,0.2,0.2,on,2\n", False),             # already on: ramped from where it is
    ("0.5,0.2,0.2,off,2\n", False),                            # ramped with the output off, stays off
]


@pytest.mark.parametrize("rows, soft", SOFT)
def test_a_ramped_row_that_switches_on_is_a_soft_start(cli, supply, isolated, rows, soft):
    set_state(supply, volts=4, ceiling=30, output=False)
    path = isolated / "seq.csv"
    path.write_text("voltage,current,seconds,output,ramp\n" + rows)
    log = isolated / "log.csv"
    status, _, err = cli("run", supply.port, path, "--interval", "0.1", "--log", log)
    assert status == 0, err
    sent = settings(supply)
    if soft:
        on = sent.index((OUTPUT, 1))
        assert sent[:on] == [(WORK_MODE, 1), (CURRENT, 200), (VOLTAGE, 0)]     # 0 V before switching on
        ramp = [v for w, v in sent[on + 1:] if w == VOLTAGE]
        assert ramp == [100, 200, 300, 400, 500]                               # then up, with the output on
        assert [r[2] for r in supply.requests].count(STATUS) >= 2              # checked before the on frame
        during = [r for r in rows_of(log) if r["output"] == "on" and 0 < float(r["voltage_set_V"]) < 0.5]
        assert during, "readings are logged during the ramp"
    else:
        volts = [v for w, v in sent if w == VOLTAGE]
        assert 0 not in volts and volts[-1] == 500
    assert not supply.state.output_on


# limit, standing voltage, target; the voltage frames expected
ABOVE = [
    (12, 20, 10, [12000] + list(range(11900, 9999, -100))),
    (12, 20, 12, [12000]),                                      # the target is the limit: one step
    (12.0004, 20, 11.95, [12000, 11950]),                       # the limit in whole millivolts
    (12, 11, 10, list(range(10900, 9999, -100))),               # under the limit: an ordinary ramp
]


@pytest.mark.parametrize("limit, standing, target, frames", ABOVE)
def test_a_ramp_from_above_the_limit_steps_straight_down_to_it(cli, supply, limit, standing, target, frames):
    set_state(supply, volts=standing, ceiling=30, output=True, remote=True)
    status, out, err = cli("--max-voltage", limit, "ramp", supply.port, "--to", target, "--rate", "1000")
    assert status == 0, err
    sent = [v for w, v in settings(supply) if w == VOLTAGE]
    assert sent == frames
    assert max(sent) <= round(limit * 1000)
    said = "first step straight down to 12.000 V" in err
    assert said == (standing > limit)
    assert supply.state.output_on and supply.state.voltage_set_mv == round(target * 1000)


def open_bench(supply, **limits):
    from zq4180_bench import Limits, open_supply
    return open_supply(supply.port, limits=Limits.of(**limits), safe_end="never")


def test_a_ramp_stops_between_exchanges_when_its_supply_is_cancelled(supply):
    from zq4180_bench import RampStopped, ramp
    set_state(supply, volts=0, ceiling=30, output=True, remote=True)
    with open_bench(supply) as bench:
        steps = []

        def on_step(k, n, volts):
            steps.append(volts)
            if k == 3:
                bench.cancel.set()       # as the worker's off does, from another thread or here
        with pytest.raises(RampStopped, match="ramp stopped at 0.300 V"):
            ramp(bench, 2, rate=100, on_step=on_step)
    assert steps == [0.1, 0.2, 0.3] and supply.state.voltage_set_mv == 300


@pytest.mark.parametrize("interval, least", [(0.2, 4), (None, 1)])
def test_a_slow_ramp_reads_at_least_once_per_interval_while_it_waits(supply, interval, least):
    from zq4180_bench import ramp
    set_state(supply, volts=0, ceiling=30, output=True, remote=True)
    readings = []
    with open_bench(supply) as bench:
        ramp(bench, 0.2, step=0.1, dwell=1.2, interval=interval, every_step=False, on_reading=readings.append)
    # a wait of 1.2 s between two steps leaves no reading but the read-back without the interval
    assert len(readings) >= least
    assert readings[-1].voltage_set_V == 0.2


def test_a_cancel_ends_a_long_wait_at_once(supply):
    import time
    from zq4180_bench import RampStopped, ramp
    set_state(supply, volts=0, ceiling=30, output=True, remote=True)
    with open_bench(supply) as bench:
        timer = threading.Timer(0.3, bench.cancel.set)
        timer.start()
        t = time.monotonic()
        with pytest.raises(RampStopped):
            ramp(bench, 1, step=0.1, dwell=30)
        assert time.monotonic() - t < 10      # not the 30 s dwell
    assert supply.state.voltage_set_mv == 100

"""A signal during an exchange is acted on right after it: the exchange is never cut, so no
late-reply guard follows it; inside the safe end it is only recorded."""
import os
import signal
import time

import pytest

from .helpers import OUTPUT, STATUS, VOLTAGE, WORK_MODE, set_state

pytestmark = pytest.mark.bench


def kill_on(supply, word, signum):
    """Send ``signum`` to this process when the supply takes a ``word`` request (mid-exchange)."""
    stamps, sent = supply.stamps, []

    def hook(exchange):
        stamps.append((time.monotonic(), exchange))
        if exchange.request[2] == word and not sent:
            sent.append(os.kill(os.getpid(), signum))
    supply.on_exchange = hook
    return sent


@pytest.mark.parametrize("method, args, word", [
    ("set_out_voltage", (1.0005,), VOLTAGE),
    ("read_dev_status", (), STATUS),
    ("set_ouput_mode", ("on",), OUTPUT),
])
def test_ctrl_c_during_an_exchange_lets_it_finish(make_supply, method, args, word):
    from zq4180_bench import open_supply
    signal.signal(signal.SIGINT, signal.default_int_handler)
    supply = make_supply(pacing=True)                 # real line timing: the signal lands mid-exchange
    with open_supply(supply.port, safe_end="never") as bench:
        sent = kill_on(supply, word, signal.SIGINT)
        with pytest.raises(KeyboardInterrupt):
            bench.call(method, *args)
        assert sent
        ended = time.monotonic()
        assert bench._quiet_until < ended             # answered: nothing to wait out
        assert bench.read().ok                        # the line is in step: the next answer is its own
    if word == VOLTAGE:
        assert supply.state.voltage_set_mv == 1000


def test_signals_during_the_safe_end_are_recorded_and_it_runs_to_its_end(make_supply):
    from zq4180_bench import open_supply
    signal.signal(signal.SIGINT, signal.default_int_handler)
    supply = make_supply(pacing=True)
    with open_supply(supply.port, safe_end="never") as bench:
        set_state(supply, volts=2, output=True, remote=True)
        kill_on(supply, OUTPUT, signal.SIGINT)
        supply.clear_log()
        result = bench.safe_end()
    assert result.confirmed and result.local and result.signals == (signal.SIGINT,)
    assert [(r[2], r[3]) for r in supply.requests] == [(OUTPUT, 0), (STATUS, 0), (WORK_MODE, 0)]


OFF, READ = (OUTPUT, 0), (STATUS, 0)


# the supply ignores output-off; what the request ends with; the frames it sent
@pytest.mark.parametrize("ignores, raised, frames", [
    (False, KeyboardInterrupt, [OFF, READ, OFF, READ]),       # the off ran to its confirmation, then Ctrl-C
    (True, "OffNotConfirmed", [OFF, READ] * 3),               # unconfirmed: that is what is reported
])
@pytest.mark.parametrize("request_off", ["apply", "output"])
def test_ctrl_c_during_an_off_request_lets_the_off_run_to_its_end(make_supply, ignores, raised, frames,
                                                                  request_off):
    from zq4180_bench import OffNotConfirmed, open_supply
    signal.signal(signal.SIGINT, signal.default_int_handler)
    supply = make_supply(pacing=True)
    with open_supply(supply.port, safe_end="never") as bench:
        set_state(supply, volts=2, output=True, remote=True)
        supply.wait_idle()
        supply.clear_log()
        supply.inject("no_reply", count=1, command=STATUS)   # the first confirmation is lost
        stamps, sent = supply.stamps, []

        def hook(exchange):
            stamps.append((time.monotonic(), exchange))
            if exchange.request[2] == OUTPUT and ignores:
                supply.state.configure(output_on=True)
            if exchange.request[2] == STATUS and not sent:
                sent.append(os.kill(os.getpid(), signal.SIGINT))
        supply.on_exchange = hook
        expected = OffNotConfirmed if raised == "OffNotConfirmed" else raised
        with pytest.raises(expected):
            bench.apply(output="off") if request_off == "apply" else bench.output("off")
    supply.wait_idle()
    assert sent and [(r[2], r[3]) for r in supply.requests] == frames
    assert supply.state.output_on is ignores

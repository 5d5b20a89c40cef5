"""Signals held back during an exchange (signals.deferred), in this process."""
import os
import signal
import threading

import pytest

from zq4180_bench import signals


@pytest.fixture
def handlers():
    signals.install()


def _send(sig):
    os.kill(os.getpid(), sig)


@pytest.mark.parametrize("sig, raised", [
    (signal.SIGINT, KeyboardInterrupt), (signal.SIGTERM, signals.Terminated), (signal.SIGHUP, signals.Terminated),
])
def test_a_signal_inside_the_block_is_raised_once_it_is_over(handlers, sig, raised):
    steps = []
    with pytest.raises(raised) as info:
        with signals.deferred():
            _send(sig)
            steps.append("after the signal")   # the block goes on to its end
            _send(signal.SIGINT)                # later ones are not raised in place of the first
            steps.append("end")
    assert steps == ["after the signal", "end"]
    assert signals.exit_status(info.value) == 128 + sig


def test_the_first_signal_wins_and_an_error_in_the_block_does_not_hide_it(handlers):
    with pytest.raises(signals.Terminated) as info:
        with signals.deferred():
            _send(signal.SIGTERM)
            raise OSError("port gone")
    assert isinstance(info.value.__context__, OSError)


def test_nothing_held_back_means_nothing_raised_and_handlers_restored(handlers):
    before = {s: signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    with signals.deferred():
        pass
    assert {s: signal.getsignal(s) for s in before} == before
    with pytest.raises(KeyboardInterrupt):   # and a signal after the block acts at once
        _send(signal.SIGINT)


@pytest.mark.parametrize("outer", ["shielded", "deferred"])
def test_nested_blocks_leave_the_signal_to_the_outer_one(handlers, outer):
    if outer == "shielded":
        with signals.shielded() as seen:
            with signals.deferred():
                _send(signal.SIGHUP)
            with signals.deferred():
                _send(signal.SIGINT)
        assert seen == [signal.SIGHUP, signal.SIGINT]
    else:
        with pytest.raises(signals.Terminated):
            with signals.deferred():
                with signals.deferred():
                    _send(signal.SIGTERM)
                inner_done = True
        assert inner_done


def test_outside_the_main_thread_nothing_changes(handlers):
    result = []

    def work():
        with signals.deferred():
            result.append(signal.getsignal(signal.SIGINT))
    t = threading.Thread(target=work)
    t.start()
    t.join()
    assert result == [signal.default_int_handler]


def test_a_programs_own_handler_gets_the_signal_and_an_ignored_one_stays_ignored(handlers):
    got = []
    signal.signal(signal.SIGTERM, lambda signum, frame: got.append(signum))
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    with signals.deferred():
        _send(signal.SIGTERM)
        _send(signal.SIGHUP)
        assert got == []
    assert got == [signal.SIGTERM]
    assert signal.getsignal(signal.SIGHUP) == signal.SIG_IGN

"""Ctrl-C in the middle of a poll or of a wait for the object's lock."""
import _thread
import threading
import time
import types

import pytest

import zq4180

from .helpers import expected_status

pytestmark = pytest.mark.stress


def in_thread(fn):
    """fn() on another thread, started now; .join() returns its result or raises."""
    box = {}

    def run():
        try:
            box["result"] = fn()
        except BaseException as exc:
            box["error"] = exc

    worker = threading.Thread(target=run, daemon=True)
    worker.start()

    def join(timeout=10.0):
        worker.join(timeout)
        assert not worker.is_alive(), "the call is stuck: the lock stayed taken"
        if "error" in box:
            raise box["error"]
        return box["result"]
    worker.join_result = join
    return worker


def interrupt_in(seconds):
    timer = threading.Timer(seconds, _thread.interrupt_main)
    timer.start()
    return timer


def usable_from_another_thread_then_here(supply, driver):
    assert in_thread(driver.read_dev_status).join_result() == expected_status(supply)
    assert driver.read_dev_status() == expected_status(supply)


def test_ctrl_c_during_a_poll(supply, driver):
    supply.inject("no_reply", count=None)
    sent = len(supply.requests)
    with pytest.raises(KeyboardInterrupt):
        interrupt_in(0.05)
        for _ in range(100):    # each silent call polls for ~0.3 s; the first one is hit
            driver.read_dev_status()
    assert len(supply.requests) == sent + 1
    supply.clear_faults()
    usable_from_another_thread_then_here(supply, driver)


def test_ctrl_c_while_waiting_for_the_lock(supply, driver, monkeypatch):
    # polls ten times as long, so the holder keeps the lock for ~3 s
    monkeypatch.setattr(zq4180, "time", types.SimpleNamespace(sleep=lambda s: time.sleep(10 * s)))
    supply.inject("no_reply")
    sent = len(supply.requests)
    holder = in_thread(driver.read_dev_status)
    while len(supply.requests) == sent:
        time.sleep(0.005)
    with pytest.raises(KeyboardInterrupt):
        interrupt_in(0.1)
        driver.read_dev_status()
    assert holder.is_alive()                 # it really was waiting for the lock
    assert len(supply.requests) == sent + 1  # and wrote nothing
    assert holder.join_result() is None
    monkeypatch.undo()
    usable_from_another_thread_then_here(supply, driver)

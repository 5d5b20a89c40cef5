"""Readings on a schedule (:class:`Poller`) and a thread that alone talks to a supply (:class:`Worker`)."""

from __future__ import annotations

import concurrent.futures
import queue
import threading
import time
from typing import Any, Callable, Iterator, TypeVar

from .readings import Event, Reading, changes
from .supply import Supply

T = TypeVar("T")


class Poller:
    """Readings on the deadlines ``start + k × interval`` (monotonic clock).

    A reading that starts after its deadline still gets its row, with
    ``late_ms``; none is skipped. ``interval == 0`` reads back to back, as fast
    as the line allows (then nothing is late). Stops after ``count`` readings
    or once ``duration`` seconds of deadlines have passed.
    """

    def __init__(self, supply: Supply, interval: float, *, count: int | None = None,
                 duration: float | None = None, start: float | None = None, skip_missed: bool = False) -> None:
        if interval < 0:
            raise ValueError("interval must be 0 or more seconds")
        self.supply = supply
        self.interval = float(interval)
        self.count = count
        self.duration = duration
        self.start = start
        self.skip_missed = skip_missed   # a live view skips slots it missed instead of catching up
        self.taken = 0

    def expected(self) -> int | None:
        """How many readings the schedule holds (None: until stopped, or unknown)."""
        if self.count is not None:
            return self.count
        if self.duration is not None and self.interval > 0:
            return max(1, int(-(-self.duration // self.interval)))
        return None

    def __iter__(self) -> Iterator[Reading]:
        t0 = time.monotonic() if self.start is None else self.start
        self.start = t0
        k = 0
        while self.count is None or self.taken < self.count:
            if self.interval > 0:
                if self.skip_missed:
                    k = max(k, int((time.monotonic() - t0) // self.interval))
                deadline = t0 + k * self.interval
                if self.duration is not None and k * self.interval >= self.duration - 1e-9:
                    return
                _sleep_until(deadline)
            elif self.duration is not None and time.monotonic() - t0 >= self.duration and self.taken:
                return
            called = time.monotonic()
            reading = self.supply.read(t0=t0)
            began = _began(self.supply, called)
            late = max(0.0, began - deadline) * 1000 if self.interval > 0 else 0.0
            k += 1
            self.taken += 1
            yield reading.replace(elapsed_s=round(began - t0, 3), late_ms=round(late, 1))


def _began(supply, called: float) -> float:
    """When a reading began: when its request could go out (after a guard wait
    or a reopen), as the supply noted it, and never before it was asked for."""
    started = getattr(supply, "read_started", 0.0) or 0.0
    return started if started >= called else called


def _sleep_until(deadline: float) -> None:
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return
        time.sleep(min(left, 0.25))


class Worker:
    """One thread that alone talks to one supply.

    It reads the status at the line's pace (or every ``interval`` seconds) and,
    between two reads, runs what :meth:`submit` queued. ``on_reading(reading)``
    and ``on_event(event)`` are called on the worker's thread. Callers never
    touch the supply themselves, so the number of observers never changes the
    port's traffic.
    """

    def __init__(self, supply: Supply, *, interval: float = 0.0,
                 on_reading: Callable[[Reading], None] | None = None,
                 on_event: Callable[[Event], None] | None = None, name: str | None = None) -> None:
        self.supply = supply
        self.interval = interval
        self.on_reading = on_reading
        self.on_event = on_event
        self.last: Reading | None = None
        self.last_ok: Reading | None = None
        self.busy: str | None = None              # what a queued job is doing, while it runs
        self._jobs: queue.Queue = queue.Queue()
        self._stop = threading.Event()
        self._wake = threading.Event()
        self._thread = threading.Thread(target=self._run, name=name or f"zq4180 {supply.port}", daemon=True)

    def start(self) -> "Worker":
        self._thread.start()
        return self

    def submit(self, fn: Callable[[Supply], T], label: str | None = None) -> "concurrent.futures.Future[T]":
        """Run ``fn(supply)`` on the worker's thread between two reads."""
        future: concurrent.futures.Future = concurrent.futures.Future()
        if self._stop.is_set():
            future.set_exception(RuntimeError("the worker has stopped"))
            return future
        self._jobs.put((fn, future, label))
        self._wake.set()
        return future

    def stop(self, timeout: float | None = 2.0) -> None:
        self._stop.set()
        self._wake.set()
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join(timeout)

    @property
    def alive(self) -> bool:
        return self._thread.is_alive()

    def _run(self) -> None:
        t0 = time.monotonic()
        while not self._stop.is_set():
            self._run_jobs()
            if self._stop.is_set():
                break
            called = time.monotonic()
            reading = self.supply.read(t0=t0)
            began = _began(self.supply, called)
            self.publish(reading)
            self._wake.clear()
            if self._jobs.empty():
                pause = self.interval - (time.monotonic() - began)
                if reading.status == "no_port":
                    pause = max(pause, 0.2)
                if pause > 0:
                    self._wake.wait(pause)
        # jobs left unrun get an answer, never a hang
        while True:
            try:
                _, future, _ = self._jobs.get_nowait()
            except queue.Empty:
                break
            future.cancel()

    def _run_jobs(self) -> None:
        while not self._stop.is_set():
            try:
                fn, future, label = self._jobs.get_nowait()
            except queue.Empty:
                return
            if not future.set_running_or_notify_cancel():
                continue
            self.busy = label
            try:
                future.set_result(fn(self.supply))
            except BaseException as exc:  # handed to the caller
                future.set_exception(exc)
            finally:
                self.busy = None

    def publish(self, reading: Reading) -> None:
        """Hand a reading to the observers (the worker's own, or one a job such as a ramp took)."""
        events = changes(self.last, reading, self.last_ok)
        self.last = reading
        if reading.ok:
            self.last_ok = reading
        for callback, items in ((self.on_reading, [reading]), (self.on_event, events)):
            if callback is None:
                continue
            for item in items:
                try:
                    callback(item)
                except Exception:
                    pass

"""A thread that alone talks to one supply: reads, queued jobs, and an off that jumps the queue."""

from __future__ import annotations

import collections
import concurrent.futures
import threading
import time
from typing import Any, Callable, TypeVar

from .off import OffResult, switch_off
from .readings import NO_PORT, OTHER_SUPPLY, Event, Reading, changes
from .supply import Supply

T = TypeVar("T")


class QueueFull(RuntimeError):
    """A worker already has its ``max_waiting`` jobs waiting; nothing was queued."""


class Publisher:
    """Readings handed to observers, with the events they make (a change of output, control,
    regulation, the port lost or back, another supply); an observer's error is its own."""

    def __init__(self, on_reading: Callable[[Reading], None] | None = None,
                 on_event: Callable[[Event], None] | None = None) -> None:
        self.on_reading = on_reading
        self.on_event = on_event
        self.last: Reading | None = None
        self.last_ok: Reading | None = None

    def publish(self, reading: Reading) -> None:
        """Hand a reading to the observers (the worker's own, or one a job took); the same
        reading handed twice counts once."""
        if reading is self.last:
            return
        events = changes(self.last, reading, self.last_ok)
        self.last = reading
        if reading.ok:
            self.last_ok = reading
        if self.on_reading is not None:
            _quietly(self.on_reading, reading)
        if self.on_event is not None:
            for event in events:
                _quietly(self.on_event, event)


class Worker(Publisher):
    """One thread that alone talks to one supply.

    It reads the status at the line's pace (or every ``interval`` seconds) and,
    between two reads, runs what :meth:`submit` queued, in order; at most
    ``max_waiting`` jobs wait (:class:`QueueFull` beyond). :meth:`off` is never
    refused or queued behind anything: it cancels the jobs that have not
    started, asks a running one to stop after its current exchange
    (``supply.cancel``) and runs the confirmed off next.

    ``on_reading(reading)`` and ``on_event(event)`` are called on the worker's
    thread, for its own reads and for every reading a job takes (a ramp's,
    a read-back), so readings keep flowing while a job runs as long as the job
    reads: a long procedure must read at least once per interval. Callers never
    touch the supply themselves, so the number of observers never changes the
    port's traffic.
    """

    def __init__(self, supply: Supply, *, interval: float = 0.0,
                 on_reading: Callable[[Reading], None] | None = None,
                 on_event: Callable[[Event], None] | None = None, name: str | None = None,
                 max_waiting: int = 8) -> None:
        if max_waiting < 1:
            raise ValueError("max_waiting must be 1 or more")
        super().__init__(on_reading, on_event)
        self.supply = supply
        self.interval = interval
        self.max_waiting = max_waiting
        self.busy: str | None = None              # what a queued job is doing, while it runs
        self._lock = threading.Lock()
        self._jobs: collections.deque = collections.deque()
        self._off: concurrent.futures.Future | None = None
        self._stop = threading.Event()
        self._wake = threading.Event()
        self._thread = threading.Thread(target=self._run, name=name or f"zq4180 {supply.port}", daemon=True)

    def start(self) -> "Worker":
        self._thread.start()
        return self

    def submit(self, fn: Callable[[Supply], T], label: str | None = None) -> "concurrent.futures.Future[T]":
        """Run ``fn(supply)`` on the worker's thread between two reads, after the jobs
        already queued. QueueFull at once, nothing queued, when ``max_waiting`` wait."""
        future: concurrent.futures.Future = concurrent.futures.Future()
        with self._lock:
            if self._stop.is_set():
                future.set_exception(RuntimeError("the worker has stopped"))
                return future
            if len(self._jobs) >= self.max_waiting:
                raise QueueFull(f"{self.supply.name or self.supply.port}: {len(self._jobs)} requests already "
                                f"wait; try again when they are done")
            self._jobs.append((fn, future, label))
        self._wake.set()
        return future

    def off(self) -> "concurrent.futures.Future[OffResult]":
        """Switch the output off next, confirmed: queued jobs that have not started are
        cancelled, a running one is asked to stop after its current exchange. Calls while
        an off is pending or running share its future, and cancel what was queued since
        (a setting queued meanwhile must not switch the output back on after it)."""
        with self._lock:
            cancelled, self._jobs = list(self._jobs), collections.deque()
            if self._off is not None and not self._off.done():
                future = self._off
            else:
                future = concurrent.futures.Future()
                self._off = future
                self.supply.cancel.set()
        for _, job, _ in cancelled:
            job.cancel()
        self._wake.set()
        if not self._thread.is_alive() and self._thread.ident is not None:
            # the thread has ended: nobody else holds the port now
            self._run_off()
        return future

    def stop(self, timeout: float | None = 2.0) -> None:
        """Stop after the running job (and a pending off); jobs not started are cancelled."""
        self._stop.set()
        self._wake.set()
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join(timeout)

    @property
    def alive(self) -> bool:
        return self._thread.is_alive()

    def _run(self) -> None:
        t0 = time.monotonic()
        try:
            while not self._stop.is_set():
                self._run_off()
                self._run_jobs()
                if self._stop.is_set() or self._off_pending():
                    continue
                called = time.monotonic()
                try:
                    reading: Reading | None = self.supply.read(t0=t0)
                except Exception:       # never expected; the worker must outlive it, an off may follow
                    reading = None
                began = max(getattr(self.supply, "read_started", 0.0) or 0.0, called)
                if reading is not None:
                    self.publish(reading)
                self._wake.clear()
                # a stop, a job or an off that came during the read was seen by now: no wait for them
                if not self._jobs and not self._off_pending() and not self._stop.is_set():
                    pause = self.interval - (time.monotonic() - began)
                    if reading is None or reading.status in (NO_PORT, OTHER_SUPPLY):
                        # one reading per reopen attempt, about one a second
                        next_reopen = getattr(self.supply, "_next_reopen", 0.0)
                        pause = max(pause, next_reopen - time.monotonic(), 0.05)
                    if pause > 0:
                        self._wake.wait(pause)
        finally:
            self._run_off()
            # jobs left unrun get an answer, never a hang
            with self._lock:
                left, self._jobs = list(self._jobs), collections.deque()
            for _, future, _ in left:
                future.cancel()

    def _off_pending(self) -> bool:
        off = self._off
        return off is not None and not off.done()

    def _run_off(self) -> None:
        with self._lock:
            future = self._off
        if future is None or future.done() or not future.set_running_or_notify_cancel():
            return
        self.supply.cancel.clear()       # what it stopped has ended
        self._execute(switch_off, future, "off")

    def _run_jobs(self) -> None:
        while not self._stop.is_set():
            with self._lock:
                if self._off_pending() or not self._jobs:
                    return
                fn, future, label = self._jobs.popleft()
            if future.set_running_or_notify_cancel():
                self._execute(fn, future, label)

    def _execute(self, fn: Callable[[Supply], Any], future: concurrent.futures.Future, label: str | None) -> None:
        """``fn(supply)`` into its (running) future, its readings handed to the observers."""
        self.busy = label
        self.supply.on_reading = self.publish
        try:
            future.set_result(fn(self.supply))
        except BaseException as exc:  # handed to the caller
            future.set_exception(exc)
        finally:
            self.supply.on_reading = None
            self.busy = None


def _quietly(callback: Callable[[Any], None], item: Any) -> None:
    """An observer's own error never stops the worker."""
    try:
        callback(item)
    except Exception:
        pass

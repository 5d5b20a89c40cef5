"""Waits between exchanges in the library's procedures (ramps, sweeps, sequences).

A wait ends at once when the procedure is asked to stop (its own ``stop``
event or the supply's ``cancel``, set by the worker's off) or when a signal
arrives (the sleep is interrupted by the handler's exception). During a long
wait the status is read at least once per ``interval``, so a panel or a log
keeps showing readings while a slow ramp holds between steps. The late-reply
guard is not such a wait: it lives in :class:`~.supply.Supply` and is never
shortened.
"""

from __future__ import annotations

import threading
import time
from typing import Callable

from .readings import Reading

READ_TIME = 0.15   # s a status read needs on the line, with margin
SLICE = 0.25       # s: the longest sleep between two looks at the clock and the stop events


class RampStopped(Exception):
    """A procedure was stopped from outside (its ``stop`` event, or the supply's ``cancel``)."""


class Pacer:
    """The waits of one procedure on one supply, and the readings taken during them."""

    def __init__(self, supply, what: str, *, stop: "threading.Event | None" = None, interval: float | None = None,
                 on_reading: Callable[[Reading], None] | None = None) -> None:
        self.supply = supply
        self.what = what
        self.events = [e for e in (stop, getattr(supply, "cancel", None)) if e is not None]
        self.interval = interval if interval is None or interval > 0 else None
        self.on_reading = on_reading
        self.readings: list[Reading] = []
        self.last_read = time.monotonic()

    @property
    def stopped(self) -> bool:
        return any(e.is_set() for e in self.events)

    def check(self, where: str) -> None:
        """RampStopped ("ramp stopped at 3.000 V") when a stop was asked for."""
        if self.stopped:
            raise RampStopped(f"{self.what} stopped at {where}")

    def read(self) -> Reading:
        """One status read, kept and handed to ``on_reading``."""
        reading = self.supply.read()
        self.last_read = time.monotonic()
        self.readings.append(reading)
        if self.on_reading is not None:
            self.on_reading(reading)
        return reading

    def read_if_due(self) -> Reading | None:
        """A status read when the last one is ``interval`` old (None otherwise)."""
        if self.interval is not None and time.monotonic() - self.last_read >= self.interval:
            return self.read()
        return None

    def wait_until(self, deadline: float, where: str) -> None:
        """Sleep until ``deadline``, reading the status whenever one is due and there is time for
        it; RampStopped as soon as a stop is asked for."""
        while True:
            self.check(where)
            now = time.monotonic()
            left = deadline - now
            if left <= 0:
                return
            if self.interval is not None:
                due = self.last_read + self.interval
                if due <= now and left >= READ_TIME:
                    self.read()
                    continue
                if due > now:
                    left = min(left, due - now)
            self._sleep(min(left, SLICE))

    def _sleep(self, seconds: float) -> None:
        if not self.events:
            time.sleep(seconds)
        elif len(self.events) == 1:
            self.events[0].wait(seconds)
        else:   # two events: look at both often
            end = time.monotonic() + seconds
            while not self.stopped and (left := end - time.monotonic()) > 0:
                self.events[-1].wait(min(left, 0.02))

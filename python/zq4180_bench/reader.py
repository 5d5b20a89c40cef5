"""Readings on a schedule (:class:`Poller`); the thread that alone talks to a supply is in :mod:`.worker`."""

from __future__ import annotations

import time
from typing import Iterator

from .connection import sleep_until
from .readings import Reading
from .supply import Supply


class Poller:
    """Readings on the deadlines ``start + k × interval`` (monotonic clock).

    A reading that starts after its deadline still gets its row, with
    ``late_ms``; none is skipped. ``interval == 0`` reads back to back, as fast
    as the line allows (then nothing is late; while the port is lost, one
    reading per reopen attempt, about one a second). Stops after ``count`` readings
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
                sleep_until(deadline)
            elif self.duration is not None and time.monotonic() - t0 >= self.duration and self.taken:
                return
            called = time.monotonic()
            # back to back through a lost port: one reading per reopen attempt, not a flood
            reading = (self.supply.read(t0=t0, wait_reopen=True) if self.interval == 0
                       else self.supply.read(t0=t0))
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


from .worker import QueueFull, Worker  # noqa: E402  (its former home)

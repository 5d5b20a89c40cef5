"""One supply as the SCPI connections see it: its one worker, fresh readings, settings as jobs.

Every exchange with the supply goes through the library's :class:`Worker`;
the asyncio side waits on the worker's futures. A fresh reading is the first
status read that begins after it was asked for: a query wakes the worker
(an empty job) and takes the read the worker makes next, so queries arriving
together from several connections share one exchange.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import threading
import time
from typing import Any, Callable

POLL_INTERVAL = 1.0       # s between the worker's own reads while nobody asks
MAX_CONNECTIONS = 32      # per supply
FRESH_WAIT = 3.0          # s before a fresh reading is asked for with a job of its own


class JobCancelled(Exception):
    """A job was cancelled before it ran: an output off went ahead of it."""


def observe(worker, callback: Callable[[Any], None]) -> None:
    """Add ``callback`` to a worker's reading observers, keeping the one it has."""
    previous = worker.on_reading

    def both(reading) -> None:
        if previous is not None:
            try:
                previous(reading)
            except Exception:
                pass
        callback(reading)
    worker.on_reading = both


class Station:
    """The SCPI side of one supply. ``worker``: a running worker another front end owns
    (the panel's), else one is made here (``start()`` starts it)."""

    def __init__(self, name: str, supply, *, read_only: bool = False, worker=None,
                 interval: float = POLL_INTERVAL) -> None:
        from zq4180_bench import Worker
        self.name = name
        self.supply = supply
        self.read_only = read_only
        self.connections = 0
        self.own_worker = worker is None
        self.interval = interval
        self._lock = threading.Lock()
        self._waiters: list[tuple[float, asyncio.AbstractEventLoop, asyncio.Future]] = []
        self.latest: tuple[Any, float] | None = None     # (reading, monotonic time its request could go out)
        self.changed_at = 0.0                            # when this station's last setting ended
        if worker is None:
            worker = Worker(supply, interval=interval, on_reading=self._on_reading, name=f"zq4180-scpi {name}",
                            max_waiting=2 * MAX_CONNECTIONS)
        else:
            observe(worker, self._on_reading)
        self.worker = worker

    def start(self) -> "Station":
        if self.own_worker:
            self.worker.start()
        return self

    # -- readings -------------------------------------------------------------------

    def _on_reading(self, reading) -> None:
        began = getattr(self.supply, "read_started", 0.0) or time.monotonic()
        with self._lock:
            self.latest = (reading, began)
            ready = [w for w in self._waiters if w[0] <= began]
            self._waiters = [w for w in self._waiters if w[0] > began]
        for _, loop, future in ready:
            try:
                loop.call_soon_threadsafe(_settle, future, reading)
            except RuntimeError:   # the loop has closed
                pass
        if self.own_worker:
            # several clients asking at once: read back to back, so that none waits for the next
            # request to wake the worker; one client (or none) leaves the port idle between its queries
            self.worker.interval = 0.0 if len(ready) >= 2 else self.interval

    async def fresh_reading(self):
        """A status read that began after this call (one exchange, shared with whoever waits too)."""
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        entry = (time.monotonic(), loop, future)
        with self._lock:
            self._waiters.append(entry)
        self._wake()
        try:
            return await asyncio.wait_for(asyncio.shield(future), FRESH_WAIT)
        except asyncio.TimeoutError:
            pass
        finally:
            with self._lock:
                if entry in self._waiters:
                    self._waiters.remove(entry)
        # the worker did not read on its own: a read as a job of its own
        return await self.run(self._read_job, "scpi read")

    def _read_job(self, supply):
        reading = supply.read()
        publish = getattr(self.worker, "publish", None)
        if publish is not None:
            publish(reading)
        return reading

    def _wake(self) -> None:
        try:
            self.worker.submit(lambda supply: None, "scpi wake")
        except Exception:  # a full queue or a stopped worker: the waiters time out into their own read
            pass

    def last(self):
        """The latest reading, no exchange (None before the first)."""
        return self.worker.last

    # -- jobs -----------------------------------------------------------------------------

    async def run(self, fn, label: str):
        """``fn(supply)`` on the worker, in turn; JobCancelled when an off went ahead of it."""
        return await wait(self.worker.submit(fn, label))

    async def apply(self, **request):
        """``Supply.apply`` on the worker; the supply's outcomes."""
        def job(supply):
            # switching on always starts from a status read of its own
            before = self._before() if self.own_worker and request.get("output") != "on" else None
            try:
                return supply.apply(before=before, **request)
            finally:
                self.changed_at = time.monotonic()
        return await self.run(job, "scpi " + ", ".join(f"{k} {v}" for k, v in request.items()))

    def _before(self):
        """The latest reading when nothing changed since it began (saves apply an exchange)."""
        latest = self.latest
        if latest is None:
            return None
        reading, began = latest
        return reading if reading.ok and began > self.changed_at else None

    async def off(self):
        """The confirmed off, ahead of queued work; it runs to its end even if nobody waits."""
        future = self.worker.off()
        future.add_done_callback(lambda f: setattr(self, "changed_at", time.monotonic()))
        return await asyncio.shield(asyncio.wrap_future(future))

    def stop(self) -> None:
        if self.own_worker:
            self.worker.stop(5.0)


def _settle(future: asyncio.Future, reading) -> None:
    if not future.done():
        future.set_result(reading)


async def wait(future: concurrent.futures.Future):
    """Await a worker's future; JobCancelled (not CancelledError) when the job itself was cancelled."""
    try:
        return await asyncio.wrap_future(future)
    except asyncio.CancelledError:
        task = asyncio.current_task()
        if future.cancelled() and (task is None or not task.cancelling()):
            raise JobCancelled() from None
        raise

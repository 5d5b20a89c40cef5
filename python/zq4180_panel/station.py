"""One supply on the panel: its library ``Worker``, its CSV log, and what the pages show.

Each :class:`Station` owns one open ``Supply`` and the ``Worker`` thread that alone talks
to it. Readings and events arrive on that thread; the station writes each reading to its
CSV log (the library's ``LogWriter``, flushed row by row), keeps the latest reading and a
thinned chart window, and tells the hub, which pushes a notification to every open page.
"""

from __future__ import annotations

import collections
import concurrent.futures
import logging
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

from zq4180_bench import Event, LogWriter, Reading, Supply, Worker

log = logging.getLogger("zq4180_panel")

STALE_AFTER = 2.0          # s without an update: the card greys out
CHART_WINDOW = 180.0       # s of readings on the chart
CHART_SPACING = 0.5        # s between chart points (the CSV keeps every reading)
EVENT_KINDS_MARKED = ("regulation", "output", "no_reply", "no_port", "port_back", "answering",
                      "over_temperature", "other_supply")
MAX_WAITING = 8            # jobs that may wait for one supply; more are refused at once


@dataclass
class RampState:
    target: float
    rate: float
    step: int = 0
    steps: int = 0
    volts: float | None = None
    stop: threading.Event = field(default_factory=threading.Event)
    future: concurrent.futures.Future | None = None
    error: str | None = None


class Station:
    """One supply on the panel."""

    def __init__(self, sid: str, supply: Supply, log_path: Path, *, comments: dict[str, Any] | None = None) -> None:
        self.id = sid
        self.supply = supply
        self.port = supply.port
        self.identity = dict(supply.identity or {})
        self.log_path = log_path
        self.log = LogWriter(log_path, fmt="csv", mode="new", comments=comments or {})
        self._log_lock = threading.Lock()
        self.last: Reading | None = None
        self.answered_at: float | None = None      # monotonic time of the last reading with an answer
        self.step_at: float | None = None          # ... and the last ramp step was sent
        self.chart: collections.deque[tuple[float, float | None, float | None]] = collections.deque()
        self.events: collections.deque[tuple[float, Event]] = collections.deque(maxlen=200)
        self.ramp: RampState | None = None
        self.on_change: Callable[["Station"], None] | None = None
        self.worker = Worker(supply, on_reading=self._reading, on_event=self._event,
                             name=f"zq4180-panel {sid}", max_waiting=MAX_WAITING)

    # -- from the worker's thread ---------------------------------------------------------

    def _reading(self, reading: Reading) -> None:
        now = time.time()
        with self._log_lock:
            if self.log is not None:
                try:
                    self.log.write(reading)
                except (OSError, ValueError):
                    log.exception("%s: cannot write the log %s", self.id, self.log_path)
        self.last = reading
        if reading.ok:      # a no-reply or no-port reading is news, not a fresh value
            self.answered_at = time.monotonic()
        chart = self.chart
        if not chart or now - chart[-1][0] >= CHART_SPACING or chart[-1][1] is None or not reading.ok:
            chart.append((now, reading.voltage_V, reading.current_A))
        while chart and chart[0][0] < now - CHART_WINDOW:
            chart.popleft()
        if self.on_change is not None:
            self.on_change(self)

    def _event(self, event: Event) -> None:
        self.events.append((time.time(), event))
        log.info("%s: %s", self.id, event.text)

    def publish(self, reading: Reading) -> None:
        """A reading a job took (a read-back, a ramp's) shown at once, with the worker's event tracking."""
        self.worker.publish(reading)

    # -- state for pages and the API ---------------------------------------------------------

    @property
    def state(self) -> str:
        """ok, no_reply, no_port, or connecting before the first reading."""
        return self.last.status if self.last is not None else "connecting"

    def age(self, now: float | None = None) -> float | None:
        """Seconds since the supply last answered (None before its first answer)."""
        now = time.monotonic() if now is None else now
        return None if self.answered_at is None else now - self.answered_at

    def stale(self, now: float | None = None) -> bool:
        """No answered reading, nor a ramp step, for STALE_AFTER seconds."""
        now = time.monotonic() if now is None else now
        latest = max((t for t in (self.answered_at, self.step_at) if t is not None), default=None)
        return latest is None or now - latest > STALE_AFTER

    def ramping(self) -> bool:
        return self.ramp is not None and self.ramp.future is not None and not self.ramp.future.done()

    def limits_text(self) -> dict[str, Any]:
        out: dict[str, Any] = {}
        for key, limit in (("max_voltage", self.supply.limits.voltage), ("max_current", self.supply.limits.current)):
            out[key] = None if limit is None else {"value": limit.value, "source": limit.source}
        return out

    def summary(self) -> dict[str, Any]:
        now = time.monotonic()      # one instant, so a stale card never shows a fresh age
        age = self.age(now)
        ramp_info = None
        r = self.ramp
        if r is not None and self.ramping():
            ramp_info = {"to": r.target, "rate": r.rate, "step": r.step, "steps": r.steps}
        return {
            "id": self.id,
            "name": self.supply.name,
            "port": self.port,
            "identity": self.identity,
            "state": self.state,
            "stale": self.stale(now),
            "age_s": None if age is None else round(age, 3),
            "limits": self.limits_text(),
            "ramp": ramp_info,
            "reading": None if self.last is None else self.last.as_dict(),
        }

    def close_log(self) -> None:
        with self._log_lock:
            if self.log is not None:
                self.log.close()


def outcome_dict(outcome) -> dict[str, Any]:
    return {"name": outcome.name, "requested": outcome.requested, "readback": outcome.readback,
            "answered": outcome.answered, "sent": outcome.sent, "ok": outcome.ok}

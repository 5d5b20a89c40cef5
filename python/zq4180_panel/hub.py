"""The supplies a panel serves: one library ``Worker`` per supply, and what the pages show.

Each :class:`Station` owns one open ``Supply`` and the ``Worker`` thread that alone talks
to it. Readings and events arrive on that thread; the station writes each reading to its
CSV log (the library's ``LogWriter``, flushed row by row), keeps the latest reading and a
thinned chart window, and hands a notification to the server's event loop, which pushes
it to every open page. Pages and the JSON API never touch a supply: every change is a job
for its worker, so the number of browsers never changes a port's traffic.

Every rule that protects hardware is the library's: ``Supply.check`` for limits,
``Supply.apply`` for the safe order and read-back, ``ramp`` for ramps, ``Supply.safe_end``
for the end of a ramp that a signal cut short. This module only routes requests.
"""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import logging
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterable

from zq4180_bench import (Event, LimitError, LogWriter, NoReply, RampStopped, Reading, Supply, SupplyLost,
                          Worker, ramp)

log = logging.getLogger("zq4180_panel")

STALE_AFTER = 2.0          # s without an update: the card greys out
CHART_WINDOW = 180.0       # s of readings on the chart
CHART_SPACING = 0.5        # s between chart points (the CSV keeps every reading)
EVENT_KINDS_MARKED = ("regulation", "output", "no_reply", "no_port", "port_back", "answering",
                      "over_temperature")
JOB_TIMEOUT = 15.0         # s a settings request waits for its worker


class Refused(Exception):
    """A request the panel turns down before anything reaches a supply."""

    status = 422

    def __init__(self, reason: str, status: int | None = None) -> None:
        super().__init__(reason)
        self.reason = reason
        if status is not None:
            self.status = status


class Failed(Exception):
    """The supply did not answer, or its port is gone (HTTP 503)."""


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
                             name=f"zq4180-panel {sid}")

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

    def age(self) -> float | None:
        """Seconds since the supply last answered (None before its first answer)."""
        return None if self.answered_at is None else time.monotonic() - self.answered_at

    def stale(self) -> bool:
        """No answered reading, nor a ramp step, for STALE_AFTER seconds."""
        latest = max((t for t in (self.answered_at, self.step_at) if t is not None), default=None)
        return latest is None or time.monotonic() - latest > STALE_AFTER

    def ramping(self) -> bool:
        return self.ramp is not None and self.ramp.future is not None and not self.ramp.future.done()

    def limits_text(self) -> dict[str, Any]:
        out: dict[str, Any] = {}
        for key, limit in (("max_voltage", self.supply.limits.voltage), ("max_current", self.supply.limits.current)):
            out[key] = None if limit is None else {"value": limit.value, "source": limit.source}
        return out

    def summary(self) -> dict[str, Any]:
        age = self.age()
        ramp_info = None
        if self.ramping():
            r = self.ramp
            ramp_info = {"to": r.target, "rate": r.rate, "step": r.step, "steps": r.steps}
        return {
            "id": self.id,
            "name": self.supply.name,
            "port": self.port,
            "identity": self.identity,
            "state": self.state,
            "stale": self.stale(),
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


def settings_result(station: Station, outcomes, reading: Reading | None) -> dict[str, Any]:
    """What a settings job answers: each outcome with its read-back, and the reading after them."""
    if reading is not None:
        station.publish(reading)
    return {"id": station.id, "ok": all(o.ok for o in outcomes),
            "outcomes": [outcome_dict(o) for o in outcomes],
            "reading": None if reading is None else reading.as_dict()}


class Hub:
    """All stations, and the operations the page and the API share."""

    def __init__(self, stations: Iterable[Station]) -> None:
        self.stations: dict[str, Station] = {s.id: s for s in stations}
        self.loop: asyncio.AbstractEventLoop | None = None
        self._listeners: set[Callable[[Station], None]] = set()
        self._pending: set[str] = set()
        self._pending_lock = threading.Lock()
        self.stopping = threading.Event()
        for station in self.stations.values():
            station.on_change = self._changed

    def __iter__(self):
        return iter(self.stations.values())

    def get(self, sid: str) -> Station:
        try:
            return self.stations[sid]
        except KeyError:
            raise Refused(f"no supply {sid!r} on this panel (see GET /api/supplies)", status=404) from None

    # -- life cycle -----------------------------------------------------------------------------

    def start(self) -> None:
        for station in self:
            station.worker.start()

    def attach(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop

    def subscribe(self, listener: Callable[[Station], None]) -> Callable[[], None]:
        """``listener(station)`` runs on the event loop after each new reading."""
        self._listeners.add(listener)
        return lambda: self._listeners.discard(listener)

    def _changed(self, station: Station) -> None:
        loop = self.loop
        if loop is None or loop.is_closed():
            return
        with self._pending_lock:
            if station.id in self._pending:
                return          # a notification is already on its way; it shows the latest
            self._pending.add(station.id)
        try:
            loop.call_soon_threadsafe(self._notify, station)
        except RuntimeError:    # the loop is closing
            pass

    def _notify(self, station: Station) -> None:
        with self._pending_lock:
            self._pending.discard(station.id)
        for listener in list(self._listeners):
            try:
                listener(station)
            except Exception:
                log.exception("a page failed to update")

    # -- changes (the caller has checked access) -----------------------------------------

    def check_values(self, station: Station, **values: float | None) -> None:
        """The library's limits; Refused (422) with its reason, nothing sent."""
        try:
            station.supply.check(**{k: v for k, v in values.items() if v is not None})
        except ValueError as exc:      # LimitError, or no value at all
            raise Refused(str(exc)) from None

    async def _run(self, station: Station, fn: Callable[[Supply], Any], label: str) -> Any:
        future = station.worker.submit(fn, label=label)
        try:
            return await asyncio.wait_for(asyncio.wrap_future(future), JOB_TIMEOUT)
        except LimitError as exc:
            raise Refused(str(exc)) from None
        except (NoReply, SupplyLost) as exc:
            raise Failed(str(exc)) from None
        except (asyncio.TimeoutError, TimeoutError):
            raise Failed(f"{station.id}: no result within {JOB_TIMEOUT:.0f} s") from None
        except (concurrent.futures.CancelledError, asyncio.CancelledError, RuntimeError) as exc:
            if self.stopping.is_set():
                raise Failed("the panel is stopping") from None
            raise Failed(f"{station.id}: {exc}") from None

    async def apply(self, sid: str, *, voltage: float | None = None, current: float | None = None,
                    ceiling: float | None = None, output: str | None = None,
                    mode: str | None = None) -> dict[str, Any]:
        """Settings in the library's safe order; the read-back as a dict with ``ok``."""
        station = self.get(sid)
        if self.stopping.is_set():
            raise Refused("the panel is stopping", status=503)
        if all(v is None for v in (voltage, current, ceiling, output, mode)):
            raise Refused("nothing to change: give voltage, current, ceiling, output or mode")
        if output not in (None, "on", "off"):
            raise Refused(f"output must be \"on\" or \"off\", got {output!r}")
        if mode not in (None, "remote", "local"):
            raise Refused(f"mode must be \"remote\" or \"local\", got {mode!r}")
        self.check_values(station, voltage=voltage, current=current, ceiling=ceiling)
        if station.ramping():
            raise Refused(f"{sid}: a ramp is running; stop it first (or switch all outputs off)", status=409)

        def job(supply: Supply):
            outcomes = supply.apply(voltage=voltage, current=current, ceiling=ceiling, output=output, mode=mode)
            return outcomes, supply.last_reading

        result = settings_result(station, *await self._run(station, job, "settings"))
        log.info("%s: settings %s -> %s", sid, {k: v for k, v in (("voltage", voltage), ("current", current),
                 ("ceiling", ceiling), ("output", output), ("mode", mode)) if v is not None},
                 "ok" if result["ok"] else "NOT CONFIRMED")
        return result

    async def all_off(self) -> dict[str, Any]:
        """Every output off (ramps end first); one result per supply."""
        for station in self:
            self.stop_ramp(station.id)

        async def one(station: Station) -> dict[str, Any]:
            try:
                done = await self._run(station, lambda s: (s.apply(output="off"), s.last_reading), "all off")
            except (Failed, Refused) as exc:
                return {"id": station.id, "ok": False, "error": str(exc)}
            return settings_result(station, *done)

        results = await asyncio.gather(*(one(s) for s in self))
        log.info("all outputs off: %s", ", ".join(f"{r['id']} {'ok' if r['ok'] else 'NOT CONFIRMED'}"
                                                  for r in results))
        return {"ok": all(r["ok"] for r in results), "supplies": list(results)}

    def start_ramp(self, sid: str, to: float, rate: float) -> RampState:
        """Queue the library's ramp on the supply's worker; it runs until done or stopped."""
        station = self.get(sid)
        if self.stopping.is_set():
            raise Refused("the panel is stopping", status=503)
        self.check_values(station, voltage=to)
        try:
            rate = float(rate)
        except (TypeError, ValueError):
            raise Refused(f"rate must be a number of V/s, got {rate!r}") from None
        if not (rate > 0 and rate < float("inf")):
            raise Refused("rate must be more than 0 V/s")
        if station.ramping():
            raise Refused(f"{sid}: a ramp is already running", status=409)
        state = RampState(target=float(to), rate=rate)

        def on_step(k: int, n: int, volts: float) -> None:
            state.step, state.steps, state.volts = k, n, volts
            station.step_at = time.monotonic()
            if station.on_change is not None:
                station.on_change(station)

        def job(supply: Supply):
            if state.stop.is_set():
                raise RampStopped("ramp stopped before it began")
            try:
                readings = ramp(supply, to, rate=rate, on_step=on_step, on_reading=station.publish,
                                stop=state.stop)
            except RampStopped as exc:
                log.info("%s: %s (step %d of %d)", sid, exc, state.step, state.steps)
                raise
            log.info("%s: ramp to %.3f V done", sid, to)
            return readings

        station.ramp = state
        state.future = station.worker.submit(job, label="ramp")
        state.future.add_done_callback(lambda f: self._ramp_done(station, state, f))
        log.info("%s: ramp to %.3f V at %.3f V/s", sid, to, rate)
        return state

    def _ramp_done(self, station: Station, state: RampState, future: concurrent.futures.Future) -> None:
        if not future.cancelled() and future.exception() is not None \
                and not isinstance(future.exception(), RampStopped):
            state.error = str(future.exception())
            log.warning("%s: ramp failed: %s", station.id, state.error)
        if station.on_change is not None:
            station.on_change(station)

    def stop_ramp(self, sid: str) -> bool:
        station = self.get(sid)
        if not station.ramping():
            return False
        station.ramp.stop.set()
        return True

    # -- the end --------------------------------------------------------------------------------

    def shutdown(self, timeout: float = 1.6) -> None:
        """Stop every worker. A supply that a panel ramp is driving gets the library's safe end
        first; every other supply is left as it is."""
        self.stopping.set()
        deadline = time.monotonic() + timeout
        ending: list[tuple[Station, concurrent.futures.Future]] = []
        for station in self:
            if station.ramping():
                station.ramp.stop.set()
                ending.append((station, station.worker.submit(lambda s: s.safe_end(), label="safe end")))
        for station, future in ending:
            try:
                result = future.result(max(0.05, deadline - time.monotonic()))
                if result.confirmed:
                    log.warning("%s: %s", station.id, result.message())
                else:
                    log.error("%s: %s", station.id, result.message())
            except Exception as exc:  # noqa: BLE001 - reported, the others still stop
                log.error("%s: the safe end did not finish: %s", station.id, exc or type(exc).__name__)
        for station in self:
            station.worker.stop(timeout=0)
        for station in self:
            station.worker.stop(timeout=max(0.05, deadline - time.monotonic()))
            if not station.worker.alive:
                station.supply.close()
            station.close_log()

"""Changes to the supplies, as jobs for their workers: checks first, then the job, then what happened.

Every rule that protects hardware is the library's: ``Supply.check_request`` for limits and
the whole state, ``Supply.apply`` for the safe order and read-back, ``Worker.off`` for the
confirmed off (it jumps the queue, cancels the jobs that wait and stops a ramp after its
current exchange), ``ramp`` for ramps. This module only routes requests and says what
happened: a job that has not started when its client gives up is cancelled; one that has
started runs to its end, and is logged and published all the same.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import logging
import threading
import time
from typing import Any, Callable, Iterator

from zq4180_bench import (LimitError, NoReply, QueueFull, RampStopped, SettingNotTaken, Supply, SupplyError, SupplyLost,
                          ramp)

# the answers have their own module; FIELD_NAMES and http_status stay importable from here too
from .answers import FIELD_NAMES, Failed, Refused, http_status, limit_reason, off_entry  # noqa: F401
from .fields import check_number
from .station import RampState, Station, outcome_dict

log = logging.getLogger("zq4180_panel")

JOB_TIMEOUT = 15.0         # s a settings request waits for its worker
OFF_WAIT = 60.0            # s at most for a confirmed off (its tries bound it far below this)
RAMP_READ_INTERVAL = 0.25  # s: a ramp reads the status at least this often (the card and the CSV go on)


class Operations:
    """What the page and the API may ask of a supply (the base of :class:`.hub.Hub`, which
    holds the stations)."""

    stopping: threading.Event

    def get(self, sid: str) -> Station:
        raise NotImplementedError

    def __iter__(self) -> Iterator[Station]:
        raise NotImplementedError

    # -- checks before anything is queued --------------------------------------------------------

    def check_values(self, station: Station, *, output: str | None = None, **values: float | None) -> None:
        """Numbers the wire can carry, the library's limits for the whole state the request leaves
        (standing values included): Refused (422) with the reason, nothing queued."""
        for what, value in values.items():
            if value is not None:
                try:
                    check_number(value, what)
                except ValueError as exc:
                    raise Refused(str(exc)) from None
        try:
            station.supply.check_request(**values, output=output, state=station.worker.last_ok)
        except LimitError as exc:
            raise Refused(limit_reason(exc)) from None
        except ValueError as exc:      # nothing to check
            raise Refused(str(exc)) from None

    # -- jobs ---------------------------------------------------------------------------------

    def _submit(self, station: Station, fn: Callable[[Supply], Any], label: str) -> concurrent.futures.Future:
        try:
            return station.worker.submit(fn, label=label)
        except QueueFull as exc:
            raise Refused(f"{station.id}: too many requests wait for this supply ({exc}); nothing was sent, "
                          f"try again in a moment", status=503) from None

    async def _wait(self, station: Station, future: concurrent.futures.Future, label: str) -> Any:
        """The job's result. A job that has not started when the client's time runs out is cancelled
        (nothing sent); one that has started runs to its end, and its result is still logged and shown."""
        try:
            return await asyncio.wait_for(asyncio.shield(asyncio.wrap_future(future)), JOB_TIMEOUT)
        except LimitError as exc:
            raise Refused(limit_reason(exc)) from None
        except (NoReply, SupplyLost) as exc:
            raise Failed(str(exc)) from None
        except (asyncio.TimeoutError, TimeoutError):
            if future.cancel():
                raise Failed(f"{station.id}: {label} not started within {JOB_TIMEOUT:.0f} s: cancelled, "
                             f"nothing was sent") from None
            raise Failed(f"{station.id}: {label} still running after {JOB_TIMEOUT:.0f} s; its result will be "
                         f"logged and shown on the card") from None
        except (concurrent.futures.CancelledError, asyncio.CancelledError, RuntimeError) as exc:
            if isinstance(exc, asyncio.CancelledError) and not future.cancelled():
                raise           # the request itself was given up (its client went away): the job goes on
            if self.stopping.is_set():
                raise Failed("the panel is stopping") from None
            if future.cancelled():
                raise Failed(f"{station.id}: {label} cancelled before it started (an output-off came first); "
                             f"nothing was sent") from None
            raise Failed(f"{station.id}: {exc}") from None
        except SettingNotTaken as exc:  # the read-back before switching on differs: nothing switched on
            raise Failed(str(exc), status=502) from None
        except SupplyError as exc:
            raise Failed(str(exc)) from None

    async def off(self, station: Station) -> dict[str, Any]:
        """The library's confirmed off for one supply, ahead of everything queued for it."""
        if station.ramp is not None:
            station.ramp.stop.set()
        try:
            future = station.worker.off()
            result = await asyncio.wait_for(asyncio.shield(asyncio.wrap_future(future)), OFF_WAIT)
        except Exception as exc:  # noqa: BLE001 - said plainly: the output may still be on
            entry = off_entry(station, None, str(exc) or type(exc).__name__)
        else:
            entry = off_entry(station, result)
        (log.info if entry["confirmed"] else log.error)("%s", entry["message"])
        return entry

    async def apply(self, sid: str, *, voltage: float | None = None, current: float | None = None,
                    ceiling: float | None = None, output: str | None = None,
                    mode: str | None = None) -> dict[str, Any]:
        """Settings in the library's safe order; the read-back as a dict with ``ok``. Switching off
        is never refused and never waits: it takes the confirmed off first, and anything else of the
        request follows only once the off is confirmed."""
        station = self.get(sid)
        if all(v is None for v in (voltage, current, ceiling, output, mode)):
            raise Refused("nothing to change: give voltage, current, ceiling, output or mode")
        if output not in (None, "on", "off"):
            raise Refused(f"output must be \"on\" or \"off\", got {output!r}")
        if mode not in (None, "remote", "local"):
            raise Refused(f"mode must be \"remote\" or \"local\", got {mode!r}")
        rest = {k: v for k, v in (("voltage", voltage), ("current", current), ("ceiling", ceiling))
                if v is not None}
        if output == "off":
            for what, value in rest.items():      # a value the wire cannot carry is refused up front
                try:
                    check_number(value, what)
                except ValueError as exc:
                    raise Refused(str(exc)) from None
            entry = await self.off(station)
            if not entry["confirmed"] or not (rest or mode):
                return entry
            try:
                after = await self.apply(sid, voltage=voltage, current=current, ceiling=ceiling, mode=mode)
            except Refused as exc:      # the off itself is never refused: the answer says it was done
                raise Refused(f"{entry['message']}; the rest of the request was refused: {exc.reason}",
                              exc.status) from None
            after["outcomes"] = entry["outcomes"] + after["outcomes"]
            after["confirmed"] = True
            return after
        if self.stopping.is_set():
            raise Refused("the panel is stopping", status=503)
        self.check_values(station, output=output, **rest)
        if station.ramping():
            raise Refused(f"{sid}: a ramp is running; stop it first (or switch the output off)", status=409)
        asked = {k: v for k, v in (*rest.items(), ("output", output), ("mode", mode)) if v is not None}

        def job(supply: Supply) -> dict[str, Any]:
            outcomes = supply.apply(voltage=voltage, current=current, ceiling=ceiling, output=output, mode=mode)
            reading = supply.last_reading
            if reading is not None:
                station.publish(reading)     # on the worker's thread: shown and logged even if nobody waits
            return {"id": sid, "ok": all(o.ok for o in outcomes),
                    "outcomes": [outcome_dict(o) for o in outcomes],
                    "reading": None if reading is None else reading.as_dict()}

        future = self._submit(station, job, "settings")
        future.add_done_callback(lambda f: _log_settings(sid, asked, f))
        return await self._wait(station, future, "settings")

    async def all_off(self) -> dict[str, Any]:
        """Every output off at once, each through its supply's confirmed off; one entry per supply."""
        results = await asyncio.gather(*(self.off(station) for station in self))
        log.info("all outputs off: %s", ", ".join(f"{r['id']} {'confirmed' if r['confirmed'] else 'NOT CONFIRMED'}"
                                                  for r in results))
        return {"ok": all(r["confirmed"] for r in results), "confirmed": all(r["confirmed"] for r in results),
                "supplies": list(results)}


def _log_settings(sid: str, asked: dict[str, Any], future: concurrent.futures.Future) -> None:
    """Every settings job that ran is logged with its outcome, whether or not its client still waits."""
    if future.cancelled():
        log.info("%s: settings %s cancelled before they started: nothing sent", sid, asked)
        return
    exc = future.exception()
    if exc is not None:
        log.warning("%s: settings %s failed: %s", sid, asked, exc)
        return
    result = future.result()
    log.info("%s: settings %s -> %s", sid, asked, "ok" if result["ok"] else "NOT CONFIRMED")


class Ramps(Operations):
    """The library's ramp on a supply's worker, started and stopped from the page or the API."""

    def start_ramp(self, sid: str, to: float, rate: float) -> RampState:
        """Queue the library's ramp on the supply's worker; it runs until done or stopped."""
        station = self.get(sid)
        if self.stopping.is_set():
            raise Refused("the panel is stopping", status=503)
        try:
            rate = check_number(rate, "rate")
        except ValueError as exc:
            raise Refused(str(exc)) from None
        if not rate > 0:
            raise Refused("rate must be more than 0 V/s")
        self.check_values(station, voltage=to)
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
                                stop=state.stop, interval=RAMP_READ_INTERVAL,
                                on_note=lambda text: log.warning("%s: ramp: %s", sid, text))
            except RampStopped as exc:
                log.info("%s: %s (step %d of %d)", sid, exc, state.step, state.steps)
                raise
            log.info("%s: ramp to %.3f V done", sid, to)
            return readings

        future = self._submit(station, job, "ramp")
        station.ramp = state
        state.future = future
        future.add_done_callback(lambda f: self._ramp_done(station, state, f))
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
        """Stop a ramp where it is: the output keeps its state and the voltage reached."""
        station = self.get(sid)
        state = station.ramp
        if state is None or not station.ramping():
            return False
        state.stop.set()
        return True

"""The supplies a panel serves, and the operations the page and the API share.

Pages and the JSON API never touch a supply: every change is a job for its station's
worker (the library's ``Worker``, the one owner of the port), so the number of browsers
never changes a port's traffic. The changes themselves are in :mod:`.jobs`; here are the
stations, the notifications to the pages, and the end.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import logging
import threading
from typing import Callable, Iterable

from zq4180_bench import Worker

from .answers import Failed, Refused, http_status, off_entry
from .jobs import OFF_WAIT, Ramps
from .station import CHART_WINDOW, EVENT_KINDS_MARKED, Station

__all__ = ["CHART_WINDOW", "EVENT_KINDS_MARKED", "Failed", "Hub", "Refused", "Station", "http_status"]

log = logging.getLogger("zq4180_panel")


class Hub(Ramps):
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

    def workers(self) -> list[tuple[str, Worker]]:
        """Each supply's name on the panel and its worker (other front ends may share them)."""
        return [(station.id, station.worker) for station in self]

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

    # -- the end --------------------------------------------------------------------------------

    def shutdown(self) -> list[str]:
        """Stop every worker. Each supply a panel ramp is driving gets the library's safe end first,
        all at once, each to its end (bounded by its tries); every other supply is left as it is.
        Returns one ``NAME: OUTPUT MAY STILL BE ON: ...`` line per supply not confirmed off."""
        self.stopping.set()
        ending: list[tuple[Station, concurrent.futures.Future]] = []
        for station in self:
            if station.ramping():
                station.ramp.stop.set()
                ending.append((station, station.worker.off()))
        unconfirmed: list[str] = []
        for station, future in ending:
            try:
                result = future.result(OFF_WAIT)
            except Exception as exc:  # noqa: BLE001 - said plainly, the others still end
                entry = off_entry(station, None, str(exc) or type(exc).__name__)
            else:
                entry = off_entry(station, result)
            if entry["confirmed"]:
                log.warning("%s: safe end: output off (confirmed); the ramp was cut short", station.id)
                local = station.worker.submit(lambda s: s.apply(mode="local"), label="local control")
                try:
                    local.result(5.0)
                except Exception as exc:  # noqa: BLE001 - the output is off; control stays remote
                    log.warning("%s: local control not confirmed: %s", station.id, exc)
            else:
                log.error("%s", entry["message"])
                unconfirmed.append(entry["message"])
        for station in self:
            station.worker.stop(timeout=0)
        for station in self:
            station.worker.stop(timeout=2.0)
            if not station.worker.alive:
                station.supply.close()
            station.close_log()
        return unconfirmed

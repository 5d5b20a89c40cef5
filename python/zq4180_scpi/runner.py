"""The listeners of a set of stations on an asyncio loop: in the foreground for ``zq4180-scpi``,
or on a thread of their own beside another front end (the panel) or a test."""

from __future__ import annotations

import asyncio
import threading

from .access import resource
from .server import Listener


class BindError(OSError):
    pass


async def open_listeners(stations, host: str, port: int, allow_from=()) -> list[Listener]:
    """One listener per station: the first on ``port``, the next ones on the ports after it
    (``port`` 0: each on a free port). BindError naming the supply when a port cannot be bound."""
    listeners: list[Listener] = []
    try:
        for k, station in enumerate(stations):
            wanted = port + k if port else 0
            if wanted > 65535:
                raise BindError(f"no TCP port left for {station.name} ({port} + {k} is over 65535)")
            listener = Listener(station, host, wanted, allow_from=list(allow_from))
            try:
                await listener.start()
            except OSError as exc:
                raise BindError(f"cannot listen on {host}:{wanted} for {station.name}: {exc.strerror or exc} "
                                "(choose another port)") from None
            listeners.append(listener)
    except BaseException:
        for listener in listeners:
            await listener.stop()
        raise
    return listeners


def resource_lines(listeners: list[Listener]) -> list[str]:
    """``NAME TCPIP0::HOST::PORT::SOCKET`` for each listener, with the port bound."""
    return [f"{lst.station.name} {resource(lst.host, lst.bound)}" for lst in listeners]


class Background:
    """Listeners served on a thread with its own event loop. ``start()`` returns the resource lines
    once every port is bound (BindError otherwise); ``stop()`` closes them (the stations stay)."""

    def __init__(self, stations, host: str = "127.0.0.1", port: int = 0, allow_from=()) -> None:
        self.stations = list(stations)
        self.host, self.port, self.allow_from = host, port, list(allow_from)
        self.listeners: list[Listener] = []
        self.lines: list[str] = []
        self._loop: asyncio.AbstractEventLoop | None = None
        self._stop: asyncio.Event | None = None
        self._ready = threading.Event()
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._main, name="zq4180-scpi listeners", daemon=True)

    def start(self) -> list[str]:
        self._thread.start()
        self._ready.wait()
        if self._error is not None:
            raise self._error
        return resource_lines(self.listeners)

    def stop(self, timeout: float = 10.0) -> None:
        if self._loop is not None and self._stop is not None and self._thread.is_alive():
            self._loop.call_soon_threadsafe(self._stop.set)
        self._thread.join(timeout)

    def _main(self) -> None:
        asyncio.run(self._serve())

    async def _serve(self) -> None:
        self._loop = asyncio.get_running_loop()
        self._stop = asyncio.Event()
        try:
            self.listeners = await open_listeners(self.stations, self.host, self.port, self.allow_from)
        except BaseException as exc:
            self._error = exc
            self._ready.set()
            return
        self._ready.set()
        try:
            await self._stop.wait()
        finally:
            for listener in self.listeners:
                await listener.stop()

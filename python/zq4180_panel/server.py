"""The web server: FastAPI with the API, NiceGUI's page mounted behind it, run by uvicorn.

Layers of the ASGI app, outermost first: the frame guard (no framing, no referrer, no
content sniffing, on every response, refusals and error pages included), Starlette's
TrustedHostMiddleware (the Host header must be one the panel serves, for HTTP and WebSocket
alike: defeats DNS rebinding), the request guard (the access decision for every change
before its body is read, then the body's size and pace), the Origin check of the page's
channel, the token address's redirect (``?token=`` → session cookie), the page gate (the
live page only for the token holder), the API routes, then NiceGUI (its page, its own
assets, its socket.io channel under the rules of :mod:`.channel`). Nothing is fetched from
the network: NiceGUI serves Vue, Quasar and ECharts from the installed package. Connections
are bounded by :mod:`.connections`.
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import signal
import socket
import threading
from typing import Callable

import uvicorn
from fastapi import FastAPI

from . import api, channel, page
from .access import Policy
from .connections import MAX_HEAD, GuardedH11Protocol
from .hub import Hub
from .logtext import only_through_root
from .gate import PageGate
from .middleware import (FrameGuardMiddleware, HostCheckMiddleware, RequestGuard, SocketOriginMiddleware,
                         TokenCookieMiddleware)

log = logging.getLogger("zq4180_panel")

STOP_SIGNALS = tuple(s for s in (signal.SIGINT, getattr(signal, "SIGTERM", None), getattr(signal, "SIGHUP", None))
                     if s is not None)


def build_app(hub: Hub, policy: Policy):
    """The whole ASGI app (the FastAPI app inside the frame guard, which must also cover the
    error pages that Starlette's outermost layer writes)."""
    from nicegui import core, ui

    @contextlib.asynccontextmanager
    async def lifespan(_app):
        hub.attach(asyncio.get_running_loop())
        yield

    app = FastAPI(title="zq4180-panel", docs_url=None, redoc_url=None, openapi_url=None, lifespan=lifespan)
    api.install(app, hub, policy)
    page.install(hub, policy)
    channel.install(core.sio, core.app.config, policy)
    ui.run_with(app, title="zq4180 front panel", dark=True, show_welcome_message=False,
                reconnect_timeout=3.0, binding_refresh_interval=None)
    only_through_root()      # engine.io's and socket.io's own handlers would write clients' text raw
    # the last added is the outermost
    app.add_middleware(PageGate, policy=policy)
    app.add_middleware(TokenCookieMiddleware, policy=policy)
    app.add_middleware(SocketOriginMiddleware, prefix=channel.PREFIX)
    app.add_middleware(RequestGuard, policy=policy)
    app.add_middleware(HostCheckMiddleware, allowed_hosts=policy.allowed_hosts)
    return FrameGuardMiddleware(app)


class PanelServer(uvicorn.Server):
    """uvicorn, with Ctrl-C, SIGTERM and SIGHUP all ending it quietly (exit status 0).

    uvicorn's own handlers re-raise the signal once it has stopped, which would turn
    a SIGTERM into death by signal; here ``on_signal`` is told instead. Signals that came
    before its handlers were installed (``held``, appended to by the previous handlers) are
    taken as soon as they are: the server then ends as soon as it has started.
    """

    def __init__(self, config: uvicorn.Config, on_signal: Callable[[int], None],
                 held: list[int] | None = None) -> None:
        super().__init__(config)
        self._on_signal = on_signal
        self._held = held if held is not None else []

    @contextlib.contextmanager
    def capture_signals(self):
        if threading.current_thread() is not threading.main_thread():
            yield
            return

        def handler(signum, frame) -> None:
            if self.should_exit and signum == signal.SIGINT:
                self.force_exit = True
            self.should_exit = True
            self._on_signal(signum)

        previous = {sig: signal.signal(sig, handler) for sig in STOP_SIGNALS}
        while self._held:
            handler(self._held.pop(0), None)
        try:
            yield
        finally:
            for sig, old in previous.items():
                signal.signal(sig, old)


def serve(app, sock: socket.socket, on_signal: Callable[[int], None], held: list[int] | None = None) -> PanelServer:
    # no per-message compression: the page is local, and deflating every update cost more CPU than the rest
    # h11 (pure Python) for its bounded request heads and the connection guard
    config = uvicorn.Config(app, log_level="warning", proxy_headers=False, ws="wsproto", lifespan="on",
                            http=GuardedH11Protocol, h11_max_incomplete_event_size=MAX_HEAD,
                            timeout_keep_alive=5, ws_max_size=1 << 20, log_config=None,
                            ws_per_message_deflate=False, access_log=False, server_header=False)
    config.timeout_graceful_shutdown = 0.5  # type: ignore[assignment]  # used as asyncio's timeout
    server = PanelServer(config, on_signal, held)
    server.run(sockets=[sock])
    return server

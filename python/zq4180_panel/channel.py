"""The page's own channel (NiceGUI's socket.io) under the panel's access rules.

NiceGUI sends every click of the page over one socket.io connection per page and
runs the element's handler on the server. Out of the box that server accepts any
Origin and long polling, and an event names its page by ``client_id`` only, not
by the socket it came on. Here:

* only the WebSocket transport is served (a browser always sends ``Origin`` and the
  cookies with a WebSocket handshake, so the handshake carries what the rules need);
* a request under :data:`PREFIX` whose ``Origin`` is not the panel's own is answered 403
  with the reason by :class:`~.access.SocketOriginMiddleware` before engine.io sees it;
  engine.io keeps the same check (``cors_allowed_origins`` against ``http://`` + the Host
  header, which TrustedHostMiddleware has already checked) behind it, its own log line
  about it silenced so a refusal is logged once;
* a connection without the token (cookie or Authorization header) is refused: only a page
  opened with the token gets a live channel; each accepted one is judged once by
  :meth:`Policy.decide_environ` (token, Origin, loopback client, read-only);
* every message of the channel (``event``, ``javascript_response``, ``ack``, and any other
  NiceGUI listens for) is dispatched only if its socket is the one that handshook for the
  page it names, and an event then with that socket's decision in :data:`decision`, which
  every handler that changes something must pass through :func:`current`; a page's own
  console messages (``log``) are not written to the operator's log.
"""

from __future__ import annotations

import contextvars
import logging
from typing import Any

from .access import DENIED_UNCHECKED, Decision, Policy

log = logging.getLogger("zq4180_panel.access")

#: where NiceGUI mounts its socket.io server
PREFIX = "/_nicegui_ws/"

#: the access decision of the socket whose event is being handled
decision: contextvars.ContextVar[Decision] = contextvars.ContextVar("zq4180_panel_decision",
                                                                    default=DENIED_UNCHECKED)


def current() -> Decision:
    """The decision for the event being handled (denied outside a checked socket event)."""
    return decision.get()


def own_origin(environ: dict) -> str | None:
    host = environ.get("HTTP_HOST")
    return f"http://{host}".lower() if host else None


class _NotAcceptedOrigin(logging.Filter):
    """engine.io's own line about a refused Origin: the panel logs the refusal itself."""

    def filter(self, record: logging.LogRecord) -> bool:
        return "is not an accepted origin" not in record.getMessage()


def install(sio: Any, app_config: Any, policy: Policy) -> dict[str, Decision]:
    """Put the rules on NiceGUI's socket.io server; returns the live table of decisions by socket."""
    decisions: dict[str, Decision] = {}

    def origin_allowed(origin: str | None, environ: dict | None = None) -> bool:
        ok = origin is not None and environ is not None and origin.lower() == own_origin(environ)
        if not ok:
            peer = ((environ or {}).get("asgi.scope") or {}).get("client")
            log.warning("refused a page channel from Origin %r (client %s): not this panel's origin",
                        origin, peer[0] if peer else "?")
        return ok

    sio.eio.cors_allowed_origins = origin_allowed
    sio.eio.logger.addFilter(_NotAcceptedOrigin())
    sio.eio.transports = ["websocket"]
    app_config.socket_io_js_transports = ["websocket"]

    handlers = sio.handlers.setdefault("/", {})
    nicegui_connect = handlers["connect"]
    nicegui_disconnect = handlers["disconnect"]
    nicegui_event = handlers["event"]

    async def on_connect(sid: str, environ: dict, auth: Any = None) -> Any:
        if not policy.may_view_environ(environ):
            peer = (environ.get("asgi.scope") or {}).get("client")
            log.warning("refused a page channel from %s: no token", peer[0] if peer else "?")
            return False
        decisions[sid] = policy.decide_environ(environ)
        return await nicegui_connect(sid, environ, auth)

    def on_disconnect(sid: str, *reason: Any) -> Any:
        decisions.pop(sid, None)
        return nicegui_disconnect(sid)

    def on_event(sid: str, msg: Any) -> Any:
        client_id = msg.get("client_id") if isinstance(msg, dict) else None
        if not client_id or client_id not in sio.rooms(sid):
            log.warning("dropped a page event from socket %s: it names a page (%r) it did not open",
                        sid, client_id)
            return None
        token = decision.set(decisions.get(sid, DENIED_UNCHECKED))
        try:
            return nicegui_event(sid, msg)
        finally:
            decision.reset(token)

    def same_page(name: str, handler: Any) -> Any:
        """NiceGUI's handler for ``name``, run only for a socket in the room of the page it names."""
        def checked(sid: str, msg: Any = None, *rest: Any) -> Any:
            client_id = msg.get("client_id") if isinstance(msg, dict) else None
            if not client_id or client_id not in sio.rooms(sid):
                log.warning("dropped a page %s message from socket %s: it names a page (%r) it did not open",
                            name, sid, client_id)
                return None
            return handler(sid, msg, *rest)
        return checked

    for name, handler in list(handlers.items()):
        if name in ("connect", "disconnect", "event", "handshake"):
            continue
        if name == "log":
            sio.on("log", lambda sid, msg=None: None)   # a page's console is not the operator's log
        else:
            sio.on(name, same_page(name, handler))
    sio.on("connect", on_connect)
    sio.on("disconnect", on_disconnect)
    sio.on("event", on_event)
    return decisions

"""The layers in front of the panel's routes: each answers for itself, before any body is read.

Outermost first (see :func:`.server.build_app`): the frame guard (security headers on every
response), the Host check, the request guard (the access decision for every change, then the
size and pace of its body), the page gate (the live page only for the token holder), the
Origin check of the page's channel, and the token address's redirect to the session cookie.
"""

from __future__ import annotations

import asyncio
import json
import logging
from typing import Iterable
from urllib.parse import parse_qsl, quote, urlencode

from .access import Policy

log = logging.getLogger("zq4180_panel.access")

MAX_BODY = 16 * 1024        # bytes: a settings body is a few dozen
MAX_HEADERS = 16 * 1024     # bytes of header names and values (h11 bounds a head that arrives in parts)
MAX_HEADER_COUNT = 100
BODY_TIMEOUT = 10.0         # s for a whole request body to arrive
CHANGE_METHODS = ("POST", "PUT", "PATCH", "DELETE")


class TokenCookieMiddleware:
    """A GET or HEAD whose ``?token=`` is right is answered with a redirect to the same address
    without the token, setting the session cookie: the token stays in the address bar (and the
    browser's history) for the shortest time."""

    def __init__(self, app, policy: Policy) -> None:
        self.app = app
        self.policy = policy

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] != "http" or scope.get("method") not in ("GET", "HEAD"):
            await self.app(scope, receive, send)
            return
        pairs = parse_qsl(scope.get("query_string", b"").decode("latin-1"), keep_blank_values=True)
        tokens = [v for k, v in pairs if k == "token"]
        if not tokens:
            await self.app(scope, receive, send)
            return
        if not self.policy.token_matches(tokens[0]):
            log.warning("a wrong ?token= from %s was ignored (no cookie set)", _peer(scope))
            await self.app(scope, receive, send)
            return
        rest = urlencode([(k, v) for k, v in pairs if k != "token"])
        # one leading slash: "//host/..." would send the browser to another site
        path = "/" + (scope.get("path") or "/").lstrip("/")
        location = quote(path, safe="/%:@!$&'()*+,;=-._~") + (f"?{rest}" if rest else "")
        await send({"type": "http.response.start", "status": 303,
                    "headers": [(b"location", location.encode("latin-1")),
                                (b"set-cookie", self.policy.set_cookie_header()),
                                (b"cache-control", b"no-store"), (b"content-length", b"0")]})
        await send({"type": "http.response.body", "body": b"", "more_body": False})


#: on every HTTP response: no page of any origin may show the panel in a frame (a click there
#: would be a click on the panel, with the user's cookie: the same site's pages get it); no
#: address of the panel (it may hold the token) goes to another site as a referrer; no answer
#: is taken for another type than it says
FRAME_HEADERS = ((b"content-security-policy", b"frame-ancestors 'none'"), (b"x-frame-options", b"DENY"),
                 (b"referrer-policy", b"no-referrer"), (b"x-content-type-options", b"nosniff"))


class FrameGuardMiddleware:
    """Outermost layer: adds :data:`FRAME_HEADERS` (frames, referrer, content type) to every HTTP response, refusals and the
    framework's own error pages included (also to a refused WebSocket handshake's answer)."""

    def __init__(self, app) -> None:
        self.app = app

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] not in ("http", "websocket"):
            await self.app(scope, receive, send)
            return

        async def guarded(message) -> None:
            if message["type"] in ("http.response.start", "websocket.http.response.start"):
                names = {name for name, _ in FRAME_HEADERS}
                headers = [(k, v) for k, v in message.get("headers", []) if k.lower() not in names]
                message = {**message, "headers": [*headers, *FRAME_HEADERS]}
            await send(message)

        await self.app(scope, receive, guarded)


def _peer(scope) -> str:
    client = scope.get("client")
    return client[0] if client else "?"


def _header(scope, name: bytes) -> str | None:
    for key, value in scope.get("headers") or []:
        if key == name:
            return value.decode("latin-1")
    return None


async def refuse(scope, send, reason: str) -> None:
    """Answer 403 with the reason as text, for an HTTP request or a WebSocket handshake."""
    body = reason.encode("utf-8")
    headers = [(b"content-type", b"text/plain; charset=utf-8"), (b"content-length", str(len(body)).encode())]
    if scope["type"] == "websocket":
        if "websocket.http.response" not in (scope.get("extensions") or {}):
            await send({"type": "websocket.close", "code": 1008, "reason": reason[:120]})
            return
        prefix = "websocket."
    else:
        prefix = ""
    await send({"type": prefix + "http.response.start", "status": 403, "headers": headers})
    await send({"type": prefix + "http.response.body", "body": body, "more_body": False})


class SocketOriginMiddleware:
    """The page's channel (everything under ``prefix``, WebSocket or HTTP) refuses a request whose
    ``Origin`` is not the panel's own with 403 and the reason, before engine.io sees it.

    A request without ``Origin`` goes on: browsers always send one on a WebSocket handshake,
    so only a script can omit it, and such a socket still needs the token to change anything
    (:meth:`Policy.decide` requires the Origin with the cookie)."""

    def __init__(self, app, prefix: str) -> None:
        self.app = app
        self.prefix = prefix

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] in ("http", "websocket") and scope.get("path", "").startswith(self.prefix):
            origin = _header(scope, b"origin")
            host = _header(scope, b"host")
            own = f"http://{host}".lower() if host else None
            if origin is not None and origin.lower() != own:
                reason = (f"Origin {origin!r} is not this panel's ({own or 'no Host header'}): the page's "
                          f"channel is refused to other sites")
                log.warning("refused a page channel from Origin %r (client %s): not this panel's origin",
                            origin, _peer(scope))
                await refuse(scope, send, reason)
                return
        await self.app(scope, receive, send)


class HostCheckMiddleware:
    """Starlette's TrustedHostMiddleware does the check; a refusal is answered 403 with the reason
    (its own answer is a bare 400) and logged. The answer does not list the names served (a page
    that reached the panel by DNS rebinding could read it); the log does."""

    MARK = "zq4180_panel.host_ok"

    def __init__(self, app, allowed_hosts: Iterable[str]) -> None:
        from starlette.middleware.trustedhost import TrustedHostMiddleware

        async def passed(scope, receive, send) -> None:
            scope[self.MARK] = True
            await app(scope, receive, send)

        self.allowed_hosts = list(allowed_hosts)
        self.check = TrustedHostMiddleware(passed, allowed_hosts=self.allowed_hosts, www_redirect=False)

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] not in ("http", "websocket"):
            await self.check(scope, receive, send)
            return
        body = b""

        async def answer(message) -> None:
            nonlocal body
            if not scope.get(self.MARK):
                kind = message["type"]
                if kind.endswith("http.response.start"):
                    host = _header(scope, b"host")
                    reason = f"Host {host!r} is not a name this panel serves (add names with --allow-host)"
                    log.warning("refused %s %s from %s: %s; it answers to %s", scope.get("method", "WEBSOCKET"),
                                scope.get("path"), _peer(scope), reason, ", ".join(self.allowed_hosts))
                    body = reason.encode("utf-8")
                    message = {**message, "status": 403,
                               "headers": [(b"content-type", b"text/plain; charset=utf-8"),
                                           (b"content-length", str(len(body)).encode())]}
                elif kind.endswith("http.response.body"):
                    message = {**message, "body": body, "more_body": False}
            await send(message)

        await self.check(scope, receive, answer)


def _headers(scope) -> dict[str, str]:
    """The request's headers by lower-case name (the first of a repeated one, as Starlette reads them)."""
    out: dict[str, str] = {}
    for key, value in scope.get("headers") or []:
        out.setdefault(key.decode("latin-1").lower(), value.decode("latin-1"))
    return out


async def answer(send, status: int, body: bytes, content_type: bytes, extra=()) -> None:
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", content_type), (b"content-length", str(len(body)).encode()),
                            (b"cache-control", b"no-store"), *extra]})
    await send({"type": "http.response.body", "body": body, "more_body": False})


async def answer_json(send, status: int, detail: str, extra=()) -> None:
    await answer(send, status, json.dumps({"detail": detail}).encode(), b"application/json", extra)


class _TooLarge(Exception):
    pass


class RequestGuard:
    """Headers bounded (431). Before any body is read: every change to the API passes :meth:`Policy.decide` (403 with the
    reason, so a malformed body from someone without access is refused, not parsed); then any body
    is bounded in size (:data:`MAX_BODY`, 413) and time (:data:`BODY_TIMEOUT`, 408), read whole
    here and handed on. A body without the token is refused unread (403): whoever lacks it cannot
    keep connections busy by sending bodies slowly."""

    def __init__(self, app, policy: Policy, api_prefix: str = "/api/") -> None:
        self.app = app
        self.policy = policy
        self.api_prefix = api_prefix

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        method = scope.get("method", "")
        path = scope.get("path", "")
        raw_headers = scope.get("headers") or []
        if len(raw_headers) > MAX_HEADER_COUNT or sum(len(k) + len(v) for k, v in raw_headers) > MAX_HEADERS:
            log.warning("refused %s %s from %s: request headers too large", method, path, _peer(scope))
            await answer_json(send, 431, f"request headers too large (at most {MAX_HEADER_COUNT} headers, "
                                         f"{MAX_HEADERS} bytes)", [(b"connection", b"close")])
            return
        headers = _headers(scope)
        if method in CHANGE_METHODS and path.startswith(self.api_prefix):
            verdict = self.policy.decide_headers(headers, _peer(scope))
            if not verdict.allowed:
                log.warning("refused %s %s from %s: %s", method, path, _peer(scope), verdict.reason)
                await answer_json(send, 403, verdict.reason, [(b"connection", b"close")])   # its body unread
                return
        length_text = headers.get("content-length")
        chunked = "chunked" in headers.get("transfer-encoding", "").lower()
        if length_text is None and not chunked:
            await self.app(scope, receive, send)
            return
        if (chunked or length_text.strip() != "0") and not self.policy.may_view(
                headers, scope.get("query_string", b"").decode("latin-1")):
            # only the token holder may keep a connection busy sending a body (slowly, up to its limits)
            log.warning("refused %s %s from %s: a request body without the token", method, path, _peer(scope))
            await answer_json(send, 403, "no token: a request body is taken only with the token",
                              [(b"connection", b"close")])
            return
        if length_text is not None and (not length_text.strip().isdigit() or int(length_text) > MAX_BODY):
            log.warning("refused %s %s from %s: a body of %s bytes (at most %d)", method, path, _peer(scope),
                        length_text, MAX_BODY)
            await answer_json(send, 413, f"the request body is too large (at most {MAX_BODY} bytes)",
                              [(b"connection", b"close")])
            return
        try:
            body = await asyncio.wait_for(self._read(receive), BODY_TIMEOUT)
        except _TooLarge:
            log.warning("refused %s %s from %s: a body over %d bytes", method, path, _peer(scope), MAX_BODY)
            await answer_json(send, 413, f"the request body is too large (at most {MAX_BODY} bytes)",
                              [(b"connection", b"close")])
            return
        except (asyncio.TimeoutError, TimeoutError):
            log.warning("refused %s %s from %s: its body did not arrive within %.0f s", method, path,
                        _peer(scope), BODY_TIMEOUT)
            await answer_json(send, 408, f"the request body did not arrive within {BODY_TIMEOUT:.0f} s",
                              [(b"connection", b"close")])
            return
        if body is None:        # the client went away
            return
        delivered = False

        async def replay():
            nonlocal delivered
            if not delivered:
                delivered = True
                return {"type": "http.request", "body": body, "more_body": False}
            return await receive()

        await self.app(scope, replay, send)

    @staticmethod
    async def _read(receive) -> bytes | None:
        parts: list[bytes] = []
        size = 0
        while True:
            message = await receive()
            if message["type"] == "http.disconnect":
                return None
            chunk = message.get("body", b"")
            size += len(chunk)
            if size > MAX_BODY:
                raise _TooLarge()
            parts.append(chunk)
            if not message.get("more_body", False):
                return b"".join(parts)

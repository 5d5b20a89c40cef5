"""Who may change what: the session token, Host and Origin, the client's address, read-only.

Readings are open to anyone who reaches the server. A change needs all of:

* the panel is not ``--read-only``;
* no ``Origin`` header, or one equal to the panel's own (``http://`` + the Host header,
  itself checked by Starlette's TrustedHostMiddleware against :attr:`Policy.allowed_hosts`);
* a client on the loopback interface, unless ``--allow-remote-control``;
* the token: in ``Authorization: Bearer TOKEN``, or in the session cookie together
  with an ``Origin`` equal to the panel's own (a cookie rides along with any request
  the browser makes, even one a foreign page started; the Origin tells them apart).

The same :meth:`Policy.decide` judges HTTP requests and the page's socket.io channel. The
middlewares here put the rules in front of everything: no response may be framed, the Host
must be one the panel serves, the page's channel refuses a foreign Origin outright.
"""

from __future__ import annotations

import hmac
import ipaddress
import logging
import secrets
import socket
from dataclasses import dataclass
from typing import Iterable, Mapping
from urllib.parse import parse_qs

log = logging.getLogger("zq4180_panel.access")

LOOPBACK_HOSTS = ("localhost", "127.0.0.1", "[::1]")


def new_token() -> str:
    """A URL-safe secret of 256 bits."""
    return secrets.token_urlsafe(32)


def cookie_name(port: int) -> str:
    """Named with the TCP port: cookies ignore ports, so two panels would overwrite each other's."""
    return f"zq4180_panel_{port}"


def is_loopback(address: str | None) -> bool:
    if not address:
        return False
    try:
        ip = ipaddress.ip_address(address.strip("[]").split("%", 1)[0])
    except ValueError:
        return False
    if isinstance(ip, ipaddress.IPv6Address) and ip.ipv4_mapped is not None:
        ip = ip.ipv4_mapped
    return ip.is_loopback


def host_literal(host: str) -> str:
    """How a host appears in a URL and a Host header: IPv6 addresses in brackets."""
    try:
        if isinstance(ipaddress.ip_address(host.strip("[]")), ipaddress.IPv6Address):
            return f"[{host.strip('[]')}]"
    except ValueError:
        pass
    return host


def bind_is_loopback(host: str) -> bool:
    """True when every address the host name stands for is a loopback address."""
    if host in ("", "0.0.0.0", "::", "[::]"):
        return False
    if is_loopback(host):
        return True
    try:
        infos = socket.getaddrinfo(host.strip("[]"), None)
    except OSError:
        return False
    return bool(infos) and all(is_loopback(info[4][0]) for info in infos)


def bind_is_wildcard(host: str) -> bool:
    return host.strip("[]") in ("", "0.0.0.0", "::")


def machine_names_and_addresses() -> set[str]:
    """The machine's host names and the addresses of its interfaces, as Host headers name them."""
    names: set[str] = set(LOOPBACK_HOSTS)
    for name in (socket.gethostname(), socket.getfqdn()):
        if name:
            names.add(name.lower())
            try:
                for info in socket.getaddrinfo(name, None):
                    names.add(host_literal(info[4][0].split("%", 1)[0]))
            except OSError:
                pass
    try:
        import ifaddr
        for adapter in ifaddr.get_adapters():
            for ip in adapter.ips:
                text = ip.ip if isinstance(ip.ip, str) else ip.ip[0]
                names.add(host_literal(text.split("%", 1)[0]))
    except Exception:  # a machine whose interfaces cannot be listed still has its name
        log.debug("cannot list the network interfaces", exc_info=True)
    return names


def allowed_hosts(bind: str, extra: Iterable[str] = ()) -> list[str]:
    """The Host header values the panel answers (without ports), for TrustedHostMiddleware."""
    hosts: set[str] = set()
    if bind_is_loopback(bind):
        hosts.update(LOOPBACK_HOSTS)
        hosts.add(host_literal(bind).lower())
    elif bind_is_wildcard(bind):
        hosts.update(machine_names_and_addresses())
        hosts.add(host_literal(bind.strip("[]") or "0.0.0.0"))
    else:
        hosts.add(host_literal(bind).lower())
    hosts.update(host_literal(h).lower() for h in extra)
    return sorted(hosts)


@dataclass(frozen=True)
class Decision:
    allowed: bool
    reason: str = ""


DENIED_UNCHECKED = Decision(False, "the request did not come through a channel the panel checks")


def _cookie_value(cookie_header: str | None, name: str) -> str | None:
    if not cookie_header:
        return None
    for part in cookie_header.split(";"):
        key, sep, value = part.strip().partition("=")
        if sep and key == name:
            return value.strip().strip('"')
    return None


class Policy:
    """The access rules of one panel, fixed at start."""

    def __init__(self, token: str, port: int, *, read_only: bool = False,
                 allow_remote_control: bool = False, hosts: Iterable[str] = LOOPBACK_HOSTS) -> None:
        self.token = token
        self.port = port
        self.read_only = read_only
        self.allow_remote_control = allow_remote_control
        self.allowed_hosts = list(hosts)
        self.cookie = cookie_name(port)

    def token_matches(self, candidate: str | None) -> bool:
        """Constant-time comparison (the time taken tells nothing about how much matched)."""
        if candidate is None:
            return False
        return hmac.compare_digest(candidate.encode("utf-8", "surrogateescape"),
                                   self.token.encode("utf-8"))

    def set_cookie_header(self) -> bytes:
        return (f"{self.cookie}={self.token}; Path=/; HttpOnly; SameSite=Strict").encode("latin-1")

    def decide(self, *, host: str | None, origin: str | None, authorization: str | None,
               cookie_header: str | None, client: str | None) -> Decision:
        """May this request change anything? The reason says why not."""
        if self.read_only:
            return Decision(False, "the panel runs --read-only: every change is refused")
        own = f"http://{host}".lower() if host else None
        if origin is not None and (own is None or origin.lower() != own):
            return Decision(False, f"Origin {origin!r} is not this panel's ({own or 'no Host header'}): "
                                   f"changes from other sites are refused")
        if not self.allow_remote_control and not is_loopback(client):
            return Decision(False, f"changes from {client or 'an unknown client'} are refused: only clients on "
                                   f"this machine may change settings (use an SSH tunnel, or start the panel "
                                   f"with --allow-remote-control)")
        if authorization is not None:
            scheme, _, value = authorization.strip().partition(" ")
            if scheme.lower() == "bearer" and self.token_matches(value.strip()):
                return Decision(True)
            return Decision(False, "wrong token in the Authorization header (expected: Bearer TOKEN)")
        value = _cookie_value(cookie_header, self.cookie)
        if value is not None:
            if not self.token_matches(value):
                return Decision(False, "the session cookie holds a wrong token: open the address the panel printed")
            if origin is None:
                return Decision(False, "the session cookie counts only with an Origin header equal to "
                                       "the panel's own")
            return Decision(True)
        return Decision(False, "no token: send Authorization: Bearer TOKEN (the token is in the address the "
                               "panel printed), or open that address in the browser")

    def decide_headers(self, headers: Mapping[str, str], client: str | None) -> Decision:
        """For a Starlette request's headers (case-insensitive mapping)."""
        return self.decide(host=headers.get("host"), origin=headers.get("origin"),
                           authorization=headers.get("authorization"),
                           cookie_header=headers.get("cookie"), client=client)

    def decide_environ(self, environ: Mapping) -> Decision:
        """For a socket.io connection's WSGI-style environ (its REMOTE_ADDR is a fixed
        placeholder in the ASGI driver: the real peer is in the ASGI scope)."""
        scope = environ.get("asgi.scope") or {}
        peer = scope.get("client")
        return self.decide(host=environ.get("HTTP_HOST"), origin=environ.get("HTTP_ORIGIN"),
                           authorization=environ.get("HTTP_AUTHORIZATION"),
                           cookie_header=environ.get("HTTP_COOKIE"),
                           client=peer[0] if peer else None)

    def page_may_change(self, headers: Mapping[str, str], query_string: str, client: str | None) -> bool:
        """Whether the page should offer its controls (the socket decides for real)."""
        if self.read_only or (not self.allow_remote_control and not is_loopback(client)):
            return False
        tokens = parse_qs(query_string).get("token")
        if tokens and self.token_matches(tokens[0]):
            return True
        return self.token_matches(_cookie_value(headers.get("cookie"), self.cookie))


class TokenCookieMiddleware:
    """On a GET or HEAD whose ``?token=`` is right, the response sets the session cookie."""

    def __init__(self, app, policy: Policy) -> None:
        self.app = app
        self.policy = policy

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] != "http" or scope.get("method") not in ("GET", "HEAD"):
            await self.app(scope, receive, send)
            return
        tokens = parse_qs(scope.get("query_string", b"").decode("latin-1")).get("token")
        if not tokens:
            await self.app(scope, receive, send)
            return
        if not self.policy.token_matches(tokens[0]):
            client = scope.get("client")
            log.warning("a wrong ?token= from %s was ignored (no cookie set)", client[0] if client else "?")
            await self.app(scope, receive, send)
            return
        cookie = self.policy.set_cookie_header()

        async def send_with_cookie(message) -> None:
            if message["type"] == "http.response.start":
                message = dict(message)
                message["headers"] = [*message.get("headers", []), (b"set-cookie", cookie)]
            await send(message)

        await self.app(scope, receive, send_with_cookie)


#: on every HTTP response: no page of any origin may show the panel in a frame (a click there
#: would be a click on the panel, with the user's cookie: the same site's pages get it)
FRAME_HEADERS = ((b"content-security-policy", b"frame-ancestors 'none'"), (b"x-frame-options", b"DENY"))


class FrameGuardMiddleware:
    """Outermost layer: adds :data:`FRAME_HEADERS` to every HTTP response, refusals and the
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

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
    return bool(infos) and all(is_loopback(str(info[4][0])) for info in infos)


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
                    names.add(host_literal(str(info[4][0]).split("%", 1)[0]))
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


def cookie_values(cookie_header: str | None, name: str) -> list[str]:
    """Every value of the cookies called ``name``: another page of the same host may have planted
    one of that name for a path of the panel, and the browser sends both."""
    values = []
    for part in (cookie_header or "").split(";"):
        key, sep, value = part.strip().partition("=")
        if sep and key == name:
            values.append(value.strip().strip('"'))
    return values


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

    def cookie_matches(self, cookie_header: str | None) -> bool:
        """Some cookie of the panel's name carries the token."""
        return any(self.token_matches(v) for v in cookie_values(cookie_header, self.cookie))

    def may_view(self, headers: Mapping[str, str], query_string: str = "") -> bool:
        """The live page is for whoever holds the token (address, cookie or Authorization header);
        anyone else gets a small static page."""
        tokens = parse_qs(query_string).get("token")
        if tokens and self.token_matches(tokens[0]):
            return True
        if self.cookie_matches(headers.get("cookie")):
            return True
        scheme, _, value = (headers.get("authorization") or "").strip().partition(" ")
        return scheme.lower() == "bearer" and self.token_matches(value.strip())

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
        values = cookie_values(cookie_header, self.cookie)
        if values:
            if not self.cookie_matches(cookie_header):
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

    def may_view_environ(self, environ: Mapping) -> bool:
        """For a socket.io connection: only a page opened with the token gets a live channel."""
        return self.may_view({"cookie": environ.get("HTTP_COOKIE") or "",
                              "authorization": environ.get("HTTP_AUTHORIZATION") or ""})

    def page_may_change(self, headers: Mapping[str, str], query_string: str, client: str | None) -> bool:
        """Whether the page should offer its controls (the socket decides for real)."""
        if self.read_only or (not self.allow_remote_control and not is_loopback(client)):
            return False
        return self.may_view(headers, query_string)

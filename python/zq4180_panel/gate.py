"""The live page only for the token holder: anyone else gets a small static page.

A NiceGUI page view makes a client with all its elements, kept until its socket has come and
gone: a thousand anonymous views would cost a gigabyte. Without the token (in the address,
a cookie or an Authorization header) a view costs :data:`STATIC_PAGE` instead.
"""

from __future__ import annotations

from typing import Iterable

from .access import Policy
from .middleware import _headers, answer, answer_json, refuse


STATIC_PAGE = b"""<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>zq4180 front panel</title>
<meta name="viewport" content="width=device-width, initial-scale=1"></head>
<body style="font-family: sans-serif; background: #0b1220; color: #cbd5e1; padding: 2em">
<h1 style="font-size: 1.3em">zq4180 front panel</h1>
<p>Open the address the panel printed on the first line of its output when it started
(it ends in <code>?token=...</code>). That address, and then this browser's session cookie,
show the live panel.</p>
<p>Scripts read the supplies at <a href="/api/supplies" style="color: #7dd3fc">/api/supplies</a>.</p>
</body></html>
"""


class PageGate:
    """The live page (a NiceGUI client, with its elements and its channel) is made only for a
    viewer holding the token; any other page view gets :data:`STATIC_PAGE` (200 for ``/``,
    404 elsewhere), which costs nothing to keep, and any other WebSocket handshake 403."""

    def __init__(self, app, policy: Policy, open_prefixes: Iterable[str] = ("/api/", "/_nicegui/")) -> None:
        self.app = app
        self.policy = policy
        self.open_prefixes = tuple(open_prefixes)

    async def __call__(self, scope, receive, send) -> None:
        path = scope.get("path", "")
        if scope["type"] == "websocket" and not self.policy.may_view(
                _headers(scope), scope.get("query_string", b"").decode("latin-1")):
            # refused before the upgrade: an upgraded connection is not idle, so a thousand of them
            # held open would keep the token holder's own requests out until they time out
            await refuse(scope, send, "no token: the page's channel is only for a page opened with the "
                                      "address the panel printed")
            return
        if scope["type"] == "http" and not path.startswith(self.open_prefixes) \
                and not self.policy.may_view(_headers(scope), scope.get("query_string", b"").decode("latin-1")):
            if scope.get("method") in ("GET", "HEAD"):
                await answer(send, 200 if path == "/" else 404, STATIC_PAGE, b"text/html; charset=utf-8")
            else:
                await answer_json(send, 403, "no token: open the address the panel printed")
            return
        await self.app(scope, receive, send)

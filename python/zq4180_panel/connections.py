"""Bounded connections: whoever can reach the port cannot use up the panel's file descriptors.

uvicorn keeps every accepted connection until its client closes it: a thousand idle TCP
connections would use up a common ``ulimit -n`` of 1024, and then every request fails, All
outputs off included, and a lost supply's port cannot be reopened. Here:

* at most :func:`connection_cap` connections are open at once, well below the file limit;
  a new one beyond it takes the place of the connection idle the longest (no request in
  progress), else of one whose client has stopped reading its answer (or, failing that, of
  one whose answer is under way), or is closed at once when every connection waits for its
  answer, so a newcomer (the token holder) gets through while someone
  holds idle connections;
* a connection must complete its request head within :data:`HEAD_TIMEOUT` seconds of
  opening (or of its last response), however slowly it sends: then it is closed;
* request heads are bounded in size (h11's limit, :data:`MAX_HEAD`); bodies are bounded by
  :class:`.middleware.RequestGuard`.
"""

from __future__ import annotations

import asyncio
import logging
import resource
import time

import h11
from uvicorn.protocols.http.h11_impl import H11Protocol

log = logging.getLogger("zq4180_panel")

HEAD_TIMEOUT = 10.0        # s from opening (or the last response) to a complete request head
MAX_HEAD = 16 * 1024       # bytes of request line and headers
CAP_MAX = 256              # connections at most, whatever the file limit


def connection_cap(limit: int | None = None) -> int:
    """A quarter of the file limit, at most :data:`CAP_MAX`, at least 16: room stays for the
    supplies' ports, the logs and the interpreter's own files."""
    if limit is None:
        try:
            limit = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
        except (OSError, ValueError):
            limit = 1024
        if limit == resource.RLIM_INFINITY:
            limit = 1 << 20
    return max(16, min(CAP_MAX, limit // 4))


class GuardedH11Protocol(H11Protocol):
    """uvicorn's h11 protocol with the cap, the eviction and the request-head timeout."""

    cap = connection_cap()
    evicted = 0              # connections closed to make room (for figures and tests)
    refused = 0              # new connections closed because every one was busy

    def connection_made(self, transport) -> None:  # type: ignore[override]
        self.active_at = time.monotonic()
        self._head_timer: asyncio.TimerHandle | None = None
        if len(self.server_state.connections) >= self.cap and not self._make_room():
            type(self).refused += 1
            transport.close()
            return
        super().connection_made(transport)
        self._arm()

    def _make_room(self) -> bool:
        ours = [p for p in self.server_state.connections if isinstance(p, GuardedH11Protocol)]
        # an idle connection first; else one whose client does not read the answer it asked for
        # (a large file or CSV left unread would keep its connection busy for ever), else one whose
        # answer is under way: only a request still waiting for its answer (a change the token
        # holder asked for, waiting for its supply) is never cut
        idle = ([p for p in ours if p.idle()] or [p for p in ours if p.stalled()]
                or [p for p in ours if p.answering()])
        if not idle:
            return False
        oldest = min(idle, key=lambda p: p.active_at)
        type(self).evicted += 1
        oldest.close_quietly(abort=not oldest.idle())
        return True

    def idle(self) -> bool:
        """No request in progress on this connection."""
        return self.cycle is None or self.cycle.response_complete

    def stalled(self) -> bool:
        """An answer is being written and the client has stopped reading it (the transport's
        buffer is full)."""
        flow = getattr(self, "flow", None)
        return bool(flow is not None and flow.write_paused)

    def answering(self) -> bool:
        """An answer has begun and is not complete yet."""
        cycle = self.cycle
        return bool(cycle is not None and cycle.response_started and not cycle.response_complete)

    def close_quietly(self, abort: bool = False) -> None:
        """Close the connection; ``abort``: at once, dropping what its client did not read (a plain
        close would keep the socket until the client reads it all)."""
        self.connections.discard(self)
        self._disarm()
        if self.transport is not None:
            if abort:
                self.transport.abort()
            elif not self.transport.is_closing():
                self.transport.close()

    def _arm(self) -> None:
        self._disarm()
        self._head_timer = self.loop.call_later(HEAD_TIMEOUT, self._head_timed_out)

    def _disarm(self) -> None:
        timer = getattr(self, "_head_timer", None)
        if timer is not None:
            timer.cancel()
            self._head_timer = None

    def _head_timed_out(self) -> None:
        self._head_timer = None
        if self in self.connections and self.idle():    # an upgraded connection has left the set
            self.close_quietly()

    def data_received(self, data: bytes) -> None:
        self.active_at = time.monotonic()
        super().data_received(data)
        if not self.idle() or self not in self.connections:
            self._disarm()          # a request head is complete, or the connection was upgraded

    def on_response_complete(self) -> None:
        self.active_at = time.monotonic()
        super().on_response_complete()
        if self in self.connections and self.idle():
            self._arm()

    def connection_lost(self, exc) -> None:
        self._disarm()
        super().connection_lost(exc)

    def send_400_response(self, msg: str) -> None:
        """h11's answer to a request it cannot parse, written before any ASGI layer sees it: with
        the same security headers as every other answer."""
        from .middleware import FRAME_HEADERS

        event = h11.Response(status_code=400, reason=b"Bad Request",
                             headers=[(b"content-type", b"text/plain; charset=utf-8"),
                                      (b"connection", b"close"), *FRAME_HEADERS])
        self.transport.write(self.conn.send(event))
        self.transport.write(self.conn.send(h11.Data(data=msg.encode("ascii", "replace"))))
        self.transport.write(self.conn.send(h11.EndOfMessage()))
        self.transport.close()

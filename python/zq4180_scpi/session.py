"""One connection: its lines run in order, its own error queue and status registers.

Commands of a line run one after the other; the first refused one queues its
error and ends the line (the commands after it do not run). The replies of a
line go back together, joined with ``;``.
"""

from __future__ import annotations

from typing import Awaitable, Callable

from .errors import ESR_PON, NO_REPLY_TEXT, PORT_LOST_TEXT, ErrorQueue, ScpiError, esr_bit
from .parse import Param, parse_command, split_line
from .table import resolve

NAN = "9.91E37"    # SCPI's not-a-number: a query that could not be answered

Handler = Callable[["Session", bool, tuple], Awaitable["str | None"]]


class Session:
    def __init__(self, station, peer: str = "") -> None:
        self.station = station
        self.peer = peer
        self.errors = ErrorQueue()
        self.esr = ESR_PON
        self.ese = 0
        self.sre = 0
        self.pending_replies = 0          # replies of the line so far (the message-available bit)
        self._line_reading = None

    # -- errors ------------------------------------------------------------------------

    def error(self, exc: ScpiError) -> None:
        self.errors.push(exc.code, exc.text())
        self.esr |= esr_bit(exc.code)

    def unanswered(self, reading) -> str:
        """Queue why a reading has no answer (-240 or -241); the reply a number then gets."""
        if reading is not None and reading.status == "no_reply":
            self.error(ScpiError(-240, NO_REPLY_TEXT))
        else:
            self.error(ScpiError(-241, PORT_LOST_TEXT))
        return NAN

    # -- readings ------------------------------------------------------------------------

    async def line_reading(self):
        """One fresh status read per line, shared by its queries (a setting on the line renews it)."""
        if self._line_reading is None:
            self._line_reading = await self.station.fresh_reading()
        return self._line_reading

    def changed(self) -> None:
        self._line_reading = None

    # -- lines ----------------------------------------------------------------------------

    async def execute(self, line: str) -> str | None:
        """Run one line; the reply line (without its newline), or None when it has no reply."""
        from .handlers import HANDLERS
        self._line_reading = None
        self.pending_replies = 0
        if not line.strip():
            return None
        replies: list[str] = []
        try:
            parts = split_line(line)
            path: tuple[str, ...] = ()
            for part in parts:
                command = parse_command(part)
                entry, path = resolve(command.header, path)
                query = command.header.query
                if query and not entry.query:
                    raise ScpiError(-100, f"{command.header.text}: {entry.pattern} has no query form")
                if not query and not entry.command:
                    raise ScpiError(-100, f"{command.header.text}: {entry.pattern} is a query only (add '?')")
                if not query and entry.setting and self.station.read_only:
                    raise ScpiError(-203, "this server is read-only (--read-only): no setting is taken")
                reply = await HANDLERS[entry.name](self, query, command.params)
                if reply is not None:
                    replies.append(reply)
                    self.pending_replies += 1
        except ScpiError as exc:
            self.error(exc)
        except Exception as exc:  # a fault of this server, not of the command: said, and the line ends
            import logging
            logging.getLogger("zq4180_scpi").exception("%s: %r failed", self.station.name, line)
            self.error(ScpiError(-300, f"internal error: {exc}"))
        return ";".join(replies) if replies else None


def count(params: tuple[Param, ...], low: int, high: int, what: str) -> None:
    """-109 for fewer than ``low`` parameters, -108 for more than ``high``."""
    if len(params) < low:
        raise ScpiError(-109, f"{what} needs {'a parameter' if low == 1 else f'{low} parameters'}")
    if len(params) > high:
        allowed = "no parameter" if high == 0 else f"at most {high} parameter{'s' if high > 1 else ''}"
        raise ScpiError(-108, f"{what} takes {allowed}")

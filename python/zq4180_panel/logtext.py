"""The operator's log says only what happened: no text from outside can start a line of its own.

Paths, header values, names and a page's messages reach log lines; a control character in
any of them (a line feed, a carriage return, an escape sequence for the terminal) is
written as an escape (``\\n``, ``\\x1b``), so a forged line cannot appear. A traceback
keeps its lines, each indented (its exception's message may hold text from outside too).
"""

from __future__ import annotations

import logging
import re

_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u0085]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def one_line(text: str) -> str:
    """``text`` with every control character escaped."""
    return _CONTROL.sub(lambda m: _NAMED.get(m[0]) or (f"\\x{ord(m[0]):02x}" if ord(m[0]) < 0x100
                                                       else f"\\u{ord(m[0]):04x}"), text)


class OneLineFormatter(logging.Formatter):
    """Each record's message on one line, whatever its arguments held."""

    def formatMessage(self, record: logging.LogRecord) -> str:
        record.message = one_line(record.message)
        return super().formatMessage(record)

    def formatException(self, ei) -> str:
        return _indented(super().formatException(ei))

    def formatStack(self, stack_info: str) -> str:
        return _indented(super().formatStack(stack_info))


def _indented(text: str) -> str:
    """Each line of a traceback indented, so none can pass for a log entry of its own."""
    return "\n".join("    " + one_line(line) for line in text.splitlines())


def only_through_root() -> int:
    """Remove the handlers libraries put on their own loggers (engine.io and socket.io each add
    a plain ``StreamHandler`` when they are imported, which would write a client's text, such as
    a session id from the query string, unescaped and a second time): their records then reach
    the operator's log only through the root handler, escaped. Returns how many were removed."""
    removed = 0
    for logger in list(logging.root.manager.loggerDict.values()):
        if isinstance(logger, logging.Logger):
            for handler in list(logger.handlers):
                logger.removeHandler(handler)
                removed += 1
            logger.propagate = True
    return removed


def install(prog: str, level: int = logging.INFO) -> logging.Handler:
    """The panel's log on standard error, one line per record."""
    import sys
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(OneLineFormatter(f"{prog}: %(message)s"))
    root = logging.getLogger()
    for old in list(root.handlers):
        root.removeHandler(old)
    root.addHandler(handler)
    root.setLevel(level)
    return handler

"""Ctrl-C, SIGTERM and SIGHUP end a command through its safe end.

SIGINT raises KeyboardInterrupt (Python's own); SIGTERM and SIGHUP raise
:class:`Terminated`. While the safe end runs, :func:`shielded` records signals
instead of raising them, so a second Ctrl-C does not skip it.
"""

from __future__ import annotations

import contextlib
import signal
import threading
from typing import Iterator


class Terminated(BaseException):
    """SIGTERM or SIGHUP arrived (a BaseException, like KeyboardInterrupt)."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def exit_status(exc: BaseException) -> int | None:
    """128 + the signal's number for an interruption, else None."""
    if isinstance(exc, KeyboardInterrupt):
        return 128 + signal.SIGINT
    if isinstance(exc, Terminated):
        return 128 + exc.signum
    return None


def as_exception(signum: int) -> BaseException:
    """The exception a signal raises in a command: KeyboardInterrupt or Terminated."""
    return KeyboardInterrupt() if signum == signal.SIGINT else Terminated(signum)


_SIGNALS = tuple(s for s in (getattr(signal, "SIGTERM", None), getattr(signal, "SIGHUP", None)) if s)


def _raise_terminated(signum, frame):
    raise Terminated(signum)


def install() -> None:
    """SIGTERM and SIGHUP raise Terminated in the main thread."""
    if threading.current_thread() is not threading.main_thread():
        return
    signal.signal(signal.SIGINT, signal.default_int_handler)
    for sig in _SIGNALS:
        signal.signal(sig, _raise_terminated)


@contextlib.contextmanager
def shielded() -> Iterator[list[int]]:
    """Record SIGINT, SIGTERM and SIGHUP instead of raising them; yields the list of those seen."""
    if threading.current_thread() is not threading.main_thread():
        yield []
        return
    seen: list[int] = []
    sigs = (signal.SIGINT, *_SIGNALS)
    previous = {}
    try:
        for sig in sigs:
            previous[sig] = signal.signal(sig, lambda signum, frame: seen.append(signum))
        yield seen
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)

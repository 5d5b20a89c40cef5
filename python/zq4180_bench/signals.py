"""Ctrl-C, SIGTERM and SIGHUP end a command through its safe end.

SIGINT raises KeyboardInterrupt (Python's own); SIGTERM and SIGHUP raise
:class:`Terminated`. While the safe end runs, :func:`shielded` records signals
instead of raising them, so a second Ctrl-C does not skip it. While one
exchange with a supply runs, :func:`deferred` records them and raises the first
once the exchange is over, so an exchange is never cut in the middle (a cut one
would leave a reply on its way, and the next request would have to wait it out).

All of this concerns the main thread only: Python runs signal handlers there.
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
    """SIGTERM and SIGHUP raise Terminated in the main thread (and SIGINT KeyboardInterrupt)."""
    if threading.current_thread() is not threading.main_thread():
        return
    signal.signal(signal.SIGINT, signal.default_int_handler)
    for sig in _SIGNALS:
        signal.signal(sig, _raise_terminated)


# Lists receiving the signals of the blocks open now (innermost last); main thread only.
_receivers: list[list[int]] = []


def _record(signum, frame) -> None:
    if _receivers:
        _receivers[-1].append(signum)


def _in_main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


def _take_over() -> dict:
    """Point every handled signal at :func:`_record`; the previous handlers, by signal.

    A signal that is ignored (or whose handler was not set from Python) is left alone."""
    previous = {}
    for sig in (signal.SIGINT, *_SIGNALS):
        handler = signal.getsignal(sig)
        if handler is None or handler == signal.SIG_IGN:
            continue
        previous[sig] = signal.signal(sig, _record)
    return previous


def _give_back(previous: dict) -> None:
    for sig, handler in previous.items():
        if signal.getsignal(sig) != signal.SIG_IGN:   # ignore() inside the block stays in force
            signal.signal(sig, handler)


@contextlib.contextmanager
def shielded() -> Iterator[list[int]]:
    """Record SIGINT, SIGTERM and SIGHUP instead of raising them; yields the list of those seen."""
    if not _in_main_thread():
        yield []
        return
    seen: list[int] = []
    _receivers.append(seen)
    previous = _take_over()
    try:
        yield seen
    finally:
        _give_back(previous)
        _receivers.remove(seen)


@contextlib.contextmanager
def deferred(keep: tuple[type[BaseException], ...] = ()) -> Iterator[None]:
    """Hold SIGINT, SIGTERM and SIGHUP back until the block is over, then raise the first.

    The block is not cut: a signal that arrives inside it is recorded, and raised as
    KeyboardInterrupt or :class:`Terminated` (or handed to the program's own handler) once
    the block ends, also when the block ends with an error (the signal is what the person
    asked for; the error stays attached as its context), except an error of a ``keep``
    type: that one is what the program must report (an off not confirmed), and the signal
    is dropped. Inside :func:`shielded` (or another :func:`deferred`) the enclosing block
    records the signal and nothing is raised here. Outside the main thread it does nothing.
    """
    if not _in_main_thread() or _receivers:
        yield
        return
    seen: list[int] = []
    _receivers.append(seen)
    previous = _take_over()
    try:
        yield
    except keep:
        del seen[:]
        raise
    finally:
        _give_back(previous)
        _receivers.remove(seen)
        if seen and signal.getsignal(seen[0]) != signal.SIG_IGN:
            _deliver(seen[0], previous.get(seen[0]))


def _deliver(signum: int, handler) -> None:
    """Act on a signal that was held back, as its handler would have."""
    if callable(handler) and handler is not signal.default_int_handler and handler is not _raise_terminated:
        handler(signum, None)  # a program's own handler (it may raise, or only take note)
        return
    raise as_exception(signum)


def ignore() -> None:
    """From now on SIGINT, SIGTERM and SIGHUP change nothing (main thread only): the program's
    outcome is decided, e.g. a safe end that could not confirm the output off exits 1."""
    if not _in_main_thread():
        return
    for sig in (signal.SIGINT, *_SIGNALS):
        signal.signal(sig, signal.SIG_IGN)


# -- start-up -----------------------------------------------------------------------------

# shared with the package's first lines, which hold signals from the very start of the command
from . import _EARLY_SIGNALS as _early  # noqa: E402


def _record_early(signum, frame) -> None:
    _early.append(signum)


def hold_early() -> None:
    """Record SIGINT, SIGTERM and SIGHUP from now until :func:`install` (a program's start-up:
    its imports are not cut by an exception, which would show as a traceback). A signal the
    package recorded while it was loading is kept."""
    if not _in_main_thread():
        return
    for sig in (signal.SIGINT, *_SIGNALS):
        if signal.getsignal(sig) not in (None, signal.SIG_IGN):
            signal.signal(sig, _record_early)


def early() -> int | None:
    """The first signal recorded since :func:`hold_early` (forgotten once asked), or None."""
    first = _early[0] if _early else None
    del _early[:]
    return first

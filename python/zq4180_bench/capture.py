"""The driver prints a line for some replies (``set voltage, read:[...]``).

Its ``print`` writes to ``sys.stdout``; a thread that runs a driver call under
:func:`captured` has its writes routed to a callback instead, while other
threads keep writing to the real stdout. Nothing is added to the driver.
"""

from __future__ import annotations

import contextlib
import sys
import threading
from typing import Callable, Iterator

_local = threading.local()


class _Router:
    def __init__(self, real) -> None:
        self._real = real

    def write(self, text: str) -> int:
        sink = getattr(_local, "sink", None)
        if sink is None:
            return self._real.write(text)
        sink(text)
        return len(text)

    def flush(self) -> None:
        if getattr(_local, "sink", None) is None:
            self._real.flush()

    def __getattr__(self, name: str):
        return getattr(self._real, name)


class _Lines:
    def __init__(self, emit: Callable[[str], None]) -> None:
        self.emit, self.buf = emit, ""

    def __call__(self, text: str) -> None:
        self.buf += text
        while "\n" in self.buf:
            line, self.buf = self.buf.split("\n", 1)
            self.emit(line)

    def close(self) -> None:
        if self.buf:
            self.emit(self.buf)
            self.buf = ""


@contextlib.contextmanager
def captured(emit: Callable[[str], None]) -> Iterator[None]:
    """Route this thread's writes to stdout to ``emit``, one call per line."""
    if not isinstance(sys.stdout, _Router) and sys.stdout is not None:
        sys.stdout = _Router(sys.stdout)
    lines = _Lines(emit)
    outer = getattr(_local, "sink", None)
    _local.sink = lines
    try:
        yield
    finally:
        _local.sink = outer
        lines.close()

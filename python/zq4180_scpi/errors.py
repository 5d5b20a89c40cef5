"""SCPI error numbers, the per-connection error queue and the event status register."""

from __future__ import annotations

import collections

QUEUE_DEPTH = 16

#: the numbers this server queues, with SCPI's standard text for each
TEXTS = {
    -100: "Command error",
    -102: "Syntax error",
    -104: "Data type error",
    -108: "Parameter not allowed",
    -109: "Missing parameter",
    -113: "Undefined header",
    -114: "Header suffix out of range",
    -131: "Invalid suffix",
    -203: "Command protected",
    -221: "Settings conflict",
    -222: "Data out of range",
    -224: "Illegal parameter value",
    -240: "Hardware error",
    -241: "Hardware missing",
    -300: "Device-specific error",
    -350: "Queue overflow",
    -363: "Input buffer overrun",
}

NO_REPLY_TEXT = "the supply did not answer"
PORT_LOST_TEXT = "port lost"

# event status register bits (IEEE 488.2)
ESR_OPC, ESR_QYE, ESR_DDE, ESR_EXE, ESR_CME, ESR_PON = 1, 4, 8, 16, 32, 128


class ScpiError(Exception):
    """A command refused (or a query left unanswered): ``code`` and the reason after the ';'."""

    def __init__(self, code: int, detail: str | None = None) -> None:
        super().__init__(code, detail)
        self.code = code
        self.detail = detail

    def text(self) -> str:
        base = TEXTS[self.code]
        return f"{base}; {self.detail}" if self.detail else base


def esr_bit(code: int) -> int:
    """The event status bit an error sets: command, execution or device-dependent error."""
    if -199 <= code <= -100:
        return ESR_CME
    if -299 <= code <= -200:
        return ESR_EXE
    if -399 <= code <= -300:
        return ESR_DDE
    if -499 <= code <= -400:
        return ESR_QYE
    return 0


def quoted(text: str) -> str:
    """A SCPI string: in double quotes, a quote inside doubled."""
    return '"' + text.replace('"', '""') + '"'


class ErrorQueue:
    """First in, first out, 16 deep; when full the newest entry becomes -350 (Queue overflow),
    which says how many errors were lost."""

    def __init__(self, depth: int = QUEUE_DEPTH) -> None:
        self.depth = depth
        self._items: collections.deque[tuple[int, str]] = collections.deque()
        self._lost = 0

    def push(self, code: int, text: str) -> None:
        if len(self._items) < self.depth:
            self._items.append((code, text))
            return
        # the queue's last place tells that errors were lost: the one it held, and each one since
        self._lost = self._lost + 1 if self._items[-1][0] == -350 else 2
        self._items[-1] = (-350, f"{TEXTS[-350]}; {self._lost} errors lost (the queue holds {self.depth}: "
                                 "read SYST:ERR? sooner)")

    def pop(self) -> tuple[int, str]:
        return self._items.popleft() if self._items else (0, "No error")

    def clear(self) -> None:
        self._items.clear()

    def __len__(self) -> int:
        return len(self._items)

    @staticmethod
    def format(entry: tuple[int, str]) -> str:
        code, text = entry
        return f"{code},{quoted(text)}"

"""Sequence files (list mode): ``voltage,current,seconds[,output][,ramp]`` rows, checked whole."""

from __future__ import annotations

import csv
import io
import os
from dataclasses import dataclass

from .limits import LimitError

SEQUENCE_REQUIRED = ("voltage", "current", "seconds")
SEQUENCE_OPTIONAL = ("output", "ramp")


class SequenceError(ValueError):
    """A sequence file that cannot run; ``str()`` is ``FILE:LINE: reason``."""

    def __init__(self, path: str, line: int, reason: str) -> None:
        super().__init__(f"{path}:{line}: {reason}" if line else f"{path}: {reason}")
        self.path, self.line, self.reason = path, line, reason


@dataclass(frozen=True)
class Step:
    voltage: float
    current: float
    seconds: float
    output: str = "on"
    ramp: float | None = None     # V/s
    line: int = 0


def parse_sequence(text: str, path: str = "<sequence>") -> list[Step]:
    """Rows of ``voltage,current,seconds[,output][,ramp]``; ``#`` starts a comment.
    The whole text is checked: SequenceError names the first bad line."""
    header: list[str] | None = None
    header_line = 0
    steps: list[Step] = []
    for number, raw in enumerate(text.splitlines(), start=1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        cells = [c.strip() for c in next(csv.reader(io.StringIO(line)))]
        if header is None:
            header, header_line = [c.lower() for c in cells], number
            for name in header:
                if name not in SEQUENCE_REQUIRED + SEQUENCE_OPTIONAL:
                    raise SequenceError(path, number, f"unknown column {name!r} (columns: voltage, current, "
                                                      "seconds, and optionally output, ramp)")
            if len(set(header)) != len(header):
                raise SequenceError(path, number, "a column is named twice")
            missing = [c for c in SEQUENCE_REQUIRED if c not in header]
            if missing:
                raise SequenceError(path, number, f"the header lacks {', '.join(missing)} "
                                                  "(it must name voltage,current,seconds)")
            continue
        if len(cells) > len(header):
            raise SequenceError(path, number, f"{len(cells)} values for {len(header)} columns")
        cells += [""] * (len(header) - len(cells))   # optional columns at the end may be left out
        row = dict(zip(header, cells))
        values: dict = {"line": number}
        for name, unit in (("voltage", "volts"), ("current", "amperes"), ("seconds", "seconds")):
            if not row[name]:
                raise SequenceError(path, number, f"{name} is missing")
            values[name] = _number(path, number, name, row[name], unit)
        output = (row.get("output", "") or "on").lower()
        if output not in ("on", "off"):
            raise SequenceError(path, number, f"output must be 'on' or 'off', got {output!r}")
        values["output"] = output
        if row.get("ramp"):
            values["ramp"] = _number(path, number, "ramp", row["ramp"], "volts per second")
            if values["ramp"] <= 0:
                raise SequenceError(path, number, "ramp must be more than 0 V/s (leave it empty for a step)")
        steps.append(Step(**values))
    if header is None:
        raise SequenceError(path, 1, "empty: a header voltage,current,seconds and at least one row are needed")
    if not steps:
        raise SequenceError(path, header_line, "no rows after the header")
    return steps


def _number(path: str, line: int, name: str, text: str, unit: str) -> float:
    from .numbers import plain_number
    try:
        return plain_number(text, name, unit)
    except ValueError as exc:
        raise SequenceError(path, line, str(exc)) from None


def load_sequence(path: str | os.PathLike) -> list[Step]:
    try:
        with open(path, encoding="utf-8-sig") as f:   # a spreadsheet's byte-order mark is no column name
            text = f.read()
    except OSError as exc:
        raise SequenceError(str(path), 0, f"cannot read: {exc.strerror or exc}") from None
    except UnicodeDecodeError:
        raise SequenceError(str(path), 0, "not UTF-8 text") from None
    return parse_sequence(text, str(path))


def check_sequence(supply, steps: list[Step], path: str = "<sequence>") -> None:
    """Every row against the limits: SequenceError (``FILE:LINE: reason``) for the first over one."""
    for s in steps:
        try:
            supply.check(voltage=s.voltage, current=s.current)
        except LimitError as exc:
            raise SequenceError(path, s.line, str(exc)) from None

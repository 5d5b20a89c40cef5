"""The log writer: CSV with ``#`` comment lines and a header, or JSON lines.

Each row is written and flushed as it is taken (not fsynced): Ctrl-C, a kill
or a lost supply loses at most the reading in progress.
"""

from __future__ import annotations

import csv
import io
import json
import os
from pathlib import Path
from typing import Iterable, Mapping

from .readings import COLUMNS, Reading

MODES = ("new", "force", "append")
FORMATS = ("csv", "jsonl")


class OutputExists(FileExistsError):
    """The output file exists and neither overwriting nor appending was asked for."""


def format_for(path: str | os.PathLike, fmt: str | None = None) -> str:
    if fmt is not None:
        if fmt not in FORMATS:
            raise ValueError(f"log format must be one of {FORMATS}, got {fmt!r}")
        return fmt
    suffix = Path(path).suffix.lower()
    return "jsonl" if suffix in (".jsonl", ".json", ".ndjson") else "csv"


def open_output(path: str | os.PathLike, mode: str = "new", *, what: str = "output file"):
    """A text file opened for writing under the --force / --append rules."""
    if mode not in MODES:
        raise ValueError(f"mode must be one of {MODES}, got {mode!r}")
    flag = {"new": "x", "force": "w", "append": "a"}[mode]
    try:
        return open(path, flag, encoding="utf-8", newline="")
    except FileExistsError:
        raise OutputExists(f"{path}: the {what} exists (use --force to overwrite it"
                           + (" or --append to add to it)" if what == "log" else ")")) from None


class LogWriter:
    """Rows of readings to ``path``: CSV (``#`` comments, header, rows) or JSON lines.

    ``mode``: "new" refuses an existing file, "force" overwrites it, "append"
    adds to it (a CSV's header must then match). ``comments`` become ``# key: value``
    lines at the top of a CSV (and before the appended rows).
    """

    def __init__(self, path: str | os.PathLike, fmt: str | None = None, mode: str = "new",
                 comments: Mapping[str, object] | None = None, columns: Iterable[str] = COLUMNS) -> None:
        self.path = Path(path)
        self.fmt = format_for(path, fmt)
        self.columns = tuple(columns)
        self.rows = 0
        existing = mode == "append" and self.path.exists() and self.path.stat().st_size > 0
        if existing:
            self._check_existing()
        self._file = open_output(self.path, mode, what="log")
        try:
            if self.fmt == "csv":
                self._csv = csv.writer(self._file, lineterminator="\n")
                for key, value in (comments or {}).items():
                    self._file.write(f"# {key}: {_one_line(value)}\n")
                if not existing:
                    self._csv.writerow(self.columns)
            self._file.flush()
        except BaseException:
            self._file.close()
            raise

    def _check_existing(self) -> None:
        """Appending: the file must hold this format, and for CSV the same header."""
        with open(self.path, encoding="utf-8", newline="") as f:
            for line in f:
                if line.startswith("#") or not line.strip():
                    continue
                if (self.fmt == "jsonl") != line.lstrip().startswith("{"):
                    kind = "JSON lines" if self.fmt == "jsonl" else "CSV"
                    raise ValueError(f"{self.path}: cannot append {kind}: the file holds another format")
                if self.fmt == "jsonl":
                    return
                header = next(csv.reader(io.StringIO(line)))
                if tuple(header) != self.columns:
                    raise ValueError(f"{self.path}: cannot append: its header differs from this log's "
                                     f"({','.join(header)[:60]}...)")
                return

    def write(self, reading: Reading | Mapping[str, object]) -> None:
        row = reading.as_dict() if isinstance(reading, Reading) else dict(reading)
        if self.fmt == "csv":
            if isinstance(reading, Reading):
                self._csv.writerow(reading.csv_row())
            else:
                self._csv.writerow(["" if row.get(c) is None else row.get(c) for c in self.columns])
        else:
            self._file.write(json.dumps({c: row.get(c) for c in self.columns}) + "\n")
        self._file.flush()
        self.rows += 1

    def close(self) -> None:
        if not self._file.closed:
            self._file.close()

    def __enter__(self) -> "LogWriter":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def log_comments(supply, tool: str, /, **extra: object) -> dict[str, object]:
    """The ``#`` lines a log of ``supply`` starts with: tool version, start time,
    port, name, identity, then ``extra`` (interval, sequence...), then the limits."""
    from . import __version__
    from .readings import identity_text, now_iso
    comments: dict[str, object] = {"tool": f"{tool} {__version__}", "start": now_iso(), "port": supply.port}
    if supply.name:
        comments["name"] = supply.name
    comments["identity"] = identity_text(supply.identity)
    comments.update(extra)
    comments["limits"] = supply.limits.describe()
    return comments


def _one_line(value: object) -> str:
    return " ".join(str(value).split())

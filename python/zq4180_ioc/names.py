"""Record names: what EPICS allows, and the refusals made before anything is served."""

from __future__ import annotations

import re

#: characters EPICS allows in a record name
NAME_CHARS = re.compile(r"[A-Za-z0-9_\-+:\[\]<>;]*")
MAX_RECORD_NAME = 60

#: every record of one supply, after ``PREFIX`` + ``NAME:``
FIELDS = ("VOLT:SP", "VOLT:RBV", "VOLT:MEAS", "CURR:SP", "CURR:RBV", "CURR:MEAS", "VLIM:SP", "VLIM:RBV",
          "POW:MEAS", "OUTP:SP", "OUTP:RBV", "MODE", "TEMP:ALARM", "FAN", "CTRL", "IDN", "COMM", "MSG", "MSG:FULL",
          "OFF")
ALL_NAME = "ALL"
ALL_OFF = "ALL:OFF"


class RecordNameError(ValueError):
    """A prefix or supply name that cannot make record names; the text says why."""


def _bad_chars(text: str) -> str:
    return "".join(sorted({c for c in text if not NAME_CHARS.fullmatch(c)}))


def check_prefix(prefix: str) -> None:
    bad = _bad_chars(prefix)
    if bad:
        raise RecordNameError(f"--prefix {prefix!r} has characters EPICS does not allow in a record name: "
                         f"{' '.join(repr(c) for c in bad)} (allowed: letters, digits and _ - + : [ ] < > ;)")


def record_prefixes(prefix: str, names: list[str]) -> list[str]:
    """``PREFIX`` + each name in upper case + ``:``; RecordNameError naming the first problem:
    characters EPICS does not allow, a record name over 60 characters, two names alike
    but for case, a supply named ALL."""
    check_prefix(prefix)
    out: list[str] = []
    seen: dict[str, str] = {}
    longest = max(FIELDS, key=len)
    for name in names:
        upper = name.upper()
        bad = _bad_chars(name)
        if bad:
            raise RecordNameError(f"supply name {name!r} has characters EPICS does not allow in a record name: "
                             f"{' '.join(repr(c) for c in bad)} (allowed: letters, digits and _ - + : [ ] < > ;); "
                             f"rename it in the configuration file")
        if not name:
            raise RecordNameError("a supply has an empty name")
        if upper == ALL_NAME:
            raise RecordNameError(f"supply name {name!r} is taken: {prefix}{ALL_OFF} switches every supply off; "
                             f"rename it in the configuration file")
        if upper in seen:
            raise RecordNameError(f"supplies {seen[upper]!r} and {name!r} would have the same record names "
                             f"({prefix}{upper}:...): names differ only in case; rename one")
        seen[upper] = name
        full = f"{prefix}{upper}:{longest}"
        if len(full) > MAX_RECORD_NAME:
            raise RecordNameError(f"record name {full} is {len(full)} characters, over EPICS's {MAX_RECORD_NAME}: "
                             f"use a shorter --prefix or supply name")
        out.append(f"{prefix}{upper}:")
    if len(prefix + ALL_OFF) > MAX_RECORD_NAME:
        raise RecordNameError(f"record name {prefix}{ALL_OFF} is over {MAX_RECORD_NAME} characters: use a shorter "
                         f"--prefix")
    return out

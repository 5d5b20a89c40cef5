"""The command table: each header pattern with the handler that runs it.

Patterns are written as SCPI documents them: upper case is the short form,
the whole word the long form, brackets an optional node.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

from .errors import ScpiError
from .parse import Header


@dataclass(frozen=True)
class Node:
    long: str
    short: str
    optional: bool

    def matches(self, keyword: str) -> bool:
        return keyword in (self.long, self.short)


@dataclass(frozen=True)
class Entry:
    pattern: str
    nodes: tuple[Node, ...]
    name: str             # the handler
    command: bool         # has a setting form
    query: bool           # has a query form
    setting: bool         # the setting form changes the supply (refused by --read-only)


def _nodes(pattern: str) -> tuple[Node, ...]:
    out = []
    for m in re.finditer(r"(\[)?:?([*A-Za-z]+)\]?", pattern):
        optional = m.group(1) is not None
        word = m.group(2)
        short = "".join(ch for ch in word if ch.isupper() or ch == "*")
        out.append(Node(word.upper(), short, optional))
    return tuple(out)


#: pattern, handler, has a setting form, has a query form, the setting changes the supply
ROWS = [
    ("*IDN", "idn", False, True, False),
    ("*RST", "rst", True, False, True),
    ("*CLS", "cls", True, False, False),
    ("*ESE", "ese", True, True, False),
    ("*ESR", "esr", False, True, False),
    ("*SRE", "sre", True, True, False),
    ("*STB", "stb", False, True, False),
    ("*OPC", "opc", True, True, False),
    ("*WAI", "wai", True, False, False),
    ("*TST", "tst", False, True, False),
    ("SYSTem:ERRor[:NEXT]", "error_next", False, True, False),
    ("SYSTem:ERRor:COUNt", "error_count", False, True, False),
    ("SYSTem:VERSion", "version", False, True, False),
    ("SYSTem:REMote", "remote", True, False, True),
    ("SYSTem:LOCal", "local", True, False, True),
    ("SYSTem:RWLock", "remote", True, False, True),
    ("[SOURce:]VOLTage[:LEVel][:IMMediate][:AMPLitude]", "voltage", True, True, True),
    ("[SOURce:]VOLTage:LIMit[:LEVel]", "ceiling", True, True, True),
    ("[SOURce:]CURRent[:LEVel][:IMMediate][:AMPLitude]", "current", True, True, True),
    ("APPLy", "apply", True, True, True),
    ("OUTPut[:STATe]", "output", True, True, True),
    ("OUTPut:MODE", "output_mode", False, True, False),
    ("MEASure[:SCALar]:VOLTage[:DC]", "meas_voltage", False, True, False),
    ("MEASure[:SCALar]:CURRent[:DC]", "meas_current", False, True, False),
    ("MEASure[:SCALar]:POWer[:DC]", "meas_power", False, True, False),
    ("FETCh[:SCALar]:VOLTage[:DC]", "fetch_voltage", False, True, False),
    ("FETCh[:SCALar]:CURRent[:DC]", "fetch_current", False, True, False),
    ("FETCh[:SCALar]:POWer[:DC]", "fetch_power", False, True, False),
    ("STATus:QUEStionable:CONDition", "questionable", False, True, False),
    ("STATus:OPERation:CONDition", "operation", False, True, False),
]

TABLE = tuple(Entry(p, _nodes(p), name, cmd, qry, setting) for p, name, cmd, qry, setting in ROWS)

#: keywords that take the numeric suffix 1 (this server has one output, one source)
_SUFFIXED = {"SOURCE", "OUTPUT", "MEASURE", "FETCH"}


def _match(nodes: tuple[Node, ...], keywords: list[str]) -> bool:
    if not keywords:
        return all(n.optional for n in nodes)
    if not nodes:
        return False
    first, rest = nodes[0], nodes[1:]
    if first.matches(keywords[0]) and _match(rest, keywords[1:]):
        return True
    return first.optional and _match(rest, keywords)


def find(keywords: list[str]) -> Entry | None:
    for entry in TABLE:
        if _match(entry.nodes, keywords):
            return entry
    return None


def resolve(header: Header, path: tuple[str, ...]) -> tuple[Entry, tuple[str, ...]]:
    """The entry for a header typed under ``path`` (the previous command's nodes), and the
    path the next command stays under. -113 when nothing matches, -114 for a numeric suffix
    other than 1 on a keyword that takes one, or any suffix on one that does not."""
    keywords = [k for k, _ in header.nodes]
    if header.common:
        entry = find(keywords)
        if entry is None:
            raise ScpiError(-113, f"{header.text} is not a command of this instrument")
        return entry, path
    entry = None
    # under the previous command's path first, then under each shorter one, the root last
    prefixes = [path[:k] for k in range(len(path), -1, -1)] if not header.rooted else [()]
    for prefix in prefixes:
        entry = find(list(prefix) + keywords)
        if entry is not None:
            keywords = list(prefix) + keywords
            break
    if entry is None:
        raise ScpiError(-113, f"{header.text} is not a command of this instrument")
    for keyword, suffix in header.nodes:
        if not suffix:
            continue
        node = next((n for n in entry.nodes if n.matches(keyword)), None)
        if node is None or node.long not in _SUFFIXED or int(suffix) != 1:
            raise ScpiError(-114, f"{keyword}{suffix}: this instrument has one output (suffix 1 or none)")
    return entry, tuple(keywords[:-1])

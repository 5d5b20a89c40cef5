"""Program messages: one line into commands, each into a header and its parameters.

A line holds commands separated by ``;`` (outside quoted strings). A header is
``*WORD`` (a common command) or keywords separated by ``:``, a leading ``:``
starting from the root; a trailing ``?`` makes it a query. Parameters follow
after white space, separated by ``,``.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

from zq4180_bench.numbers import PLAIN, plain_number

from .errors import ScpiError

_KEYWORD = re.compile(r"([A-Za-z][A-Za-z_]*)([0-9]*)")
_COMMON = re.compile(r"\*[A-Za-z]+")
_WORD = re.compile(r"[A-Za-z][A-Za-z0-9_]*")
_NUMBER = re.compile(r"([+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)\s*([A-Za-z]*)")

#: unit suffixes a parameter of each unit takes, with their multipliers
SUFFIXES = {
    "V": {"V": 1.0, "MV": 1e-3, "UV": 1e-6},
    "A": {"A": 1.0, "MA": 1e-3, "UA": 1e-6},
}


@dataclass(frozen=True)
class Header:
    common: bool
    rooted: bool                              # a leading ':'
    nodes: tuple[tuple[str, str], ...]        # (keyword in upper case, numeric suffix or "")
    query: bool
    text: str


@dataclass(frozen=True)
class Param:
    kind: str                # "number", "word", "string"
    text: str                # as sent (stripped)
    value: object = None     # number: (mantissa text, suffix in upper case); word: upper case; string: content


@dataclass(frozen=True)
class Command:
    header: Header
    params: tuple[Param, ...]
    text: str


def split_line(line: str) -> list[str]:
    """The commands of a line, split at ``;`` outside quotes; -102 for an unterminated string."""
    parts: list[str] = []
    current: list[str] = []
    quote = None
    for ch in line:
        if quote is not None:
            current.append(ch)
            if ch == quote:
                quote = None
            continue
        if ch in "\"'":
            quote = ch
            current.append(ch)
        elif ch == ";":
            parts.append("".join(current))
            current = []
        else:
            current.append(ch)
    if quote is not None:
        raise ScpiError(-102, "a quoted string is not closed")
    parts.append("".join(current))
    return parts


def parse_command(text: str) -> Command:
    stripped = text.strip()
    if not stripped:
        raise ScpiError(-102, "an empty command (two ';' in a row, or a ';' at the end)")
    head_end = len(stripped)
    for i, ch in enumerate(stripped):
        if ch in " \t":
            head_end = i
            break
    head, rest = stripped[:head_end], stripped[head_end:]
    header = parse_header(head)
    return Command(header, parse_params(rest), stripped)


def parse_header(head: str) -> Header:
    query = head.endswith("?")
    body = head[:-1] if query else head
    if body.startswith("*"):
        if not _COMMON.fullmatch(body):
            raise ScpiError(-102, f"{head!r} is not a command header")
        return Header(True, False, ((body.upper(), ""),), query, head)
    rooted = body.startswith(":")
    if rooted:
        body = body[1:]
    nodes = []
    for part in body.split(":"):
        m = _KEYWORD.fullmatch(part)
        if m is None:
            raise ScpiError(-102, f"{head!r} is not a command header")
        nodes.append((m.group(1).upper(), m.group(2)))
    return Header(False, rooted, tuple(nodes), query, head)


def parse_params(rest: str) -> tuple[Param, ...]:
    if not rest.strip():
        return ()
    out = []
    for piece in split_commas(rest):
        token = piece.strip()
        if not token:
            raise ScpiError(-109, "a parameter is empty (two ',' in a row, or a ',' at an end)")
        out.append(parse_param(token))
    return tuple(out)


def split_commas(text: str) -> list[str]:
    parts, current, quote = [], [], None
    for ch in text:
        if quote is not None:
            current.append(ch)
            if ch == quote:
                quote = None
        elif ch in "\"'":
            quote = ch
            current.append(ch)
        elif ch == ",":
            parts.append("".join(current))
            current = []
        else:
            current.append(ch)
    parts.append("".join(current))
    return parts


def parse_param(token: str) -> Param:
    if token[0] in "\"'":
        q = token[0]
        if len(token) < 2 or token[-1] != q:
            raise ScpiError(-102, f"{token!r}: text after a quoted string")
        return Param("string", token, token[1:-1].replace(q + q, q))
    if _WORD.fullmatch(token):
        return Param("word", token, token.upper())
    m = _NUMBER.fullmatch(token)
    if m is not None:
        return Param("number", token, (m.group(1), m.group(2).upper()))
    raise ScpiError(-102, f"{token!r} is neither a number nor a word")


# -- parameter values ------------------------------------------------------------------

def number(param: Param, unit: str | None, what: str) -> float:
    """A plain number in the parameter's own unit (suffix stripped and applied).
    -104 for a word or string, -131 for a suffix of another unit, -222 for a value
    no setting can take (negative, too large)."""
    if param.kind != "number":
        raise ScpiError(-104, f"{what} takes a number{' of ' + unit if unit else ''}, got {param.text}")
    mantissa, suffix = _numeric(param)
    scale = 1.0
    if suffix:
        table = SUFFIXES.get(unit or "", {})
        if suffix not in table:
            allowed = ", ".join(table) if table else "none"
            raise ScpiError(-131, f"{what} takes no suffix {suffix!r} (allowed: {allowed})")
        scale = table[suffix]
    if not PLAIN.fullmatch(mantissa):
        raise ScpiError(-104, f"{param.text} is not a plain number")
    try:
        value = plain_number(mantissa, what, {"V": "volts", "A": "amperes"}.get(unit or "", "units"))
    except ValueError as exc:
        raise ScpiError(-222, str(exc)) from None
    return value * scale


def _numeric(param: Param) -> tuple[str, str]:
    pair: tuple = param.value  # type: ignore[assignment]
    return str(pair[0]), str(pair[1])


def word(param: Param) -> str | None:
    return param.value if param.kind == "word" else None  # type: ignore[return-value]


def boolean(param: Param, what: str) -> bool:
    """ON, OFF, 1 or 0; -224 for another word or number, -104 for a string."""
    if param.kind == "word":
        if param.value in ("ON", "OFF"):
            return param.value == "ON"
        raise ScpiError(-224, f"{what} takes ON, OFF, 1 or 0, got {param.text}")
    if param.kind == "number":
        mantissa, suffix = _numeric(param)
        if suffix:
            raise ScpiError(-131, f"{what} takes no suffix {suffix!r}")
        if PLAIN.fullmatch(mantissa) and float(mantissa) in (0.0, 1.0):
            return float(mantissa) == 1.0
        raise ScpiError(-224, f"{what} takes ON, OFF, 1 or 0, got {param.text}")
    raise ScpiError(-104, f"{what} takes ON, OFF, 1 or 0, not a string")


def register_value(param: Param, what: str) -> int:
    """An 8-bit register value (``*ESE``, ``*SRE``): a number 0..255, rounded."""
    value = number(param, None, what)
    rounded = int(round(value))
    if not 0 <= rounded <= 255:
        raise ScpiError(-222, f"{what} takes 0..255, got {param.text}")
    return rounded

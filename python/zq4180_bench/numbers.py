"""Numbers typed by a person: plain decimal notation only.

Python's ``float()`` also takes ``1_5`` (15), ``0x10`` is refused but ``inf``,
``nan``, ``１２`` (full-width digits) and ``1e308`` are not; none of them is a
value anyone means to send to a supply. Every number that reaches a setting
comes through :func:`plain_number`.
"""

from __future__ import annotations

import math
import re

__all__ = ["PLAIN", "WIRE_MAX", "parse_plain", "plain_number"]

#: the only accepted spelling (ASCII digits; an optional sign, fraction and exponent)
PLAIN = re.compile(r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")

#: settings travel as unsigned 32-bit counts of milli-units
WIRE_MAX = 0xFFFFFFFF / 1000


def plain_number(text: str, what: str, unit: str) -> float:
    """``text`` as a float, or ValueError naming ``what`` (e.g. ``--voltage``) and the text.

    Accepted: plain decimal notation (``5``, ``-0``, ``.5``, ``1.``, ``2.5e-3``), finite,
    0 or more, and small enough for the wire's 32-bit field of milli-``unit``.
    """
    try:
        return parse_plain(text, unit)
    except ValueError as exc:
        raise ValueError(f"{what}: {exc}") from None


def parse_plain(text: str, unit: str) -> float:
    """:func:`plain_number` without a name: the ValueError's text is the reason alone."""
    if not isinstance(text, str):
        raise ValueError(f"expected a number of {unit} as text, got {text!r}")
    stripped = text.strip()
    if not stripped:
        raise ValueError(f"a number of {unit} is needed, got an empty value")
    if not PLAIN.fullmatch(stripped):
        raise ValueError(f"{text!r} is not a plain number of {unit} "
                         "(digits, an optional '.', fraction and exponent: 5, 0.25, 2.5e-3)")
    value = float(stripped)
    if value < 0:
        raise ValueError(f"{text!r} is negative: a number of {unit}, 0 or more, is needed")
    milli = value * 1000
    if not math.isfinite(milli) or round(milli) > 0xFFFFFFFF:
        raise ValueError(f"{text!r} is too large: at most {WIRE_MAX:.3f} {unit} fits a setting")
    return abs(value)  # "-0" is 0

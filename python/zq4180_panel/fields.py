"""Numbers typed into the panel's fields, and numbers in the API's bodies.

A field takes a plain decimal number, or one followed by its own unit only: ``V`` for the
voltage, the ceiling and a ramp's target, ``A`` for the current limit, ``V/s`` for a ramp's
rate, each with ``m`` for milli (``750mA``, ``1200 mV``). ``3A`` in a voltage field, ``0.7V``
in the current field, ``1_1`` or ``1,5`` are refused with the reason: nothing is sent. The
number itself goes through the bench library's ``plain_number`` (the same rule as the
command's options). A current limit above what the supply's read-out can show (65.535 A) is
refused whatever the limits.
"""

from __future__ import annotations

import math
import re

from zq4180_bench.numbers import PLAIN, plain_number

#: the largest current limit the supply's read-out can show (a 16-bit count of mA)
READOUT_MAX_A = 65.535

#: each field's unit, and what the field is called in messages
UNITS = {"voltage": "V", "ceiling": "V", "current": "A", "to": "V", "rate": "V/s"}

_SUFFIX = re.compile(r"^(?P<number>.*?)\s*(?P<milli>m?)(?P<unit>V/s|V|A)$")


def parse_field(text: object, what: str, unit: str) -> float | None:
    """The value of a field in ``unit`` (None when empty); ValueError with the reason otherwise."""
    raw = "" if text is None else str(text).strip()
    if not raw:
        return None
    scale = 1.0
    number = raw
    m = _SUFFIX.match(raw)
    if m:
        if m["unit"] != unit:
            raise ValueError(f"{what}: {raw!r} is in {m['unit']}, not {unit}: type a number of {unit}")
        number = m["number"].strip()
        if m["milli"]:
            scale = 1e-3
    if number and not PLAIN.fullmatch(number):
        raise ValueError(f"{what}: {raw!r} is not a number of {unit} (a plain number such as 5 or 0.25, "
                         f"or one followed by {unit} or m{unit})")
    value = plain_number(number, what, unit) * scale
    return check_number(value, what)


def check_number(value: object, what: str) -> float:
    """A number from a JSON body or a field: finite, not negative, carried by the wire, and for the
    current limit no more than the read-out shows. ValueError with the reason."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{what}: {value!r} is not a number")
    value = float(value)
    if not math.isfinite(value):
        raise ValueError(f"{what}: {value!r} is not a finite number")
    unit = UNITS.get(what, "")
    plain_number(repr(value), what, unit.split("/")[0] or "V")     # the wire's range, as for typed text
    if what in ("current", "current limit") and value > READOUT_MAX_A:
        raise ValueError(f"{what}: {value:g} A is more than the supply's read-out can show "
                         f"({READOUT_MAX_A:.3f} A)")
    return value

"""Virtual supplies for one run (``--sim N``), paced at the line's speed."""

from __future__ import annotations

import contextlib
from typing import Iterator


def load_options(text: str | None) -> dict:
    """``--sim-load`` (OHMS, open, led, cc, cc:AMPS) as keyword arguments of the virtual supply."""
    if text is None:
        return {"load_ohms": 10.0}
    import zq4180_sim
    parse = getattr(zq4180_sim, "parse_load", None)
    if parse is not None:
        return parse(text)
    if text.lower() == "open":
        return {"load_ohms": None}
    value = float(text)
    if not value >= 0:
        raise ValueError(f"not a load: {text!r}")
    return {"load_ohms": value}


@contextlib.contextmanager
def serve(count: int = 1, load: str | None = None, *, pacing: bool = True) -> Iterator[list]:
    """Start ``count`` virtual supplies (addresses 1, serial numbers counting up
    from 076787041); yields the :class:`zq4180_sim.VirtualSupply` objects."""
    from zq4180_sim import VirtualSupply
    options = load_options(load)
    supplies = []
    try:
        for i in range(count):
            supply = VirtualSupply(1, pacing=pacing, serial_number=f"{76787041 + i:09d}", **options)
            supplies.append(supply.start())
        yield supplies
    finally:
        for supply in supplies:
            supply.stop()

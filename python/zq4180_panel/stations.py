"""Opening the supplies a panel serves, and making a station (a worker and a log) for each.

:func:`make_hub` is the one place where the panel's workers are made; ``Hub.workers()``
lists them as ``(name, Worker)`` for anything else that serves the same supplies.
"""

from __future__ import annotations

import time
from pathlib import Path

PROG = "zq4180-panel"


def open_all(targets: list[str], config, limits) -> list:
    """Every supply opened, or RuntimeError naming each that failed (the library's opening)."""
    from zq4180_bench.errors import SupplyError
    from zq4180_bench.frontend import open_targets
    try:
        return open_targets(targets, limits, config)
    except SupplyError as exc:
        raise RuntimeError(str(exc)) from None


def station_ids(supplies: list) -> list[str]:
    from zq4180_bench.config import NAME_RE
    ids: list[str] = []
    for k, supply in enumerate(supplies, start=1):
        name = supply.name
        if name and NAME_RE.fullmatch(name) and name not in ids:
            ids.append(name)
        else:
            sid = f"s{k}"
            while sid in ids:
                sid += "_"
            ids.append(sid)
    return ids


def _comments(supply, sid: str) -> dict:
    from zq4180_bench.logs import log_comments
    return log_comments(supply, PROG, supply=sid, interval="0 s (as fast as the line allows)")


def make_hub(supplies: list, log_dir: Path):
    """A station per supply (named by :func:`station_ids`, logging into ``log_dir``), in a hub whose
    workers have not started yet. OSError when a log cannot be made (the supplies stay open)."""
    from .hub import Hub
    from .station import Station
    stations = []
    for sid, supply in zip(station_ids(supplies), supplies):
        path = log_dir / f"{sid}-{time.strftime('%Y%m%d-%H%M%S')}.csv"
        stations.append(Station(sid, supply, path, comments=_comments(supply, sid)))
    return Hub(stations)

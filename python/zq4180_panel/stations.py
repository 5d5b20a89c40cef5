"""Opening the supplies a panel serves, and making a station (a worker and a log) for each.

:func:`make_hub` is the one place where the panel's workers are made; ``Hub.workers()``
lists them as ``(name, Worker)`` for anything else that serves the same supplies.
"""

from __future__ import annotations

import concurrent.futures
import time
from pathlib import Path

PROG = "zq4180-panel"


def open_all(targets: list[str], config, limits) -> list:
    from zq4180_bench import open_supply

    def one(target: str):
        return open_supply(target, limits=limits, config=config, safe_end="never")

    supplies: list = []
    errors: list[str] = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=min(8, max(1, len(targets)))) as pool:
        futures = [pool.submit(one, t) for t in targets]
        for target, future in zip(targets, futures):
            try:
                supplies.append(future.result())
            except Exception as exc:  # noqa: BLE001 - reported per supply below
                errors.append(f"{target}: {exc}" if target not in str(exc) else str(exc))
    if errors:
        for supply in supplies:
            supply.close()
        raise RuntimeError("; ".join(errors))
    return supplies


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

"""ZQ4180Epics: a 20-point bluesky ``scan`` through the IOC, seconds per point.

    python3 benchmarks/ioc_scan.py [--points 20]

One paced virtual supply (served by this process) behind ``zq4180-ioc --interval 1``;
``scan([psu], psu, 0.5, 5, 20)`` over Channel Access. The line figure is the time of
the exchanges one point costs the IOC (remote control, the setting, its read-back:
three exchanges), timed through the library on the same virtual supply.
"""
from __future__ import annotations

import argparse
import statistics
import time

import ioc_support as support


def three_exchanges(port: str, count: int = 5) -> float:
    from zq4180_bench import open_supply
    times = []
    with open_supply(port, safe_end="never") as supply:
        for _ in range(count):
            t0 = time.perf_counter()
            for _ in range(3):
                supply.read()
            times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--points", type=int, default=20, help="scan points (default 20)")
    args = ap.parse_args()
    with support.virtual_supplies(1) as (supply,):
        line = three_exchanges(supply.port)
        with support.ioc([supply.port, "--interval", "1"]) as server:
            from bluesky import RunEngine
            from bluesky.plans import scan
            from ophyd_async.core import init_devices

            from zq4180_bench.bluesky import ZQ4180Epics
            RE = RunEngine()
            with init_devices():
                psu = ZQ4180Epics(server.bases[0])
            RE(scan([psu], psu, 0.5, 1.0, 2))           # warm-up: connections and monitors
            events = []
            t0 = time.perf_counter()
            RE(scan([psu], psu, 0.5, 5.0, args.points), lambda name, doc: events.append(name))
            elapsed = time.perf_counter() - t0
    print(f"ZQ4180Epics scan of {args.points} points over Channel Access ({events.count('event')} events):")
    print(f"  {elapsed / args.points:.3f} s per point ({elapsed:.2f} s in all)")
    print(f"  the exchanges of one point on the line (3): {line:.3f} s  (ratio {elapsed / args.points / line:.2f})")


if __name__ == "__main__":
    main()

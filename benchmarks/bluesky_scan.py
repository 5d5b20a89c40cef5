"""A 20-point bluesky scan: seconds per point against its exchanges' line time.

    python3 benchmarks/bluesky_scan.py [--points 20] [--runs 3]

ZQ4180Supply drives a paced virtual supply (4800 baud, about 108 ms per
exchange) in this process. For each run the scan's wall time per point is
set beside the time the line itself needed for the exchanges the supply
answered meanwhile (exchanges x one exchange's line time): the difference is
what the device, the library and the RunEngine add. Exchanges per point are
shown by kind: settings (mode and voltage frames) and status reads.
"""
from __future__ import annotations

import argparse
import statistics
import time

from zq4180_sim import BYTE_TIME, VirtualSupply

EXCHANGE_S = 2 * 26 * BYTE_TIME        # request and reply, 26 bytes each at 4800 baud 8N1
STATUS = 0x26


def supply_scan(points: int) -> dict:
    """One scan with ZQ4180Supply: wall time, event times and the exchanges it took."""
    from bluesky import RunEngine
    from bluesky.plans import scan
    from ophyd_async.core import init_devices

    from zq4180_bench.bluesky import ZQ4180Supply

    with VirtualSupply(1, pacing=True, load_ohms=10.0) as sim:
        RE = RunEngine({})
        times: list[float] = []
        RE.subscribe(lambda name, doc: times.append(doc["time"]) if name == "event" else None)
        with init_devices():
            psu = ZQ4180Supply(sim.port)
        try:
            time.sleep(0.3)
            sim.clear_log()
            start = time.monotonic()
            RE(scan([psu], psu, 0.0, 2.0, points))
            wall = time.monotonic() - start
            sim.wait_idle()
            words = [e.request[2] for e in sim.exchanges]
        finally:
            psu.close()
    steps = [b - a for a, b in zip(times, times[1:])]
    return {"wall": wall, "steps": steps, "exchanges": len(words),
            "reads": words.count(STATUS), "settings": len(words) - words.count(STATUS)}


DEVICES = {"ZQ4180Supply": supply_scan}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--points", type=int, default=20, help="points of the scan (default 20)")
    ap.add_argument("--runs", type=int, default=3, help="scans per device (default 3)")
    args = ap.parse_args()
    print(f"{args.points}-point scan, one exchange on the line = {EXCHANGE_S * 1000:.1f} ms")
    print(f"{'device':14s} {'s/point':>8s} {'p95 step':>9s} {'line s/point':>13s} {'ratio':>6s} "
          f"{'exch/point':>11s} {'reads':>6s} {'settings':>9s}")
    for name, run in DEVICES.items():
        results = [run(args.points) for _ in range(args.runs)]
        per_point = statistics.median(r["wall"] / args.points for r in results)
        steps = sorted(s for r in results for s in r["steps"])
        p95 = steps[min(len(steps) - 1, int(0.95 * len(steps)))] if steps else float("nan")
        exchanges = statistics.median(r["exchanges"] for r in results) / args.points
        reads = statistics.median(r["reads"] for r in results) / args.points
        settings = statistics.median(r["settings"] for r in results) / args.points
        line = exchanges * EXCHANGE_S
        print(f"{name:14s} {per_point:8.3f} {p95:9.3f} {line:13.3f} {per_point / line:6.2f} "
              f"{exchanges:11.2f} {reads:6.2f} {settings:9.2f}")


if __name__ == "__main__":
    main()

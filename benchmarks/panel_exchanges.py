"""Front panel: exchanges per second on one port with 0, 1 and 10 open pages.

    python3 benchmarks/panel_exchanges.py [--seconds 20]

A paced virtual supply (4800 baud) counts the exchanges it answers while the
panel serves it to no page, to one page, then to ten pages (tabs of one headless
Chromium, each its own page and socket, timers not throttled). The goal: the
same rate whatever the number of pages, close to the line's limit (9.23/s).
"""
from __future__ import annotations

import argparse
import time

import panel_support as support

from zq4180_sim import VirtualSupply


def rate(sup, seconds: float) -> float:
    start_count, start = len(sup.exchanges), time.monotonic()
    time.sleep(seconds)
    return (len(sup.exchanges) - start_count) / (time.monotonic() - start)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=20.0, help="length of each measurement (default 20)")
    args = ap.parse_args()
    rows = []
    with VirtualSupply(1, pacing=True, load_ohms=10.0) as sup, support.panel([sup.port]) as p:
        time.sleep(2)
        rows.append((0, rate(sup, args.seconds)))
        with support.chromium() as driver:
            handles = support.open_pages(driver, p.url, 1)
            rows.append((1, rate(sup, args.seconds)))
            handles += support.open_pages(driver, p.url.split("?")[0], 9, more=True)
            assert len(set(driver.window_handles)) == 10, handles
            rows.append((10, rate(sup, args.seconds)))
    print(f"exchanges/s on one port, {args.seconds:.0f} s each (line limit {support.LINE_LIMIT:.2f}/s):")
    for pages, r in rows:
        print(f"  {pages:2d} pages: {r:5.2f}/s  ({r / support.LINE_LIMIT:5.1%} of the line)")


if __name__ == "__main__":
    main()

"""Front panel: the server's CPU with ``--sim 8`` and 3 open browser pages.

    python3 benchmarks/panel_cpu.py [--seconds 30] [--pages 3]

The panel serves 8 paced virtual supplies (``--sim 8``: they run inside the panel's
process, so their cost is counted too); headless Chromium opens the pages in
separate windows (not throttled). The figure is the panel process's user + system
CPU time over the measurement, as a share of one core, first with no page open (the
supplies, the readers and the logs alone), then with the pages. Goal: <= 25 %.
"""
from __future__ import annotations

import argparse
import time

import panel_support as support


def share(p, seconds: float) -> float:
    cpu0, t0 = p.cpu_seconds(), time.monotonic()
    time.sleep(seconds)
    return (p.cpu_seconds() - cpu0) / (time.monotonic() - t0)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=30.0, help="length of each measurement (default 30)")
    ap.add_argument("--pages", type=int, default=3, help="browser pages (default 3)")
    ap.add_argument("--sim", type=int, default=8, help="virtual supplies (default 8)")
    args = ap.parse_args()
    with support.panel(["--sim", str(args.sim)]) as p:
        time.sleep(3)
        idle = share(p, args.seconds)
        with support.chromium(1600, 1200) as driver:
            support.open_pages(driver, p.url, args.pages, kind="window")
            time.sleep(3)
            busy = share(p, args.seconds)
        readings = p.get("/api/supplies").count(b'"state":"ok"')
    print(f"panel process CPU, --sim {args.sim}, {args.seconds:.0f} s each ({readings} supplies answering):")
    print(f"  no page:       {idle:6.1%} of one core")
    print(f"  {args.pages} pages:       {busy:6.1%} of one core   (goal: <= 25 %)")


if __name__ == "__main__":
    main()

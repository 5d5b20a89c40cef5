"""IOC: the process's CPU with 8 paced virtual supplies at ``--interval 1``.

    python3 benchmarks/ioc_cpu.py [--seconds 30] [--supplies 8]

The virtual supplies run in this process (not the IOC's), so the figure is the IOC
alone: its user + system CPU time over the measurement as a share of one core.
Goal: <= 10 %.
"""
from __future__ import annotations

import argparse
import time

import ioc_support as support


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=30.0, help="length of the measurement (default 30)")
    ap.add_argument("--supplies", type=int, default=8, help="virtual supplies (default 8)")
    ap.add_argument("--interval", default="1", help="the IOC's --interval (default 1)")
    args = ap.parse_args()
    with support.virtual_supplies(args.supplies) as supplies:
        with support.ioc([*(s.port for s in supplies), "--interval", args.interval],
                         expect=args.supplies) as server:
            time.sleep(5)
            counts = [len(s.exchanges) for s in supplies]
            cpu0, t0 = server.cpu_seconds(), time.monotonic()
            time.sleep(args.seconds)
            share = (server.cpu_seconds() - cpu0) / (time.monotonic() - t0)
            reads = sum(len(s.exchanges) - c for s, c in zip(supplies, counts))
    print(f"IOC process CPU, {args.supplies} paced virtual supplies, --interval {args.interval}, "
          f"{args.seconds:.0f} s ({reads / args.seconds:.1f} status reads/s in all):")
    print(f"  {share:6.1%} of one core   (goal: <= 10 %)")


if __name__ == "__main__":
    main()

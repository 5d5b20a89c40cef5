"""IOC: a put with completion until ``:RBV`` shows the value, against two exchanges on the line.

    python3 benchmarks/ioc_put_latency.py [--puts 40]

One paced virtual supply (served by this process) behind ``zq4180-ioc --interval 1``.
Each put (aioca, ``wait=True``, channels kept connected) writes a new ``VOLT:SP``; the
time runs until the completion arrived and a get of ``VOLT:RBV`` returned the value. The line figure is
two status exchanges timed directly through the library on the same virtual supply
before the IOC starts (a setting and its read-back).
"""
from __future__ import annotations

import argparse
import asyncio
import statistics
import time

import ioc_support as support


def two_exchanges(port: str, count: int = 10) -> float:
    from zq4180_bench import open_supply
    times = []
    with open_supply(port, safe_end="never") as supply:
        for _ in range(count):
            t0 = time.perf_counter()
            supply.read()
            supply.read()
            times.append(time.perf_counter() - t0)
    return statistics.median(times)


async def _puts(base: str, count: int) -> list[float]:
    from aioca import caget, caput
    await caget(base + "VOLT:RBV")                 # connect once
    await caget(base + "VOLT:SP")
    times = []
    for k in range(count):
        value = round(1.0 + (k % 7) * 0.5, 3)
        t0 = time.perf_counter()
        await caput(base + "VOLT:SP", value, wait=True, timeout=30)
        got = await caget(base + "VOLT:RBV")
        times.append(time.perf_counter() - t0)
        if abs(got - value) > 5e-4:
            raise SystemExit(f"VOLT:RBV shows {got} after a completed put of {value}")
    return times


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--puts", type=int, default=40, help="puts to time (default 40)")
    args = ap.parse_args()
    with support.virtual_supplies(1) as (supply,):
        line = two_exchanges(supply.port)
        with support.ioc([supply.port, "--interval", "1"]) as server:
            time.sleep(2)
            times = asyncio.run(_puts(server.bases[0], args.puts))
    med, p95 = statistics.median(times), support.percentile(times, 95)
    print(f"put with completion -> VOLT:RBV current ({args.puts} puts, --interval 1):")
    print(f"  median {med * 1000:7.1f} ms   p95 {p95 * 1000:7.1f} ms")
    print(f"  two exchanges on the line: {line * 1000:7.1f} ms  (ratio {med / line:.2f})")


if __name__ == "__main__":
    main()

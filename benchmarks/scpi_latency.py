"""``MEAS:VOLT?`` round trip through pyvisa, against one exchange on the line.

    python3 benchmarks/scpi_latency.py [--queries 100] [--pause 0.05]

A paced virtual supply (4800 baud, ``zq4180-sim``) is served by ``zq4180-scpi``,
each in a process of its own; one pyvisa-py session asks ``MEAS:VOLT?`` one query at a time (with a
short pause between them, as a script that does something with each value) and
times each from write to reply. A fresh reading costs one status exchange, so
the floor is one exchange on the line (108.3 ms in theory; the same number of
status reads through the library alone, before the server starts, shows what
one costs on this machine); the goal is a median within one exchange + 5 ms.
"""
from __future__ import annotations

import argparse
import statistics
import time

import scpi_support as support


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--queries", type=int, default=100, help="queries timed (default 100)")
    ap.add_argument("--pause", type=float, default=0.05, help="seconds between queries (default 0.05)")
    args = ap.parse_args()
    with support.Sim() as sup:
        direct = support.direct_reads(sup.port, args.queries, args.pause)
        with support.scpi_server(sup.port) as resource:
            spans = timed_queries(resource, args.queries, args.pause)
    one = support.LINE_EXCHANGE * 1000
    measured = statistics.median(direct)
    median, p95 = statistics.median(spans), support.percentile(spans, 0.95)
    print(f"MEAS:VOLT? through pyvisa, {args.queries} queries; one exchange on the line = {one:.1f} ms, "
          f"one status read through the library here (no server) = {measured:.1f} ms median")
    print(f"  median {median:6.1f} ms  ({median - one:+5.1f} ms against the line, {median - measured:+5.1f} ms "
          "against the library's read; goal <= +5 ms)")
    print(f"  p95    {p95:6.1f} ms  ({p95 - one:+5.1f} ms, {p95 - measured:+5.1f} ms)")
    print(f"  min    {min(spans):6.1f} ms, max {max(spans):6.1f} ms")


def timed_queries(resource: str, queries: int, pause: float) -> list[float]:
    """Milliseconds from writing MEAS:VOLT? to its reply, one query at a time."""
    inst = support.session(resource)
    inst.write("APPL 5,1;:OUTP ON")
    inst.query("*OPC?")
    time.sleep(1.5)
    spans = []
    for _ in range(queries):
        t = time.perf_counter()
        float(inst.query("MEAS:VOLT?"))
        spans.append((time.perf_counter() - t) * 1000)
        time.sleep(pause)
    inst.write("OUTP OFF")
    inst.query("*OPC?")
    inst.close()
    return spans


if __name__ == "__main__":
    main()

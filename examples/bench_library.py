#!/usr/bin/env python3
"""The bench library from a script: limits, safe settings, a log, an LED curve, a safe end.

    python3 examples/bench_library.py                     # a virtual supply with an LED
    python3 examples/bench_library.py --port /dev/ttyUSB0 --max-voltage 3 --max-current 0.02

Against a real supply this switches the output on (up to --max-voltage at
--max-current, 3 V and 20 mA by default) and always leaves it off and under
local control at the end, also after Ctrl-C or a lost port.
"""
from __future__ import annotations

import argparse
import contextlib
import sys
from collections.abc import Iterator, Sequence

from zq4180_bench import Limits, LimitError, LogWriter, SupplyError, open_supply, sweep


@contextlib.contextmanager
def supply_port(port: str | None) -> Iterator[str]:
    """The port to use: the one given, or a virtual supply with an LED for the script's run."""
    if port is not None:
        yield port
        return
    from zq4180_bench.sim import serve
    with serve(1, "led") as supplies:
        yield supplies[0].port


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="A sweep and a short log through the bench library.")
    parser.add_argument("--port", help="a real supply's port (default: a virtual supply)")
    parser.add_argument("--max-voltage", type=float, default=3.0, help="software voltage limit in V (3)")
    parser.add_argument("--max-current", type=float, default=0.02, help="software current limit in A (0.02)")
    parser.add_argument("--log", default="bench_example.csv", help="log file (overwritten)")
    args = parser.parse_args(argv)

    limits = Limits.of(args.max_voltage, args.max_current, voltage_source="the script's --max-voltage",
                       current_source="the script's --max-current")
    try:
        with supply_port(args.port) as port, open_supply(port, limits=limits) as supply:
            identity = supply.identity or {}
            print(f"opened {supply.port}: model {identity.get('model')}, SN {identity.get('SN')}")
            try:
                supply.apply(voltage=args.max_voltage + 1)
            except LimitError as exc:
                print(f"refused before sending: {exc}")
            for outcome in supply.apply(current=args.max_current, voltage=1.8, output="on"):
                print(outcome.text())
            with LogWriter(args.log, mode="force", comments={"example": "bench_library.py"}) as log:
                for _ in range(3):
                    log.write(supply.read())
            points = sweep(supply, 1.6, args.max_voltage, 0.1, args.max_current, settle=0.05)
            for p in points:
                amps, volts = p.reading.current_A or 0.0, p.reading.voltage_V or 0.0
                print(f"{p.voltage_set_V:.3f} V set: {amps * 1000:6.1f} mA at {volts:.3f} V {p.reading.regulation}")
            print(f"{len(points)} points; {log.rows} log rows in {args.log}")
        # leaving the block switched the output off, confirmed it, and gave local control back
        print("output off, local control")
        return 0
    except SupplyError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())

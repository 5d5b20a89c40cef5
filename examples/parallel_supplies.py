#!/usr/bin/env python3
"""Several supplies read in parallel, one thread and one driver object each.

A driver object carries one exchange at a time (its calls are serialised),
and one exchange takes about a tenth of a second at 4800 baud. Supplies on
separate ports do not wait for each other, so a bench of them is read in the
time of one when each gets its own object on its own thread.

    python3 examples/parallel_supplies.py                  # three virtual supplies
    python3 examples/parallel_supplies.py --port /dev/ttyUSB0 --port /dev/ttyUSB1 --reads 10

Read-only: nothing is switched or set. Exit status 0 when every supply opened
and answered every status request, 1 otherwise.
"""
from __future__ import annotations

import argparse
import contextlib
import dataclasses
import sys
import time
from collections.abc import Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor

import zq4180

@dataclasses.dataclass
class Outcome:
    port: str
    opened: bool = False
    model: str = ""
    serial_number: str = ""
    answered: int = 0
    silent: int = 0
    setpoint: str = ""
    voltages: list[float] = dataclasses.field(default_factory=list)
    currents: list[float] = dataclasses.field(default_factory=list)
    error: str = ""


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Read several supplies in parallel, one thread and driver object each.")
    parser.add_argument("--port", action="append", default=[],
                        help="serial port of a supply; repeat for each supply "
                             "(default: start --count virtual supplies)")
    parser.add_argument("--count", type=int, default=3,
                        help="number of virtual supplies without --port (default: %(default)s)")
    parser.add_argument("--reads", type=int, default=5,
                        help="status reads per supply (default: %(default)s)")
    parser.add_argument("--interval", type=float, default=0.0,
                        help="seconds between reads of one supply (default: %(default)s)")
    parser.add_argument("--no-pacing", action="store_true",
                        help="virtual supplies only: answer at once instead of at 4800 baud")
    return parser.parse_args(argv)


def start_virtual_supplies(cleanup: contextlib.ExitStack, count: int, pacing: bool) -> list[str]:
    from zq4180_sim import VirtualSupply  # only needed without real hardware

    ports: list[str] = []
    for n in range(1, count + 1):
        # Distinct addresses, serial numbers and loads, as on a real bench.
        supply = VirtualSupply(address=n, pacing=pacing, serial_number=f"{n:09d}",
                               load_ohms=10.0 * n)
        cleanup.enter_context(supply)
        ports.append(str(supply.port))
    print(f"no --port given: using {count} virtual supplies")
    return ports


def number(status: Mapping[str, object], key: str) -> float:
    value = status[key]
    if not isinstance(value, (int, float)):
        raise TypeError(f"status {key!r} is not a number: {value!r}")
    return float(value)


def poll(port: str, reads: int, interval: float) -> Outcome:
    """Runs on its own thread: open one supply, read its status, close it."""
    outcome = Outcome(port)
    supply = zq4180.ZQ4180(port)  # one object per supply, never shared between threads
    try:
        if not supply.open():
            outcome.error = "did not open (busy port, no answer or unknown model)"
            return outcome
        outcome.opened = True
        identity: Mapping[str, object] = supply.show_device_version()
        outcome.model, outcome.serial_number = str(identity["model"]), str(identity["SN"])
        try:
            for n in range(reads):
                if n and interval:
                    time.sleep(interval)
                status: Mapping[str, object] | None = supply.read_dev_status()
                if status is None:
                    outcome.silent += 1
                    continue
                outcome.answered += 1
                outcome.setpoint = (f"{number(status, 'voltage_set'):.3f} V "
                                    f"{number(status, 'current_set'):.3f} A, output "
                                    f"{status['out_status']}")
                outcome.voltages.append(number(status, "voltage_real"))
                outcome.currents.append(number(status, "current_real"))
        finally:
            supply.close()
    except Exception as exc:  # a lost port on one thread must not hide the others' results
        outcome.error = f"{type(exc).__name__}: {exc}"
    return outcome


def report(outcome: Outcome) -> str:
    if not outcome.opened:
        return f"{outcome.port}: {outcome.error}"
    line = (f"{outcome.port}: model {outcome.model} SN {outcome.serial_number}, "
            f"{outcome.answered} answered, {outcome.silent} silent")
    if outcome.voltages:
        mean_v = sum(outcome.voltages) / len(outcome.voltages)
        mean_a = sum(outcome.currents) / len(outcome.currents)
        line += f"; set {outcome.setpoint}, measured mean {mean_v:.3f} V {mean_a:.3f} A"
    if outcome.error:
        line += f", stopped by {outcome.error}"
    return line


def main(argv: Sequence[str] | None = None) -> int:
    args: argparse.Namespace = parse_args(argv)
    with contextlib.ExitStack() as cleanup:
        ports: list[str] = list(args.port) or start_virtual_supplies(
            cleanup, args.count, pacing=not args.no_pacing)
        began: float = time.monotonic()
        with ThreadPoolExecutor(max_workers=len(ports) or 1) as pool:
            outcomes: list[Outcome] = list(
                pool.map(lambda port: poll(port, args.reads, args.interval), ports))
        elapsed: float = time.monotonic() - began
    for outcome in outcomes:
        print(report(outcome))
    opened: int = sum(1 for o in outcomes if o.opened)
    answered: int = sum(o.answered for o in outcomes)
    wanted: int = len(ports) * args.reads
    print(f"summary: supplies {len(ports)}, opened {opened}, "
          f"status reads answered {answered}/{wanted}, in {elapsed:.2f} s")
    all_good: bool = opened == len(ports) and answered == wanted
    return 0 if all_good else 1


if __name__ == "__main__":
    sys.exit(main())

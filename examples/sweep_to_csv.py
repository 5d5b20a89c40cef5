#!/usr/bin/env python3
"""Voltage sweep with set-and-verify, logging every status read-out to CSV.

For each step the script sets the output voltage, reads the status back and
checks that the supply holds the requested setpoint to the millivolt. A
setting command returning True only means "the supply answered", so the
read-back is the real check.

    python3 examples/sweep_to_csv.py                  # a virtual supply, sweep.csv
    python3 examples/sweep_to_csv.py --port /dev/ttyUSB0 --start 1 --stop 5 \\
        --step 0.5 --current 0.1 --settle 0.5 --csv bench.csv

Exit status: 0 when every step verified, 1 when a step failed, 2 when the
supply could not be opened or the arguments make no sweep.
"""
from __future__ import annotations

import argparse
import contextlib
import csv
import functools
import io
import sys
import time
from collections.abc import Callable, Mapping, Sequence
from typing import TextIO

import zq4180

# Status keys in the order they appear in the CSV file.
STATUS_KEYS = ("voltage_set", "voltage_real", "current_set", "current_real",
               "voltage_max_set", "out_status", "out_mode", "work_mode",
               "beyond_temp", "fan_speed")
CSV_COLUMNS = ("step", "time_s", "requested_v", "verified") + STATUS_KEYS


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Set-and-verify voltage sweep that logs status read-outs to CSV.")
    parser.add_argument("--port", help="serial port of the supply (/dev/ttyUSB0, COM3, "
                        "rfc2217://host:port?ign_set_control); default: a virtual supply")
    parser.add_argument("--csv", default="sweep.csv", help="output file (default: %(default)s)")
    parser.add_argument("--start", type=float, default=0.5, help="first voltage in V")
    parser.add_argument("--stop", type=float, default=5.0, help="last voltage in V")
    parser.add_argument("--step", type=float, default=0.5, help="step in V (> 0)")
    parser.add_argument("--current", type=float, default=0.1,
                        help="current limit in A during the sweep (default: %(default)s)")
    parser.add_argument("--ceiling", type=float,
                        help="voltage ceiling in V (default: the highest sweep voltage)")
    parser.add_argument("--settle", type=float, default=0.2,
                        help="seconds to wait after each setpoint before reading back")
    parser.add_argument("--no-pacing", action="store_true",
                        help="virtual supply only: answer at once instead of at 4800 baud")
    return parser.parse_args(argv)


def sweep_points(start: float, stop: float, step: float) -> list[int]:
    """The sweep in whole millivolts, from start towards stop, both included."""
    start_mv, stop_mv, step_mv = round(start * 1000), round(stop * 1000), round(step * 1000)
    if step_mv <= 0 or min(start_mv, stop_mv) < 0:
        return []
    direction = 1 if stop_mv >= start_mv else -1
    return list(range(start_mv, stop_mv + direction, direction * step_mv))


def volts_for(millivolts: int) -> float:
    # The driver truncates to whole millivolts, and 1.005 V times 1000 is
    # 1004.999... in binary floating point: it would go out as 1004 mV.
    # Aiming half a millivolt high sends exactly the millivolt we mean.
    return (millivolts + 0.5) / 1000.0


def number(status: Mapping[str, object], key: str) -> float:
    value = status[key]
    if not isinstance(value, (int, float)):
        raise TypeError(f"status {key!r} is not a number: {value!r}")
    return float(value)


def quietly(command: Callable[[], bool]) -> bool:
    # Setpoint commands print the raw reply ("set voltage, read:[...]"); the
    # CSV has the decoded read-back, so keep the console readable.
    with contextlib.redirect_stdout(io.StringIO()):
        return command()


def start_virtual_supply(cleanup: contextlib.ExitStack, pacing: bool) -> str:
    from zq4180_sim import VirtualSupply  # only needed without real hardware

    supply = cleanup.enter_context(VirtualSupply(address=1, pacing=pacing, load_ohms=100.0))
    port: str = str(supply.port)
    print(f"no --port given: using a virtual supply at {port}")
    return port


def prepare(supply: zq4180.ZQ4180, ceiling_v: float, current_a: float) -> bool:
    """Remote control, output off, ceiling and current limit set and verified."""
    answered: bool = (supply.set_work_mode("remote")
                      and supply.set_ouput_mode("off")
                      and supply.set_voltage_max(ceiling_v)
                      and quietly(functools.partial(supply.set_out_current, current_a)))
    status: Mapping[str, object] | None = supply.read_dev_status()
    if not answered or status is None:
        print("the supply did not answer while being prepared")
        return False
    checks: list[tuple[str, float, float]] = [
        ("voltage_max_set", ceiling_v, number(status, "voltage_max_set")),
        ("current_set", current_a, number(status, "current_set")),
    ]
    for key, wanted, got in checks:
        if abs(wanted - got) > 0.0015:  # whole milli-units, truncated
            print(f"{key}: asked for {wanted:.3f}, the supply reports {got:.3f}")
            return False
    return True


def run_sweep(supply: zq4180.ZQ4180, points: list[int], settle: float,
              writer: csv.DictWriter[str], out: TextIO) -> int:
    """Returns the number of steps that failed."""
    failed: int = 0
    began: float = time.monotonic()
    for index, millivolts in enumerate(points, start=1):
        requested: float = millivolts / 1000.0
        row: dict[str, object] = {"step": index, "requested_v": f"{requested:.3f}"}
        answered: bool = quietly(functools.partial(supply.set_out_voltage, volts_for(millivolts)))
        time.sleep(settle)
        status: Mapping[str, object] | None = supply.read_dev_status() if answered else None
        row["time_s"] = f"{time.monotonic() - began:.3f}"
        if status is None:
            verdict = "no reply"
        else:
            row.update({key: status[key] for key in STATUS_KEYS})
            # Status values are whole millivolts divided by 1000: round() gets them back exactly.
            held_mv: int = round(number(status, "voltage_set") * 1000)
            verdict = "ok" if held_mv == millivolts else f"holds {held_mv} mV"
        row["verified"] = "yes" if verdict == "ok" else "no"
        writer.writerow(row)
        out.flush()  # a crash mid-sweep still leaves the rows so far
        shown: str = "" if status is None else (
            f"  out {number(status, 'voltage_real'):.3f} V {number(status, 'current_real'):.3f} A")
        print(f"step {index}/{len(points)}: {requested:.3f} V  {verdict}{shown}")
        if verdict != "ok":
            failed += 1
    return failed


def main(argv: Sequence[str] | None = None) -> int:
    args: argparse.Namespace = parse_args(argv)
    points: list[int] = sweep_points(args.start, args.stop, args.step)
    if not points:
        print("no sweep: --step must be > 0 and voltages >= 0")
        return 2
    ceiling_v: float = args.ceiling if args.ceiling is not None else max(points) / 1000.0

    with contextlib.ExitStack() as cleanup:
        port: str = args.port or start_virtual_supply(cleanup, pacing=not args.no_pacing)
        supply = zq4180.ZQ4180(port)
        if not supply.open():
            print(f"could not open a supply on {port} (try: zq4180-doctor {port})")
            return 2
        identity: Mapping[str, object] = supply.show_device_version()
        print(f"supply: model {identity['model']}, serial number {identity['SN']}")
        try:
            if not prepare(supply, ceiling_v, args.current):
                return 1
            if not supply.set_ouput_mode("on"):
                print("the supply did not answer the output-on command")
                return 1
            with open(args.csv, "w", newline="") as out:
                writer: csv.DictWriter[str] = csv.DictWriter(out, fieldnames=CSV_COLUMNS)
                writer.writeheader()
                failed: int = run_sweep(supply, points, args.settle, writer, out)
        finally:
            # Whatever happened, leave the output off and the front panel usable.
            supply.set_ouput_mode("off")
            supply.set_work_mode("local")
            supply.close()
    print(f"sweep: {len(points)} steps, {len(points) - failed} verified, {failed} failed; "
          f"wrote {args.csv}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

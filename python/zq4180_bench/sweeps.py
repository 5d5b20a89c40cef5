"""I-V sweeps: the voltage stepped from one value to another, reading at each point."""

from __future__ import annotations

import csv
import math
import time
from dataclasses import dataclass
from typing import Callable, Iterable

from .limits import check_number, milli
from .readings import Reading
from .settings import switch_on
from .supply import wire
from .waits import Pacer

SWEEP_COLUMNS = ("voltage_set_V", "voltage_V", "current_A", "power_W", "regulation")


def sweep_points(start: float, stop: float, step: float) -> list[float]:
    """``start + k·step`` rounded to whole millivolts, ``stop`` always the last point."""
    for name, value in (("--from", start), ("--to", stop)):
        check_number(name, value, "volts")
    if not step > 0 or not math.isfinite(step):
        raise ValueError("--step must be more than 0 V")
    direction = 1 if stop >= start else -1
    points: list[float] = []
    k = 0
    while True:
        v = start + direction * k * step
        if (v - stop) * direction >= -1e-9:
            break
        mv = milli(v)
        if not points or milli(points[-1]) != mv:
            points.append(mv / 1000)
        k += 1
        if k > 1_000_000:
            raise ValueError("the sweep would have more than a million points")
    if not points or milli(points[-1]) != milli(stop):
        points.append(milli(stop) / 1000)
    return points


@dataclass(frozen=True)
class SweepPoint:
    voltage_set_V: float
    reading: Reading

    def row(self) -> dict:
        r = self.reading
        return {"voltage_set_V": self.voltage_set_V, "voltage_V": r.voltage_V, "current_A": r.current_A,
                "power_W": r.power_W, "regulation": r.regulation}


def sweep(supply, start: float, stop: float, step: float, current: float, *,
          settle: float = 0.2, through_cc: bool = False,
          on_point: Callable[[int, int, SweepPoint], None] | None = None,
          before: Reading | None = None, interval: float | None = 1.0,
          on_reading: Callable[[Reading], None] | None = None) -> list[SweepPoint]:
    """An I-V curve: sets the current limit and the first voltage, switches on
    (the library's checked switch-on), then at each point sets, waits
    ``settle`` and reads. Stops at the first point in constant current unless
    ``through_cc``. Every point and the current are checked against the limits
    before anything is sent. A settle longer than ``interval`` reads the status
    meanwhile (handed to ``on_reading``); the supply's ``cancel`` stops the
    sweep (RampStopped) between two exchanges. The output is left on: the
    caller's safe end switches it off."""
    points = sweep_points(start, stop, step)
    supply.check(current=current, what="sweep current")
    for v in points:
        supply.check(voltage=v, what="sweep point")
    if not settle >= 0:
        raise ValueError("--settle must be 0 s or more")
    # readings during a long settle only for someone who shows them
    pacer = Pacer(supply, "sweep", interval=interval if on_reading is not None else None, on_reading=on_reading)
    pacer.check(f"{points[0]:.3f} V, before switching on")
    switch_on(supply, current=current, voltage=points[0], before=before, what="the sweep's start")
    rows: list[SweepPoint] = []
    for k, volts in enumerate(points):
        if k:
            pacer.check(f"{points[k - 1]:.3f} V")
            supply.command("set_out_voltage", wire(volts))
        pacer.wait_until(time.monotonic() + settle, f"{volts:.3f} V")
        reading = supply.read_ok()
        point = SweepPoint(volts, reading)
        rows.append(point)
        if on_point is not None:
            on_point(k + 1, len(points), point)
        if reading.regulation == "CC" and not through_cc:
            break
    return rows


def write_sweep_csv(points: Iterable[SweepPoint], out) -> None:
    w = csv.writer(out, lineterminator="\n")
    w.writerow(SWEEP_COLUMNS)
    for p in points:
        w.writerow(["" if v is None else v for v in p.row().values()])

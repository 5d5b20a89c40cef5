"""Ramps, I-V sweeps and sequences (list mode), each returning its readings."""

from __future__ import annotations

import csv
import io
import math
import os
import threading
import time
from dataclasses import dataclass
from typing import Callable, Iterable

from .limits import LimitError, check_number, milli
from .logs import LogWriter
from .reader import Poller
from .readings import Reading
from .supply import NoReply, Supply, SupplyLost, wire

DEFAULT_MAX_STEP = 0.1   # V


# -- ramp ---------------------------------------------------------------------------

@dataclass(frozen=True)
class RampPlan:
    start: float
    points: tuple[float, ...]     # volts, whole millivolts, the target last
    dwell: float                  # seconds between steps


def plan_ramp(start: float, to: float, *, rate: float | None = None, step: float | None = None,
              dwell: float | None = None, max_step: float = DEFAULT_MAX_STEP) -> RampPlan:
    """Steps of at most ``max_step`` (smaller when ``step`` says so), ``dwell``
    apart, or spaced for ``rate`` V/s."""
    if not max_step > 0 or not math.isfinite(max_step):
        raise ValueError("--max-step must be more than 0 V")
    if rate is not None:
        if not rate > 0 or not math.isfinite(rate):
            raise ValueError("--rate must be more than 0 V/s")
        size = max_step
        wait = size / rate
    else:
        if step is None or dwell is None:
            raise ValueError("a ramp needs --rate, or --step and --dwell")
        if not step > 0 or not math.isfinite(step):
            raise ValueError("--step must be more than 0 V")
        if not dwell >= 0 or not math.isfinite(dwell):
            raise ValueError("--dwell must be 0 s or more")
        size = min(step, max_step)
        wait = dwell * size / step  # a step cut down by --max-step keeps the asked rate
    start_mv, to_mv = milli(start), milli(to)
    size_mv = max(1, int(size * 1000 + 1e-9))
    n = max(1, math.ceil(abs(to_mv - start_mv) / size_mv)) if to_mv != start_mv else 1
    points = tuple(round(start_mv + (to_mv - start_mv) * k / n) / 1000 for k in range(1, n + 1))
    return RampPlan(start_mv / 1000, points, wait)


class RampStopped(Exception):
    """A ramp was stopped from outside (its ``stop`` event) before reaching its target."""


def ramp(supply: Supply, to: float, *, rate: float | None = None, step: float | None = None,
         dwell: float | None = None, max_step: float = DEFAULT_MAX_STEP,
         on_step: Callable[[int, int, float], None] | None = None,
         on_reading: Callable[[Reading], None] | None = None,
         stop: "threading.Event | None" = None, before: Reading | None = None) -> list[Reading]:
    """Move the output voltage to ``to``; returns the readings taken on the way (the read-back last).

    The target is checked against the limits first (nothing sent otherwise);
    the steps lie between the present setting and the target. Between steps
    the status is read when the wait leaves time for it. ``stop`` (an event
    set from another thread) ends the ramp with RampStopped.
    """
    supply.check(voltage=to, what="ramp target")
    if before is None or not before.ok:   # a caller's fresh reading saves an exchange
        before = supply.read_ok()
    plan = plan_ramp(before.voltage_set_V, to, rate=rate, step=step, dwell=dwell, max_step=max_step)
    supply.remote()
    readings: list[Reading] = []
    t0 = time.monotonic()
    for k, volts in enumerate(plan.points):
        if k:
            _sleep_until(t0 + k * plan.dwell, stop)
        if stop is not None and stop.is_set():
            raise RampStopped(f"ramp stopped at {plan.points[k - 1] if k else plan.start:.3f} V")
        supply.command("set_out_voltage", wire(volts))
        if on_step is not None:
            on_step(k + 1, len(plan.points), volts)
        if k + 1 < len(plan.points) and t0 + (k + 1) * plan.dwell - time.monotonic() >= READ_TIME:
            reading = supply.read()
            readings.append(reading)
            if on_reading is not None:
                on_reading(reading)
    final = supply.read_ok()
    readings.append(final)
    if on_reading is not None:
        on_reading(final)
    return readings


READ_TIME = 0.15   # s a status read needs on the line, with margin


def _sleep_until(deadline: float, stop: "threading.Event | None" = None) -> None:
    while (left := deadline - time.monotonic()) > 0:
        if stop is not None:
            if stop.wait(min(left, 0.25)):
                return
        else:
            time.sleep(min(left, 0.25))


# -- sweep ---------------------------------------------------------------------------

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


def sweep(supply: Supply, start: float, stop: float, step: float, current: float, *,
          settle: float = 0.2, through_cc: bool = False,
          on_point: Callable[[int, int, SweepPoint], None] | None = None,
          before: Reading | None = None) -> list[SweepPoint]:
    """An I-V curve: sets the current limit and the first voltage, switches on,
    then at each point sets, waits ``settle`` and reads. Stops at the first
    point in constant current unless ``through_cc``. Every point and the
    current are checked against the limits before anything is sent. The
    output is left on: the caller's safe end switches it off."""
    points = sweep_points(start, stop, step)
    supply.check(current=current, what="sweep current")
    for v in points:
        supply.check(voltage=v, what="sweep point")
    if not settle >= 0:
        raise ValueError("--settle must be 0 s or more")
    if before is None or not before.ok:   # the supply answers before anything is set
        supply.read_ok()
    supply.remote()
    supply.command("set_out_current", wire(current))
    supply.command("set_out_voltage", wire(points[0]))
    supply.output("on")
    rows: list[SweepPoint] = []
    for k, volts in enumerate(points):
        if k:
            supply.command("set_out_voltage", wire(volts))
        time.sleep(settle)
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


# -- sequences ---------------------------------------------------------------------------

SEQUENCE_REQUIRED = ("voltage", "current", "seconds")
SEQUENCE_OPTIONAL = ("output", "ramp")


class SequenceError(ValueError):
    """A sequence file that cannot run; ``str()`` is ``FILE:LINE: reason``."""

    def __init__(self, path: str, line: int, reason: str) -> None:
        super().__init__(f"{path}:{line}: {reason}" if line else f"{path}: {reason}")
        self.path, self.line, self.reason = path, line, reason


@dataclass(frozen=True)
class Step:
    voltage: float
    current: float
    seconds: float
    output: str = "on"
    ramp: float | None = None     # V/s
    line: int = 0


def parse_sequence(text: str, path: str = "<sequence>") -> list[Step]:
    """Rows of ``voltage,current,seconds[,output][,ramp]``; ``#`` starts a comment.
    The whole text is checked: SequenceError names the first bad line."""
    header: list[str] | None = None
    header_line = 0
    steps: list[Step] = []
    for number, raw in enumerate(text.splitlines(), start=1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        cells = [c.strip() for c in next(csv.reader(io.StringIO(line)))]
        if header is None:
            header, header_line = [c.lower() for c in cells], number
            for name in header:
                if name not in SEQUENCE_REQUIRED + SEQUENCE_OPTIONAL:
                    raise SequenceError(path, number, f"unknown column {name!r} (columns: voltage, current, "
                                                      "seconds, and optionally output, ramp)")
            if len(set(header)) != len(header):
                raise SequenceError(path, number, "a column is named twice")
            missing = [c for c in SEQUENCE_REQUIRED if c not in header]
            if missing:
                raise SequenceError(path, number, f"the header lacks {', '.join(missing)} "
                                                  "(it must name voltage,current,seconds)")
            continue
        if len(cells) > len(header):
            raise SequenceError(path, number, f"{len(cells)} values for {len(header)} columns")
        cells += [""] * (len(header) - len(cells))   # optional columns at the end may be left out
        row = dict(zip(header, cells))
        values: dict = {"line": number}
        for name, unit in (("voltage", "V"), ("current", "A"), ("seconds", "s")):
            if not row[name]:
                raise SequenceError(path, number, f"{name} is missing")
            values[name] = _number(path, number, name, row[name], unit)
        output = (row.get("output", "") or "on").lower()
        if output not in ("on", "off"):
            raise SequenceError(path, number, f"output must be 'on' or 'off', got {output!r}")
        values["output"] = output
        if row.get("ramp"):
            values["ramp"] = _number(path, number, "ramp", row["ramp"], "V/s")
            if values["ramp"] <= 0:
                raise SequenceError(path, number, "ramp must be more than 0 V/s (leave it empty for a step)")
        steps.append(Step(**values))
    if header is None:
        raise SequenceError(path, 1, "empty: a header voltage,current,seconds and at least one row are needed")
    if not steps:
        raise SequenceError(path, header_line, "no rows after the header")
    return steps


def _number(path: str, line: int, name: str, text: str, unit: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise SequenceError(path, line, f"{name} is not a number: {text!r}") from None
    if not math.isfinite(value) or value < 0:
        raise SequenceError(path, line, f"{name} must be a finite number of {unit}, 0 or more, got {text!r}")
    return value


def load_sequence(path: str | os.PathLike) -> list[Step]:
    try:
        with open(path, encoding="utf-8-sig") as f:   # a spreadsheet's byte-order mark is no column name
            text = f.read()
    except OSError as exc:
        raise SequenceError(str(path), 0, f"cannot read: {exc.strerror or exc}") from None
    except UnicodeDecodeError:
        raise SequenceError(str(path), 0, "not UTF-8 text") from None
    return parse_sequence(text, str(path))


def check_sequence(supply: Supply, steps: list[Step], path: str = "<sequence>") -> None:
    """Every row against the limits: SequenceError (``FILE:LINE: reason``) for the first over one."""
    for s in steps:
        try:
            supply.check(voltage=s.voltage, current=s.current)
        except LimitError as exc:
            raise SequenceError(path, s.line, str(exc)) from None


def run_sequence(supply: Supply, steps: list[Step], *, repeat: int = 1, interval: float = 1.0,
                 log: LogWriter | None = None, path: str = "<sequence>",
                 on_reading: Callable[[Reading], None] | None = None,
                 on_step: Callable[[int, Step], None] | None = None) -> list[Reading]:
    """List mode: each row sets the current limit, then the voltage (ramped
    when the row has a rate), the output as the row says, and holds for its
    seconds, reading every ``interval`` s. A reading without an answer stops
    the run (NoReply / SupplyLost); the caller's safe end follows."""
    if repeat < 1:
        raise ValueError("--repeat must be 1 or more")
    check_sequence(supply, steps, path)
    supply.read_ok()
    supply.remote()
    readings: list[Reading] = []
    t0 = time.monotonic()
    index = 0
    for _ in range(repeat):
        for step in steps:
            index += 1
            if on_step is not None:
                on_step(index, step)
            if step.output == "off":
                supply.output("off")
            supply.set_current(step.current)
            if step.ramp:
                ramp(supply, step.voltage, rate=step.ramp)
            else:
                supply.set_voltage(step.voltage)
            if step.output == "on":
                supply.output("on")
            hold_start = time.monotonic()
            for reading in Poller(supply, interval, duration=step.seconds, start=hold_start):
                reading = reading.replace(elapsed_s=round(reading.elapsed_s + hold_start - t0, 3))
                readings.append(reading)
                if log is not None:
                    log.write(reading)
                if on_reading is not None:
                    on_reading(reading)
                if reading.status == "no_port":
                    raise SupplyLost(supply.problem or f"{supply.port}: port lost")
                if reading.status == "no_reply":
                    raise NoReply(f"{supply.port}: the supply stopped answering")
            _sleep_until(hold_start + step.seconds)
    return readings

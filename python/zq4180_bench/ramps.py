"""Ramps: the output voltage moved gradually, in steps no larger than asked."""

from __future__ import annotations

import math
import threading
import time
from dataclasses import dataclass
from typing import Callable

from .limits import milli
from .readings import Reading
from .settings import setpoints
from .supply import wire
from .waits import READ_TIME, Pacer, RampStopped

DEFAULT_MAX_STEP = 0.1   # V


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


def highest_allowed(supply) -> float | None:
    """The highest voltage the supply's limit lets through, in whole millivolts (None: no limit)."""
    limit = supply.limits.voltage
    if limit is None:
        return None
    return math.floor(round(limit.value * 1000, 6)) / 1000


def ramp(supply, to: float, *, rate: float | None = None, step: float | None = None,
         dwell: float | None = None, max_step: float = DEFAULT_MAX_STEP,
         on_step: Callable[[int, int, float], None] | None = None,
         on_reading: Callable[[Reading], None] | None = None,
         stop: "threading.Event | None" = None, before: Reading | None = None,
         interval: float | None = 1.0, every_step: bool = True,
         on_note: Callable[[str], None] | None = None) -> list[Reading]:
    """Move the output voltage to ``to``; returns the readings taken on the way (the read-back last).

    The target is checked against the limits first (nothing sent otherwise);
    the steps lie between the present setting and the target. A supply that
    stands over the voltage limit goes straight down to the limit first (told
    through ``on_note``): no step ever lies over the limit. The status is read
    at least once per ``interval`` seconds, and with ``every_step`` also after
    each step whose wait leaves time for it. ``stop`` (an event set from another thread) or the
    supply's ``cancel`` ends the ramp with RampStopped, between two exchanges.
    """
    pacer = Pacer(supply, "ramp", stop=stop, interval=interval, on_reading=on_reading)
    supply.check(voltage=to, what="ramp target")
    if before is None or not before.ok:   # a caller's fresh reading saves an exchange
        before = supply.read_ok()
    _check_state(supply, to, before)
    start = setpoints(before)[0]
    top = highest_allowed(supply)
    # a supply set over the limit goes straight down to it: the plan starts there
    down_to = top if top is not None and milli(start) > milli(top) else None
    jump = down_to is not None and milli(to) < milli(down_to)   # else the plan's one step is that step
    plan = plan_ramp(start if down_to is None else down_to, to, rate=rate, step=step, dwell=dwell,
                     max_step=max_step)
    pacer.check(f"{start:.3f} V")
    supply.remote()
    at, offset = start, 0
    t0 = time.monotonic()
    if down_to is not None and on_note is not None:
        limit = supply.limits.voltage
        on_note(f"the voltage is set to {start:.3f} V, over the limit {limit.value:.3f} V (from {limit.source}): "
                f"first step straight down to {down_to:.3f} V" + (f", then the ramp to {to:.3f} V" if jump else ""))
    if down_to is not None and jump:
        supply.command("set_out_voltage", wire(down_to))
        at, offset = down_to, 1
    points = plan.points
    for k, volts in enumerate(points):
        if k + offset:
            pacer.wait_until(t0 + (k + offset) * plan.dwell, f"{at:.3f} V")
        pacer.check(f"{at:.3f} V")
        supply.command("set_out_voltage", wire(volts))
        at = volts
        if on_step is not None:
            on_step(k + 1, len(points), volts)
        if k + 1 < len(points):
            if every_step and t0 + (k + 1 + offset) * plan.dwell - time.monotonic() >= READ_TIME:
                pacer.read()
            else:
                pacer.read_if_due()   # at least once per interval, even when the steps come fast
    pacer.check(f"{at:.3f} V")
    final = supply.read_ok()
    pacer.readings.append(final)
    if on_reading is not None:
        on_reading(final)
    return pacer.readings


def _check_state(supply, to: float, before: Reading) -> None:
    """The whole state the ramp leaves, standing values included (when the library can tell)."""
    check = getattr(supply, "check_request", None)
    if check is not None:
        check(voltage=to, state=before)

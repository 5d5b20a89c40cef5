"""Running a sequence: each row's settings, an optional ramp, and a hold while reading.

A row that switches the output on goes through the library's checked
switch-on (the supply must report the row's values taken first). A ramped row
that switches the output on is a soft start: 0 V, output on, then the ramp to
the row's voltage with the output on. A row that switches off takes the
confirmed off path. Readings are logged during ramps as during holds.
"""

from __future__ import annotations

import time
from typing import Callable, Iterator

from .errors import NoReply, SupplyLost
from .logs import LogWriter
from .off import confirmed_off
from .ramps import ramp
from .readings import NO_REPLY, Reading
from .sequences import Step, check_sequence
from .settings import switch_on
from .waits import Pacer


def run_sequence(supply, steps: list[Step], *, repeat: int = 1, interval: float = 1.0,
                 log: LogWriter | None = None, path: str = "<sequence>",
                 on_reading: Callable[[Reading], None] | None = None,
                 on_step: Callable[[int, Step], None] | None = None) -> list[Reading]:
    """List mode: each row sets the current limit, then the voltage (ramped
    when the row has a rate), the output as the row says, and holds for its
    seconds, reading every ``interval`` s. A reading without an answer stops
    the run (NoReply / SupplyLost); the caller's safe end follows. The
    supply's ``cancel`` stops it (RampStopped) between two exchanges."""
    if repeat < 1:
        raise ValueError("--repeat must be 1 or more")
    check_sequence(supply, steps, path)
    state = supply.read_ok()
    output_on = state.output == "on"
    remote = [False]    # remote control sent (apply sends its own)

    def direct() -> None:
        if not remote[0]:
            supply.remote()
            remote[0] = True
    readings: list[Reading] = []
    t0 = time.monotonic()
    pacer = Pacer(supply, "sequence")
    offset = getattr(supply, "started", t0) - t0   # supply.read() counts from the supply's start

    def keep(reading: Reading, elapsed: float) -> None:
        reading = reading.replace(elapsed_s=round(elapsed, 3))
        readings.append(reading)
        if log is not None:
            log.write(reading)
        if on_reading is not None:
            on_reading(reading)

    def ramp_to(volts: float, rate: float) -> None:
        ramp(supply, volts, rate=rate, interval=interval if interval > 0 else None, every_step=interval == 0,
             on_reading=lambda r: keep(r, r.elapsed_s + offset), stop=None)

    index = 0
    for _ in range(repeat):
        for step in steps:
            index += 1
            pacer.check(f"row {index} ({path}:{step.line})")
            if on_step is not None:
                on_step(index, step)
            if step.output == "off":
                confirmed_off(supply)
                output_on = False
            if step.output == "off" or output_on:
                direct()
                supply.set_current(step.current)
                if step.ramp:
                    ramp_to(step.voltage, step.ramp)
                else:
                    supply.set_voltage(step.voltage)
            elif step.ramp:              # a soft start: on at 0 V, then the ramp with the output on
                switch_on(supply, current=step.current, voltage=0.0, what=f"{path}:{step.line}")
                output_on = remote[0] = True
                ramp_to(step.voltage, step.ramp)
            else:
                switch_on(supply, current=step.current, voltage=step.voltage, what=f"{path}:{step.line}")
                output_on = remote[0] = True
            hold_start = time.monotonic()
            for reading in _hold(supply, pacer, interval, step.seconds, hold_start, t0):
                keep(reading, reading.elapsed_s)
                if reading.status == NO_REPLY:
                    raise NoReply(f"{supply.port}: the supply stopped answering")
                if not reading.ok:           # the port is lost, or another supply answers there
                    raise SupplyLost(supply.problem or f"{supply.port}: port lost")
            pacer.wait_until(hold_start + step.seconds, f"row {index} ({path}:{step.line})")
    return readings


def _hold(supply, pacer: Pacer, interval: float, seconds: float, start: float, t0: float) -> Iterator[Reading]:
    """Readings on the deadlines ``start + k × interval`` (back to back for 0) for ``seconds``,
    each with ``elapsed_s`` from ``t0`` and ``late_ms`` from its deadline."""
    k = 0
    while True:
        deadline = start + k * interval
        where = f"{seconds:g} s hold, reading {k + 1}"
        if interval > 0:
            if k * interval >= seconds - 1e-9:
                return
            pacer.wait_until(deadline, where)
        elif k and time.monotonic() - start >= seconds:
            return
        pacer.check(where)
        called = time.monotonic()
        reading = supply.read(t0=t0)
        started = getattr(supply, "read_started", 0.0) or 0.0
        began = started if started >= called else called
        late = max(0.0, began - deadline) * 1000 if interval > 0 else 0.0
        k += 1
        yield reading.replace(elapsed_s=round(began - t0, 3), late_ms=round(late, 1))

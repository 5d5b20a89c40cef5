"""``zq4180 ramp``: the output voltage moved gradually."""

from __future__ import annotations

from .context import Context
from .parser import EXIT_FAULT, EXIT_OK, UsageError
from .progress import progress


def run(ctx: Context, args) -> int:
    from ..procedures import ramp
    from ..supply import Outcome
    if args.step is not None and args.dwell is None:
        raise UsageError("--step needs --dwell (seconds between steps)")
    if args.rate is not None and args.dwell is not None:
        raise UsageError("--dwell goes with --step, not with --rate")
    with ctx.supply(safe_end="on_error", changes=True) as supply:
        supply.check(voltage=args.to, what="ramp target")
        first = supply.read_ok()
        supply.check_request(voltage=args.to, state=first)
        if first.voltage_max_V is not None and args.to > first.voltage_max_V:
            ctx.warn(f"the target {args.to:.3f} V is above the ceiling {first.voltage_max_V:.3f} V: the output "
                     "stops at the ceiling")
        with progress(ctx, None, f"ramp to {args.to:.3f} V") as bar:
            def on_step(k, n, volts):
                bar.update(completed=k, total=n, info=f"{volts:.3f} V")
            readings = ramp(supply, args.to, rate=args.rate, step=args.step, dwell=args.dwell,
                            max_step=args.max_step, on_step=on_step, before=first, on_note=ctx.note)
    final = readings[-1]
    outcome = Outcome("voltage", round(args.to * 1000) / 1000, final.voltage_set_V)
    ctx.out(outcome.text())
    return EXIT_OK if outcome.ok else EXIT_FAULT

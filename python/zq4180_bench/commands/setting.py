"""``zq4180 set``: settings in the safe order, each beside its read-back."""

from __future__ import annotations

from .context import Context, plural, supply_name
from .parser import EXIT_FAULT, EXIT_OK, UsageError


def run(ctx: Context, args) -> int:
    from ..errors import OffNotConfirmed
    requested = {k: getattr(args, k) for k in ("voltage", "current", "ceiling", "output", "mode")
                 if getattr(args, k) is not None}
    if not requested:
        raise UsageError("nothing to set: give --voltage, --current, --ceiling, --output or --mode")
    values = {k: v for k, v in requested.items() if k in ("voltage", "current", "ceiling")}
    with ctx.supply(changes=True) as supply:
        before = None
        if args.output == "off":
            supply.check_request(**values, output="off")    # the off goes out first: no read before it
        else:
            before = supply.read_ok()
            supply.check_request(**values, output=args.output, state=before)
            volts = requested.get("voltage", before.voltage_set_V)
            ceiling = requested.get("ceiling", before.voltage_max_V)
            if ("voltage" in requested or "ceiling" in requested) and volts > ceiling:
                ctx.warn(f"the voltage {volts:.3f} V is above the ceiling {ceiling:.3f} V: the output stops at "
                         "the ceiling")
            if args.output == "on" and before.over_temperature:
                ctx.warn(f"{supply_name(supply)} reports its temperature alarm: switching the output on anyway")
        try:
            outcomes = supply.apply(**requested, before=before)
        except OffNotConfirmed as exc:
            ctx.not_off(supply, exc.result)
            return EXIT_FAULT
    for outcome in outcomes:
        ctx.out(outcome_text(outcome))
    failed = [o for o in outcomes if not o.ok]
    if failed:
        ctx.error(f"{len(failed)} of {len(outcomes)} {plural(len(outcomes), 'setting')} not confirmed: "
                  + ", ".join(f"{o.name} ({_why(o)})" for o in failed))
        return EXIT_FAULT
    return EXIT_OK


def _why(outcome) -> str:
    if not outcome.sent:
        return "not sent: an earlier step failed"
    if outcome.answered:
        return "no read-back" if outcome.readback is None else "the read-back differs"
    if outcome.readback is not None and type(outcome)(outcome.name, outcome.requested, outcome.readback).ok:
        return "not acknowledged, though the read-back shows it taken"
    return "no reply"


def outcome_text(outcome) -> str:
    """A request beside its read-back. A setting whose acknowledgement was lost still shows the value
    the following status read reports, with the lost acknowledgement said."""
    text = outcome.text()
    if outcome.sent and not outcome.answered and outcome.readback is not None:
        shown = type(outcome)(outcome.name, outcome.requested, outcome.readback)   # as if acknowledged
        text = shown.text() + "  (no reply to the setting)"
    return text

"""``zq4180 run``: a sequence file (list mode), optionally logged."""

from __future__ import annotations

from .context import Context, interval_text, log_mode, plural, refuse_existing, warn_temperature
from .parser import EXIT_OK, PROG
from .progress import progress


def run(ctx: Context, args) -> int:
    from ..logs import LogWriter, log_comments
    from ..procedures import check_sequence, load_sequence, run_sequence
    from ..readings import one_line
    steps = load_sequence(args.sequence)
    if args.log is not None:
        refuse_existing(args.log, log_mode(args), "log")
    total = sum(s.seconds for s in steps) * args.repeat
    with ctx.supply(safe_end="always", changes=True) as supply:
        check_sequence(supply, steps, args.sequence)
        if any(s.output == "on" for s in steps):
            warn_temperature(ctx, supply, supply.read_ok())
        writer = None
        if args.log is not None:
            comments = log_comments(supply, PROG, sequence=f"{args.sequence} ({len(steps)} "
                                                           f"{plural(len(steps), 'row')}, repeat {args.repeat})",
                                    interval=interval_text(args.interval))
            writer = LogWriter(args.log, None, log_mode(args), comments)
        try:
            with progress(ctx, total, "run") as bar:
                done = [0.0]

                def on_step(index, step):
                    bar.update(completed=done[0], info=f"row {index}: {step.voltage:.3f} V, {step.current:.3f} A, "
                                                       f"output {step.output}")
                    done[0] += step.seconds

                def on_reading(reading):
                    bar.update(info=one_line(reading).split("  ", 1)[-1])
                run_sequence(supply, steps, repeat=args.repeat, interval=args.interval, log=writer,
                             path=args.sequence, on_reading=on_reading, on_step=on_step)
                bar.update(completed=total)
        finally:
            if writer is not None:
                writer.close()
                ctx.note(f"{writer.rows} {plural(writer.rows, 'row')} written to {args.log}")
    ctx.note(f"sequence done: {len(steps)} {plural(len(steps), 'row')} x {args.repeat}")
    return EXIT_OK

"""``zq4180 log``: timestamped readings to a CSV or JSON-lines file."""

from __future__ import annotations

from .context import (Context, OtherSupplyNote, check_interval, every, interval_text, log_mode, plural,
                      refuse_existing)
from .parser import EXIT_OK, PROG
from .progress import progress


def run(ctx: Context, args) -> int:
    from ..logs import LogWriter, log_comments
    from ..reader import Poller
    from ..readings import one_line
    path, fmt = (args.csv, "csv") if args.csv is not None else (args.jsonl, "jsonl")
    refuse_existing(path, log_mode(args), "log")
    check_interval(ctx, args.interval)
    with ctx.supply() as supply:
        poller = Poller(supply, args.interval, count=args.count, duration=args.duration)
        comments = log_comments(supply, PROG, interval=interval_text(args.interval))
        with LogWriter(path, fmt, log_mode(args), comments) as writer:
            until = (f" for {args.duration:g} s" if args.duration else
                     f", {args.count} {plural(args.count, 'reading')}" if args.count else " until Ctrl-C")
            ctx.note(f"logging {supply.port} to {path} {every(args.interval)}{until}")
            told = OtherSupplyNote(ctx, supply)
            try:
                with progress(ctx, poller.expected(), "log") as bar:
                    for reading in poller:
                        writer.write(reading)
                        told.see(reading)
                        bar.update(advance=1, info=one_line(reading).split("  ", 1)[-1])
            finally:
                ctx.note(f"{writer.rows} {plural(writer.rows, 'row')} written to {path}")
    return EXIT_OK

"""``zq4180 sweep``: an I-V curve, as CSV and optionally a plot."""

from __future__ import annotations

import sys

from .context import Context, plural, refuse_existing, warn_temperature
from .parser import EXIT_FAULT, EXIT_OK
from .progress import progress


def run(ctx: Context, args) -> int:
    from ..logs import open_output
    from ..plot import PlotUnavailable, check_plot_path, plot_sweep
    from ..procedures import sweep, sweep_points, write_sweep_csv
    points = sweep_points(args.start, args.stop, args.step)
    mode = "force" if args.force else "new"
    if args.plot is not None:
        check_plot_path(args.plot)
        refuse_existing(args.plot, mode, "plot file")
        try:
            import importlib.util
            missing = importlib.util.find_spec("matplotlib") is None
        except (ImportError, ValueError):
            missing = True
        if missing:
            ctx.warn("--plot needs matplotlib (pip install 'zq4180[plot]'): the sweep runs and its CSV is "
                     "written, but the plot will fail")
    refuse_existing(args.csv, mode, "CSV file")
    rows: list = []
    with ctx.supply(safe_end="always", changes=True) as supply:
        for v in points:
            supply.check(voltage=v, what="sweep point")
        supply.check(current=args.current, what="sweep current")
        first = supply.read_ok()
        supply.check_request(current=args.current, voltage=points[0], output="on", state=first)
        warn_temperature(ctx, supply, first)
        ceiling = first.voltage_max_V
        if ceiling is not None and max(points) > ceiling:
            ctx.warn(f"points above the ceiling {ceiling:.3f} V are held at the ceiling")
        out = open_output(args.csv, mode, what="CSV file") if args.csv is not None else None
        try:
            with progress(ctx, len(points), "sweep") as bar:
                def on_point(k, n, point):
                    rows.append(point)
                    r = point.reading
                    bar.update(completed=k, info=f"{r.voltage_V:.3f} V {r.current_A:.3f} A {r.regulation}")
                sweep(supply, args.start, args.stop, args.step, args.current, settle=args.settle,
                      through_cc=args.through_cc, on_point=on_point, before=first)
        finally:
            # the rows taken so far are written even when the sweep stops on a fault
            if out is not None:
                write_sweep_csv(rows, out)
                out.close()
            elif rows:
                write_sweep_csv(rows, sys.stdout)
                sys.stdout.flush()
    if rows and rows[-1].reading.regulation == "CC" and not args.through_cc and len(rows) < len(points):
        ctx.note(f"stopped at {rows[-1].voltage_set_V:.3f} V: the supply entered constant current "
                 "(--through-cc goes on)")
    if args.csv is not None:
        ctx.note(f"{len(rows)} {plural(len(rows), 'point')} written to {args.csv}")
    if args.plot is not None:
        try:
            title = f"I-V sweep, current limit {args.current:.3f} A"
            plot_sweep(rows, args.plot, title=title)
        except PlotUnavailable as exc:
            ctx.error(str(exc))
            return EXIT_FAULT
        except Exception as exc:
            ctx.error(f"the plot could not be drawn: {exc}")
            return EXIT_FAULT
        ctx.note(f"plot written to {args.plot}")
    return EXIT_OK

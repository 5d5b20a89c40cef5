"""``zq4180 watch``: live readings until Ctrl-C, changing nothing."""

from __future__ import annotations

import sys

from .context import Context, OtherSupplyNote, check_interval, identity_line
from .parser import EXIT_OK


def run(ctx: Context, args) -> int:
    from ..reader import Poller
    from ..readings import changes, one_line
    check_interval(ctx, args.interval)
    with ctx.supply() as supply:
        poller = Poller(supply, args.interval, skip_missed=True)
        previous = last_ok = None
        if sys.stdout.isatty():
            return watch_live(ctx, supply, poller)
        told = OtherSupplyNote(ctx, supply)
        for reading in poller:
            told.see(reading)
            for event in changes(previous, reading, last_ok):
                ctx.out(event.line())
            ctx.out(one_line(reading))
            previous = reading
            if reading.ok:
                last_ok = reading
    return EXIT_OK


def watch_live(ctx: Context, supply, poller) -> int:
    from rich.console import Console, Group
    from rich.live import Live
    from rich.table import Table
    from rich.text import Text
    from ..readings import STATUS_TEXT, amps, changes, volts, watts

    def screen(reading):
        t = Table(show_header=False, box=None, padding=(0, 2, 0, 0))
        t.add_column(style="bold")
        t.add_column()
        if not reading.ok:
            status = STATUS_TEXT[reading.status] + (f" ({reading.answering})" if reading.answering else "")
            t.add_row("Status", Text(status, style="bold red"))
            t.add_row("Last answer", last_ok.time if last_ok is not None else "none yet")
        else:
            t.add_row("Voltage", Text.assemble(volts(reading.voltage_V), "  ", (
                f"[set {volts(reading.voltage_set_V)}, ceiling {volts(reading.voltage_max_V)}]", "dim")))
            t.add_row("Current", Text.assemble(amps(reading.current_A), "  ", (
                f"[limit {amps(reading.current_limit_A)}]", "dim")))
            t.add_row("Power", watts(reading.power_W))
            t.add_row("Output", Text(reading.output, style="bold green" if reading.output == "on" else ""))
            t.add_row("Regulation", Text(reading.regulation, style="bold yellow" if reading.regulation == "CC"
                                         else ""))
            t.add_row("Control", reading.work_mode)
            t.add_row("Temperature alarm", Text("ON", style="bold red") if reading.over_temperature else "off")
            t.add_row("Fan", str(reading.fan_speed))
        t.add_row("Time", Text(reading.time, style="dim"))
        return Group(Text(identity_line(supply), style="bold"), t, Text("Ctrl-C to stop", style="dim"))

    console = Console()
    previous = last_ok = None
    told = OtherSupplyNote(ctx, supply)
    with Live(console=console, auto_refresh=False) as live:
        for reading in poller:
            told.see(reading)
            for event in changes(previous, reading, last_ok):
                live.console.print(Text(event.line(), style="yellow"))
            previous = reading
            if reading.ok:
                last_ok = reading
            live.update(screen(reading), refresh=True)
    return EXIT_OK

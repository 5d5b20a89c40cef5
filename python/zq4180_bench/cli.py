"""``zq4180``: bench work with zq4100-series supplies, without writing a program."""

from __future__ import annotations

import os
import sys

from . import signals as _signals

if os.path.basename(sys.argv[0]) in ("zq4180", "zq4180.exe", "zq4180-script.py") or \
        sys.argv[0].replace("\\", "/").endswith("zq4180_bench/__main__.py"):
    # loaded to run the zq4180 command (not imported by another program): a signal that arrives
    # meanwhile is recorded, and main() ends with its status and one line, never a traceback
    # from the middle of an import
    _signals.hold_early()

import argparse  # noqa: E402
import contextlib  # noqa: E402
import json  # noqa: E402
import math  # noqa: E402
import time  # noqa: E402
from typing import Any, Callable, Iterator  # noqa: E402

PROG = "zq4180"

EXIT_OK, EXIT_FAULT, EXIT_USAGE = 0, 1, 2

_PORT_HELP = ("serial port (/dev/ttyUSB0, COM3), rfc2217:// URL, or a supply's name or serial number "
              "from the configuration file; default $ZQ4180_PORT (with --sim: the number of a virtual supply)")


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(f"{message} (see {self.prog} --help)")


def _number(unit: str, *, positive: bool = False):
    """An option's number: plain decimal notation only (see numbers.plain_number)."""
    def parse(text: str) -> float:
        from .numbers import parse_plain
        try:
            value = parse_plain(text, unit)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
        if positive and value == 0:
            raise argparse.ArgumentTypeError(f"must be more than 0 {unit}: {text!r}")
        return value
    return parse


def _count(text: str) -> int:
    stripped = text.strip()
    if not (stripped.isascii() and stripped.lstrip("+").isdigit()):   # int() would take 1_0 and full-width digits
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}")
    value = int(stripped)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more: {text!r}")
    return value


def _global_options(p: argparse.ArgumentParser, suppress: bool) -> None:
    d = (lambda value: argparse.SUPPRESS) if suppress else (lambda value: value)
    g = p.add_argument_group("global options (also accepted before the command)")
    # given before and after the command, the stricter value holds (merged in main)
    after = "_after" if suppress else ""
    g.add_argument("--max-voltage", dest="max_voltage" + after, type=_number("volts"), metavar="V", default=d(None),
                   help="software limit: refuse any voltage or ceiling over V volts before sending")
    g.add_argument("--max-current", dest="max_current" + after, type=_number("amperes"), metavar="A",
                   default=d(None),
                   help="software limit: refuse any current limit over A amperes before sending")
    g.add_argument("--config", metavar="FILE", default=d(None),
                   help="configuration file (default $ZQ4180_CONFIG, ./zq4180.toml, then the user's "
                        "configuration directory)")
    g.add_argument("--on-exit", choices=("off", "keep"), default=d("off"),
                   help="what sweep, run and a failed ramp do at the end: 'off' (output off, confirmed, "
                        "then local control; the default) or 'keep' (leave the supply as it is)")
    g.add_argument("-v", "--verbose", action="store_true", default=d(False),
                   help="also show the driver's own printed lines (on standard error)")
    g.add_argument("-q", "--quiet", action="store_true", default=d(False),
                   help="no progress bars, no notes on standard error (warnings and errors still show)")
    g.add_argument("--sim", type=_count, nargs="?", const=1, metavar="N", default=d(None),
                   help="serve N virtual supplies (default 1) for this run, paced at 4800 baud, in place "
                        "of PORT: try any command without hardware")
    g.add_argument("--sim-load", metavar="LOAD", default=d(None),
                   help="the virtual supplies' load: OHMS, open, led, cc or cc:AMPS (default 10 ohms)")


def _port(p) -> None:
    p.add_argument("port", nargs="?", metavar="PORT", help=_PORT_HELP)


def _current_option(p, required: bool = False, help_text: str = "current limit in amperes") -> None:
    p.add_argument("--current", "--current-limit", dest="current", type=_number("amperes"), metavar="A",
                   required=required, help=help_text)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Bench work with zq4100-series supplies (models 4180, 4181): read, set, watch, log, "
                    "ramp, sweep and run sequences. Volts, amperes, seconds.",
        epilog="Exit status: 0 done (a sweep stopped by CC included); 1 the supply did not answer, a read-back "
               "differed, a run stopped on a fault, or a plot could not be drawn; 2 usage error or refused "
               "value (no setting sent); 130 / 143 / 129 after Ctrl-C / SIGTERM / SIGHUP, once the safe end "
               "has run.\n\nExample without hardware: zq4180 --sim --sim-load led sweep --from 0 --to 3 "
               "--step 0.05 --current 0.02")
    _global_options(parser, suppress=False)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    def command(name: str, help_text: str, description: str | None = None) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=help_text, description=description or help_text)
        _global_options(p, suppress=True)
        return p

    p = command("list", "list serial ports; --probe asks who answers",
                "List serial ports (port, description, USB id). --probe asks the identity of the ports named, "
                "or else of USB-serial adapters only: opening a port resets some boards (Arduino-like ones), "
                "so only the ports probed are opened, and only the identity request is sent.")
    p.add_argument("--probe", nargs="*", metavar="PORT", default=None,
                   help="ask the identity (model, serial number, firmware, bus address) of these ports, "
                        "or of every USB-serial adapter when none is named")
    p.set_defaults(func=cmd_list)

    p = command("status", "identity and one status read-out")
    _port(p)
    p.add_argument("--json", action="store_true",
                   help="print one JSON object: the log's keys plus 'identity'")
    p.set_defaults(func=cmd_status)

    p = command("set", "change settings in a safe order, with read-back",
                "Put the supply under remote control, then: output off first (when asked); the current limit; "
                "ceiling and voltage in the order that never raises the output above both its old and new "
                "value; output on last; --mode local after all. Each request is shown beside its read-back.")
    _port(p)
    p.add_argument("--ceiling", type=_number("volts"), metavar="V", help="voltage ceiling in volts")
    _current_option(p)
    p.add_argument("--voltage", type=_number("volts"), metavar="V", help="output voltage in volts")
    p.add_argument("--output", choices=("on", "off"), help="switch the output on or off")
    p.add_argument("--mode", choices=("remote", "local"), help="control mode at the end")
    p.set_defaults(func=cmd_set)

    p = command("watch", "live readings until Ctrl-C; changes nothing")
    _port(p)
    p.add_argument("--interval", type=_number("seconds"), default=0.5, metavar="S",
                   help="seconds between readings (default 0.5; 0: as fast as the line allows)")
    p.set_defaults(func=cmd_watch)

    p = command("log", "timestamped readings to a CSV or JSON-lines file")
    _port(p)
    p.add_argument("--interval", type=_number("seconds"), default=1.0, metavar="S",
                   help="seconds between readings, on fixed deadlines (default 1; 0: as fast as the line "
                        "allows)")
    stop = p.add_mutually_exclusive_group()
    stop.add_argument("--duration", type=_number("seconds", positive=True), metavar="S",
                      help="stop after S seconds (default: until Ctrl-C)")
    stop.add_argument("--count", type=_count, metavar="N", help="stop after N readings")
    out = p.add_mutually_exclusive_group(required=True)
    out.add_argument("--csv", metavar="FILE", help="write CSV (# comment lines, a header, one row a reading)")
    out.add_argument("--jsonl", metavar="FILE", help="write JSON lines (one object a reading)")
    exist = p.add_mutually_exclusive_group()
    exist.add_argument("--force", action="store_true", help="overwrite FILE if it exists")
    exist.add_argument("--append", action="store_true", help="add to FILE if it exists")
    p.set_defaults(func=cmd_log)

    p = command("ramp", "move the output voltage gradually",
                "Move the output voltage to --to in steps of at most --max-step, at --rate V/s or one --step "
                "every --dwell seconds (slower if the line cannot keep up). A finished ramp stays at its "
                "target; a failed or interrupted one ends with the output off and local control.")
    _port(p)
    p.add_argument("--to", type=_number("volts"), required=True, metavar="V", help="target voltage in volts")
    speed = p.add_mutually_exclusive_group(required=True)
    speed.add_argument("--rate", type=_number("volts per second", positive=True), metavar="V/s",
                       help="speed in volts per second")
    speed.add_argument("--step", type=_number("volts", positive=True), metavar="V",
                       help="step in volts (with --dwell)")
    p.add_argument("--dwell", type=_number("seconds"), metavar="S", help="seconds between steps (with --step)")
    p.add_argument("--max-step", type=_number("volts", positive=True), default=0.1, metavar="V",
                   help="largest step in volts (default 0.1)")
    p.set_defaults(func=cmd_ramp)

    p = command("sweep", "trace an I-V curve",
                "Set the current limit and the first voltage, switch on, then step the voltage from --from to "
                "--to (points from + k*step rounded to whole millivolts, --to always the last), waiting "
                "--settle at each point and reading. Stops (exit 0) when the supply enters constant current, "
                "unless --through-cc. Ends with the output off and local control.")
    _port(p)
    p.add_argument("--from", dest="start", type=_number("volts"), required=True, metavar="V",
                   help="first voltage in volts")
    p.add_argument("--to", dest="stop", type=_number("volts"), required=True, metavar="V",
                   help="last voltage in volts")
    p.add_argument("--step", type=_number("volts", positive=True), required=True, metavar="V",
                   help="step in volts")
    _current_option(p, required=True, help_text="current limit in amperes during the sweep")
    p.add_argument("--settle", type=_number("seconds"), default=0.2, metavar="S",
                   help="seconds to wait at each point before reading (default 0.2)")
    p.add_argument("--csv", metavar="FILE", help="write the points as CSV (default: to standard output)")
    p.add_argument("--plot", metavar="FILE", help="draw current against measured voltage: .png, .svg or .pdf "
                                                  "(needs the 'plot' extra)")
    p.add_argument("--through-cc", action="store_true", help="go on past the point where CC begins")
    p.add_argument("--force", action="store_true", help="overwrite --csv / --plot files that exist")
    p.set_defaults(func=cmd_sweep)

    p = command("run", "run a sequence file (list mode)",
                "Run SEQUENCE: a CSV file with the header voltage,current,seconds and optional columns output "
                "(on/off, default on) and ramp (V/s); '#' starts a comment. Each row sets the current limit, "
                "then the voltage (ramped if the row says so), the output, and holds for its seconds while "
                "reading. The whole file is checked before anything is sent. Ends with the output off and "
                "local control.")
    _port(p)
    p.add_argument("sequence", metavar="SEQUENCE", help="the sequence file")
    p.add_argument("--log", metavar="FILE", help="log the readings (CSV, or JSON lines for .jsonl)")
    p.add_argument("--repeat", type=_count, default=1, metavar="N", help="run the sequence N times (default 1)")
    p.add_argument("--interval", type=_number("seconds"), default=1.0, metavar="S",
                   help="seconds between readings while holding (default 1)")
    exist = p.add_mutually_exclusive_group()
    exist.add_argument("--force", action="store_true", help="overwrite the log if it exists")
    exist.add_argument("--append", action="store_true", help="add to the log if it exists")
    p.set_defaults(func=cmd_run)
    return parser


def _fix_sim(argv: list[str]) -> list[str]:
    """``--sim`` takes an optional count: keep it from swallowing the command's name."""
    out: list[str] = []
    for i, arg in enumerate(argv):
        out.append(arg)
        if arg == "--sim" and (i + 1 >= len(argv) or not argv[i + 1].isdigit()):
            out[-1] = "--sim=1"
    return out


# -- the context every command gets ---------------------------------------------------

def supply_name(supply) -> str:
    """The supply's configured name, else its port."""
    return supply.name or supply.port


class Context:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.quiet = args.quiet
        self.verbose = args.verbose
        self.sim_ports: list[str] = []
        self.unconfirmed = False    # an output-off or a safe end was not confirmed: exit 1, whatever follows
        # how a refusal for a standing value names its fix: set's own option, else a set command
        self.fix_hint = None if getattr(args, "command", None) == "set" else \
            f"first: {PROG} set {getattr(args, 'port', None) or 'PORT'} {{option}}"

    def out(self, text: str = "") -> None:
        print(text, flush=True)

    def _message(self, text: str) -> None:
        try:
            print(f"{PROG}: {text}", file=sys.stderr, flush=True)
        except (OSError, ValueError):  # no terminal left (SIGHUP) or stderr closed
            pass

    def note(self, text: str) -> None:
        if not self.quiet:
            self._message(text)

    def warn(self, text: str) -> None:
        self._message(f"warning: {text}")

    def error(self, text: str) -> None:
        self._message(f"error: {text}")

    def driver_line(self, line: str) -> None:
        if self.verbose:
            self._message(f"driver: {line}")

    @property
    def stderr_terminal(self) -> bool:
        return sys.stderr.isatty() and not self.quiet

    def limits(self):
        from .limits import Limits
        return Limits.of(self.args.max_voltage, self.args.max_current)

    def target(self) -> str | None:
        port = getattr(self.args, "port", None)
        if port is None and not self.sim_ports and not os.environ.get("ZQ4180_PORT"):
            raise UsageError("no PORT given and ZQ4180_PORT is not set (zq4180 list shows the ports; "
                             "--sim tries a virtual supply)")
        if self.sim_ports:
            if port is None:
                return self.sim_ports[0]
            if port.isdigit() and 1 <= int(port) <= len(self.sim_ports):
                return self.sim_ports[int(port) - 1]
            raise UsageError(f"with --sim, PORT is the number of a virtual supply (1..{len(self.sim_ports)}), "
                             f"got {port!r}")
        return port

    @contextlib.contextmanager
    def supply(self, safe_end: str = "never", changes: bool = False) -> Iterator[Any]:
        from .supply import open_supply
        mode = "never" if self.args.on_exit == "keep" and safe_end != "never" else safe_end
        supply = open_supply(self.target(), limits=self.limits(), config=self.args.config, safe_end=mode)
        try:
            supply.on_print = self.driver_line
            supply.on_safe_end = lambda result: self._report_safe_end(supply, result)
            if changes:
                self._warn_no_limits(supply)
            if self.args.on_exit == "keep" and safe_end != "never":
                self.note("--on-exit keep: the supply is left as it is at the end")
        except BaseException:
            supply.close()
            raise
        try:
            yield supply
        except BaseException as exc:
            self._leave(supply, exc)
            raise
        self._leave(supply, None)

    def _leave(self, supply, exc: BaseException | None) -> None:
        """The supply's own exit (its safe end, as asked), with signals held back until it is over:
        once the safe end is known unconfirmed, no signal changes the exit status any more."""
        from . import signals
        with signals.shielded() as seen:
            supply.__exit__(type(exc) if exc is not None else None, exc,
                            exc.__traceback__ if exc is not None else None)
        if self.unconfirmed:
            signals.ignore()
        elif seen and (exc is None or signals.exit_status(exc) is None):
            raise signals.as_exception(seen[0]) from exc

    def _warn_no_limits(self, supply) -> None:
        missing = []
        if supply.limits.voltage is None:
            missing.append(("voltage", "--max-voltage", "max_voltage"))
        if supply.limits.current is None:
            missing.append(("current", "--max-current", "max_current"))
        for what, option, key in missing:
            self.warn(f"no {what} limit configured for {supply.port} ({option}, or {key} in the configuration "
                      "file)")

    def _report_safe_end(self, supply, result) -> None:
        if result.confirmed:
            self.note(result.message())
        else:
            self.not_off(supply, result)

    def not_off(self, supply, result) -> None:
        """``NAME: OUTPUT MAY STILL BE ON: ...``; from now on the command exits 1, whatever follows."""
        from . import signals
        self.unconfirmed = True
        signals.ignore()
        self._message(f"{supply_name(supply)}: {result.message()}")


# -- progress display (rich, only on a terminal) ---------------------------------------

class _NoProgress:
    def update(self, **kwargs) -> None:
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None


class _Bar:
    def __init__(self, total: float | None, description: str) -> None:
        from rich.console import Console
        from rich.progress import (BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn,
                                   TimeRemainingColumn)
        columns = [TextColumn("{task.description}"), BarColumn(),
                   MofNCompleteColumn() if total else TextColumn("{task.completed:.0f} rows"),
                   TimeElapsedColumn(), TimeRemainingColumn(), TextColumn("{task.fields[info]}")]
        self.progress = Progress(*columns, console=Console(stderr=True), transient=False)
        self.task = self.progress.add_task(description, total=total, info="")

    def update(self, **kwargs) -> None:
        self.progress.update(self.task, **kwargs)

    def __enter__(self):
        self.progress.start()
        return self

    def __exit__(self, *exc):
        try:
            self.progress.stop()
        except OSError:  # the terminal went away (SIGHUP): the command's own end matters more
            pass
        return None


def progress(ctx: Context, total: float | None, description: str):
    return _Bar(total, description) if ctx.stderr_terminal else _NoProgress()


# -- commands ---------------------------------------------------------------------

def cmd_list(ctx: Context, args) -> int:
    from .ports import PortInfo, list_ports, probe
    ports = list_ports()
    for sim_port in ctx.sim_ports:
        ports.append(PortInfo(sim_port, "virtual supply (--sim)", ""))
    if args.probe is None:
        if not ports:
            ctx.note("no serial ports found")
            return EXIT_OK
        width = max(len("PORT"), *(len(p.device) for p in ports))
        ctx.out(f"{'PORT':{width}s}  {'USB ID':9s}  DESCRIPTION")
        for p in ports:
            ctx.out(f"{p.device:{width}s}  {p.usb_id or '-':9s}  {p.description or '-'}")
        return EXIT_OK
    from .config import load_config
    from .supply import resolve_target
    config = load_config(args.config)
    named = [ctx.sim_ports[int(n) - 1] if ctx.sim_ports and n.isdigit() and 1 <= int(n) <= len(ctx.sim_ports)
             else resolve_target(n, config)[0] for n in args.probe]
    targets = named or [p.device for p in ports if p.usb or p.device in ctx.sim_ports]
    if not targets:
        ctx.note("no USB-serial adapters to probe (name the ports to probe others)")
        return EXIT_OK
    status = EXIT_OK
    width = max(len("PORT"), *(len(t) for t in targets))
    ctx.out(f"{'PORT':{width}s}  FOUND")
    for port in targets:
        result = probe(port)
        ctx.out(f"{port:{width}s}  {result.text()}")
        if result.identity is None and named:
            status = EXIT_FAULT
    return status


def _identity_line(supply) -> str:
    from .readings import identity_text
    name = f" ({supply.name})" if supply.name else ""
    return f"Supply: {identity_text(supply.identity)} at {supply.port}{name}"


def cmd_status(ctx: Context, args) -> int:
    from .readings import status_lines
    with ctx.supply() as supply:
        reading = supply.read()
        if args.json:
            record = reading.as_dict()
            record["identity"] = supply.identity
            ctx.out(json.dumps(record))
        else:
            ctx.out(_identity_line(supply))
            for line in status_lines(reading):
                ctx.out(line)
    if not reading.ok:
        ctx.error(f"{supply.port}: {'the supply did not answer' if reading.status == 'no_reply' else supply.problem}")
        return EXIT_FAULT
    return EXIT_OK


def cmd_set(ctx: Context, args) -> int:
    from .errors import OffNotConfirmed
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
        ctx.error(f"{len(failed)} of {len(outcomes)} {_plural(len(outcomes), 'setting')} not confirmed "
                  "(no reply, not sent, or the read-back differs)")
        return EXIT_FAULT
    return EXIT_OK


def outcome_text(outcome) -> str:
    """A request beside its read-back. A setting whose acknowledgement was lost still shows the value
    the following status read reports, with the lost acknowledgement said."""
    text = outcome.text()
    if outcome.sent and not outcome.answered and outcome.readback is not None:
        shown = type(outcome)(outcome.name, outcome.requested, outcome.readback)   # as if acknowledged
        text = shown.text() + "  (no reply to the setting)"
    return text


def _plural(n: int, word: str) -> str:
    return word if n == 1 else word + "s"


EXCHANGE_TIME = 0.11   # s: a request and its reply at 4800 baud


def _check_interval(ctx: Context, interval: float) -> None:
    if 0 < interval < EXCHANGE_TIME:
        ctx.warn(f"a reading takes about {EXCHANGE_TIME:.2f} s at 4800 baud: --interval {interval} cannot be kept "
                 "(every reading will be late); --interval 0 reads as fast as the line allows")


def cmd_watch(ctx: Context, args) -> int:
    from .reader import Poller
    from .readings import changes, one_line
    _check_interval(ctx, args.interval)
    with ctx.supply() as supply:
        poller = Poller(supply, args.interval, skip_missed=True)
        previous = last_ok = None
        if sys.stdout.isatty():
            return _watch_live(ctx, supply, poller)
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


class OtherSupplyNote:
    """Says once on stderr which supply answers at the port in place of the expected one
    (again only when yet another one answers)."""

    def __init__(self, ctx: Context, supply) -> None:
        self.ctx, self.supply, self.said = ctx, supply, None

    def see(self, reading) -> None:
        if reading.status != "other_supply" or reading.answering == self.said:
            return
        self.said = reading.answering
        expected = (self.supply.identity or {}).get("SN") or getattr(self.supply, "expected_serial", None)
        self.ctx.warn(f"{supply_name(self.supply)}: another supply answers at {self.supply.port}: "
                      f"{reading.answering}; waiting for serial number {expected}")


def _watch_live(ctx: Context, supply, poller) -> int:
    from rich.console import Console, Group
    from rich.live import Live
    from rich.table import Table
    from rich.text import Text
    from .readings import STATUS_TEXT, amps, changes, volts, watts

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
        return Group(Text(_identity_line(supply), style="bold"), t, Text("Ctrl-C to stop", style="dim"))

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


def _log_mode(args) -> str:
    return "force" if getattr(args, "force", False) else "append" if getattr(args, "append", False) else "new"


def cmd_log(ctx: Context, args) -> int:
    from .logs import LogWriter, log_comments
    from .reader import Poller
    from .readings import one_line
    path, fmt = (args.csv, "csv") if args.csv is not None else (args.jsonl, "jsonl")
    _refuse_existing(path, _log_mode(args), "log")
    _check_interval(ctx, args.interval)
    with ctx.supply() as supply:
        poller = Poller(supply, args.interval, count=args.count, duration=args.duration)
        comments = log_comments(supply, PROG, interval=interval_text(args.interval))
        with LogWriter(path, fmt, _log_mode(args), comments) as writer:
            until = (f" for {args.duration:g} s" if args.duration else
                     f", {args.count} {_plural(args.count, 'reading')}" if args.count else " until Ctrl-C")
            ctx.note(f"logging {supply.port} to {path} {every(args.interval)}{until}")
            told = OtherSupplyNote(ctx, supply)
            try:
                with progress(ctx, poller.expected(), "log") as bar:
                    for reading in poller:
                        writer.write(reading)
                        told.see(reading)
                        bar.update(advance=1, info=one_line(reading).split("  ", 1)[-1])
            finally:
                ctx.note(f"{writer.rows} {_plural(writer.rows, 'row')} written to {path}")
    return EXIT_OK


def interval_text(interval: float) -> str:
    """The interval for a log's header: ``0.5 s``, or ``0 s (as fast as the line allows)``."""
    return f"{interval:g} s" if interval > 0 else "0 s (as fast as the line allows)"


def every(interval: float) -> str:
    return f"every {interval:g} s" if interval > 0 else "as fast as the line allows"


def _refuse_existing(path: str | None, mode: str, what: str) -> None:
    """Refuse, before the supply is opened, an output file that exists (unless
    --force/--append) or that cannot be written."""
    from .logs import OutputExists
    if path is None:
        return
    if not path.strip():
        raise UsageError(f"the {what} name is empty")
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise UsageError(f"{path}: is a folder, not a {what}")
    if not os.path.isdir(folder):
        raise UsageError(f"{path}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK) or (os.path.exists(path) and not os.access(path, os.W_OK)):
        raise UsageError(f"{path}: not writable")
    if mode == "new" and os.path.exists(path):
        hint = " or --append to add to it" if what == "log" else ""
        raise OutputExists(f"{path}: the {what} exists (use --force to overwrite it{hint})")


def cmd_ramp(ctx: Context, args) -> int:
    from .procedures import ramp
    from .supply import Outcome
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


def _warn_temperature(ctx: Context, supply, reading) -> None:
    if reading.ok and reading.over_temperature:
        ctx.warn(f"{supply_name(supply)} reports its temperature alarm: switching the output on anyway")


def cmd_sweep(ctx: Context, args) -> int:
    from .logs import open_output
    from .plot import PlotUnavailable, check_plot_path, plot_sweep
    from .procedures import sweep, sweep_points, write_sweep_csv
    points = sweep_points(args.start, args.stop, args.step)
    mode = "force" if args.force else "new"
    if args.plot is not None:
        check_plot_path(args.plot)
        _refuse_existing(args.plot, mode, "plot file")
        try:
            import importlib.util
            missing = importlib.util.find_spec("matplotlib") is None
        except (ImportError, ValueError):
            missing = True
        if missing:
            ctx.warn("--plot needs matplotlib (pip install 'zq4180[plot]'): the sweep runs and its CSV is "
                     "written, but the plot will fail")
    _refuse_existing(args.csv, mode, "CSV file")
    rows: list = []
    with ctx.supply(safe_end="always", changes=True) as supply:
        for v in points:
            supply.check(voltage=v, what="sweep point")
        supply.check(current=args.current, what="sweep current")
        first = supply.read_ok()
        supply.check_request(current=args.current, voltage=points[0], output="on", state=first)
        _warn_temperature(ctx, supply, first)
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
        ctx.note(f"{len(rows)} points written to {args.csv}")
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


def cmd_run(ctx: Context, args) -> int:
    from .logs import LogWriter, log_comments
    from .procedures import check_sequence, load_sequence, run_sequence
    from .readings import one_line
    steps = load_sequence(args.sequence)
    if args.log is not None:
        _refuse_existing(args.log, _log_mode(args), "log")
    total = sum(s.seconds for s in steps) * args.repeat
    with ctx.supply(safe_end="always", changes=True) as supply:
        check_sequence(supply, steps, args.sequence)
        if any(s.output == "on" for s in steps):
            _warn_temperature(ctx, supply, supply.read_ok())
        writer = None
        if args.log is not None:
            comments = log_comments(supply, PROG, sequence=f"{args.sequence} ({len(steps)} "
                                                           f"{_plural(len(steps), 'row')}, repeat {args.repeat})",
                                    interval=interval_text(args.interval))
            writer = LogWriter(args.log, None, _log_mode(args), comments)
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
                ctx.note(f"{writer.rows} {_plural(writer.rows, 'row')} written to {args.log}")
    ctx.note(f"sequence done: {len(steps)} {_plural(len(steps), 'row')} x {args.repeat}")
    return EXIT_OK


# -- entry point ------------------------------------------------------------------

def main(argv: list[str] | None = None) -> int:
    from . import signals
    signals.install()      # first of all: a signal from here on ends with its status and one line
    ctx: Context | None = None
    try:
        early = signals.early()
        if early is not None:
            raise signals.as_exception(early)
        argv = _fix_sim(list(sys.argv[1:] if argv is None else argv))
        try:
            args = build_parser().parse_args(argv)
            for name in ("max_voltage", "max_current"):
                given = [v for v in (getattr(args, name), getattr(args, name + "_after", None)) if v is not None]
                setattr(args, name, min(given) if given else None)
            if args.sim_load is not None and not args.sim:
                raise UsageError("--sim-load goes with --sim")
        except UsageError as exc:
            print(f"{PROG}: error: {exc}", file=sys.stderr)
            return EXIT_USAGE
        except SystemExit as exc:  # --help
            return exc.code if isinstance(exc.code, int) else 0
        ctx = Context(args)
        status = _dispatch(ctx, args)
        signals.ignore()      # the outcome is decided: a late signal does not turn it into a traceback
        return status
    except BaseException as exc:
        signalled = signals.exit_status(exc)
        if signalled is None:
            raise
        if ctx is not None and ctx.unconfirmed:
            return EXIT_FAULT
        signals.ignore()
        _say(f"{PROG}: {'interrupted' if isinstance(exc, KeyboardInterrupt) else f'stopped by {exc}'}")
        return signalled


def _say(text: str) -> None:
    try:
        print(text, file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def _dispatch(ctx: Context, args) -> int:
    try:
        with _sim(ctx, args):
            return args.func(ctx, args)
    except BaseException as exc:
        return _ending(ctx, exc)


OPTION_FIXING = {"voltage": "--voltage", "ceiling": "--ceiling", "current": "--current"}


def _ending(ctx: Context, exc: BaseException) -> int:
    """The exit status for what ended the command, and its one line on stderr."""
    from . import signals
    from .config import ConfigError
    from .errors import OffNotConfirmed, OpenError, SafeEndError, SupplyError
    from .limits import LimitError
    from .logs import OutputExists
    from .procedures import SequenceError
    status = signals.exit_status(exc)
    if ctx.unconfirmed:            # said already; nothing after it changes the status
        if isinstance(exc, SupplyError) and not isinstance(exc, (SafeEndError, OffNotConfirmed)):
            ctx.error(str(exc))
        elif isinstance(exc, SafeEndError) and isinstance(exc.__cause__, SupplyError):
            ctx.error(str(exc.__cause__))
        return EXIT_FAULT
    if status is not None:
        signals.ignore()
        ctx.note("interrupted" if isinstance(exc, KeyboardInterrupt) else f"stopped by {exc}")
        return status
    if isinstance(exc, (UsageError, LimitError, ConfigError, SequenceError, OutputExists)):
        if isinstance(exc, SequenceError):
            print(str(exc), file=sys.stderr, flush=True)
        elif isinstance(exc, LimitError):
            ctx.error(f"refused: {limit_text(exc, ctx.fix_hint)}")
        else:
            ctx.error(str(exc))
        return EXIT_USAGE
    if isinstance(exc, SafeEndError):
        cause = exc.__cause__
        if isinstance(cause, SupplyError):
            ctx.error(str(cause))  # what stopped the command; the safe end reported itself
        return EXIT_FAULT
    if isinstance(exc, OpenError):
        ctx.error(str(exc) + _rfc2217_hint(str(exc), getattr(ctx.args, "port", None)))
        return EXIT_FAULT
    if isinstance(exc, SupplyError):
        ctx.error(str(exc))
        return EXIT_FAULT
    if isinstance(exc, ValueError):
        ctx.error(str(exc))
        return EXIT_USAGE
    if isinstance(exc, BrokenPipeError):
        return EXIT_FAULT
    if isinstance(exc, OSError):
        ctx.error(f"{exc.filename + ': ' if exc.filename else ''}{exc.strerror or exc}")
        return EXIT_FAULT
    raise exc


def limit_text(exc, fix_hint: str | None = None) -> str:
    """A refusal's sentence; for a standing value, the option that fixes it."""
    text = str(exc)
    setting, fix = getattr(exc, "setting", None), getattr(exc, "fix", None)
    if setting in OPTION_FIXING and fix is not None:
        option = f"{OPTION_FIXING[setting]} {_plain(fix)}"
        text += f" ({fix_hint.format(option=option) if fix_hint else option + ' fixes it'})"
    return text


def _plain(value: float) -> str:
    """A value as typed: 1, 0.25, 12.345."""
    return f"{value:.3f}".rstrip("0").rstrip(".")


def _rfc2217_hint(text: str, port: str | None) -> str:
    """A bridge serving a pseudo-terminal (ser2net) never answers the control option: opening an
    ``rfc2217://`` URL then times out waiting for it unless the URL says ``?ign_set_control``."""
    target = (port or "").lower()
    if "waiting for option" not in text or "ign_set_control" in target or "rfc2217://" not in text.lower() + target:
        return ""
    return (" (a bridge serving a pseudo-terminal does not answer control requests: add ?ign_set_control "
            "to the URL, e.g. rfc2217://HOST:PORT?ign_set_control)")


@contextlib.contextmanager
def _sim(ctx: Context, args) -> Iterator[None]:
    if not args.sim:
        yield
        return
    from .sim import serve
    with serve(args.sim, args.sim_load) as supplies:
        ctx.sim_ports = [s.port for s in supplies]
        ctx.note("virtual supplies for this run: " + ", ".join(ctx.sim_ports))
        yield


if __name__ == "__main__":
    sys.exit(main())

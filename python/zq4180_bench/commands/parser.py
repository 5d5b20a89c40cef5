"""The ``zq4180`` command line: options, numbers as typed, help texts."""

from __future__ import annotations

import argparse

PROG = "zq4180"

EXIT_OK, EXIT_FAULT, EXIT_USAGE = 0, 1, 2

_PORT_HELP = ("serial port (/dev/ttyUSB0, COM3), rfc2217:// URL, or a supply's name or serial number "
              "from the configuration file; default $ZQ4180_PORT (with --sim: the number of a virtual supply)")


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(f"{message} (see {self.prog} --help)")


def number(unit: str, *, positive: bool = False):
    """An option's number: plain decimal notation only (see numbers.plain_number)."""
    def parse(text: str) -> float:
        from ..numbers import parse_plain
        try:
            value = parse_plain(text, unit)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
        if positive and value == 0:
            raise argparse.ArgumentTypeError(f"must be more than 0 {unit}: {text!r}")
        return value
    return parse


def count(text: str) -> int:
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
    g.add_argument("--max-voltage", dest="max_voltage" + after, type=number("volts"), metavar="V", default=d(None),
                   help="software limit: refuse any voltage or ceiling over V volts before sending")
    g.add_argument("--max-current", dest="max_current" + after, type=number("amperes"), metavar="A",
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
    g.add_argument("--sim", type=count, nargs="?", const=1, metavar="N", default=d(None),
                   help="serve N virtual supplies (default 1) for this run, paced at 4800 baud, in place "
                        "of PORT: try any command without hardware")
    g.add_argument("--sim-load", metavar="LOAD", default=d(None),
                   help="the virtual supplies' load: OHMS, open, led, cc or cc:AMPS (default 10 ohms)")


def _port(p) -> None:
    p.add_argument("port", nargs="?", metavar="PORT", help=_PORT_HELP)


def _current_option(p, required: bool = False, help_text: str = "current limit in amperes") -> None:
    p.add_argument("--current", "--current-limit", dest="current", type=number("amperes"), metavar="A",
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

    p = command("status", "identity and one status read-out")
    _port(p)
    p.add_argument("--json", action="store_true",
                   help="print one JSON object: the log's keys plus 'identity'")

    p = command("set", "change settings in a safe order, with read-back",
                "Put the supply under remote control, then: output off first (when asked); the current limit; "
                "ceiling and voltage in the order that never raises the output above both its old and new "
                "value; output on last; --mode local after all. Each request is shown beside its read-back.")
    _port(p)
    p.add_argument("--ceiling", type=number("volts"), metavar="V", help="voltage ceiling in volts")
    _current_option(p)
    p.add_argument("--voltage", type=number("volts"), metavar="V", help="output voltage in volts")
    p.add_argument("--output", choices=("on", "off"), help="switch the output on or off")
    p.add_argument("--mode", choices=("remote", "local"), help="control mode at the end")

    p = command("watch", "live readings until Ctrl-C; changes nothing")
    _port(p)
    p.add_argument("--interval", type=number("seconds"), default=0.5, metavar="S",
                   help="seconds between readings (default 0.5; 0: as fast as the line allows)")

    p = command("log", "timestamped readings to a CSV or JSON-lines file")
    _port(p)
    p.add_argument("--interval", type=number("seconds"), default=1.0, metavar="S",
                   help="seconds between readings, on fixed deadlines (default 1; 0: as fast as the line "
                        "allows)")
    stop = p.add_mutually_exclusive_group()
    stop.add_argument("--duration", type=number("seconds", positive=True), metavar="S",
                      help="stop after S seconds (default: until Ctrl-C)")
    stop.add_argument("--count", type=count, metavar="N", help="stop after N readings")
    out = p.add_mutually_exclusive_group(required=True)
    out.add_argument("--csv", metavar="FILE", help="write CSV (# comment lines, a header, one row a reading)")
    out.add_argument("--jsonl", metavar="FILE", help="write JSON lines (one object a reading)")
    exist = p.add_mutually_exclusive_group()
    exist.add_argument("--force", action="store_true", help="overwrite FILE if it exists")
    exist.add_argument("--append", action="store_true", help="add to FILE if it exists")

    p = command("ramp", "move the output voltage gradually",
                "Move the output voltage to --to in steps of at most --max-step, at --rate V/s or one --step "
                "every --dwell seconds (slower if the line cannot keep up). A finished ramp stays at its "
                "target; a failed or interrupted one ends with the output off and local control.")
    _port(p)
    p.add_argument("--to", type=number("volts"), required=True, metavar="V", help="target voltage in volts")
    speed = p.add_mutually_exclusive_group(required=True)
    speed.add_argument("--rate", type=number("volts per second", positive=True), metavar="V/s",
                       help="speed in volts per second")
    speed.add_argument("--step", type=number("volts", positive=True), metavar="V",
                       help="step in volts (with --dwell)")
    p.add_argument("--dwell", type=number("seconds"), metavar="S", help="seconds between steps (with --step)")
    p.add_argument("--max-step", type=number("volts", positive=True), default=0.1, metavar="V",
                   help="largest step in volts (default 0.1)")

    p = command("sweep", "trace an I-V curve",
                "Set the current limit and the first voltage, switch on, then step the voltage from --from to "
                "--to (points from + k*step rounded to whole millivolts, --to always the last), waiting "
                "--settle at each point and reading. Stops (exit 0) when the supply enters constant current, "
                "unless --through-cc. Ends with the output off and local control.")
    _port(p)
    p.add_argument("--from", dest="start", type=number("volts"), required=True, metavar="V",
                   help="first voltage in volts")
    p.add_argument("--to", dest="stop", type=number("volts"), required=True, metavar="V",
                   help="last voltage in volts")
    p.add_argument("--step", type=number("volts", positive=True), required=True, metavar="V",
                   help="step in volts")
    _current_option(p, required=True, help_text="current limit in amperes during the sweep")
    p.add_argument("--settle", type=number("seconds"), default=0.2, metavar="S",
                   help="seconds to wait at each point before reading (default 0.2)")
    p.add_argument("--csv", metavar="FILE", help="write the points as CSV (default: to standard output)")
    p.add_argument("--plot", metavar="FILE", help="draw current against measured voltage: .png, .svg or .pdf "
                                                  "(needs the 'plot' extra)")
    p.add_argument("--through-cc", action="store_true", help="go on past the point where CC begins")
    p.add_argument("--force", action="store_true", help="overwrite --csv / --plot files that exist")

    p = command("run", "run a sequence file (list mode)",
                "Run SEQUENCE: a CSV file with the header voltage,current,seconds and optional columns output "
                "(on/off, default on) and ramp (V/s); '#' starts a comment. Each row sets the current limit, "
                "then the voltage (ramped if the row says so), the output, and holds for its seconds while "
                "reading. The whole file is checked before anything is sent. Ends with the output off and "
                "local control.")
    _port(p)
    p.add_argument("sequence", metavar="SEQUENCE", help="the sequence file")
    p.add_argument("--log", metavar="FILE", help="log the readings (CSV, or JSON lines for .jsonl)")
    p.add_argument("--repeat", type=count, default=1, metavar="N", help="run the sequence N times (default 1)")
    p.add_argument("--interval", type=number("seconds"), default=1.0, metavar="S",
                   help="seconds between readings while holding (default 1)")
    exist = p.add_mutually_exclusive_group()
    exist.add_argument("--force", action="store_true", help="overwrite the log if it exists")
    exist.add_argument("--append", action="store_true", help="add to the log if it exists")
    return parser


def fix_sim(argv: list[str]) -> list[str]:
    """``--sim`` takes an optional count: keep it from swallowing the command's name."""
    out: list[str] = []
    for i, arg in enumerate(argv):
        out.append(arg)
        if arg == "--sim" and (i + 1 >= len(argv) or not argv[i + 1].isdigit()):
            out[-1] = "--sim=1"
    return out

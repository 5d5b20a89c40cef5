"""``zq4180-ioc``: serve supplies as an EPICS IOC (Channel Access and pvAccess) until a signal."""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading

PROG = "zq4180-ioc"
EXIT_OK, EXIT_FAIL, EXIT_USAGE = 0, 1, 2

EPILOG = """\
Records per supply (PREFIX + NAME + ":" + field): VOLT:SP VOLT:RBV VOLT:MEAS CURR:SP CURR:RBV
CURR:MEAS VLIM:SP VLIM:RBV POW:MEAS OUTP:SP OUTP:RBV MODE TEMP:ALARM FAN CTRL IDN COMM MSG
MSG:FULL OFF; and PREFIX + "ALL:OFF". MSG holds a message cut to 39 characters, MSG:FULL the
whole text (caget -S). Standard output carries one line per supply, "NAME PREFIXNAME:".

Examples:
  zq4180-ioc /dev/ttyUSB0 --prefix BENCH: --max-voltage 12 --max-current 1
  zq4180-ioc --sim 2 --prefix TEST:               (two virtual supplies, no hardware)
  EPICS_CA_ADDR_LIST=127.0.0.1 EPICS_CA_AUTO_ADDR_LIST=NO caget BENCH:S1:VOLT:RBV
"""


def build_parser() -> argparse.ArgumentParser:
    from zq4180_bench import cli as bench_cli
    from zq4180_bench.frontend import add_supply_arguments
    p = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EPILOG,
        description="Serve zq4100-series supplies as an EPICS IOC (Channel Access and pvAccess), every put "
                    "through the bench library's limits, safe order and confirmed off.")
    add_supply_arguments(p)
    p.add_argument("--prefix", required=True, metavar="PREFIX",
                   help="the start of every record name, e.g. BENCH: (records are PREFIX + NAME + ':' + field)")
    p.add_argument("--interval", type=bench_cli._number("seconds"), default=1.0, metavar="S",
                   help="seconds between status reads of each supply (default 1; 0: as fast as the line allows)")
    p.add_argument("--interface", action="append", default=[], metavar="ADDR",
                   help="serve on this address (repeatable; default 127.0.0.1 only, or what "
                        "EPICS_CAS_INTF_ADDR_LIST / EPICS_PVAS_INTF_ADDR_LIST say)")
    p.add_argument("--access-security", metavar="FILE",
                   help="an EPICS access-security file (ASG rules), loaded before the IOC starts")
    p.add_argument("--read-only", action="store_true",
                   help="every record read-only to clients (OFF and ALL:OFF included): a display only")
    p.add_argument("--shell", action="store_true",
                   help="an interactive IOC shell on the terminal (default: none; serve until a signal)")
    return p


def _say(text: str) -> None:
    try:
        print(f"{PROG}: {text}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def _own_stdout():
    """Standard output for the served names only: EPICS writes its start-up messages to file
    descriptor 1, which from here on is standard error."""
    sys.stdout.flush()
    out = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)
    return out


class Stopped(BaseException):
    """SIGTERM or SIGHUP while the interactive shell runs."""


class _Stop:
    """SIGINT, SIGTERM and SIGHUP end the IOC (also while it starts)."""

    def __init__(self) -> None:
        self.event = threading.Event()
        self.signum: int | None = None
        self.in_shell = False
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, self._handle)

    def shell(self) -> None:
        """From here on Ctrl-C belongs to the shell (it drops the line typed); SIGTERM and SIGHUP
        leave the shell."""
        self.in_shell = True
        signal.signal(signal.SIGINT, signal.default_int_handler)

    def _handle(self, signum, frame) -> None:
        if self.signum is None:
            self.signum = signum
        self.event.set()
        if self.in_shell:
            self.in_shell = False
            raise Stopped()

    def wait(self) -> None:
        while not self.event.wait(0.5):
            pass


def main(argv: list[str] | None = None) -> int:
    from zq4180_bench.frontend import name_process
    name_process(PROG)
    from zq4180_bench.frontend import UsageError, parse_args
    parser = build_parser()
    try:
        args = parse_args(parser, argv)
    except UsageError as exc:
        parser.print_usage(sys.stderr)
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else EXIT_OK
    try:
        import softioc  # noqa: F401
    except ImportError:
        _say("error: the IOC needs pythonSoftIOC: pip install 'zq4180[epics]'")
        return EXIT_FAIL
    stop = _Stop()
    from .serve import serve
    return serve(args, stop, _own_stdout, _say)

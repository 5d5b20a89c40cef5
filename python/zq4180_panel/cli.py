"""``zq4180-panel``: a front panel in the browser for one supply or a whole bench."""

from __future__ import annotations

import argparse
import logging
import os
import sys
import tempfile
from pathlib import Path

from .running import EXIT_FAIL, EXIT_OK, PROG, Stop, early_signals, run, say as _say

EXIT_USAGE = 2

EPILOG = """\
Access: readings, charts and CSV are open to whoever can reach the server; every change
needs the session token (in the address printed on the first line of output, then a
cookie; scripts send "Authorization: Bearer TOKEN"). Changes from other machines are
refused unless --allow-remote-control; an SSH tunnel is the better way:
  ssh -L 8080:127.0.0.1:8080 benchpc      then open the printed address on your machine.

Examples:
  zq4180-panel /dev/ttyUSB0 --max-voltage 12 --max-current 1
  zq4180-panel bench-a bench-b                  (names from the configuration file)
  zq4180-panel rfc2217://benchpc:2217           (a supply behind ser2net)
  zq4180-panel --sim 3 --sim-load led           (three virtual supplies, no hardware)
"""


class UsageError(Exception):
    pass


def _tcp_port(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a TCP port: --port is the web server's port number (0..65535, 0: any free "
            f"one); name serial ports without an option, e.g. {PROG} /dev/ttyUSB0 --port 8080") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"{value} is not a TCP port (0..65535)")
    return value


def _count(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of virtual supplies") from None
    if not 1 <= value <= 64:
        raise argparse.ArgumentTypeError("--sim takes 1..64 virtual supplies")
    return value


def _limit(option: str, unit: str):
    def parse(text: str) -> float:
        from zq4180_bench.numbers import plain_number
        try:
            return plain_number(text, option, unit)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
    return parse


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EPILOG,
        description="Serve a front panel for zq4100-series supplies as a local web page: live readings, "
                    "setpoints, output switch, ramp, chart and CSV per supply. The first line printed is "
                    "the address to open.")
    p.add_argument("targets", nargs="*", metavar="PORT|NAME",
                   help="serial ports, rfc2217:// URLs or names from the configuration file "
                        "(default: $ZQ4180_PORT)")
    p.add_argument("--sim", type=_count, nargs="?", const=1, metavar="N",
                   help="also serve N virtual supplies (paced at 4800 baud): try the panel without hardware")
    p.add_argument("--sim-load", metavar="LOAD",
                   help="the virtual supplies' load: OHMS, open, led, cc or cc:AMPS (default 10 ohms)")
    p.add_argument("--host", default="127.0.0.1",
                   help="address to listen on (default 127.0.0.1: this machine only); anything else is "
                        "reachable from the network and is warned about")
    p.add_argument("--port", type=_tcp_port, default=8080, metavar="TCP_PORT",
                   help="TCP port of the web server (default 8080; 0: any free port)")
    p.add_argument("--allow-host", action="append", default=[], metavar="NAME",
                   help="also answer requests whose Host header is NAME (a name a proxy or tunnel uses); "
                        "repeatable")
    p.add_argument("--allow-remote-control", action="store_true",
                   help="accept changes (with the token) from clients on other machines; the token then "
                        "crosses the network in clear: prefer an SSH tunnel")
    p.add_argument("--read-only", action="store_true",
                   help="refuse every change, the all-off button included: a display only")
    p.add_argument("--scpi", metavar="HOST:PORT",
                   help="also serve each supply as a SCPI instrument on a raw socket, as zq4180-scpi does "
                        "(the first on PORT, the next ones on the ports after it; 0: free ports), through "
                        "the panel's own workers; one line per supply on standard error: NAME "
                        "TCPIP0::HOST::PORT::SOCKET. Obeys --read-only; beyond loopback only with "
                        "--allow-remote-control")
    p.add_argument("--max-voltage", type=_limit("--max-voltage", "V"), metavar="V",
                   help="software limit: refuse any voltage or ceiling over V volts before sending")
    p.add_argument("--max-current", type=_limit("--max-current", "A"), metavar="A",
                   help="software limit: refuse any current limit over A amperes before sending")
    p.add_argument("--config", metavar="FILE",
                   help="configuration file (default $ZQ4180_CONFIG, ./zq4180.toml, then the user's "
                        "configuration directory)")
    p.add_argument("--log-dir", metavar="DIR",
                   help="where the session's CSV logs go (default: a new directory under the temporary "
                        "directory, named on standard error and kept after the panel ends); one file "
                        "per supply, written row by row")
    return p


def main(argv: list[str] | None = None) -> int:
    from zq4180_bench.frontend import name_process
    name_process(PROG)
    # a panel started from a test run must not think it is NiceGUI's own test harness
    os.environ.pop("PYTEST_CURRENT_TEST", None)
    parser = build_parser()
    try:
        args = parser.parse_intermixed_args(sys.argv[1:] if argv is None else argv)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else EXIT_OK
    if args.sim_load is not None and not args.sim:
        parser.print_usage(sys.stderr)
        print(f"{PROG}: error: --sim-load goes with --sim", file=sys.stderr)
        return EXIT_USAGE
    if args.scpi is not None:
        from zq4180_scpi.embed import ListenError, listen_address

        from .logtext import one_line
        try:
            args.scpi_address = listen_address(args.scpi, allow_remote=args.allow_remote_control)
        except ListenError as exc:
            parser.print_usage(sys.stderr)
            print(f"{PROG}: error: {one_line(str(exc))}", file=sys.stderr)
            return EXIT_USAGE
    targets = list(args.targets)
    if not targets and not args.sim:
        env_port = os.environ.get("ZQ4180_PORT")
        if not env_port:
            parser.print_usage(sys.stderr)
            print(f"{PROG}: error: name at least one supply (PORT or NAME), or use --sim N "
                  f"(ZQ4180_PORT is not set)", file=sys.stderr)
            return EXIT_USAGE
        targets = [env_port]
    from .logtext import install as install_log
    install_log(PROG)
    for noisy in ("nicegui", "uvicorn", "uvicorn.error", "engineio", "socketio"):
        logging.getLogger(noisy).setLevel(logging.WARNING)
    previous = early_signals()
    try:
        return _run(args, targets, previous)
    except Stop:
        return EXIT_OK


def _run(args, targets: list[str], previous_signals: dict) -> int:
    import contextlib

    from zq4180_bench import Limits, load_config
    from zq4180_bench.config import ConfigError

    from .access import host_literal
    from .addresses import listen
    from .logtext import one_line
    from .stations import make_hub, open_all

    try:
        config = load_config(args.config)
    except ConfigError as exc:
        print(f"{PROG}: error: {one_line(str(exc))}", file=sys.stderr)
        return EXIT_USAGE
    limits = Limits.of(args.max_voltage, args.max_current)
    try:
        sock = listen(args.host, args.port)
    except OSError as exc:
        print(f"{PROG}: error: cannot listen on {host_literal(args.host)}:{args.port}: "
              f"{exc.strerror or exc} (choose another --port or --host)", file=sys.stderr)
        return EXIT_FAIL
    port = sock.getsockname()[1]
    with contextlib.ExitStack() as stack:
        stack.callback(sock.close)
        if args.sim:
            from zq4180_bench import sim
            try:
                virtual = stack.enter_context(sim.serve(args.sim, args.sim_load))
            except ValueError as exc:
                print(f"{PROG}: error: --sim-load: {exc}", file=sys.stderr)
                return EXIT_USAGE
            targets = targets + [v.port for v in virtual]
        try:
            supplies = open_all(targets, config, limits)
        except RuntimeError as exc:
            print(f"{PROG}: error: {one_line(str(exc))}", file=sys.stderr)
            return EXIT_FAIL
        log_dir = Path(args.log_dir) if args.log_dir else Path(tempfile.mkdtemp(prefix="zq4180-panel-"))
        try:
            log_dir.mkdir(parents=True, exist_ok=True)
            hub = make_hub(supplies, log_dir)
        except Exception as exc:  # noqa: BLE001 - the log directory is not writable
            for supply in supplies:
                supply.close()
            print(f"{PROG}: error: cannot write the logs in {log_dir}: {exc}", file=sys.stderr)
            return EXIT_FAIL
        return run(args, hub, sock, port, log_dir, previous_signals)

"""``zq4180-scpi``: every supply as a LAN power supply speaking SCPI on a raw socket."""

from __future__ import annotations

import argparse
import asyncio
import logging
import sys

PROG = "zq4180-scpi"
EXIT_OK, EXIT_FAULT, EXIT_USAGE = 0, 1, 2

EPILOG = """\
Each supply gets a TCP port (the first --listen's own, the next ones the ports after it); once all
listen, one line per supply is printed: NAME TCPIP0::HOST::PORT::SOCKET, the VISA resource to open.
One command line per newline, one reply line per query line (replies of one line joined with ';').
Stop with Ctrl-C, SIGTERM or SIGHUP.

Exit status: 0 stopped; 1 a supply could not be opened, a port could not be bound, or (--on-exit off)
an output off could not be confirmed; 2 usage error.

Examples:
  zq4180-scpi /dev/ttyUSB0 --max-voltage 12 --max-current 1
  zq4180-scpi --sim 2 --listen 127.0.0.1:0        (two virtual supplies, free ports)
  python -c "import pyvisa; i = pyvisa.ResourceManager('@py').open_resource(
      'TCPIP0::127.0.0.1::5025::SOCKET', read_termination='\\n'); print(i.query('*IDN?'))"
"""


def build_parser() -> argparse.ArgumentParser:
    from zq4180_bench.frontend import add_supply_arguments

    from .access import DEFAULT_LISTEN
    p = argparse.ArgumentParser(prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EPILOG,
                                description="Serve zq4100-series supplies as SCPI instruments on raw TCP sockets "
                                            "(VISA TCPIP SOCKET resources), with the bench library's limits, "
                                            "safe order and confirmed off behind every command.")
    add_supply_arguments(p)
    p.add_argument("--listen", default=DEFAULT_LISTEN, metavar="HOST:PORT",
                   help=f"address and first port (default {DEFAULT_LISTEN}; port 0: each supply on a free "
                        "port; [::1]:5025 for IPv6)")
    p.add_argument("--allow-remote", action="store_true",
                   help="allow --listen on an address other machines reach (anyone there can drive the "
                        "supplies: prefer an SSH tunnel, or limit clients with --allow-from)")
    p.add_argument("--allow-from", action="append", default=[], metavar="CIDR",
                   help="accept clients only from this address or network (repeatable)")
    p.add_argument("--read-only", action="store_true",
                   help="refuse every setting (error -203); queries and measurements still work")
    return p


def _say(text: str) -> None:
    try:
        print(f"{PROG}: {text}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def main(argv: list[str] | None = None) -> int:
    from zq4180_bench.frontend import name_process
    name_process(PROG)
    from zq4180_bench import frontend, signals
    from zq4180_bench.config import ConfigError
    from zq4180_bench.errors import OpenError

    from .access import ListenError, is_loopback, parse_cidr, parse_listen, reachable_addresses
    parser = build_parser()
    try:
        args = frontend.parse_args(parser, argv)
        host, port = parse_listen(args.listen)
        allow_from = [parse_cidr(c) for c in args.allow_from]
        if not is_loopback(host) and not args.allow_remote:
            raise ListenError(f"--listen {args.listen} is reachable from other machines: add --allow-remote "
                              "(and --allow-from CIDR to limit the clients), or listen on 127.0.0.1")
    except SystemExit as exc:   # --help, or argparse's own usage error
        return exc.code if isinstance(exc.code, int) else EXIT_OK
    except (frontend.UsageError, ListenError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    logging.basicConfig(stream=sys.stderr, level=logging.INFO, format=f"{PROG}: %(message)s")
    if args.allow_remote and not is_loopback(host):
        others = reachable_addresses(host)
        _say(f"warning: listening on {host}: anyone who reaches this machine on these ports can drive the "
             f"supplies" + (f" (from {', '.join(others)})" if others else "")
             + ("" if allow_from else "; --allow-from limits the clients"))
    signals.install()
    try:
        with frontend.open_supplies(args, prog=PROG) as pairs:
            return serve(pairs, host, port, allow_from=allow_from, read_only=args.read_only,
                         on_exit=args.on_exit)
    except (frontend.UsageError, ConfigError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except OpenError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_FAULT
    except BaseException as exc:
        status = signals.exit_status(exc)
        if status is not None:
            return status
        raise


def serve(pairs, host: str, port: int, *, allow_from=(), read_only: bool = False, on_exit: str = "keep") -> int:
    """Serve until a stop signal; then ``--on-exit``. The exit status.

    From just before the first worker starts until the end is done, SIGINT, SIGTERM and SIGHUP
    are only recorded (never raised, never left to their default action): the serving loop
    watches the record, and a stop that comes before the ports are bound, or a second one during
    the end, still leads through the end. After it they are ignored: the outcome is decided."""
    from zq4180_bench import frontend, signals

    from .station import Station
    with signals.shielded() as seen:
        stations: list = []
        served: list[bool] = []     # once the ports are bound, clients may have switched something on
        status = EXIT_FAULT
        try:
            for name, supply in pairs:
                stations.append(Station(name, supply, read_only=read_only).start())
            status = asyncio.run(_serve(stations, host, port, list(allow_from), seen, served))
        finally:
            # the end also follows an unexpected error once clients were served (the error still
            # propagates); only a port that could not be bound skips it: nothing was served
            if status == EXIT_OK or served:
                ended = frontend.end_all([(s.name, s.worker) for s in stations], on_exit, prog=PROG)
                status = ended if status == EXIT_OK else status
            for station in stations:
                station.stop()
            signals.ignore()
    return status


STOP_POLL = 0.1     # s between looks at the recorded signals while serving


async def _serve(stations, host: str, port: int, allow_from: list, seen: list, served: list) -> int:
    from .runner import BindError, open_listeners, resource_lines
    listeners = []
    try:
        if not seen:
            try:
                listeners = await open_listeners(stations, host, port, allow_from)
            except BindError as exc:
                _say(f"error: {exc}")
                return EXIT_FAULT
            served.append(True)
            print("\n".join(resource_lines(listeners)), flush=True)
            if any(s.read_only for s in stations):
                _say("read-only: every setting is refused (-203)")
            while not seen:
                await asyncio.sleep(STOP_POLL)
        _say("stopping")
        return EXIT_OK
    finally:
        for listener in listeners:
            await listener.stop()


if __name__ == "__main__":
    sys.exit(main())

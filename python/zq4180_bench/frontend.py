"""What every long-running front end (SCPI server, IOC, ...) shares: the supply
arguments with the ``zq4180`` command's meaning, opening the supplies (virtual
ones for ``--sim``), and the end of a session (``--on-exit keep|off``)."""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import os
import sys
from typing import Any, Iterable, Iterator

from . import cli
from .cli import UsageError

ON_EXIT = ("keep", "off")
OFF_WAIT = 30.0   # s: the longest an end-of-session off is waited for (three tries with reopening fit)

__all__ = ["ON_EXIT", "UsageError", "add_supply_arguments", "end_all", "open_supplies", "parse_args",
           "supply_names"]


def add_supply_arguments(parser: argparse.ArgumentParser) -> None:
    """``SUPPLY...``, ``--sim [N]``, ``--sim-load``, ``--max-voltage``, ``--max-current``,
    ``--config`` and ``--on-exit keep|off`` (default keep), parsed as the ``zq4180`` command parses them."""
    parser.add_argument("supplies", nargs="*", metavar="SUPPLY",
                        help="serial port (/dev/ttyUSB0, COM3), rfc2217:// URL, or a supply's name or serial "
                             "number from the configuration file; default $ZQ4180_PORT (with --sim: the "
                             "number of a virtual supply, default all of them)")
    parser.add_argument("--sim", type=cli._count, nargs="?", const=1, metavar="N",
                        help="serve N virtual supplies (default 1), paced at 4800 baud: try it without hardware")
    parser.add_argument("--sim-load", metavar="LOAD",
                        help="the virtual supplies' load: OHMS, open, led, cc or cc:AMPS (default 10 ohms)")
    parser.add_argument("--max-voltage", type=cli._number("volts"), metavar="V",
                        help="software limit: refuse any voltage or ceiling over V volts before sending")
    parser.add_argument("--max-current", type=cli._number("amperes"), metavar="A",
                        help="software limit: refuse any current limit over A amperes before sending")
    parser.add_argument("--config", metavar="FILE",
                        help="configuration file (default $ZQ4180_CONFIG, ./zq4180.toml, then the user's "
                             "configuration directory)")
    parser.add_argument("--on-exit", choices=ON_EXIT, default="keep",
                        help="at the end: 'keep' leaves every supply as it is (the default); 'off' switches "
                             "each output off through the confirmed off")


def parse_args(parser: argparse.ArgumentParser, argv: list[str] | None = None) -> argparse.Namespace:
    """Parse with options anywhere among the supplies; ``--sim`` does not swallow a port's name.
    UsageError for ``--sim-load`` without ``--sim``; argparse's own exit for other mistakes."""
    argv = cli._fix_sim(list(sys.argv[1:] if argv is None else argv))
    args = parser.parse_intermixed_args(argv)
    if getattr(args, "sim_load", None) is not None and not args.sim:
        raise UsageError("--sim-load goes with --sim")
    return args


def supply_names(supplies: Iterable) -> list[str]:
    """Each supply's configured name, else ``S1``, ``S2``, ... by position; never two alike."""
    names: list[str] = []
    for k, supply in enumerate(supplies, start=1):
        name = supply.name or f"S{k}"
        while name in names:
            name += "_"
        names.append(name)
    return names


def _targets(args: argparse.Namespace, sim_ports: list[str]) -> list[str]:
    given = list(getattr(args, "supplies", None) or [])
    if sim_ports:
        if not given:
            return list(sim_ports)
        out = []
        for target in given:
            if target.isdigit() and 1 <= int(target) <= len(sim_ports):
                out.append(sim_ports[int(target) - 1])
            elif target.isdigit() and len(target) < 4:
                raise UsageError(f"with --sim, a number names a virtual supply (1..{len(sim_ports)}), "
                                 f"got {target!r}")
            else:
                out.append(target)
        return out
    if given:
        return given
    env_port = os.environ.get("ZQ4180_PORT")
    if not env_port:
        raise UsageError("name at least one SUPPLY (port, URL, configured name or serial number), or use "
                         "--sim N (ZQ4180_PORT is not set)")
    return [env_port]


def _unconnected(target: str, limits, config):
    """A supply that did not answer at start, with every limit it would have had: its readings say
    ``no_port`` until it can be opened (the library reopens it about once a second)."""
    from .opening import plan_supply
    supply = plan_supply(target, limits=limits, config=config, safe_end="never")
    supply.problem = f"{supply.port}: not answering yet"
    return supply


def open_targets(targets: list[str], limits, config, missing_ok: bool = False, warn=None) -> list:
    """Open every target at once (connected supplies, in order); OpenError naming each that failed."""
    from .supply import OpenError, open_supply

    def one(target: str):
        try:
            return open_supply(target, limits=limits, config=config, safe_end="never")
        except OpenError as exc:
            if not missing_ok:
                raise
            if warn is not None:
                warn(f"{exc}: served anyway; it counts as lost until it answers")
            return _unconnected(target, limits, config)

    supplies: list = []
    errors: list[str] = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=min(8, max(1, len(targets)))) as pool:
        futures = [pool.submit(one, t) for t in targets]
        for target, future in zip(targets, futures):
            try:
                supplies.append(future.result())
            except Exception as exc:  # reported together below
                errors.append(str(exc) if target in str(exc) else f"{target}: {exc}")
    if errors:
        for supply in supplies:
            supply.close()
        from .supply import OpenError
        raise OpenError("; ".join(errors))
    return supplies


def _stderr(prog: str):
    def warn(text: str) -> None:
        try:
            print(f"{prog}: warning: {text}", file=sys.stderr, flush=True)
        except (OSError, ValueError):
            pass
    return warn


@contextlib.contextmanager
def open_supplies(args: argparse.Namespace, *, missing_ok: bool = False,
                  prog: str = "zq4180") -> Iterator[list[tuple[str, Any]]]:
    """Yield ``[(name, Supply), ...]`` in the order given, virtual supplies served for ``--sim``.

    UsageError for arguments that name nothing; ConfigError for a bad configuration file;
    OpenError naming each supply that could not be opened (unless ``missing_ok``: those are
    yielded unconnected). Leaving closes every port and stops the virtual supplies; it never
    changes a supply (``end_all`` does, when asked)."""
    from .config import load_config
    from .limits import Limits
    config = load_config(getattr(args, "config", None))
    limits = Limits.of(getattr(args, "max_voltage", None), getattr(args, "max_current", None))
    with contextlib.ExitStack() as stack:
        sim_ports: list[str] = []
        if getattr(args, "sim", None):
            from . import sim
            try:
                virtual = stack.enter_context(sim.serve(args.sim, getattr(args, "sim_load", None)))
            except ValueError as exc:
                raise UsageError(f"--sim-load: {exc}") from None
            sim_ports = [v.port for v in virtual]
        targets = _targets(args, sim_ports)
        supplies = open_targets(targets, limits, config, missing_ok, _stderr(prog))
        for supply in supplies:
            stack.callback(supply.close)
        yield list(zip(supply_names(supplies), supplies))


def end_all(workers: Iterable[tuple[str, Any]], on_exit: str, *, prog: str | None = None) -> int:
    """The end of a session. ``on_exit == "off"``: ``Worker.off()`` for every supply at once, then
    ``NAME: OUTPUT MAY STILL BE ON: ...`` on standard error for each one not confirmed, and 1;
    else (and for ``keep``) 0. The workers keep running: stopping them is the caller's."""
    if on_exit not in ON_EXIT:
        raise ValueError(f"on_exit must be one of {ON_EXIT}, got {on_exit!r}")
    if on_exit == "keep":
        return 0
    pending = [(name, worker.off()) for name, worker in workers]
    status = 0
    for name, future in pending:
        try:
            result = future.result(OFF_WAIT)
            confirmed, text = result.confirmed, result.message()
        except concurrent.futures.TimeoutError:
            confirmed, text = False, f"OUTPUT MAY STILL BE ON: the off did not finish within {OFF_WAIT:.0f} s"
        except concurrent.futures.CancelledError:
            confirmed, text = False, "OUTPUT MAY STILL BE ON: the off was cancelled (the worker stopped)"
        except Exception as exc:  # the off never raises for silence; anything else is reported the same
            confirmed, text = False, f"OUTPUT MAY STILL BE ON: {exc}"
        if not confirmed:
            status = 1
            try:
                print(f"{(prog + ': ') if prog else ''}{name}: {text}", file=sys.stderr, flush=True)
            except (OSError, ValueError):
                pass
    return status


def name_process(name: str) -> None:
    """``lsof`` and the doctor name a port's holder by its command name: make it ``name`` under
    ``python -m`` too (Linux; elsewhere nothing)."""
    if not sys.platform.startswith("linux"):
        return
    import ctypes
    import ctypes.util
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        libc.prctl(15, name.encode(), 0, 0, 0)   # PR_SET_NAME
    except (OSError, AttributeError):
        pass

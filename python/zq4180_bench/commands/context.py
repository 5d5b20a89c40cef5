"""What every command gets: output and messages, the supply with its safe end, shared helpers."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from typing import Any, Iterator

from .parser import PROG, UsageError


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
        from ..limits import Limits
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
        from ..supply import open_supply
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
            from ..errors import OffNotConfirmed
            if isinstance(exc, OffNotConfirmed) and supply.safe_end_mode == "never" and not self.unconfirmed:
                self.not_off(supply, exc.result)     # no safe end followed to say it
            raise
        self._leave(supply, None)

    def _leave(self, supply, exc: BaseException | None) -> None:
        """The supply's own exit (its safe end, as asked), with signals held back until it is over:
        once the safe end is known unconfirmed, no signal changes the exit status any more."""
        from .. import signals
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
        from .. import signals
        self.unconfirmed = True
        signals.ignore()
        self._message(f"{supply_name(supply)}: {result.message()}")


def plural(n: int, word: str) -> str:
    return word if n == 1 else word + "s"


def identity_line(supply) -> str:
    from ..readings import identity_text
    name = f" ({supply.name})" if supply.name else ""
    return f"Supply: {identity_text(supply.identity)} at {supply.port}{name}"


EXCHANGE_TIME = 0.11   # s: a request and its reply at 4800 baud


def check_interval(ctx: Context, interval: float) -> None:
    if 0 < interval < EXCHANGE_TIME:
        ctx.warn(f"a reading takes about {EXCHANGE_TIME:.2f} s at 4800 baud: --interval {interval} cannot be kept "
                 "(every reading will be late); --interval 0 reads as fast as the line allows")


def warn_temperature(ctx: Context, supply, reading) -> None:
    if reading.ok and reading.over_temperature:
        ctx.warn(f"{supply_name(supply)} reports its temperature alarm: switching the output on anyway")


def log_mode(args) -> str:
    return "force" if getattr(args, "force", False) else "append" if getattr(args, "append", False) else "new"


def interval_text(interval: float) -> str:
    """The interval for a log's header: ``0.5 s``, or ``0 s (as fast as the line allows)``."""
    return f"{interval:g} s" if interval > 0 else "0 s (as fast as the line allows)"


def every(interval: float) -> str:
    return f"every {interval:g} s" if interval > 0 else "as fast as the line allows"


def refuse_existing(path: str | None, mode: str, what: str) -> None:
    """Refuse, before the supply is opened, an output file that exists (unless
    --force/--append) or that cannot be written."""
    from ..logs import OutputExists
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

"""Running a command, and the exit status and message for whatever ended it."""

from __future__ import annotations

import contextlib
import importlib
import sys
from typing import Iterator

from . import MODULES
from .context import Context
from .parser import EXIT_FAULT, EXIT_OK, EXIT_USAGE, PROG, UsageError, build_parser, fix_sim


def main(argv: list[str] | None = None) -> int:
    from .. import signals
    ctx: Context | None = None
    try:
        signals.install()      # first of all: a signal from here on ends with its status and one line
        early = signals.early()
        if early is not None:
            raise signals.as_exception(early)
        argv = fix_sim(list(sys.argv[1:] if argv is None else argv))
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
            command = importlib.import_module(f"{__package__}.{MODULES[args.command]}")
            return command.run(ctx, args)
    except BaseException as exc:
        return _ending(ctx, exc)


OPTION_FIXING = {"voltage": "--voltage", "ceiling": "--ceiling", "current": "--current"}


def _ending(ctx: Context, exc: BaseException) -> int:
    """The exit status for what ended the command, and its one line on stderr."""
    from .. import signals
    status = signals.exit_status(exc)
    if status is not None and not ctx.unconfirmed:
        # before any import: a signal may have cut one short, leaving a half-imported module
        # (pathlib's submodules, say) that would make the next import fail with a traceback
        signals.ignore()
        ctx.note("interrupted" if isinstance(exc, KeyboardInterrupt) else f"stopped by {exc}")
        return status
    from ..config import ConfigError
    from ..errors import OffNotConfirmed, OpenError, SafeEndError, SupplyError
    from ..limits import LimitError
    from ..logs import OutputExists
    from ..procedures import SequenceError
    if ctx.unconfirmed:            # said already; nothing after it changes the status
        if isinstance(exc, SupplyError) and not isinstance(exc, (SafeEndError, OffNotConfirmed)):
            ctx.error(str(exc))
        elif isinstance(exc, SafeEndError) and isinstance(exc.__cause__, SupplyError) and \
                not isinstance(exc.__cause__, OffNotConfirmed):     # that one the safe end's line says
            ctx.error(str(exc.__cause__))
        return EXIT_FAULT
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
    if isinstance(exc, OffNotConfirmed):     # the safe end that followed confirmed the output off
        ctx.error(f"output-off not confirmed ({exc.result.problem}); the safe end then confirmed it")
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
    from ..sim import serve
    with serve(args.sim, args.sim_load) as supplies:
        ctx.sim_ports = [s.port for s in supplies]
        ctx.note("virtual supplies for this run: " + ", ".join(ctx.sim_ports))
        yield


if __name__ == "__main__":
    sys.exit(main())

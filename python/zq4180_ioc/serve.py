"""From parsed arguments to a serving IOC, and its end."""

from __future__ import annotations

import asyncio
import ctypes
import os

from . import network
from .names import ALL_OFF, RecordNameError, check_prefix, record_prefixes

EXIT_OK, EXIT_FAIL, EXIT_USAGE = 0, 1, 2


def _error(say, text: str, status: int) -> int:
    say(f"error: {text}")
    return status


def _load_access_security(path: str) -> None:
    from epicscorelibs.ioc import dbCore
    as_set = dbCore.asSetFilename
    as_set.argtypes = (ctypes.c_char_p,)
    as_set(os.fsencode(path))


def _access_security_active() -> bool:
    from epicscorelibs.ioc import dbCore
    try:
        return bool(ctypes.c_int.in_dll(dbCore, "asActive").value)
    except ValueError:
        return True


def serve(args, stop, own_stdout, say) -> int:
    from zq4180_bench.config import ConfigError
    from zq4180_bench.frontend import UsageError, end_all, open_supplies
    from zq4180_bench.errors import OpenError

    if args.read_only and args.access_security:
        return _error(say, "--read-only and --access-security: choose one (--read-only is a built-in "
                           "access-security file)", EXIT_USAGE)
    try:
        check_prefix(args.prefix)
        listening = network.choose(args.interface, dict(os.environ))
        rules = network.access_security_text(args.access_security, args.read_only)
    except ValueError as exc:
        return _error(say, str(exc), EXIT_USAGE)
    acf = network.write_temporary(rules)
    try:
        with open_supplies(args, missing_ok=True, prog="zq4180-ioc") as pairs:
            names = [name for name, _ in pairs]
            try:
                bases = record_prefixes(args.prefix, names)
            except RecordNameError as exc:
                return _error(say, str(exc), EXIT_USAGE)
            return _run(args, pairs, bases, listening, acf, stop, own_stdout, say, end_all)
    except UsageError as exc:
        return _error(say, str(exc), EXIT_USAGE)
    except ConfigError as exc:
        return _error(say, str(exc), EXIT_USAGE)
    except OpenError as exc:
        return _error(say, str(exc), EXIT_FAIL)
    finally:
        try:
            os.unlink(acf)
        except OSError:
            pass


def _run(args, pairs, bases, listening, acf, stop, own_stdout, say, end_all) -> int:
    os.environ.update(listening.environment(dict(os.environ)))
    out = own_stdout()
    from softioc import asyncio_dispatcher, builder, softioc

    from .records import build_all_off
    from .station import Station

    stations = [Station(name, supply, base, args.interval) for (name, supply), base in zip(pairs, bases)]

    async def all_off(value) -> None:
        if value:
            await asyncio.gather(*(st.off() for st in stations))
        all_off_record.set(0, process=False)
    all_off_record = build_all_off(args.prefix + ALL_OFF, all_off)
    builder.LoadDatabase()
    _load_access_security(acf)
    dispatcher = asyncio_dispatcher.AsyncioDispatcher()
    softioc.iocInit(dispatcher)
    if not _access_security_active():
        say(f"error: the access-security file {args.access_security or '(built in)'} could not be loaded "
            f"(EPICS says why above); stopping")
        return EXIT_FAIL
    for station in stations:
        station.start()

    say("serving Channel Access on " + " ".join(listening.ca) + ", pvAccess on " + " ".join(listening.pva))
    for note in listening.notes:
        say(note)
    warning = listening.warning()
    if warning:
        say(warning)
    if args.read_only:
        say("read-only: every record is read-only to clients")
    elif args.access_security:
        say(f"access security from {args.access_security}")
    for line in listening.client_settings(dict(os.environ)):
        say(f"clients on this machine: {line}")
    for station in stations:
        lim = station.supply.limits
        missing = [w for w, v in (("voltage", lim.voltage), ("current", lim.current)) if v is None]
        if missing and not args.read_only:
            say(f"warning: {station.name}: no {' or '.join(missing)} limit (--max-voltage, --max-current, or "
                f"the configuration file)")
    try:
        for station in stations:
            out.write(f"{station.name} {station.records.base}\n")
        out.flush()
    except OSError:
        pass

    if args.shell and not stop.event.is_set():
        from .cli import Stopped
        stop.shell()
        try:
            softioc.interactive_ioc({"stations": stations}, call_exit=False)
        except (SystemExit, Stopped):      # exit() in the shell, or SIGTERM / SIGHUP
            pass
        finally:
            stop.in_shell = False
            import signal
            signal.signal(signal.SIGINT, stop._handle)
    else:
        stop.wait()
    if stop.signum is not None:
        import signal
        say(f"{signal.Signals(stop.signum).name}: stopping")
    status = end_all([(st.name, st.worker) for st in stations], args.on_exit, prog="zq4180-ioc")
    for station in stations:
        station.worker.stop(5.0)
    return status

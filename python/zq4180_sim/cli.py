"""``zq4180-sim``: serve virtual supplies on pseudo-terminals until interrupted."""

from __future__ import annotations

import argparse
import math
import os
import signal
import sys
import threading
import time

from . import COMMAND_NAMES, FAULTS, VirtualSupply, parse_load
from .server import FAULT_PARAMS

PROG = "zq4180-sim"
_UNSET = object()
_WORDS = {name: word for word, name in COMMAND_NAMES.items()}
_FAULT_HELP = """\
fault SPEC: KIND[,count=N|count=always][,command=WORD][,PARAM=VALUE...]
  kinds: no_reply, bad_sync (sync=0x55), bad_checksum, noise (noise=HEX, default 5500ff),
         split (split_at=13, gap=SECONDS), late (delay=SECONDS, default 0.5),
         unplug (replug_after=SECONDS: the port comes back after that long)
         ignore (a setting is acknowledged and changes nothing: a supply that ignores it)
  count: how many replies it spoils (default 1); command: a word (0x26) or a name
  ({names})
  example: --fault late,count=2,command=status,delay=0.6
           --fault ignore,count=always,command=output   (acknowledges output-off, stays on)

--load: what every output drives (CV up to the current limit, CC beyond it)
  OHMS     a resistor (0 is a short circuit); 'open' for nothing connected
  led      an LED: about 1 mA at 1.8 V and 20 mA at 2.0 V (2 ohm series resistance);
           in CC the voltage settles where the LED draws the limit
  cc       an electronic load sinking 0.5 A; cc:AMPS for another current. With the
           limit below that current the supply is in CC and the output falls to 0 V
""".format(names=", ".join(_WORDS))


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line, no usage dump
        raise UsageError(message)


def _int(low: int, high: int):
    def parse(text: str) -> int:
        try:
            value = int(text, 0)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{value} is outside {low}..{high}")
        return value
    return parse


def _load(text: str) -> dict:
    try:
        return parse_load(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _digits(count: int, what: str):
    def parse(text: str) -> str:
        if len(text) != count or not text.isascii() or not text.isdigit():
            raise argparse.ArgumentTypeError(f"{what} must be {count} digits: {text!r}")
        return text
    return parse


def _model_code(text: str) -> str:
    if len(text) != 4 or not text.isascii():
        raise argparse.ArgumentTypeError(f"model code must be 4 ASCII characters: {text!r}")
    return text


def _seconds(text: str) -> float:
    value = float(text)
    if not value >= 0 or math.isinf(value):
        raise ValueError
    return value


_PARAM_PARSERS = {
    "sync": _int(0, 255),
    "noise": bytes.fromhex,
    "split_at": _int(1, 25),
    "gap": _seconds,
    "delay": _seconds,
    "replug_after": _seconds,
}


def parse_fault(spec: str) -> tuple[str, dict]:
    """'late,count=2,command=status,delay=0.6' -> ('late', {count, command, delay})."""
    kind, *items = spec.split(",")
    kind = kind.strip()
    if kind not in FAULTS:
        raise argparse.ArgumentTypeError(f"unknown fault {kind!r} (choose from {', '.join(FAULTS)})")
    options: dict = {}
    for item in items:
        name, sep, text = item.partition("=")
        name, text = name.strip(), text.strip()
        if not sep or not text:
            raise argparse.ArgumentTypeError(f"fault option must be NAME=VALUE: {item!r}")
        if name not in ("count", "command", *FAULT_PARAMS.get(kind, ())):
            raise argparse.ArgumentTypeError(f"fault {kind} takes no option {name!r}")
        try:
            if name == "count":
                options[name] = None if text == "always" else _int(1, 1_000_000)(text)
            elif name == "command":
                options[name] = _WORDS[text] if text in _WORDS else _int(0, 255)(text)
            else:
                options[name] = _PARAM_PARSERS[name](text)
        except (ValueError, argparse.ArgumentTypeError) as exc:
            detail = f": {exc}" if isinstance(exc, argparse.ArgumentTypeError) else ""
            raise argparse.ArgumentTypeError(f"bad value for {name} in {spec!r}{detail}") from None
    return kind, options


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
                description="Serve virtual zq4100-series supplies on pseudo-terminals. "
                            "Prints the port path of each supply, one per line, and serves "
                            "until interrupted.",
                epilog=_FAULT_HELP)
    p.add_argument("-a", "--address", type=_int(0, 255), default=None, metavar="ADDR",
                   help="bus address (default 1; 6 with --demo)")
    p.add_argument("-n", "--count", type=_int(1, 64), default=1, metavar="N",
                   help="number of supplies, each on its own port (default 1)")
    p.add_argument("--link", action="append", default=[], metavar="PATH",
                   help="stable port path (a symbolic link) to publish; once per supply "
                        "(default: one in a private temporary directory)")
    p.add_argument("--no-pacing", dest="pacing", action="store_false",
                   help="answer at once instead of at 4800-baud line speed")
    p.add_argument("--load", type=_load, default=_UNSET, metavar="OHMS|open|led|cc|cc:AMPS",
                   help="the load on every output (see below; default open; 10 ohm with --demo)")
    p.add_argument("--over-temperature", action="store_true", help="report over-temperature")
    p.add_argument("--fan-speed", type=_int(0, 7), default=0, metavar="N", help="fan speed 0..7")
    p.add_argument("--serial-number", type=_digits(9, "serial number"), default="076787041",
                   metavar="DIGITS",
                   help="nine-digit serial number (counts up for further supplies)")
    p.add_argument("--firmware", type=_int(0, 0xFFFF), default=373, metavar="N",
                   help="firmware version (373)")
    p.add_argument("--model-code", type=_model_code, default="4181", metavar="CODE",
                   help="model code (4181)")
    p.add_argument("--fault", action="append", default=[], type=parse_fault, metavar="SPEC",
                   help="arm a fault on every supply (see below; repeatable)")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="log every exchange in hex on standard error")
    p.add_argument("--demo", action="store_true",
                   help="run the driver's demonstration against one virtual supply and exit")
    return p


def _make_supplies(args) -> list[VirtualSupply]:
    supplies = []
    try:
        for i in range(args.count):
            serial_number = args.serial_number
            if i:
                serial_number = f"{(int(serial_number) + i) % 10**9:09d}"
            supply = VirtualSupply(
                args.address, pacing=args.pacing, link=args.link[i] if args.link else None,
                serial_number=serial_number, firmware=args.firmware, model_code=args.model_code,
                **args.load, over_temperature=args.over_temperature,
                fan_speed=args.fan_speed)
            for kind, options in args.fault:
                supply.inject(kind, **options)
            if args.verbose:
                supply.on_exchange = _tracer(i)
            supplies.append(supply.start())
    except BaseException:
        for supply in supplies:
            supply.stop()
        raise
    return supplies


def _tracer(index: int):
    def trace(ex) -> None:
        reply = ex.reply.hex(" ") if ex.reply is not None else "(no reply)"
        fault = f" [{ex.fault}]" if ex.fault else ""
        print(f"#{index} <- {ex.request.hex(' ')}\n#{index} -> {reply}{fault}",
              file=sys.stderr, flush=True)
    return trace


def _serve(supplies: list[VirtualSupply]) -> int:
    stop = threading.Event()
    previous = {sig: signal.signal(sig, lambda *_: stop.set())
                for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        for supply in supplies:
            print(supply.port)
        sys.stdout.flush()
        if sys.stderr.isatty():  # a hint for a person; scripts reading the ports get none
            print(f"{PROG}: serving until stopped: press Ctrl-C, or run `kill {os.getpid()}` "
                  "(from another terminal, or when started with &)", file=sys.stderr, flush=True)
        while not stop.wait(0.2):
            for supply in supplies:
                if supply.error is not None:
                    print(f"{PROG}: error: {supply.port}: {supply.error}", file=sys.stderr)
                    return 1
        return 0
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)


def _demo(args) -> int:
    # --demo: the driver's demonstration against a virtual supply at address 6
    try:
        import zq4180
    except ImportError as exc:
        print(f"{PROG}: error: --demo needs the zq4180 driver module ({exc})", file=sys.stderr)
        return 1
    supply = _make_supplies(args)[0]
    try:
        zq4100 = zq4180.ZQ4180(supply.port)
        if not zq4100.open():
            print(f"open serial port:{supply.port} failed!")
            return 1
        print("set work mode to remote controll")
        zq4100.set_work_mode("remote")
        zq4100.set_new_addr(6)
        zq4100.set_voltage_max(2.0)
        zq4100.set_out_voltage(1.222)
        zq4100.set_out_current(0.888)
        zq4100.set_ouput_mode("on")
        time.sleep(3)
        print("------------ local -------------")
        status = zq4100.read_dev_status()
        print(f"status: {status}")
        zq4100.set_work_mode("local")
        zq4100.set_ouput_mode("off")
        zq4100.restore_factory()
        zq4100.close()
        print("zq4100 series closed!")
        return 0
    finally:
        supply.stop()


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.link and len(args.link) != args.count:
            raise UsageError(f"--link given {len(args.link)} time(s) for {args.count} supplies")
        if len(set(args.link)) != len(args.link):
            raise UsageError("--link given the same path twice")
        if args.demo and args.count != 1:
            raise UsageError("--demo serves one supply")
        if args.demo and args.address not in (None, 6):
            raise UsageError("--demo serves a supply at address 6 (the address the demonstration gives it)")
    except UsageError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except SystemExit as exc:  # --help
        return exc.code if isinstance(exc.code, int) else 0
    if args.address is None:
        args.address = 6 if args.demo else 1
    if args.load is _UNSET:
        args.load = parse_load("10" if args.demo else "open")
    # SIGTERM ends a run the way Ctrl-C does: links removed on the way out
    in_main = threading.current_thread() is threading.main_thread()
    old_term = signal.signal(signal.SIGTERM, signal.default_int_handler) if in_main else None
    try:
        return _run(args)
    except KeyboardInterrupt:
        return 130 if args.demo else 0
    finally:
        if in_main:
            signal.signal(signal.SIGTERM, old_term)


def _run(args) -> int:
    try:
        if args.demo:
            return _demo(args)
        supplies = _make_supplies(args)
    except BrokenPipeError:  # the reader went away (`zq4180-sim --demo | head`)
        return 1
    except (OSError, ValueError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    try:
        return _serve(supplies)
    except BrokenPipeError:
        return 1
    finally:
        for supply in supplies:
            supply.stop()

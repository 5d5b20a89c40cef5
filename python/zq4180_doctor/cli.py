"""Command line: ``zq4180-doctor [-q] [--address N] PORT``."""

from __future__ import annotations

import argparse
import sys

from .checks import diagnose

TAGS = {"ok": "[ ok ]", "warn": "[warn]", "FAIL": "[FAIL]", "skip": "[skip]"}
INDENT = " " * 7


class _UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line, no usage dump, and main() returns instead of exiting
        raise _UsageError(message)


def _parser() -> _Parser:
    parser = _Parser(
        prog="zq4180-doctor",
        description="Find out why ZQ4180(PORT).open() returns False: checks the port step by step "
                    "and says what to do. Exit status 0 only when open() would succeed.")
    parser.add_argument("port", metavar="PORT",
                        help="device (/dev/ttyUSB0, COM3) or pySerial URL (rfc2217://HOST:PORT)")
    parser.add_argument("-q", "--quiet", action="store_true", help="print only the verdict")
    parser.add_argument("-a", "--address", type=_address, default=None, metavar="N",
                        help="check as an object holding bus address N would (0..255, e.g. 6 or 0x06): "
                             "an object keeps the address it learned at its first open, also after "
                             "set_new_addr(); default 255, as a new object asks")
    return parser


def _address(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an address: {text!r}") from None
    if not 0 <= value <= 255:
        raise argparse.ArgumentTypeError(f"address {value} is outside 0..255")
    return value


def main(argv: list[str] | None = None) -> int:
    try:
        args = _parser().parse_args(argv)
        if not args.port.strip():
            raise _UsageError("PORT is empty")
    except _UsageError as exc:
        print(f"zq4180-doctor: {exc} (see zq4180-doctor --help)", file=sys.stderr)
        return 2
    except SystemExit as exc:  # --help
        return exc.code if isinstance(exc.code, int) else 0

    failed, reported = None, None
    holding = "" if args.address is None else f" for an object holding address {args.address}"
    try:
        if not args.quiet:
            print(f"Checking {args.port} as ZQ4180.open() would use it{holding}")
        for result in diagnose(args.port, 255 if args.address is None else args.address):
            if result.status == "FAIL" and failed is None:
                failed = result
            reported = result.facts.get("address", reported)
            if not args.quiet:
                _show(result)
    except KeyboardInterrupt:
        print("zq4180-doctor: interrupted", file=sys.stderr)
        return 130
    if failed is None:
        print(f"Verdict: {_who(args.address, reported)}, open() would succeed.")
        return 0
    why = f"{failed.name}: {failed.text}" if args.quiet else f"see the {failed.name} check"
    keeps = ("; an object keeps the address it learned at its first open, also after set_new_addr()"
             if args.address is not None else "")
    print(f"Verdict: open() would return False{holding} ({why}){keeps}.")
    return 1


def _who(address: int | None, reported: int | None) -> str:
    """Which objects the successful check speaks for."""
    if address is not None and address != 255:
        return f"for an object holding address {address}"
    if reported is None or reported == 255:
        return "for a new object"
    # a new object asks 255; an object keeps what it learned at its first open
    return f"for a new object, or one that learned address {reported} at its first open"


def _show(result) -> None:
    print(f"{TAGS[result.status]} {result.name}: {result.text}", flush=True)
    for line in result.details:
        print(INDENT + line)
    for line in result.advice:
        print(INDENT + "-> " + line)

"""Command line: ``zq4180-doctor [-q] PORT``."""

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
    return parser


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

    failed = None
    try:
        if not args.quiet:
            print(f"Checking {args.port} as ZQ4180.open() would use it")
        for result in diagnose(args.port):
            if result.status == "FAIL" and failed is None:
                failed = result
            if not args.quiet:
                _show(result)
    except KeyboardInterrupt:
        print("zq4180-doctor: interrupted", file=sys.stderr)
        return 130
    if failed is None:
        print("Verdict: open() would succeed.")
        return 0
    if args.quiet:
        print(f"Verdict: open() would return False ({failed.name}: {failed.text}).")
    else:
        print(f"Verdict: open() would return False (see the {failed.name} check).")
    return 1


def _show(result) -> None:
    print(f"{TAGS[result.status]} {result.name}: {result.text}", flush=True)
    for line in result.details:
        print(INDENT + line)
    for line in result.advice:
        print(INDENT + "-> " + line)

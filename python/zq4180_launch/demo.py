"""`zq4180-demo`: run the zq4180 module as the main program.

An extension module cannot be started with `python -m`, so this loads the
installed extension file a second time under the name "__main__": its
loading then sees `__name__ == "__main__"` and runs the demonstration on
the supply at its fixed port.  A plain `import zq4180` never runs it.

`zq4180-demo --help` (or `-h`) explains this without touching a port; any
other argument is refused.
"""
import importlib.machinery
import importlib.util
import sys

PROG = "zq4180-demo"
DEMO_PORT = "/dev/cu.usbserial-21320"  # fixed inside the module's demonstration

USAGE = f"""\
usage: {PROG} [-h]

Runs the zq4180 module's own demonstration (the module run as a program)
against the supply at its fixed port {DEMO_PORT}: remote control, bus
address 6, ceiling 2.0 V, 1.222 V, current limit 0.888 A, output on, a 3 s
pause, a status read-out (not printed), local control, output off, factory
reset, close. It prints what the demonstration prints; without a supply at
that port its last line is "open serial port:{DEMO_PORT} failed!".

To see it work on Linux, publish a virtual supply at that path (as root: the
link is made in /dev) and run {PROG} in a second terminal:

    zq4180-sim --address 6 --load 10 --link {DEMO_PORT}

`zq4180-sim --demo` runs the same steps against a private virtual supply and
prints the status read-out as well.

options:
  -h, --help  show this message and exit (no port is touched)
"""


def load_as_main():
    """Load the zq4180 extension under the name "__main__" and return it."""
    found = importlib.util.find_spec("zq4180")
    if found is None or not found.origin:
        raise ModuleNotFoundError("No module named 'zq4180'", name="zq4180")
    loader = importlib.machinery.ExtensionFileLoader("__main__", found.origin)
    spec = importlib.util.spec_from_file_location("__main__", found.origin, loader=loader)
    module = importlib.util.module_from_spec(spec)
    previous = sys.modules.get("__main__")
    sys.modules["__main__"] = module
    try:
        loader.exec_module(module)
    except BaseException:
        if previous is not None:
            sys.modules["__main__"] = previous
        raise
    return module


def main(argv=None):
    args = sys.argv[1:] if argv is None else list(argv)
    if args in (["-h"], ["--help"]):
        sys.stdout.write(USAGE)
        return 0
    if args:
        sys.stderr.write(f"{PROG}: takes no argument but -h/--help, got {' '.join(map(repr, args))}\n"
                         + USAGE)
        return 2
    load_as_main()
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""`zq4180-demo`: run the zq4180 module as the main program.

An extension module cannot be started with `python -m`, so this loads the
installed extension file a second time under the name "__main__": its
loading then sees `__name__ == "__main__"` and runs the demonstration on
the supply at its fixed port.  A plain `import zq4180` never runs it.
"""
import importlib.machinery
import importlib.util
import sys


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


def main():
    load_as_main()
    return 0


if __name__ == "__main__":
    sys.exit(main())

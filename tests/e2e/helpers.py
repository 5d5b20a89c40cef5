"""Helpers shared by the end-to-end tests.

ZQ4180_IMPL=twin runs them against the plain-Python twin in benchmarks/,
as the unit tests do.
"""
import importlib.util
import os
import pathlib
import sys
import threading

ADDRESS = 7          # not 255: shows the driver adopting the address its supply reports
LOAD_OHMS = 10.0


def _driver_module():
    if os.environ.get("ZQ4180_IMPL", "") != "twin":
        import zq4180
        return zq4180
    name = "pure_python_zq4180"
    if name not in sys.modules:
        path = pathlib.Path(__file__).resolve().parents[2] / "benchmarks" / f"{name}.py"
        spec = importlib.util.spec_from_file_location(name, path)
        sys.modules[name] = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(sys.modules[name])
    return sys.modules[name]


zq4180 = _driver_module()


def expected_status(supply):
    """What read_dev_status must report for the supply's present state."""
    return supply.state.read_out()


class RaiseSpy:
    """Stands in for a serial port and remembers what the real one raised."""

    def __init__(self, wrapped):
        self.wrapped = wrapped
        self.raised = []

    def __getattr__(self, name):
        method = getattr(self.wrapped, name)

        def call(*args):
            try:
                return method(*args)
            except BaseException as exc:
                self.raised.append(exc)
                raise
        return call


def call_or_fail_if_stuck(fn, seconds=10.0):
    """fn() on a helper thread; a call still running after `seconds` fails the test."""
    box = {}

    def run():
        try:
            box["result"] = fn()
        except BaseException as exc:
            box["error"] = exc

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(seconds)
    assert not worker.is_alive(), f"{fn.__name__} hung"
    if "error" in box:
        raise box["error"]
    return box["result"]

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
    s = supply.state.snapshot()
    return {
        "current_real": s["current_ma"] / 1000.0,
        "voltage_real": s["voltage_mv"] / 1000.0,
        "current_set": s["current_limit_ma"] / 1000.0,
        "voltage_max_set": s["voltage_max_mv"] / 1000.0,
        "voltage_set": s["voltage_set_mv"] / 1000.0,
        "out_status": "on" if s["output_on"] else "off",
        "beyond_temp": s["over_temperature"],
        "out_mode": {1: "CV", 2: "CC"}.get(s["mode"], "XX"),
        "fan_speed": s["fan_speed"],
        "work_mode": "remote" if s["remote"] else "local",
    }


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

"""Selects the implementation under test and wires the fakes into it.

ZQ4180_IMPL=twin runs the suite against the plain-Python twin in
benchmarks/; anything else imports the compiled `zq4180`.
"""
import importlib.util
import os
import pathlib
import sys

import pytest

from .fakes import Clock, FakePlatform, FakePort, FakeSerialModule, FakeSubprocess

TWIN = os.environ.get("ZQ4180_IMPL", "") == "twin"
TWIN_PATH = pathlib.Path(__file__).resolve().parents[2] / "benchmarks" / "pure_python_zq4180.py"


def load_implementation():
    if not TWIN:
        import zq4180
        return zq4180
    if "pure_python_zq4180" in sys.modules:
        return sys.modules["pure_python_zq4180"]
    spec = importlib.util.spec_from_file_location("pure_python_zq4180", TWIN_PATH)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def pytest_collection_modifyitems(config, items):
    if not TWIN:
        return
    skip = pytest.mark.skip(reason="not part of the plain-Python twin")
    for item in items:
        if item.get_closest_marker("extension_only"):
            item.add_marker(skip)


@pytest.fixture(scope="session")
def zq():
    return load_implementation()


class Env:
    """The fakes installed in the module under test, plus driver factories."""

    def __init__(self, zq):
        self.zq = zq
        self.clock = Clock()
        self.serial = FakeSerialModule(self.clock)
        self.subprocess = FakeSubprocess()
        self.platform = FakePlatform()

    def port(self, *replies, **options):
        return FakePort(self.clock, replies, **options)

    def driver(self, *replies, name="COM3", cls=None, **options):
        """A driver that looks opened: `ser` is a scripted port."""
        obj = (cls or self.zq.ZQ4180)(name)
        obj.ser = self.port(*replies, **options)
        return obj, obj.ser


@pytest.fixture
def env(zq, monkeypatch):
    fakes = Env(zq)
    for name in ("time", "serial", "subprocess", "platform"):
        monkeypatch.setattr(zq, name, getattr(fakes, "clock" if name == "time" else name))
    return fakes

"""bluesky devices against virtual supplies on ptys.

This folder has no ``__init__.py`` on purpose: as a package it would be
imported under the name ``bluesky`` and hide bluesky itself. Test module names
must therefore be unique across the suite (``test_bluesky_*.py``).

Nothing here may reach a real supply or a user's files: ZQ4180_PORT and
ZQ4180_CONFIG are cleared and the working directory is a fresh one.
"""
import os
from pathlib import Path

import pytest

pytest.importorskip("bluesky")
pytest.importorskip("ophyd_async")

IDENTITY, STATUS = 0x31, 0x26
WORK_MODE, OUTPUT, CEILING, VOLTAGE, CURRENT = 0x20, 0x21, 0x22, 0x23, 0x24


@pytest.fixture(autouse=True)
def isolated(monkeypatch, tmp_path):
    monkeypatch.delenv("ZQ4180_PORT", raising=False)
    monkeypatch.delenv("ZQ4180_CONFIG", raising=False)
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "xdg"))
    monkeypatch.chdir(tmp_path)
    yield tmp_path


@pytest.fixture
def RE():
    from bluesky import RunEngine
    engine = RunEngine({}, call_returns_result=True)
    engine.documents = []
    engine.subscribe(lambda name, doc: engine.documents.append((name, doc)))
    yield engine
    if engine.state != "idle":
        engine.halt()


def run(coro):
    """A coroutine on bluesky's event loop, from the test's thread."""
    from bluesky.run_engine import call_in_bluesky_event_loop
    return call_in_bluesky_event_loop(coro)


@pytest.fixture
def devices(RE):
    """make(target, mock=False, **kwargs) -> a connected ZQ4180Supply named psu, closed after the test."""
    from ophyd_async.core import init_devices

    from zq4180_bench.bluesky import ZQ4180Supply
    made = []

    def make(target, mock=False, **kwargs):
        with init_devices(mock=mock):
            psu = ZQ4180Supply(target, **kwargs)
        made.append(psu)
        return psu

    yield make
    for device in made:
        device.close()


@pytest.fixture
def sim(virtual_supplies):
    """An unpaced virtual supply with a 10-ohm load."""
    return virtual_supplies(1, pacing=False, load_ohms=10.0)


def settings(supply):
    """(word, value) of each request that is not a read."""
    out = []
    for r in supply.requests:
        if r[2] in (IDENTITY, STATUS):
            continue
        value = r[3] if r[2] in (WORK_MODE, OUTPUT) else int.from_bytes(r[3:7], "little")
        out.append((r[2], value))
    return out


def set_state(supply, volts=None, ceiling=None, amps=None, output=None, remote=None):
    fields = {"voltage_set_mv": volts and round(volts * 1000), "voltage_max_mv": ceiling and round(ceiling * 1000),
              "current_limit_ma": amps and round(amps * 1000), "output_on": output, "remote": remote}
    supply.state.configure(**{k: v for k, v in fields.items() if v is not None})


def source_env():
    """The environment for a child Python that imports this source tree first."""
    import zq4180_bench
    source = str(Path(zq4180_bench.__file__).resolve().parent.parent)
    return {**os.environ, "PYTHONPATH": os.pathsep.join([source, os.environ.get("PYTHONPATH", "")])}

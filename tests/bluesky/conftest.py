"""bluesky devices against virtual supplies on ptys.

This folder has no ``__init__.py`` on purpose: as a package it would be
imported under the name ``bluesky`` and hide bluesky itself. Test module names
must therefore be unique across the suite (``test_bluesky_*.py``,
``bluesky_helpers.py``); import shared helpers from ``bluesky_helpers``, never
from ``conftest`` (another folder's conftest may hold that name).

Nothing here may reach a real supply or a user's files: ZQ4180_PORT and
ZQ4180_CONFIG are cleared and the working directory is a fresh one.
"""
import pytest

pytest.importorskip("bluesky")
pytest.importorskip("ophyd_async")


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

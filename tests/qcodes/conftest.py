"""The QCoDeS instrument against virtual supplies on ptys.

Nothing here may reach a real supply or a user's files: ZQ4180_PORT and
ZQ4180_CONFIG are cleared, the working directory is a fresh one, and QCoDeS
keeps its configuration and databases under it.

This folder has no ``__init__.py`` on purpose: as a package it would be
imported under the name ``qcodes`` and hide QCoDeS itself. Its modules' names
are unique in the suite (``test_qcodes_*.py``, ``qcodes_helpers.py``).
"""
import pytest

pytest.importorskip("qcodes")


@pytest.fixture(autouse=True)
def isolated(monkeypatch, tmp_path):
    monkeypatch.delenv("ZQ4180_PORT", raising=False)
    monkeypatch.delenv("ZQ4180_CONFIG", raising=False)
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "xdg"))
    monkeypatch.setenv("QCODES_USER_PATH", str(tmp_path / "qcodes"))
    monkeypatch.chdir(tmp_path)
    yield tmp_path


@pytest.fixture
def sim(virtual_supplies):
    """An unpaced virtual supply with a 10-ohm load."""
    return virtual_supplies(1, pacing=False, load_ohms=10.0)


@pytest.fixture
def instruments():
    """make(name, supply, **kwargs) -> a ZQ4180, closed after the test."""
    from zq4180_bench.qcodes import ZQ4180
    made = []

    def make(name, supply, **kwargs):
        instrument = ZQ4180(name, supply, **kwargs)
        made.append(instrument)
        return instrument

    yield make
    for instrument in made:
        instrument.close()

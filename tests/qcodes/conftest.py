"""The QCoDeS instrument against virtual supplies on ptys.

Nothing here may reach a real supply or a user's files: ZQ4180_PORT and
ZQ4180_CONFIG are cleared, the working directory is a fresh one, and QCoDeS
keeps its configuration and databases under it.
"""
import os
import time
from pathlib import Path

import pytest

pytest.importorskip("qcodes")

IDENTITY, STATUS = 0x31, 0x26
WORK_MODE, OUTPUT, CEILING, VOLTAGE, CURRENT = 0x20, 0x21, 0x22, 0x23, 0x24


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


def settings(supply):
    """(word, value) of each request that is not a read: byte 3 for mode and
    output, the u32 milli-units for ceiling, voltage and current."""
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


def quiet(supply, seconds=0.05):
    """Let the instrument's worker finish the read it takes after each job, then forget the log."""
    time.sleep(seconds)
    supply.wait_idle()
    supply.clear_log()


def source_env():
    """The environment for a child Python that imports this source tree first."""
    import zq4180_bench
    source = str(Path(zq4180_bench.__file__).resolve().parent.parent)
    return {**os.environ, "PYTHONPATH": os.pathsep.join([source, os.environ.get("PYTHONPATH", "")])}

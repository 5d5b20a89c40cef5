"""The front panel as a process, against virtual supplies served by the test itself
(so every frame that reaches a supply can be inspected)."""

import os
import shutil

import pytest

from zq4180_sim import VirtualSupply

from .helpers import Panel

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"


def pytest_configure(config):
    config.addinivalue_line("markers", "browser: the front panel in a real headless Chromium "
                                       "(skips without chromium, chromedriver or selenium)")


def browser_available() -> bool:
    try:
        import selenium  # noqa: F401
    except ImportError:
        return False
    return all(os.access(p, os.X_OK) for p in (CHROMIUM, CHROMEDRIVER))


@pytest.fixture
def make_supply(virtual_supplies):
    """Paced virtual supplies (the panel reads at the line's pace), 10 ohms unless asked."""
    def make(**fields):
        fields.setdefault("load_ohms", 10.0)
        return virtual_supplies(1, pacing=True, **fields)
    return make


@pytest.fixture
def config_file(tmp_path):
    """An empty configuration file, so no user's or working directory's file is read."""
    path = tmp_path / "zq4180.toml"
    path.write_text("")
    return path


@pytest.fixture
def make_panel(tmp_path, config_file):
    panels = []

    def start(*args, config=None):
        panel = Panel([*map(str, args), "--config", str(config or config_file), "--log-dir", str(tmp_path / "logs")],
                      cwd=tmp_path)
        panels.append(panel)
        return panel

    yield start
    for panel in panels:
        panel.stop()


@pytest.fixture(scope="module")
def bench(tmp_path_factory):
    """Two virtual supplies behind one panel with limits of 5 V and 0.5 A, shared by a module's
    tests (each looks only at the frames sent during its own requests)."""
    tmp = tmp_path_factory.mktemp("bench")
    (tmp / "zq4180.toml").write_text("")
    supplies = [VirtualSupply(1, pacing=True, load_ohms=10.0, serial_number=sn).start()
                for sn in ("076787041", "076787042")]
    panel = None
    try:
        panel = Panel([*(s.port for s in supplies), "--max-voltage", "5", "--max-current", "0.5",
                       "--config", str(tmp / "zq4180.toml"), "--log-dir", str(tmp / "logs")], cwd=tmp)
        panel.wait_for(lambda: all(s["state"] == "ok" for s in panel.supplies()), what="first readings")
        yield panel, supplies
    finally:
        if panel is not None:
            panel.stop()
        for supply in supplies:
            supply.stop()


@pytest.fixture(scope="session")
def chromium_path():
    if not browser_available():
        pytest.skip("chromium, chromedriver or selenium missing")
    return shutil.which("chromium") or CHROMIUM


@pytest.fixture(autouse=True)
def no_real_supply(monkeypatch):
    """The panel's tests drive virtual supplies only: the hardware tests' switches are cleared."""
    monkeypatch.delenv("ZQ4180_PORT", raising=False)
    monkeypatch.delenv("ZQ4180_CONFIG", raising=False)

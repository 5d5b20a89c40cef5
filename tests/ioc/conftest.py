"""The IOC as a process against virtual supplies served by the test itself, everything on loopback."""

import pytest

from .helpers import Ca, Ioc, loopback_environment, random_prefix


@pytest.fixture(autouse=True)
def isolated(monkeypatch, tmp_path):
    """Nothing here may reach a real supply or another machine."""
    monkeypatch.delenv("ZQ4180_PORT", raising=False)
    monkeypatch.delenv("ZQ4180_CONFIG", raising=False)
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "xdg"))
    monkeypatch.chdir(tmp_path)


def _epics_env(monkeypatch):
    env = loopback_environment()
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    return env


@pytest.fixture
def epics_env(monkeypatch):
    return _epics_env(monkeypatch)


@pytest.fixture
def make_ioc(epics_env, tmp_path):
    """start(*args, expect=N) -> (Ioc, Ca); stopped after the test."""
    started = []
    (tmp_path / "zq4180.toml").write_text("")

    def start(*args, expect: int = 1, prefix: str | None = None, env: dict | None = None):
        prefix = prefix or random_prefix()
        ioc = Ioc(["--prefix", prefix, "--config", tmp_path / "zq4180.toml", *args], {**epics_env, **(env or {})},
                  tmp_path, expect)
        started.append(ioc)
        ioc.prefix = prefix
        ioc.cas = [Ca(line.split(" ", 1)[1]) for line in ioc.lines]
        return ioc, ioc.cas[0] if ioc.cas else None

    yield start
    for ioc in started:
        ioc.stop()


@pytest.fixture
def paced(virtual_supplies):
    def make(**fields):
        fields.setdefault("load_ohms", 10.0)
        return virtual_supplies(1, pacing=True, **fields)
    return make

"""The zq4180 command and its library against virtual supplies on ptys.

Nothing here may reach a real supply: ZQ4180_PORT and ZQ4180_CONFIG are
cleared, the working directory is a fresh one (no ./zq4180.toml) and the
user's configuration directory points into it too.
"""
import signal
import time

import pytest



@pytest.fixture(autouse=True)
def isolated(monkeypatch, tmp_path):
    monkeypatch.delenv("ZQ4180_PORT", raising=False)
    monkeypatch.delenv("ZQ4180_CONFIG", raising=False)
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "xdg"))
    monkeypatch.chdir(tmp_path)
    # main() installs handlers for SIGINT, SIGTERM and SIGHUP: give pytest its own back
    saved = {s: signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    yield tmp_path
    for sig, handler in saved.items():
        signal.signal(sig, handler)


@pytest.fixture
def make_supply(virtual_supplies):
    """VirtualSupply(**kwargs), started, unpaced unless asked, exchanges time-stamped."""
    def make(pacing=False, load_ohms=10.0, **fields):
        stamps = []   # (time.monotonic(), Exchange) as the supply took each request
        supply = virtual_supplies(1, pacing=pacing, load_ohms=load_ohms, **fields)
        supply.stamps = stamps
        supply.on_exchange = lambda e: stamps.append((time.monotonic(), e))
        return supply
    return make


@pytest.fixture
def supply(make_supply):
    return make_supply()


@pytest.fixture
def cli(capsys):
    """zq4180_bench.cli.main(argv) in this process: (exit status, stdout, stderr)."""
    from zq4180_bench.cli import main

    def run(*argv):
        capsys.readouterr()
        status = main([str(a) for a in argv])
        out, err = capsys.readouterr()
        return status, out, err
    return run


"""SCPI servers on loopback in front of virtual supplies on ptys.

Nothing here may reach a real supply: ZQ4180_PORT and ZQ4180_CONFIG are
cleared and the working directory and configuration directory are fresh ones.
"""
import signal

import pytest

SETTINGS = (0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x32)   # every request that is not a read


@pytest.fixture(autouse=True)
def isolated(monkeypatch, tmp_path):
    monkeypatch.delenv("ZQ4180_PORT", raising=False)
    monkeypatch.delenv("ZQ4180_CONFIG", raising=False)
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "xdg"))
    monkeypatch.chdir(tmp_path)
    saved = {s: signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    yield tmp_path
    for sig, handler in saved.items():
        signal.signal(sig, handler)


class Bench:
    """Virtual supplies, each behind a station and a listener on 127.0.0.1."""

    def __init__(self, sims, stations, runner, resources):
        self.sims = sims
        self.stations = stations
        self.runner = runner
        self.resources = resources      # "TCPIP0::127.0.0.1::PORT::SOCKET" per supply
        self.ports = [int(r.split("::")[2]) for r in resources]

    @property
    def sim(self):
        return self.sims[0]

    @property
    def station(self):
        return self.stations[0]

    def settings_sent(self, k=0):
        """How many setting frames (anything but a read) the supply has taken so far."""
        return sum(1 for r in self.sims[k].requests if r[2] in SETTINGS)


@pytest.fixture
def scpi_bench(virtual_supplies):
    """scpi_bench(count=1, read_only=False, max_voltage=None, max_current=None, pacing=False, **sim_fields)."""
    from zq4180_bench import Limits, open_supply
    from zq4180_scpi.runner import Background
    from zq4180_scpi.station import Station
    made = []

    def make(count=1, *, read_only=False, max_voltage=None, max_current=None, pacing=False, load_ohms=10.0, **fields):
        sims = [virtual_supplies(1, pacing=pacing, serial_number=f"{76787041 + k:09d}",
                                     load_ohms=load_ohms, **fields)
                for k in range(count)]
        limits = Limits.of(max_voltage, max_current)
        supplies = [open_supply(s.port, limits=limits, config=None, safe_end="never") for s in sims]
        stations = [Station(f"S{k + 1}", sup, read_only=read_only).start() for k, sup in enumerate(supplies)]
        runner = Background(stations, "127.0.0.1", 0)
        lines = runner.start()
        bench = Bench(sims, stations, runner, [line.split()[1] for line in lines])
        made.append((bench, supplies))
        return bench

    yield make
    for bench, supplies in made:
        bench.runner.stop()
        for station in bench.stations:
            station.stop()
        for supply in supplies:
            supply.close()


@pytest.fixture
def visa():
    """visa(resource, timeout_ms=5000) -> an open pyvisa-py session, closed after the test."""
    pyvisa = pytest.importorskip("pyvisa")
    rm = pyvisa.ResourceManager("@py")
    opened = []

    def open_(resource, timeout_ms=5000):
        inst = rm.open_resource(resource, read_termination="\n", write_termination="\n", timeout=timeout_ms)
        opened.append(inst)
        return inst

    yield open_
    for inst in opened:
        try:
            inst.close()
        except Exception:
            pass
    rm.close()

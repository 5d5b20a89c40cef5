"""The plumbing every long-running front end shares: arguments, opening supplies, the end."""
import argparse
import concurrent.futures

import pytest

from zq4180_bench import frontend
from zq4180_bench.off import OffResult


def parser():
    p = argparse.ArgumentParser(prog="front")
    frontend.add_supply_arguments(p)
    return p


@pytest.mark.parametrize("argv, expected", [
    ([], {"supplies": [], "sim": None, "on_exit": "keep", "max_voltage": None}),
    (["--sim"], {"sim": 1, "supplies": []}),
    (["--sim", "3"], {"sim": 3}),
    (["--sim", "/dev/ttyUSB0"], {"sim": 1, "supplies": ["/dev/ttyUSB0"]}),
    (["a", "--max-voltage", "12", "b", "--max-current", "0.5"],
     {"supplies": ["a", "b"], "max_voltage": 12.0, "max_current": 0.5}),
    (["--on-exit", "off", "a"], {"on_exit": "off"}),
    (["--config", "lab.toml", "a"], {"config": "lab.toml"}),
    (["--sim", "--sim-load", "led"], {"sim_load": "led"}),
])
def test_arguments(argv, expected):
    args = frontend.parse_args(parser(), argv)
    for key, value in expected.items():
        assert getattr(args, key) == value


@pytest.mark.parametrize("argv", [
    ["--max-voltage", "-1"], ["--max-voltage", "abc"], ["--max-current", "nan"], ["--sim", "0"],
    ["--on-exit", "never"],
])
def test_argument_errors_are_argparse_usage_errors(argv, capsys):
    with pytest.raises(SystemExit) as info:
        frontend.parse_args(parser(), argv)
    assert info.value.code == 2


def test_sim_load_needs_sim():
    with pytest.raises(frontend.UsageError, match="--sim-load goes with --sim"):
        frontend.parse_args(parser(), ["--sim-load", "led", "a"])


def test_no_supply_and_no_environment_is_a_usage_error():
    args = frontend.parse_args(parser(), [])
    with pytest.raises(frontend.UsageError, match="name at least one SUPPLY"):
        with frontend.open_supplies(args):
            pass


def test_virtual_supplies_are_named_in_order_and_picked_by_number():
    args = frontend.parse_args(parser(), ["--sim", "3", "3", "1", "--max-voltage", "9"])
    with frontend.open_supplies(args) as pairs:
        assert [name for name, _ in pairs] == ["S1", "S2"]
        assert [s.identity["SN"] for _, s in pairs] == ["076787043", "076787041"]
        assert all(s.limits.voltage.value == 9.0 for _, s in pairs)
        supplies = [s for _, s in pairs]
    assert not any(s.connected for s in supplies)          # closed at the end, nothing changed


def test_a_number_beyond_the_virtual_supplies_is_refused():
    args = frontend.parse_args(parser(), ["--sim", "2", "5"])
    with pytest.raises(frontend.UsageError, match=r"a number names a virtual supply \(1..2\)"):
        with frontend.open_supplies(args):
            pass


def test_configured_names_and_stricter_limits(virtual_supplies, tmp_path):
    sim = virtual_supplies(1, pacing=False)
    (tmp_path / "zq4180.toml").write_text(f'[supplies.bench-a]\nport = "{sim.port}"\nmax_voltage = 6.0\n')
    args = frontend.parse_args(parser(), ["bench-a", "--max-voltage", "8", "--max-current", "1"])
    with frontend.open_supplies(args) as [(name, supply)]:
        assert name == "bench-a"
        assert (supply.limits.voltage.value, supply.limits.current.value) == (6.0, 1.0)


def test_a_supply_that_does_not_answer(tmp_path, capsys):
    missing = str(tmp_path / "ttyGONE")
    args = frontend.parse_args(parser(), [missing])
    with pytest.raises(frontend_open_error()) as info:
        with frontend.open_supplies(args):
            pass
    assert missing in str(info.value)
    with frontend.open_supplies(args, missing_ok=True, prog="front") as [(name, supply)]:
        assert name == "S1" and not supply.connected
        assert supply.read().status == "no_port"
    assert "front: warning:" in capsys.readouterr().err


def frontend_open_error():
    from zq4180_bench.errors import OpenError
    return OpenError


class FakeWorker:
    def __init__(self, outcome):
        self.outcome = outcome
        self.asked = 0

    def off(self):
        self.asked += 1
        future = concurrent.futures.Future()
        if isinstance(self.outcome, BaseException):
            future.set_exception(self.outcome)
        elif self.outcome == "cancelled":
            future.cancel()
        else:
            future.set_result(self.outcome)
        return future


CONFIRMED = OffResult(True, None)
UNCONFIRMED = OffResult(False, None, None, "no reply to the status request")


@pytest.mark.parametrize("on_exit, outcomes, status, lines", [
    ("keep", [UNCONFIRMED], 0, []),
    ("off", [CONFIRMED, CONFIRMED], 0, []),
    ("off", [CONFIRMED, UNCONFIRMED], 1,
     ["S2: OUTPUT MAY STILL BE ON: output-off not confirmed after 3 tries (no reply to the status request); "
      "last reading: none with an answer"]),
    ("off", ["cancelled"], 1, ["S1: OUTPUT MAY STILL BE ON: the off was cancelled (the worker stopped)"]),
    ("off", [RuntimeError("boom")], 1, ["S1: OUTPUT MAY STILL BE ON: boom"]),
])
def test_end_all(capsys, on_exit, outcomes, status, lines):
    workers = [(f"S{k + 1}", FakeWorker(o)) for k, o in enumerate(outcomes)]
    assert frontend.end_all(workers, on_exit) == status
    assert capsys.readouterr().err.splitlines() == lines
    assert all(w.asked == (1 if on_exit == "off" else 0) for _, w in workers)


def test_end_all_refuses_an_unknown_choice():
    with pytest.raises(ValueError):
        frontend.end_all([], "maybe")

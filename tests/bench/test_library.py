"""The bench library's pure parts: points, plans, sequences, configuration, limits, events, logs."""
import math
import time

import pytest

from zq4180_bench.config import ConfigError, load_config
from zq4180_bench.limits import Limit, LimitError, Limits
from zq4180_bench.logs import LogWriter
from zq4180_bench.procedures import SequenceError, parse_sequence, plan_ramp, sweep_points
from zq4180_bench.reader import Poller
from zq4180_bench.readings import Reading, changes
from zq4180_bench.supply import wire

pytestmark = pytest.mark.bench


@pytest.mark.parametrize("start, stop, step, millivolts", [
    (0, 1, 0.3, [0, 300, 600, 900, 1000]),               # --to is always the last point
    (1, 0, 0.3, [1000, 700, 400, 100, 0]),               # downwards
    (0.1, 0.3, 0.1, [100, 200, 300]),                     # 0.1 + 2 * 0.1 is not quite 0.3
    (0.1234, 0.5, 0.1, [123, 223, 323, 423, 500]),        # each point rounded to whole mV
    (0, 0.003, 0.0004, [0, 1, 2, 3]),                     # sub-mV steps: no repeated point
    (2.5, 2.5, 0.1, [2500]),
    (0, 1.0004, 0.5, [0, 500, 1000]),                     # the last point rounds onto the target
])
def test_sweep_points(start, stop, step, millivolts):
    points = sweep_points(start, stop, step)
    assert [round(p * 1000) for p in points] == millivolts
    assert all(p == round(p, 3) for p in points)


@pytest.mark.parametrize("start, to, kwargs, millivolts, dwell", [
    (0, 1, {"rate": 1}, list(range(100, 1001, 100)), 0.1),
    (0, 1, {"step": 0.25, "dwell": 1, "max_step": 0.5}, [250, 500, 750, 1000], 1.0),
    (0, 1, {"step": 0.5, "dwell": 1}, list(range(100, 1001, 100)), 0.2),   # cut to --max-step, same rate
    (5, 4.7, {"rate": 0.5}, [4900, 4800, 4700], 0.2),
    (0, 0.25, {"rate": 1}, [83, 167, 250], 0.1),                          # even steps, none over 0.1 V
    (1.5, 1.5, {"rate": 1}, [1500], 0.1),
])
def test_plan_ramp(start, to, kwargs, millivolts, dwell):
    plan = plan_ramp(start, to, **kwargs)
    assert [round(p * 1000) for p in plan.points] == millivolts
    assert plan.dwell == pytest.approx(dwell)
    steps = [abs(b - a) for a, b in zip((start, *plan.points), plan.points)]
    assert max(steps) <= kwargs.get("max_step", 0.1) + 1e-9


GOOD_SEQUENCE = """# warm-up
voltage,current,seconds,output,ramp

1.0,0.1,2
2.5, 0.2, 1.5, off   # a comment after a row
3,0.3,0,on,0.5
"""


def test_parse_sequence_rows_keep_their_line_numbers():
    steps = parse_sequence(GOOD_SEQUENCE, "seq.csv")
    assert [(s.line, s.voltage, s.current, s.seconds, s.output, s.ramp) for s in steps] == [
        (4, 1.0, 0.1, 2.0, "on", None), (5, 2.5, 0.2, 1.5, "off", None), (6, 3.0, 0.3, 0.0, "on", 0.5)]


@pytest.mark.parametrize("text, line, reason", [
    ("", 1, "empty"),
    ("# only a comment\n", 1, "empty"),
    ("voltage,current\n1,1\n", 1, "seconds"),
    ("voltage,current,seconds,colour\n1,1,1,red\n", 1, "colour"),
    ("voltage,current,seconds,voltage\n", 1, "twice"),
    ("# c\nvoltage,current,seconds\n", 2, "no rows"),
    ("voltage,current,seconds\n1,0.1,1\n# c\n\nx,0.1,1\n", 5, "voltage"),
    ("voltage,current,seconds\n1,-0.1,1\n", 2, "current"),
    ("voltage,current,seconds\n1,0.1,nan\n", 2, "seconds"),
    ("voltage,current,seconds\n1,0.1\n", 2, "seconds"),
    ("voltage,current,seconds\n1,0.1,1,on\n", 2, "values"),
    ("voltage,current,seconds,output\n1,0.1,1,maybe\n", 2, "output"),
    ("voltage,current,seconds,ramp\n1,0.1,1,0\n", 2, "ramp"),
])
def test_parse_sequence_refuses_a_bad_line_by_its_number(text, line, reason):
    with pytest.raises(SequenceError) as caught:
        parse_sequence(text, "seq.csv")
    assert str(caught.value).startswith(f"seq.csv:{line}: ")
    assert reason in caught.value.reason


@pytest.mark.parametrize("text, expected", [
    ("[supplies.a]\nport = \"/dev/ttyUSB0\"\nmax_voltage = 3 3\n", [":3:"]),
    ("[supplies.a]\nport = \n", [":2:"]),
    ("[supplies.a]\nmax_voltage = 1\n[supplies.a]\n", [":3:"]),
    ("colour = 1\n", ["colour"]),
    ("[supplies.a]\nmax_volts = 3\n", ["[supplies.a]", "max_volts"]),
    ("[supplies.a]\nmax_voltage = \"12\"\n", ["[supplies.a]", "max_voltage"]),
    ("[supplies.a]\nmax_current = -1\n", ["[supplies.a]", "max_current"]),
    ("[supplies.a]\nserial = 76787041\n", ["[supplies.a]", "serial"]),
    ("[supplies.\"a b\"]\nmax_voltage = 1\n", ["[supplies.a b]"]),
])
def test_config_errors_name_the_file_and_where(tmp_path, text, expected):
    path = tmp_path / "bad.toml"
    path.write_text(text)
    with pytest.raises(ConfigError) as caught:
        load_config(path)
    message = str(caught.value)
    assert message.startswith(str(path))
    for part in expected:
        assert part in message


@pytest.mark.parametrize("present, winner", [
    (("option", "env", "local", "user"), "option"),
    (("env", "local", "user"), "env"),
    (("local", "user"), "local"),
    (("user",), "user"),
    ((), None),
])
def test_config_file_lookup_order(isolated, monkeypatch, present, winner):
    places = {"option": isolated / "opt.toml", "env": isolated / "env.toml", "local": isolated / "zq4180.toml",
              "user": isolated / "xdg" / "zq4180" / "zq4180.toml"}
    for name in present:
        places[name].parent.mkdir(parents=True, exist_ok=True)
        places[name].write_text(f"[supplies.{name}]\nmax_voltage = 1\n")
    if "env" in present:
        monkeypatch.setenv("ZQ4180_CONFIG", str(places["env"]))
    config = load_config(places["option"] if "option" in present else None)
    assert list(config.supplies) == ([winner] if winner else [])


def test_limits_the_stricter_wins_and_names_its_source():
    cli = Limits.of(5, 1)
    configured = Limits(Limit(3, "bench.toml [supplies.a] max_voltage"), Limit(2, "bench.toml [supplies.a] max_current"))
    merged = cli.merged(configured)
    assert (merged.voltage.value, merged.voltage.source) == (3, "bench.toml [supplies.a] max_voltage")
    assert (merged.current.value, merged.current.source) == (1, "--max-current")
    assert configured.merged(cli) == merged
    assert Limits().merged(cli) == cli
    with pytest.raises(LimitError, match=r"3\.000 V .*bench\.toml \[supplies\.a\] max_voltage"):
        merged.check(ceiling=3.1)
    with pytest.raises(LimitError, match=r"--max-current"):
        merged.check(current=1.001)
    merged.check(voltage=3.0004)               # reaches the wire as 3.000 V
    with pytest.raises(LimitError):
        merged.check(voltage=3.0006)


@pytest.mark.parametrize("value, millis", [(1.005, 1005), (0.001, 1), (2.675, 2675), (4.35, 4350),
                                           (0.0, 0), (0.0004, 0), (30.0, 30000), (65.535, 65535)])
def test_wire_value_truncates_to_the_rounded_milli_units(value, millis):
    # the driver sends trunc(value * 1000)
    assert math.trunc(wire(value) * 1000) == millis


def ok(**fields):
    base = dict(voltage_V=1.0, current_A=0.1, power_W=0.1, voltage_set_V=1.0, current_limit_A=1.0,
                voltage_max_V=30.0, output="on", regulation="CV", work_mode="remote",
                over_temperature=False, fan_speed=0)
    return Reading(time="t", elapsed_s=0.0, **{**base, **fields})


def missing(status):
    return Reading.missing(status, time="t", elapsed_s=0.0)


@pytest.mark.parametrize("previous, current, last_ok, kinds", [
    (None, ok(), None, []),
    (ok(), ok(), None, []),
    (ok(output="off", regulation="XX"), ok(), None, ["output", "regulation"]),
    (ok(), ok(regulation="CC"), None, ["regulation"]),
    (ok(), ok(work_mode="local"), None, ["mode"]),
    (ok(), ok(over_temperature=True), None, ["over_temperature"]),
    (ok(), missing("no_reply"), None, ["no_reply"]),
    (missing("no_reply"), missing("no_reply"), ok(), []),
    (missing("no_reply"), ok(), ok(), ["answering"]),
    (ok(), missing("no_port"), None, ["no_port"]),
    (missing("no_port"), ok(), ok(), ["port_back"]),
    (None, missing("no_port"), None, ["no_port"]),
    # a change while the supply was silent shows once it answers again
    (missing("no_reply"), ok(output="off", regulation="XX"), ok(), ["answering", "output", "regulation"]),
])
def test_changes(previous, current, last_ok, kinds):
    events = changes(previous, current, last_ok)
    assert [e.kind for e in events] == kinds
    assert all("EVENT" in e.line() for e in events)


def test_log_append_refuses_a_csv_with_another_header(tmp_path):
    path = tmp_path / "old.csv"
    path.write_text("# an older log\ntime,voltage\n2024-01-01T00:00:00.000+00:00,1.0\n")
    before = path.read_text()
    with pytest.raises(ValueError, match="header"):
        LogWriter(path, "csv", "append")
    assert path.read_text() == before


class SlowSupply:
    """Stands in for a Supply: the third read takes 0.45 s."""
    def __init__(self):
        self.calls = 0

    def read(self, *, t0=None):
        self.calls += 1
        if self.calls == 3:
            time.sleep(0.45)
        return ok()


def test_poller_keeps_a_row_for_every_deadline_and_says_how_late():
    rows = list(Poller(SlowSupply(), 0.1, duration=0.6))
    assert len(rows) == 6                      # a slow read costs no row
    assert [r.late_ms > 100 for r in rows] == [False, False, False, True, True, True]
    assert [r.elapsed_s for r in rows[:3]] == pytest.approx([0.0, 0.1, 0.2], abs=0.04)


def test_appending_json_lines_to_a_csv_is_refused(tmp_path):
    path = tmp_path / "log.csv"
    LogWriter(path, "csv").close()
    before = path.read_text()
    with pytest.raises(ValueError, match="another format"):
        LogWriter(path, "jsonl", "append")
    assert path.read_text() == before

"""zq4180_bench.qcodes.ZQ4180 through virtual supplies: parameters, validators,
ramps, construction, close, Station YAML and a do1d into a database."""
import subprocess
import sys
import time
from pathlib import Path

import pytest

qcodes = pytest.importorskip("qcodes")

from qcodes_helpers import source_env
from qcodes_helpers import CEILING, CURRENT, IDENTITY, OUTPUT, STATUS, VOLTAGE, WORK_MODE, quiet, set_state, settings


@pytest.mark.parametrize("name, value, field, expected, unit", [
    ("voltage", 3.3, "voltage_set_mv", 3300, "V"),
    ("voltage", 1.0005, "voltage_set_mv", 1000, "V"),      # whole millivolts, as the library rounds
    ("current_limit", 0.25, "current_limit_ma", 250, "A"),
    ("ceiling", 8.0, "voltage_max_mv", 8000, "V"),
    ("remote", True, "remote", True, ""),
    ("remote", False, "remote", False, ""),
])
def test_settings_reach_the_supply_and_read_back(sim, instruments, name, value, field, expected, unit):
    psu = instruments("psu", sim.port)
    getattr(psu, name)(value)
    assert sim.state.snapshot()[field] == expected
    parameter = getattr(psu, name)
    assert parameter.unit == unit and parameter.label
    got = parameter()
    assert got == (expected / 1000 if isinstance(expected, int) and not isinstance(expected, bool) else expected)


@pytest.mark.parametrize("value, on", [("on", True), (True, True), ("ON", True), ("off", False), (False, False)])
def test_output_words(sim, instruments, value, on):
    set_state(sim, volts=2.0, output=not on)
    psu = instruments("psu", sim.port)
    psu.output(value)
    assert sim.state.snapshot()["output_on"] is on
    assert psu.output() == ("on" if on else "off")


def test_read_only_parameters_from_one_reading(sim, instruments):
    set_state(sim, volts=5.0, amps=0.2, output=True)      # 10 ohms: 0.5 A wanted, CC at 0.2 A
    sim.state.configure(over_temperature=True, fan_speed=3)
    psu = instruments("psu", sim.port)
    expected = {"voltage_measured": (2.0, "V"), "current_measured": (0.2, "A"), "power_measured": (0.4, "W"),
                "regulation": ("CC", ""), "temperature_alarm": (1, ""), "fan": (3, "")}
    for name, (value, unit) in expected.items():
        parameter = getattr(psu, name)
        assert parameter() == pytest.approx(value) if isinstance(value, float) else parameter() == value
        assert parameter.unit == unit and parameter.label and not parameter.settable


def test_regulation_says_off_with_the_output_off(sim, instruments):
    psu = instruments("psu", sim.port)
    assert psu.regulation() == "OFF"


def test_snapshot_takes_one_status_exchange(sim, instruments):
    psu = instruments("psu", sim.port)
    quiet(sim)
    snap = psu.snapshot(update=True)
    assert [r[2] for r in sim.requests] == [STATUS]
    params = snap["parameters"]
    assert params["voltage"]["value"] == 5.0 and params["voltage"]["unit"] == "V"
    assert params["regulation"]["value"] == "OFF"


def test_gets_of_one_sweep_point_share_a_reading(virtual_supplies, instruments):
    paced = virtual_supplies(1, pacing=True, load_ohms=10.0)
    psu = instruments("psu", paced.port)
    quiet(paced, 0.3)
    time.sleep(0.2)                     # the reading from construction is stale now
    values = [psu.voltage_measured(), psu.current_measured(), psu.power_measured(), psu.regulation()]
    assert values[-1] == "OFF"
    assert [r[2] for r in paced.requests].count(STATUS) == 1


@pytest.mark.parametrize("name, value, limits, standing, setting_word", [
    ("voltage", 12.0, {"max_voltage": 10}, {}, VOLTAGE),
    ("voltage", 10.0006, {"max_voltage": 10}, {}, VOLTAGE),
    ("ceiling", 10.5, {"max_voltage": 10}, {}, CEILING),
    ("current_limit", 1.5, {"max_current": 1}, {}, CURRENT),
    ("voltage", -1.0, {}, {}, VOLTAGE),
    # switching on with standing values over the limits: the whole state is judged
    ("output", "on", {"max_voltage": 4}, {"volts": 5.0}, OUTPUT),
    ("output", True, {"max_current": 0.5}, {"volts": 1.0, "amps": 2.0}, OUTPUT),
    # with the output on, a setting that leaves the delivered voltage over the limit
    ("ceiling", 9.0, {"max_voltage": 8}, {"volts": 9.5, "ceiling": 3.0, "output": True}, CEILING),
])
def test_values_over_a_limit_raise_before_anything_is_sent(sim, instruments, name, value, limits, standing,
                                                           setting_word):
    set_state(sim, **standing)
    psu = instruments("psu", sim.port, **limits)
    quiet(sim)
    with pytest.raises(ValueError):
        getattr(psu, name)(value)
    assert settings(sim) == []


def test_a_configured_limit_counts(sim, instruments, tmp_path):
    config = tmp_path / "zq4180.toml"
    config.write_text(f'[supplies.bench]\nport = "{sim.port}"\nmax_voltage = 6.0\n')
    psu = instruments("psu", "bench", config=config)
    with pytest.raises(ValueError, match="6.000 V"):
        psu.voltage(7)
    psu.voltage(6)
    assert sim.state.snapshot()["voltage_set_mv"] == 6000


def test_constructing_changes_nothing(sim, instruments):
    set_state(sim, volts=7.5, ceiling=9.0, amps=0.3, output=True, remote=False)
    before = sim.state.snapshot()
    psu = instruments("psu", sim.port)
    psu.snapshot(update=True)
    quiet(sim, 0.0)
    assert all(word in (IDENTITY, STATUS) for word in [r[2] for r in sim.requests])
    assert sim.state.snapshot() == before
    assert psu.get_idn() == {"vendor": "zq4180", "model": "4181", "serial": "076787041", "firmware": "373"}


def test_ramp_starts_from_the_setpoint_the_supply_holds(sim, instruments):
    psu = instruments("psu", sim.port)
    psu.voltage(1.0)
    psu.voltage.step = 0.5
    set_state(sim, volts=3.0)            # someone turned the knob since
    quiet(sim)
    psu.voltage(4.0)
    sent = [value for word, value in settings(sim) if word == VOLTAGE]
    assert sent == [3500, 4000]
    assert psu.voltage() == 4.0


def test_ramp_with_inter_delay_and_a_limit_on_the_way(sim, instruments):
    psu = instruments("psu", sim.port, max_voltage=2.0)
    psu.voltage(0.0)
    psu.voltage.step, psu.voltage.inter_delay = 0.4, 0.05
    quiet(sim)
    started = time.monotonic()
    psu.voltage(1.2)
    assert time.monotonic() - started >= 0.1    # two waits between three steps
    assert [v for w, v in settings(sim) if w == VOLTAGE] == [400, 800, 1200]
    quiet(sim)
    with pytest.raises(ValueError):
        psu.voltage(2.4)                          # refused before the first step
    assert settings(sim) == []


def ignoring(sim, monkeypatch, word):
    """The supply acknowledges frames with command ``word`` and keeps its old value."""
    model = sim.state
    handle = model.handle

    def handle_but_ignore(request):
        if len(request) > 2 and request[2] == word:
            return model.reply(bytes([word]))
        return handle(request)
    monkeypatch.setattr(model, "handle", handle_but_ignore)


@pytest.mark.parametrize("fault, match, held", [
    ("no_reply", "no reply", 2.0),      # taken, but the acknowledgement was lost
    ("ignores", "DIFFERS", 5.0),        # acknowledged, and ignored
    ("late", "no reply", 2.0),          # the acknowledgement came too late: never taken for a status
])
def test_a_setting_not_taken_raises(sim, instruments, monkeypatch, fault, match, held):
    from zq4180_bench import SupplyError
    psu = instruments("psu", sim.port)
    if fault == "ignores":
        ignoring(sim, monkeypatch, VOLTAGE)
    else:
        sim.inject(fault, count=1, command=VOLTAGE)
    with pytest.raises(SupplyError, match=match):
        psu.voltage(2.0)
    assert psu.voltage() == held          # what the supply holds, read from it


def test_an_off_that_cannot_be_confirmed_raises_and_names_it(sim, instruments):
    set_state(sim, volts=2.0, output=True)
    psu = instruments("psu", sim.port)
    sim.inject("no_reply", count=None)
    with pytest.raises(Exception, match="OUTPUT MAY STILL BE ON"):
        psu.output("off")
    sim.clear_faults()


def test_close_frees_the_port_and_leaves_the_output_on(sim, instruments):
    from zq4180_bench.qcodes import ZQ4180
    psu = ZQ4180("psu", sim.port)
    psu.voltage(2.0)
    psu.output("on")
    quiet(sim)
    psu.close()
    assert settings(sim) == [] and sim.state.snapshot()["output_on"]
    again = instruments("psu", sim.port)      # the port is free again
    assert again.output() == "on"


def test_the_end_of_the_process_leaves_the_output_on(sim, tmp_path):
    script = (
        "from zq4180_bench.qcodes import ZQ4180\n"
        f"psu = ZQ4180('psu', {sim.port!r})\n"
        "psu.voltage(2.5)\npsu.output('on')\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                          env=source_env())
    assert done.returncode == 0, done.stderr
    quiet(sim, 0.0)
    state = sim.state.snapshot()
    assert state["output_on"] and state["voltage_set_mv"] == 2500


def test_a_virtual_supply_for_the_instruments_life(instruments):
    psu = instruments("psu", "sim:10", max_voltage=5)
    virtual = psu.owner.virtual
    psu.voltage(3.0)
    psu.output("on")
    assert psu.current_measured() == pytest.approx(0.3)
    psu.close()
    assert not virtual.plugged


STATION_YAML = """
instruments:
  psu:
    type: zq4180_bench.qcodes.ZQ4180
    init:
      supply: {port}
      max_voltage: 6
    parameters:
      voltage:
        step: 0.5
        inter_delay: 0.01
      current_limit:
        initial_value: 0.2
"""


def test_station_yaml(sim, tmp_path):
    from qcodes.station import Station
    path = tmp_path / "station.yaml"
    path.write_text(STATION_YAML.format(port=sim.port))
    station = Station(config_file=str(path))
    psu = station.load_instrument("psu")
    try:
        assert psu.voltage.step == 0.5
        assert sim.state.snapshot()["current_limit_ma"] == 200
        with pytest.raises(ValueError):
            psu.voltage(7)
    finally:
        psu.close()


def test_station_yaml_address_key(sim, tmp_path):
    from qcodes.station import Station
    path = tmp_path / "station.yaml"
    path.write_text(f"instruments:\n  psu:\n    type: zq4180_bench.qcodes.ZQ4180\n    address: {sim.port}\n")
    psu = Station(config_file=str(path)).load_instrument("psu")
    try:
        assert psu.get_idn()["serial"] == "076787041"
    finally:
        psu.close()


def test_do1d_into_a_database(sim, instruments, tmp_path):
    from qcodes.dataset import do1d, initialise_or_create_database_at, load_or_create_experiment
    initialise_or_create_database_at(tmp_path / "bench.db")
    load_or_create_experiment("iv", sample_name="10 ohms")
    psu = instruments("psu", sim.port, max_voltage=5)
    psu.output("on")
    dataset, *_ = do1d(psu.voltage, 0.0, 2.0, 5, 0.0, psu.voltage_measured, psu.current_measured,
                       psu.regulation, psu.temperature_alarm, psu.fan, do_plot=False)
    data = dataset.get_parameter_data()
    currents = data["psu_current_measured"]["psu_current_measured"]
    setpoints = data["psu_current_measured"]["psu_voltage"]
    assert list(setpoints) == pytest.approx([0.0, 0.5, 1.0, 1.5, 2.0])
    assert list(currents) == pytest.approx([0.0, 0.05, 0.1, 0.15, 0.2])
    assert list(data["psu_regulation"]["psu_regulation"]) == ["CV"] * 5


def test_the_station_example_runs(tmp_path):
    example = Path(__file__).resolve().parents[2] / "examples" / "qcodes_sweep.py"
    done = subprocess.run([sys.executable, str(example), "--stop", "1", "--points", "3", "--db", "iv.db"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120, env=source_env())
    assert done.returncode == 0, done.stdout + done.stderr
    assert "psu: output off (confirmed)" in done.stdout
    assert " 1.000 V   0.100 A" in done.stdout and (tmp_path / "iv.db").exists()


def test_a_lost_port_raises_then_recovers(sim, instruments):
    from zq4180_bench import SupplyError
    psu = instruments("psu", sim.port)
    sim.unplug()
    time.sleep(0.05)
    with pytest.raises(SupplyError):
        psu.voltage_measured()
    with pytest.raises(SupplyError):
        psu.voltage(1.0)
    sim.replug()
    deadline = time.monotonic() + 10
    while True:
        try:
            psu.voltage(1.0)
            break
        except SupplyError:
            assert time.monotonic() < deadline
            time.sleep(0.2)
    assert sim.state.snapshot()["voltage_set_mv"] == 1000


def test_ctrl_c_during_a_ramp_stops_it_between_whole_exchanges(sim):
    import signal
    set_state(sim, volts=1.0, output=True)
    script = (
        "import sys\nfrom zq4180_bench.qcodes import ZQ4180\n"
        f"psu = ZQ4180('psu', {sim.port!r})\n"
        "psu.voltage.step, psu.voltage.inter_delay = 0.1, 0.02\n"
        "print('ramping', flush=True)\npsu.voltage(5.0)\n")
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=source_env())
    try:
        while child.stdout.readline().strip() != "ramping":
            assert child.poll() is None
        deadline = time.monotonic() + 20
        while len([w for w, _ in settings(sim) if w == VOLTAGE]) < 5:
            assert time.monotonic() < deadline and child.poll() is None
            time.sleep(0.01)
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode != 0 and "KeyboardInterrupt" in err
    sim.wait_idle()
    sent = [v for w, v in settings(sim) if w == VOLTAGE]
    assert 5 <= len(sent) < 40                                   # stopped part way
    assert all(e.reply is not None for e in sim.exchanges)      # every exchange ran to its end
    state = sim.state.snapshot()
    assert state["voltage_set_mv"] == sent[-1] and state["output_on"]


def test_a_snapshot_of_a_silent_supply_keeps_the_last_values(sim, instruments):
    psu = instruments("psu", sim.port)
    psu.voltage(2.5)
    quiet(sim)
    sim.inject("no_reply", count=None)
    try:
        snap = psu.snapshot(update=True)
    finally:
        sim.clear_faults()
    assert snap["parameters"]["voltage"]["value"] == 2.5
    assert [r[2] for r in sim.requests].count(STATUS) == 1      # one failed read, not one per parameter


@pytest.mark.parametrize("yaml_limits, value, refused", [
    ("[0, 20]", 7.0, True),      # looser than max_voltage 6: the library's limit still holds
    ("[0, 20]", 5.5, False),
    ("[0, 3]", 4.0, True),       # stricter: QCoDeS's own validator refuses too
    ("[0, 3]", 2.5, False),
])
def test_station_yaml_limits_never_loosen_the_supplys(sim, tmp_path, yaml_limits, value, refused):
    from qcodes.station import Station
    path = tmp_path / "station.yaml"
    path.write_text(f"instruments:\n  psu:\n    type: zq4180_bench.qcodes.ZQ4180\n    address: {sim.port}\n"
                    f"    init: {{max_voltage: 6}}\n    parameters:\n      voltage: {{limits: {yaml_limits}}}\n")
    psu = Station(config_file=str(path)).load_instrument("psu")
    try:
        quiet(sim)
        if refused:
            with pytest.raises(ValueError):
                psu.voltage(value)
            assert settings(sim) == []
        else:
            psu.voltage(value)
            assert sim.state.snapshot()["voltage_set_mv"] == round(value * 1000)
    finally:
        psu.close()


@pytest.mark.parametrize("status, answering, error, words", [
    ("no_reply", None, "NoReply", "did not answer"),
    ("no_port", None, "SupplyLost", "port lost"),
    ("other_supply", "4181 SN 076787042", "SupplyLost", "another supply answers at the port (4181 SN 076787042)"),
])
def test_a_reading_without_an_answer_says_why(status, answering, error, words):
    import zq4180_bench
    from zq4180_bench import Reading
    from zq4180_bench.inprocess import answered
    with pytest.raises(getattr(zq4180_bench, error), match=r"^psu: .*" + words.replace("(", r"\(").replace(")", r"\)")):
        answered(Reading.missing(status, time="", elapsed_s=0.0, answering=answering), "psu")

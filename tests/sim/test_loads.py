"""Loads beside the resistor: operating points, the load fields, --load on the command line."""
import pytest

from zq4180_sim import CurrentSink, Led, Resistor, SupplyModel, parse_load
from zq4180_sim.cli import _make_supplies, build_parser, main
from zq4180_sim.model import MODE_CC, MODE_CV, MODE_OFF

CV, CC, OFF = MODE_CV, MODE_CC, MODE_OFF


def point(load, set_mv=5000, max_mv=30000, limit_ma=1000, on=True):
    m = SupplyModel(load=load)
    m.configure(output_on=on, voltage_set_mv=set_mv, voltage_max_mv=max_mv,
                current_limit_ma=limit_ma)
    return m.measure()


@pytest.mark.parametrize("load, setting, expected", [
    # LED: the knee, 1 mA at 1.8 V and 20 mA at 2.0 V
    ("led", dict(set_mv=1500), (0, 1500, CV)),
    ("led", dict(set_mv=1800), (1, 1800, CV)),
    ("led", dict(set_mv=2000), (20, 2000, CV)),
    ("led", dict(limit_ma=20), (20, 2000, CC)),       # 5 V asked, held at 20 mA
    ("led", dict(limit_ma=1), (1, 1800, CC)),
    ("led", dict(limit_ma=0), (0, 0, CC)),
    ("led", dict(max_mv=1900), (5, 1900, CV)),        # ceiling below the setpoint
    ("led", dict(set_mv=0), (0, 0, CV)),
    ("led", dict(on=False), (0, 0, OFF)),
    # sink drawing 0.5 A unless told otherwise
    ("cc", {}, (500, 5000, CV)),
    ("cc", dict(limit_ma=500), (500, 5000, CV)),
    ("cc", dict(limit_ma=499), (499, 0, CC)),         # the sink pulls the output down
    ("cc", dict(set_mv=0, limit_ma=100), (0, 0, CV)),  # nothing to draw at 0 V
    ("cc", dict(set_mv=12000, max_mv=3300), (500, 3300, CV)),
    ("cc:2.5", dict(limit_ma=3000), (2500, 5000, CV)),
    ("cc:0", dict(limit_ma=0), (0, 5000, CV)),
    ("cc:70", dict(limit_ma=65535), (65535, 0, CC)),
])
def test_operating_points(load, setting, expected):
    assert point(load, **setting) == expected


def test_led_sweep_curves_and_inverts():
    currents = [point("led", set_mv=mv)[0] for mv in range(1700, 2401, 50)]
    steps = [b - a for a, b in zip(currents, currents[1:])]
    # convex and bending hard at the knee; a resistor would give equal steps
    assert currents[0] == 0 and steps == sorted(steps) and steps[-1] >= 20 * steps[1] > 0
    led = Led()
    for amps in (1e-6, 1e-3, 0.02, 0.5, 60.0):
        assert led.current_at(led.voltage_at(amps)) == pytest.approx(amps, rel=1e-9)


def test_load_and_load_ohms_are_one_setting():
    m = SupplyModel(load_ohms=100, load="led")        # load wins in the constructor
    assert (m.load, m.load_ohms) == (Led(), None)
    m.configure(load_ohms=10)
    assert (m.load, m.load_ohms) == (Resistor(10.0), 10.0)
    m.load_ohms = float("inf")
    assert (m.load, m.snapshot()["load_ohms"]) == (Resistor(None), None)
    m.configure(load=Resistor(4), load_ohms=4.0)      # agreeing is fine
    with pytest.raises(ValueError, match="different loads"):
        m.configure(load="cc", load_ohms=4)
    for bad in (42, "diode", CurrentSink):
        with pytest.raises(ValueError):
            m.configure(load=bad)
    assert m.load == Resistor(4.0)


@pytest.mark.parametrize("make", [
    lambda: Led(n_vt=0), lambda: Led(series_ohms=-1), lambda: Led(saturation_a=float("nan")),
    lambda: CurrentSink(-0.1), lambda: CurrentSink(float("inf")), lambda: Resistor(-1),
])
def test_bad_load_parameters(make):
    with pytest.raises(ValueError):
        make()


@pytest.mark.parametrize("text, load", [
    ("10", Resistor(10.0)), ("0", Resistor(0.0)), (" OPEN ", Resistor(None)),
    ("inf", Resistor(None)), ("LED", Led()), ("cc", CurrentSink(0.5)),
    ("CC: 0.25", CurrentSink(0.25)),
])
def test_good_load_specs(text, load):
    assert parse_load(text) == {"load": load}
    args = build_parser().parse_args(["--no-pacing", "--load", text])
    args.address = 1
    supply, = _make_supplies(args)
    try:
        assert supply.state.load == load
    finally:
        supply.stop()


@pytest.mark.parametrize("text", ["", "-1", "nan", "diode", "cc:", "cc:x", "cc:-0.1", "cc:inf",
                                  "led:2", "10 ohm", "cc0.5"])
def test_bad_load_specs_are_one_line(capsys, text):
    with pytest.raises(ValueError) as info:
        parse_load(text)
    assert "\n" not in str(info.value)
    assert main(["--load", text]) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1
    assert err.startswith("zq4180-sim: error: argument --load: ")

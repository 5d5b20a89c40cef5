"""pymeasure's SCPI power-supply classes, unchanged, against the server."""
import logging

import pytest

from tests.bench.helpers import wait_for

pytest.importorskip("pymeasure")
pytest.importorskip("pyvisa_py")

from pymeasure.instruments.keithley.keithley2260B import Keithley2260B  # noqa: E402
from pymeasure.instruments.texio.texioPSW360L30 import TexioPSW360L30  # noqa: E402


@pytest.fixture
def instrument(scpi_bench):
    made = []

    def make(cls, **bench_options):
        bench = scpi_bench(**bench_options)
        inst = cls(bench.resources[0], visa_library="@py", timeout=10000)
        inst.bench = bench
        made.append(inst)
        return inst
    yield make
    for inst in made:
        inst.adapter.close()


@pytest.mark.parametrize("cls", [Keithley2260B, TexioPSW360L30])
def test_setpoint_limit_output_apply_measurements_errors_and_shutdown(instrument, cls):
    psu = instrument(cls, max_voltage=12, max_current=2)
    assert psu.id == "ZQ4180,4181,076787041,373"
    psu.voltage_setpoint = 3.3
    psu.current_limit = 0.5
    assert psu.voltage_setpoint == pytest.approx(3.3)
    assert psu.current_limit == pytest.approx(0.5)
    psu.applied = (5, 1)
    assert psu.applied == [pytest.approx(5.0), pytest.approx(1.0)]
    assert psu.output_enabled is False
    psu.output_enabled = True
    assert psu.output_enabled is True
    assert psu.voltage == pytest.approx(5.0)         # 10 ohm load
    assert psu.current == pytest.approx(0.5)
    assert psu.power == pytest.approx(2.5)
    assert psu.next_error[0] == 0
    psu.voltage_setpoint = 50                        # over --max-voltage: refused, nothing sent
    assert psu.voltage_setpoint == pytest.approx(5.0)
    code, text = psu.next_error[:2]
    assert (code, text) == (-222, '"Data out of range; voltage 50.000 V is over the limit 12.000 V '
                                  '(from --max-voltage)"')
    psu.check_errors()                               # the class's own error check: the queue is empty
    psu.shutdown()                                   # sends OUTPut 0 and leaves
    assert wait_for(lambda: not psu.bench.sim.state.output_on)
    assert psu.bench.sim.state.voltage_set_mv == 5000


def test_texio_error_check_logs_the_refusal(instrument, caplog):
    psu = instrument(TexioPSW360L30, max_current=1)
    psu.current_limit = 3
    with caplog.at_level(logging.INFO, logger="pymeasure.instruments.texio.texioPSW360L30"):
        psu.check_errors()
    assert any("-222" in r.getMessage() for r in caplog.records)
    assert psu.next_error[0] == 0

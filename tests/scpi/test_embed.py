"""SCPI beside another front end's workers: its observers keep their readings, its workers stay its own."""
import pytest

from tests.bench.helpers import wait_for
from zq4180_scpi.access import ListenError
from zq4180_scpi.embed import listen_address, serve_beside

pytest.importorskip("pyvisa")
pytest.importorskip("pyvisa_py")


@pytest.mark.parametrize("text, allow_remote, expected", [
    ("127.0.0.1:0", False, ("127.0.0.1", 0)),
    ("localhost:5025", False, ("localhost", 5025)),
    ("[::1]:7", False, ("::1", 7)),
    ("0.0.0.0:5025", True, ("0.0.0.0", 5025)),
    ("0.0.0.0:5025", False, "add --allow-remote-control"),
    ("5025", False, "--scpi takes HOST:PORT"),
    ("127.0.0.1:x", False, "is not a TCP port"),
])
def test_listen_address(text, allow_remote, expected):
    if isinstance(expected, tuple):
        assert listen_address(text, allow_remote=allow_remote) == expected
    else:
        with pytest.raises(ListenError, match=expected):
            listen_address(text, allow_remote=allow_remote)


def test_serving_beside_a_worker_another_front_end_owns(virtual_supplies, visa):
    from zq4180_bench import Worker, open_supply
    sim = virtual_supplies(1, pacing=False, load_ohms=10.0)
    supply = open_supply(sim.port, config=None, safe_end="never")
    seen = []
    worker = Worker(supply, interval=0.2, on_reading=seen.append, name="other front end").start()
    runner = serve_beside([("s1", worker)], "127.0.0.1", 0, read_only=False)
    try:
        assert [line.split()[0] for line in runner.lines] == ["s1"]
        inst = visa(runner.lines[0].split()[1])
        inst.write("APPL 4,1;:OUTP ON")
        assert inst.query("MEAS:VOLT?") == "4.000"
        count = len(seen)
        assert wait_for(lambda: len(seen) > count + 2)          # the owner's observer still sees readings
        assert any(r.ok and r.voltage_V == 4.0 for r in seen)
    finally:
        runner.stop()
    assert worker.alive                                          # SCPI never stops a worker it does not own
    worker.off().result(10)
    worker.stop(5)
    supply.close()
    assert not sim.state.output_on


def test_read_only_beside(virtual_supplies, visa):
    from zq4180_bench import Worker, open_supply
    sim = virtual_supplies(1, pacing=False, load_ohms=10.0)
    supply = open_supply(sim.port, config=None, safe_end="never")
    worker = Worker(supply, interval=0.2).start()
    runner = serve_beside([("s1", worker)], "127.0.0.1", 0, read_only=True)
    try:
        inst = visa(runner.lines[0].split()[1])
        inst.write("OUTP ON")
        assert inst.query("SYST:ERR?").startswith("-203,")
    finally:
        runner.stop()
        worker.stop(5)
        supply.close()

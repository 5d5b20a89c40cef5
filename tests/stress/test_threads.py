"""Eight threads share one driver object: no reply may cross to another call."""
import random
import threading

import pytest

import zq4180

from .helpers import ADDRESS, close_quietly, expected_status

pytestmark = pytest.mark.stress

THREADS, CALLS = 8, 100
SET_WORDS = range(0x20, 0x26)
# every setter writes the same value, so the state is fixed once each has run
CALLS_MIX = [
    ("read_dev_status", ()), ("read_dev_status", ()), ("show_device_version", ()),
    ("set_work_mode", ("remote",)), ("set_ouput_mode", ("on",)), ("set_voltage_max", (12.0,)),
    ("set_out_voltage", (2.5,)), ("set_out_current", (0.5,)), ("set_new_addr", (ADDRESS,)),
]


class CheckedZQ4180(zq4180.ZQ4180):
    """Keeps every (request, reply) pair as the exchange itself saw it."""

    def _ZQ4180__write_and_read(self, cmd):
        reply = super()._ZQ4180__write_and_read(cmd)
        self.pairs.append((bytes(cmd), reply))
        return reply


class PortLog:
    """Stands in for the serial port and logs writes and non-empty reads in order."""

    def __init__(self, wrapped):
        self.wrapped = wrapped
        self.events = []

    def write(self, data):
        self.events.append(("w", bytes(data)))
        return self.wrapped.write(data)

    def read(self, size):
        data = self.wrapped.read(size)
        self.events.append(("r", bytes(data)))
        return data

    def __getattr__(self, name):
        return getattr(self.wrapped, name)


def test_eight_threads_one_object(supply, capsys):
    drv = CheckedZQ4180(supply.port)
    drv.pairs = []
    assert drv.open() is True
    port = drv.ser = PortLog(drv.ser)
    for method, args in CALLS_MIX:       # settle the state every status must show
        getattr(drv, method)(*args)
    supply.clear_log()
    port.events.clear()
    drv.pairs.clear()
    capsys.readouterr()
    state = expected_status(supply)
    identity = drv.show_device_version()
    results, errors = [], []

    def worker(seed):
        rng = random.Random(seed)
        try:
            for _ in range(CALLS):
                method, args = rng.choice(CALLS_MIX)
                results.append((method, getattr(drv, method)(*args)))
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    close_quietly(drv)
    assert not errors and len(results) == THREADS * CALLS

    for method, result in results:
        expected = {"read_dev_status": state, "show_device_version": identity}.get(method, True)
        assert result == expected, method
    # every reply the exchange returned is the one to its own request
    for request, reply in drv.pairs:
        assert reply is not None
        if request[2] in SET_WORDS:
            assert reply[3] == request[2]
    # on the wire: request, its reply, request, its reply, ...
    log = supply.exchanges
    assert len(log) == len(drv.pairs) == sum(m != "show_device_version" for m, _ in results)
    assert port.events == [e for x in log for e in (("w", x.request), ("r", x.reply))]
    printed = capsys.readouterr().out.splitlines()
    assert sorted(set(printed)) == [f"set current, read:{_ack(0x24)}", f"set voltage, read:{_ack(0x23)}"]
    assert len(printed) == sum(m in ("set_out_voltage", "set_out_current") for m, _ in results)


def _ack(word):
    frame = [0xAA, ADDRESS, 0x12, word] + [0] * 21
    return str(frame + [sum(frame) & 0xFF])

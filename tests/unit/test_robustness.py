"""Properties, hostile inputs, and a check that repeated calls leave nothing behind."""
import contextlib
import gc
import math
import sys
import tracemalloc
import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from .fakes import FakePort, OddPort, SerialError, frame, identity

props = settings(deadline=None, max_examples=300, database=None,
                 suppress_health_check=[HealthCheck.function_scoped_fixture])


@props
@given(st.lists(st.integers(), min_size=1, max_size=40))
def test_checksum_property(zq, data):
    obj = zq.ZQ4180("COM3")
    reference = sum(data[:-1]) & 0xFF
    assert obj._ZQ4180__check_crc(list(data)) is (data[-1] == reference)
    filled = list(data)
    obj._ZQ4180__cal_crc(filled)
    assert filled == data[:-1] + [reference] and obj._ZQ4180__check_crc(filled) is True


@props
@given(st.integers(0, 2 ** 32 - 1))
def test_scaling_round_trip(zq, raw):
    obj = zq.ZQ4180("COM3")
    obj._ZQ4180__write_and_read = lambda cmd: frame(payload=bytes(13) + raw.to_bytes(4, "little"))
    volts = obj.read_dev_status()["voltage_set"]
    assert volts == raw / 1000.0
    sent = []
    obj._ZQ4180__write_and_read = sent.append
    obj.set_out_voltage(volts)
    assert int.from_bytes(bytes(sent[0][3:7]), "little") in (raw, raw - 1)
    assert int.from_bytes(bytes(sent[0][3:7]), "little") == math.trunc(volts * 1000.0)


FIELDS = {"current_real": (3, 5), "voltage_real": (5, 9), "current_set": (10, 12),
          "voltage_max_set": (12, 16), "voltage_set": (16, 20)}


@props
@given(st.binary(min_size=26, max_size=26))
def test_status_decoding_property(zq, raw):
    obj = zq.ZQ4180("COM3")
    obj._ZQ4180__write_and_read = lambda cmd: raw
    status = obj.read_dev_status()
    for key, (low, high) in FIELDS.items():
        assert status[key] == int.from_bytes(raw[low:high], "little") / 1000.0
    bits = raw[9]
    assert (status["out_status"] == "on") == bool(bits & 1) and status["beyond_temp"] is bool(bits & 2)
    assert status["out_mode"] == ("XX", "CV", "CC", "XX")[(bits >> 2) & 3]
    assert status["fan_speed"] == (bits >> 4) & 7
    assert status["work_mode"] == ("remote" if bits & 0x80 else "local")


class Boom(Exception):
    pass


class Hostile:
    def __eq__(self, other):
        raise Boom

    __hash__ = object.__hash__

    def __float__(self):
        raise Boom

    def __index__(self):
        raise Boom


class IndexOnly:
    def __index__(self):
        raise Boom


class FloatsToInt:
    def __float__(self):
        return 5


class Truthless:
    def __bool__(self):
        raise Boom


class EqualsTruthless:
    def __eq__(self, other):
        return Truthless()

    __hash__ = object.__hash__


@pytest.mark.parametrize("name, value", [
    ("set_work_mode", Hostile()), ("set_ouput_mode", Hostile()), ("set_work_mode", EqualsTruthless()),
    ("set_voltage_max", Hostile()), ("set_out_voltage", IndexOnly()), ("set_out_current", Hostile()),
    ("_ZQ4180__check_crc", [1, Hostile()]),
])
def test_raising_dunders_propagate_and_send_nothing(env, name, value):
    obj, port = env.driver(frame())
    with pytest.raises(Boom):
        getattr(obj, name)(value)
    assert port.log == []


@pytest.mark.parametrize("name", ["set_voltage_max", "set_out_voltage", "set_out_current"])
def test_a_float_conversion_that_returns_no_float_is_refused(env, name):
    obj, port = env.driver(frame())
    with pytest.raises(TypeError):
        getattr(obj, name)(FloatsToInt())
    assert port.log == []


ODD_VALUES = [None, 0, -1, 2 ** 200, 1.5, math.nan, math.inf, "", "on", "remote", b"", b"\xaa" * 26,
              [], [0] * 26, [300] * 26, {}, (), object(), Hostile(), IndexOnly(), True, 1j, type]
ONE_ARGUMENT = ["__init__", "_ZQ4180__check_crc", "_ZQ4180__cal_crc", "_ZQ4180__write_and_read", "set_work_mode",
                "set_ouput_mode", "set_voltage_max", "set_out_voltage", "set_out_current", "set_new_addr"]


@pytest.mark.parametrize("name", ONE_ARGUMENT)
def test_any_argument_ends_in_a_result_or_an_exception(env, capsys, name):
    for value in ODD_VALUES:
        obj, port = env.driver(frame())
        try:
            getattr(obj, name)(value)
        except Exception:
            assert port.writes == []


def ask_everything(obj):
    """Every method that may touch the port; each must end in a result or an ordinary exception."""
    for call in (obj.set_work_mode, obj.set_ouput_mode, lambda: obj.set_out_voltage(1), obj.restore_factory,
                 lambda: obj.set_new_addr(1), obj.read_dev_status, obj._ZQ4180__read_device_version,
                 obj._ZQ4180__read, lambda: obj._ZQ4180__write_and_read(b"\x01"), obj.open, obj.close,
                 obj.check_port_available, obj.show_device_version):
        with contextlib.suppress(Exception):
            call()


@pytest.mark.parametrize("waiting, data, raises", [
    (None, b"", None), ("26", b"", None), (26.0, identity(), None), (-1, b"", None), (2 ** 100, b"", None),
    (Hostile(), b"", None), (Truthless(), b"", None), (26, None, None), (26, "x" * 26, None),
    (26, [0xAA] + [0] * 25, None), (26, 42, None), (26, [Hostile()] * 26, None), (26, b"\xaa" + bytes(25), None),
    (26, list(identity()), None), (0, b"", {"write": Boom()}), (0, b"", {"close": SerialError("x")}),
])
def test_odd_ports_never_crash(env, capsys, waiting, data, raises):
    env.serial.outcomes = [OddPort(env.clock, waiting, data, raises)]
    obj = env.zq.ZQ4180("COM3")
    obj.ser = OddPort(env.clock, waiting, data, raises)
    ask_everything(obj)


@pytest.mark.parametrize("damage", [
    lambda obj: delattr(obj, "port"), lambda obj: setattr(obj, "ser", None),
    lambda obj: delattr(obj, "_ZQ4180__addr"), lambda obj: setattr(obj, "_ZQ4180__addr", 2 ** 64),
    lambda obj: setattr(obj, "_ZQ4180__CMD_TEMPLATE", "x"), lambda obj: setattr(obj, "_ZQ4180__CMD_LENGTH", None),
    lambda obj: setattr(obj, "_ZQ4180__product_model", Hostile()),
    lambda obj: setattr(obj, "_ZQ4180__check_crc", None), lambda obj: setattr(obj, "_ZQ4180__cal_crc", 5),
], ids=["no-port", "ser-None", "no-addr", "addr-2**64", "template-str", "length-None", "model-hostile",
        "check-None", "cal-5"])
def test_damaged_objects_never_crash(env, capsys, damage):
    obj, _ = env.driver(*[identity()] * 10)
    damage(obj)
    ask_everything(obj)


def test_deleted_port_name_fails_open(env, capsys):
    obj = env.zq.ZQ4180("COM3")
    del obj.port
    assert obj.open() is False and obj.check_port_available() is False
    assert env.serial.calls == [] and env.subprocess.calls == []


class Discard:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


@pytest.mark.leak
def test_repeated_calls_leave_nothing_behind(zq, monkeypatch):
    system = ["Linux"]
    answer = identity(3, b"4181")
    port = FakePort(device=lambda data: answer, record=False)

    def make_serial(name, *args, **kwargs):
        if name == "BUSY":
            raise SerialError("could not open port")
        return port

    def run(args, **kwargs):
        if args[-1] == "NOLSOF":
            raise FileNotFoundError(2, "No such file or directory", "lsof")
        return types.SimpleNamespace(stdout=b"", stderr=b"")

    monkeypatch.setattr(zq, "time", types.SimpleNamespace(sleep=lambda seconds: None))
    monkeypatch.setattr(zq, "platform", types.SimpleNamespace(system=lambda: system[0]))
    monkeypatch.setattr(zq, "serial", types.SimpleNamespace(Serial=make_serial, SerialException=SerialError))
    monkeypatch.setattr(zq, "subprocess", types.SimpleNamespace(run=run, PIPE=-1))
    obj, busy, no_lsof = zq.ZQ4180("COM3"), zq.ZQ4180("BUSY"), zq.ZQ4180("NOLSOF")
    obj.ser = port
    refusals = [lambda: obj.set_new_addr(300), lambda: obj.set_ouput_mode("x"), lambda: obj.set_out_voltage("x"),
                lambda: obj.set_out_current(-1), lambda: obj._ZQ4180__cal_crc(()), lambda: zq.ZQ4180(None),
                lambda: obj._ZQ4180__write_and_read([300]), lambda: obj.set_work_mode(1, 2), zq.ZQ4180("X").close]

    def batch(rounds):
        for _ in range(rounds):
            assert obj.open() is True
            ask_everything(obj)
            obj.__init__("COM3")
            obj.set_voltage_max(2.0)
            obj.set_out_current(0.5)
            obj._ZQ4180__check_crc(list(answer))
            busy.open()
            no_lsof.open()
            system[0] = "Windows"
            obj.check_port_available()
            system[0] = "Linux"
            for refusal in refusals:
                with contextlib.suppress(Exception):
                    refusal()

    # A reference leaked on a shared object allocates nothing; its count shows it.
    shared = [None, True, False, obj, port, answer, zq.ZQ4180, zq.ZQ4180._ZQ4180__CMD_TEMPLATE, busy, no_lsof,
              make_serial, run, SerialError, zq.ZQ4180.set_work_mode, zq.ZQ4180.open]
    with contextlib.redirect_stdout(Discard()):
        batch(300)
        gc.collect()
        objects = len(gc.get_objects())
        counts = [sys.getrefcount(item) for item in shared]
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            batch(3000)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
    assert len(gc.get_objects()) - objects < 50
    assert grown < 64 * 1024
    after = [sys.getrefcount(item) for item in shared]
    assert after[3:] == counts[3:]
    assert all(abs(a - c) < 300 for a, c in zip(after[:3], counts[:3]))  # others touch the singletons too

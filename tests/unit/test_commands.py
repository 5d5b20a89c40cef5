"""Device commands: results, printed lines, refusals, and calls made through self."""
import builtins
import math

import pytest

from .fakes import frame, request

REPLY = frame(0x07, 0x12, b"\x01\x02")

SETTERS = [
    ("set_work_mode", ("remote",), None),
    ("set_ouput_mode", ("on",), None),
    ("set_voltage_max", (5.0,), None),
    ("set_out_voltage", (1.222,), "set voltage, read:"),
    ("set_out_current", (0.888,), "set current, read:"),
    ("set_new_addr", (6,), None),
    ("restore_factory", (), "Restore FACTORY:"),
]


@pytest.mark.parametrize("name, args, prefix", SETTERS)
def test_answered_command(env, capsys, name, args, prefix):
    obj, port = env.driver(REPLY)
    assert getattr(obj, name)(*args) is True
    assert capsys.readouterr().out == ("" if prefix is None else prefix + str(list(REPLY)) + "\n")
    assert obj._ZQ4180__addr == 0xFF and len(port.writes) == 1


@pytest.mark.parametrize("reply", [None, frame(crc_delta=1), frame(sync=0)], ids=["silent", "crc", "sync"])
@pytest.mark.parametrize("name, args, prefix", SETTERS)
def test_unanswered_command(env, capsys, name, args, prefix, reply):
    obj, port = env.driver(reply)
    assert getattr(obj, name)(*args) is False
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("name, line", [
    ("set_out_voltage", "set voltage, read:[1, 255]\n"),
    ("set_out_current", "set current, read:[1, 255]\n"),
    ("restore_factory", "Restore FACTORY:[1, 255]\n"),
])
def test_printed_line_is_prefix_and_list(zq, capsys, name, line):
    obj = zq.ZQ4180("COM3")
    obj._ZQ4180__write_and_read = lambda cmd: bytearray(b"\x01\xff")
    assert getattr(obj, name)(*([1.0] if name != "restore_factory" else [])) is True
    assert capsys.readouterr().out == line


@pytest.mark.parametrize("returned, ok", [
    (None, False), (b"", False), ([], False), (0, False), (False, False),
    (b"\x01", True), ([0], True), ("x", True), (1, True),
])
def test_success_is_the_truth_of_the_reply(zq, returned, ok):
    obj = zq.ZQ4180("COM3")
    obj._ZQ4180__write_and_read = lambda cmd: returned
    assert [obj.set_work_mode(), obj.set_ouput_mode(), obj.set_voltage_max(1), obj.set_new_addr(1)] == [ok] * 4
    if not ok:
        assert obj.read_dev_status() is None
        assert obj.set_out_voltage(1) is False and obj.restore_factory() is False
        assert obj._ZQ4180__read_device_version() is None and obj._ZQ4180__addr == 0xFF


def test_printing_goes_through_print(zq, monkeypatch):
    seen = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: seen.append(k.get("sep", " ").join(map(str, a))))
    obj = zq.ZQ4180("COM3")
    obj._ZQ4180__write_and_read = lambda cmd: b"\x05"
    obj.restore_factory()
    assert seen == ["Restore FACTORY:[5]"]


def test_a_failing_stdout_fails_the_command(zq, monkeypatch):
    class Broken:
        def write(self, text):
            raise OSError("stdout closed")

        def flush(self):
            pass

    obj = zq.ZQ4180("COM3")
    obj._ZQ4180__write_and_read = lambda cmd: b"\x05"
    monkeypatch.setattr("sys.stdout", Broken())
    with pytest.raises(OSError, match="stdout closed"):
        obj.set_out_current(1.0)


BAD_MODES = ["On", "OFF", "", None, 0, 1, False, True, b"on", ["on"]]


@pytest.mark.parametrize("mode", BAD_MODES)
def test_output_mode_refuses_all_but_on_and_off(env, mode):
    obj, port = env.driver(REPLY)
    with pytest.raises(ValueError) as caught:
        obj.set_ouput_mode(mode)
    assert str(caught.value) == "mode must be 'on' or 'off', got %r" % (mode,)
    assert port.log == []


RANGE = "{} must be between 0 and 4294967.295 {} (0 to 4294967295 m{}), got {}"


@pytest.mark.parametrize("value, error, shown", [
    (-1, ValueError, "-1.0"),
    (-0.001, ValueError, "-0.001"),
    (4294967.296, ValueError, "4294967.296"),
    (2 ** 40, ValueError, "1099511627776.0"),
    (1e300, ValueError, "1e+300"),
    (-1e306, ValueError, "-1e+306"),  # the product overflows: still only out of range
    (math.nan, ValueError, None),
    (math.inf, OverflowError, None),
    (-math.inf, OverflowError, None),
    ("5", TypeError, None),
    (None, TypeError, None),
    (1j, TypeError, None),
])
@pytest.mark.parametrize("name", ["set_voltage_max", "set_out_voltage", "set_out_current"])
def test_setpoint_refusals_send_nothing(env, name, value, error, shown):
    obj, port = env.driver(REPLY)
    with pytest.raises(error) as caught:
        getattr(obj, name)(value)
    if shown is not None:
        quantity, unit = ("current", "A") if name == "set_out_current" else ("voltage", "V")
        assert str(caught.value) == RANGE.format(quantity, unit, unit, shown)
    assert port.log == []


class IntSub(int):
    pass


@pytest.mark.parametrize("address, error, message", [
    (256, ValueError, "address must be between 0 and 255, got 256"),
    (300, ValueError, "address must be between 0 and 255, got 300"),
    (-1, ValueError, "address must be between 0 and 255, got -1"),
    (2 ** 64, ValueError, "address must be between 0 and 255, got 18446744073709551616"),
    (-2 ** 70, ValueError, "address must be between 0 and 255, got -1180591620717411303424"),
    (True, TypeError, None), (6.0, TypeError, None), (None, TypeError, None),
    ("6", TypeError, None), (IntSub(6), TypeError, None),
])
def test_new_address_refusals_send_nothing(env, address, error, message):
    obj, port = env.driver(REPLY)
    with pytest.raises(error) as caught:
        obj.set_new_addr(address)
    assert message is None or str(caught.value) == message
    assert port.log == []


@pytest.mark.parametrize("address", [0, 255])
def test_new_address_keeps_the_objects_own(env, address):
    obj, port = env.driver(REPLY, REPLY)
    obj._ZQ4180__addr = 0x05
    assert obj.set_new_addr(address) is True
    assert obj._ZQ4180__addr == 0x05
    obj.set_out_voltage(1.222)
    assert port.writes[1] == request(0x05, 0x23, b"\xc6\x04", 0x9C)


@pytest.mark.parametrize("addr, error", [(300, ValueError), (-1, ValueError), ("x", TypeError), (None, TypeError)])
@pytest.mark.parametrize("name, args, prefix", SETTERS + [("read_dev_status", (), None)])
def test_a_bad_stored_address_fails_before_writing(env, name, args, prefix, addr, error):
    obj, port = env.driver(REPLY)
    obj._ZQ4180__addr = addr
    with pytest.raises(error):
        getattr(obj, name)(*args)
    assert port.log == []


def test_methods_and_constants_are_taken_from_self(env):
    class Sub(env.zq.ZQ4180):
        def _ZQ4180__cal_crc(self, data):
            data[-1] = 0x77

    obj, port = env.driver(REPLY, REPLY, REPLY, cls=Sub)
    obj.set_work_mode()
    obj._ZQ4180__CMD_WORD_SET_OUT_VOLTAGE = 0x99
    obj.set_out_voltage(0)
    obj._ZQ4180__CMD_TEMPLATE = (0xAA, 0xFF, 0x20) + (1,) * 22 + (0xCC,)
    obj.restore_factory()
    assert port.writes == [request(0xFF, 0x20, b"\x01", 0x77), request(0xFF, 0x99, b"", 0x77),
                           request(0xFF, 0x32, b"\x01" * 22, 0x77)]


def test_the_exchange_gets_the_checksummed_list(zq):
    seen = []
    obj = zq.ZQ4180("COM3")
    obj._ZQ4180__write_and_read = seen.append
    assert obj.set_out_current(1) is False
    assert seen == [list(request(0xFF, 0x24, b"\xe8\x03", 0xB8))] and type(seen[0]) is list


@pytest.mark.parametrize("reply, error", [
    ([0xAA, 1, 0x12] + [1.5] * 23, TypeError),
    ([0xAA, 1, 0x12] + [300] * 23, ValueError),
    ([0xAA, 1, 0x12, -1] + [0] * 22, ValueError),
    ("AAAAAAAAAAAAAAAAAAAAAAAAAA", TypeError),
    ([0xAA] * 10, IndexError),
    (b"\xaa\x01", IndexError),
])
def test_decoders_refuse_what_is_not_a_reply(zq, reply, error):
    obj = zq.ZQ4180("COM3")
    obj._ZQ4180__write_and_read = lambda cmd: reply
    with pytest.raises(error):
        obj.read_dev_status()
    with pytest.raises(error):
        obj._ZQ4180__read_device_version()
    assert obj._ZQ4180__addr == 0xFF
    assert obj.show_device_version() == {"model": "", "SN": "", "soft_version": 0}

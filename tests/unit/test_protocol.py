"""Wire tables: checksums, request frames, payload encodings, reply decoding."""
import fractions

import pytest

from .fakes import frame, identity, request

TEMPLATE = (0xAA, 0xFF, 0x20) + (0,) * 22 + (0xCC,)
ACK = frame(0x01, 0x12)


class ListSub(list):
    pass


def pad(head, last):
    return list(head) + [0] * (25 - len(head)) + [last]


@pytest.mark.parametrize("head, crc", [
    ([0xAA, 0xFF, 0x20], 0xC9),
    ([0xAA, 0xFF, 0x20, 0x01], 0xCA),
    ([0xAA, 0xFF, 0x21, 0x01], 0xCB),
    ([0xAA, 0xFF, 0x23, 0xC6, 0x04], 0x96),
    ([0xAA, 0xFF, 0x26], 0xCF),
    ([0xAA, 0xFF, 0x31], 0xDA),
    ([0xAA, 0xFF, 0x32], 0xDB),
])
def test_checksum_of_frames(zq, head, crc):
    obj = zq.ZQ4180("COM3")
    data = pad(head, 0xCC)
    assert obj._ZQ4180__check_crc(data) is False
    assert obj._ZQ4180__cal_crc(data) is None
    assert data == pad(head, crc)
    assert obj._ZQ4180__check_crc(data) is True


@pytest.mark.parametrize("position", range(26))
def test_any_single_byte_change_is_caught(zq, position):
    data = list(request(0xFF, 0x23, b"\xc6\x04", 0x96))
    data[position] = (data[position] + 1) % 256
    assert zq.ZQ4180("COM3")._ZQ4180__check_crc(data) is False


@pytest.mark.parametrize("data, filled, valid", [
    ([7], [0], False),
    ([0], [0], True),
    ([2 ** 100, 5], [2 ** 100, 0], False),
    ([2 ** 100 + 3, 3], [2 ** 100 + 3, 3], True),
    ([-1, 0], [-1, 255], False),
    ([1, True], [1, 1], True),
    ([1, 1.0], [1, 1], True),
    (list(range(27)), list(range(26)) + [69], False),
])
def test_checksum_of_odd_lists(zq, data, filled, valid):
    obj = zq.ZQ4180("COM3")
    assert obj._ZQ4180__check_crc(data) is valid
    obj._ZQ4180__cal_crc(data)
    assert data == filled and type(data[-1]) is int


@pytest.mark.parametrize("data, error", [
    ([], IndexError),
    ([1.5, 0], TypeError),
    (["a", 0], TypeError),
    (TEMPLATE, TypeError),
    (bytes(TEMPLATE), TypeError),
    (ListSub(TEMPLATE), TypeError),
    (None, TypeError),
])
@pytest.mark.parametrize("method", ["_ZQ4180__check_crc", "_ZQ4180__cal_crc"])
def test_checksum_refusals(zq, method, data, error):
    before = list(data) if data is not None else None
    with pytest.raises(error):
        getattr(zq.ZQ4180("COM3"), method)(data)
    assert (list(data) if data is not None else None) == before


# method, arguments, command word, payload, checksum at 0xFF, checksum at 0x05
COMMANDS = [
    ("set_work_mode", (), 0x20, b"\x01", 0xCA, 0xD0),
    ("set_work_mode", ("remote",), 0x20, b"\x01", 0xCA, 0xD0),
    ("set_work_mode", ("local",), 0x20, b"\x00", 0xC9, 0xCF),
    ("set_work_mode", ("Remote",), 0x20, b"\x00", 0xC9, 0xCF),
    ("set_work_mode", (None,), 0x20, b"\x00", 0xC9, 0xCF),
    ("set_ouput_mode", ("on",), 0x21, b"\x01", 0xCB, 0xD1),
    ("set_ouput_mode", ("off",), 0x21, b"\x00", 0xCA, 0xD0),
    ("set_ouput_mode", (), 0x21, b"\x00", 0xCA, 0xD0),
    ("set_voltage_max", (2.0,), 0x22, b"\xd0\x07", 0xA2, 0xA8),
    ("set_out_voltage", (1.222,), 0x23, b"\xc6\x04", 0x96, 0x9C),
    ("set_out_current", (0.888,), 0x24, b"\x78\x03", 0x48, 0x4E),
    ("set_new_addr", (6,), 0x25, b"\x06", 0xD4, 0xDA),
    ("restore_factory", (), 0x32, b"", 0xDB, 0xE1),
    ("read_dev_status", (), 0x26, b"", 0xCF, 0xD5),
    ("_ZQ4180__read_device_version", (), 0x31, b"", 0xDA, 0xE0),
]


@pytest.mark.parametrize("addr", [0xFF, 0x05])
@pytest.mark.parametrize("name, args, word, payload, crc_ff, crc_05", COMMANDS)
def test_request_frames(env, name, args, word, payload, crc_ff, crc_05, addr):
    obj, port = env.driver(ACK)
    if addr != 0xFF:
        obj._ZQ4180__addr = addr
    getattr(obj, name)(*args)
    assert port.writes == [request(addr, word, payload, crc_ff if addr == 0xFF else crc_05)]
    assert type(port.writes[0]) is bytes


def test_frames_in_a_row_start_from_the_template(env):
    obj, port = env.driver(*[frame(0xFF)] * len(COMMANDS))
    for name, args, *_ in COMMANDS:
        getattr(obj, name)(*args)
    assert port.writes == [request(0xFF, w, p, c) for _, _, w, p, c, _ in COMMANDS]
    template = env.zq.ZQ4180._ZQ4180__CMD_TEMPLATE
    assert type(template) is tuple and template == TEMPLATE


@pytest.mark.parametrize("value, payload", [
    (1.222, b"\xc6\x04\x00\x00"),
    (1.005, b"\xec\x03\x00\x00"),
    (True, b"\xe8\x03\x00\x00"),
    (1, b"\xe8\x03\x00\x00"),
    (fractions.Fraction(3, 2), b"\xdc\x05\x00\x00"),
    (0.0009, b"\x00\x00\x00\x00"),
    (-0.0005, b"\x00\x00\x00\x00"),
    (-0.0, b"\x00\x00\x00\x00"),
    (65.536, b"\x00\x00\x01\x00"),
    (4294967.295, b"\xff\xff\xff\xff"),
])
@pytest.mark.parametrize("name", ["set_voltage_max", "set_out_voltage", "set_out_current"])
def test_setpoint_payloads(env, name, value, payload):
    obj, port = env.driver(ACK)
    assert getattr(obj, name)(value) is True
    assert port.writes[0][3:25] == payload + bytes(18)


STATUS_VALUES = bytes.fromhex("c800" "da0c0000") + b"\x00" + bytes.fromhex("e803" "88130000" "e40c0000")


@pytest.mark.parametrize("fields, expected", [
    ({9: 0x00}, (0.2, 3.29, 1.0, 5.0, 3.3, "off", False, "XX", 0, "local")),
    ({9: 0xFF}, (0.2, 3.29, 1.0, 5.0, 3.3, "on", True, "XX", 7, "remote")),
    ({9: 0x85}, (0.2, 3.29, 1.0, 5.0, 3.3, "on", False, "CV", 0, "remote")),
    ({9: 0x38}, (0.2, 3.29, 1.0, 5.0, 3.3, "off", False, "CC", 3, "local")),
    ({9: 0x02, 1: 0x42, 2: 0x99}, (0.2, 3.29, 1.0, 5.0, 3.3, "off", True, "XX", 0, "local")),
    ({i: 0xFF for i in range(3, 20) if i != 9},
     (65.535, 4294967.295, 65.535, 4294967.295, 4294967.295, "off", False, "XX", 0, "local")),
    ({i: 0 for i in range(3, 20)} | {19: 1}, (0.0, 0.0, 0.0, 0.0, 16777.216, "off", False, "XX", 0, "local")),
    ({i: 0 for i in range(3, 20)} | {15: 1}, (0.0, 0.0, 0.0, 16777.216, 0.0, "off", False, "XX", 0, "local")),
])
def test_status_decoding(env, fields, expected):
    obj, port = env.driver(frame(payload=STATUS_VALUES, at=fields))
    status = obj.read_dev_status()
    assert list(status) == ["current_real", "voltage_real", "current_set", "voltage_max_set",
                            "voltage_set", "out_status", "beyond_temp", "out_mode", "fan_speed", "work_mode"]
    assert tuple(status.values()) == expected
    assert [type(v) for v in status.values()] == [float] * 5 + [str, bool, str, int, str]


def test_status_is_a_new_dict_each_time(env):
    obj, _ = env.driver(frame(), frame())
    first = obj.read_dev_status()
    first["fan_speed"] = "changed"
    assert obj.read_dev_status()["fan_speed"] == 0


@pytest.mark.parametrize("reply, addr, version", [
    (identity(5, b"4181", b"076787041", (0x75, 0x01)), 5, {"model": "4181", "SN": "076787041", "soft_version": 373}),
    (identity(0, b"4180", b"000000001", (0xFF, 0xFF)), 0, {"model": "4180", "SN": "000000001", "soft_version": 65535}),
    (identity(255, b"\0\0\0\0", b"12\x003\0\0\0\0\0", (0, 0)), 255,
     {"model": "\0\0\0\0", "SN": "12\x003\0\0\0\0\0", "soft_version": 0}),
    (identity(7, b"\xb0181", b"\xb0\xff1234567", (1, 0), word=0x26), 7,
     {"model": "\u00b0181", "SN": "\u00b0\u00ff1234567", "soft_version": 1}),
])
def test_identity_decoding(env, reply, addr, version):
    obj, port = env.driver(reply, ACK)
    assert obj._ZQ4180__read_device_version() is None
    assert obj._ZQ4180__addr == addr
    shown = obj.show_device_version()
    assert list(shown.items()) == list(version.items())
    assert type(shown["soft_version"]) is int
    obj.set_out_voltage(1.222)
    assert port.writes[1][:3] == bytes([0xAA, addr, 0x23])


def test_identity_survives_silence_and_close(env):
    obj, port = env.driver(identity(9, b"4181"), None)
    del obj.ser
    assert obj.show_device_version() == {"model": "", "SN": "", "soft_version": 0}
    obj.ser = port
    obj._ZQ4180__read_device_version()
    obj._ZQ4180__read_device_version()
    obj.close()
    assert obj._ZQ4180__addr == 9
    first, second = obj.show_device_version(), obj.show_device_version()
    assert first == second == {"model": "4181", "SN": "076787041", "soft_version": 373}
    assert first is not second


"""Byte-exact exchanges with the virtual supply through pySerial on its link."""
import pytest

from zq4180_sim import build_frame


def lit(hex_text: str) -> bytes:
    """A reply written out by hand: bytes 0..n, zero padding, then the additive checksum."""
    body = bytes.fromhex(hex_text).ljust(25, b"\0")
    return body + bytes([sum(body) & 0xFF])


def req(addr, word, value=None, width=4):
    return build_frame(addr, word, b"" if value is None else value.to_bytes(width, "little"))


def ask(line, supply, request: bytes) -> bytes:
    line.write(request)
    assert supply.wait_idle()
    return line.read(line.in_waiting)


def ack(addr, word):
    return lit(f"aa {addr:02x} 12 {word:02x}")


# One session, in order: each request and the exact reply it must get (b"": silence).
SESSION = [
    (req(255, 0x31), lit("aa 01 12 34 31 38 31 00 75 01 30 37 36 37 38 37 30 34 31")),
    (req(1, 0x26), lit("aa 01 12 00 00 00 00 00 00 00 e8 03 30 75 00 00 88 13 00 00")),
    (req(1, 0x20, 1, 1), ack(1, 0x20)),
    (req(1, 0x22, 2000), ack(1, 0x22)),
    (req(1, 0x23, 1222), ack(1, 0x23)),
    (req(1, 0x24, 888), ack(1, 0x24)),
    (req(1, 0x21, 1, 1), ack(1, 0x21)),
    # on, CV, remote: 1.222 V into 10 ohm = 122 mA
    (req(1, 0x26), lit("aa 01 12 7a 00 c6 04 00 00 85 78 03 d0 07 00 00 c6 04 00 00")),
    (req(1, 0x25, 6, 1), ack(6, 0x25)),  # acknowledged from the new address
    (req(1, 0x26), b""),
    (req(255, 0x31), lit("aa 06 12 34 31 38 31 00 75 01 30 37 36 37 38 37 30 34 31")),
    (req(6, 0x24, 70000), ack(6, 0x24)),  # saturates at the 16-bit field
    (req(6, 0x26), lit("aa 06 12 7a 00 c6 04 00 00 85 ff ff d0 07 00 00 c6 04 00 00")),
    (req(6, 0x20, 0, 1), ack(6, 0x20)),
    (req(6, 0x21, 0, 1), ack(6, 0x21)),
    (req(6, 0x26), lit("aa 06 12 00 00 00 00 00 00 00 ff ff d0 07 00 00 c6 04 00 00")),
    (req(6, 0x21, 1, 1), ack(6, 0x21)),
    (req(255, 0x32), ack(6, 0x32)),
    # factory settings again, address kept
    (req(6, 0x26), lit("aa 06 12 00 00 00 00 00 00 00 e8 03 30 75 00 00 88 13 00 00")),
]


def test_session_byte_exact(supply, line):
    for request, reply in SESSION:
        assert (request.hex(" "), ask(line, supply, request)) == (request.hex(" "), reply)
    assert len(supply.requests) == len(SESSION)


@pytest.mark.parametrize("fields, current, voltage, bits", [
    ({"load_ohms": None}, 0, 5000, 0x05),                    # open circuit: CV, no current
    ({"load_ohms": 10}, 500, 5000, 0x05),                    # CV
    ({"load_ohms": 2}, 1000, 2000, 0x09),                    # CC: limit * R
    ({"load_ohms": 0}, 1000, 0, 0x09),                       # short circuit
    ({"load_ohms": 10, "voltage_max_mv": 3000}, 300, 3000, 0x05),  # ceiling below setpoint
    ({"load_ohms": 5, "current_limit_ma": 0}, 0, 0, 0x09),
    ({"load_ohms": 10, "output_on": False}, 0, 0, 0x00),     # off: neither CV nor CC
    ({"over_temperature": True, "fan_speed": 5, "remote": True}, 0, 5000, 0xD7),
])
def test_status_under_load(supply, line, fields, current, voltage, bits):
    supply.state.configure(**{"output_on": True, "load_ohms": None, **fields})
    reply = ask(line, supply, req(1, 0x26))
    s = supply.state
    expected = (current.to_bytes(2, "little") + voltage.to_bytes(4, "little") + bytes([bits])
                + s.current_limit_ma.to_bytes(2, "little") + s.voltage_max_mv.to_bytes(4, "little")
                + s.voltage_set_mv.to_bytes(4, "little"))
    assert reply[:3] == bytes.fromhex("aa 01 12") and reply[3:20] == expected
    assert reply == lit(reply[:20].hex())


@pytest.mark.parametrize("junk", [
    req(2, 0x26),                                   # another address
    req(1, 0x26)[:-1] + b"\x00",                    # bad checksum
    b"\x55" + req(1, 0x26)[1:],                     # no sync byte
    req(1, 0x27),                                   # unknown command word
    req(1, 0x26)[:10],                              # truncated, then silence
    b"\xaa\xaa\x01\xaa\x26" * 7,                    # sync bytes everywhere
])
def test_ignored_then_resynchronised(supply, line, junk):
    assert ask(line, supply, junk) == b""
    # garbage right in front of a good request does not hide it either
    assert ask(line, supply, b"\x01\xaa\x26" + req(1, 0x31))[:4] == bytes.fromhex("aa 01 12 34")

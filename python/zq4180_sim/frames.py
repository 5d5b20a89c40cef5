"""The frame on the wire: layout, command words, checksum."""

from __future__ import annotations

FRAME_LEN = 26
SYNC = 0xAA
BROADCAST = 0xFF
RETURN_WORD = 0x12

CMD_WORK_MODE = 0x20
CMD_OUTPUT = 0x21
CMD_VOLTAGE_MAX = 0x22
CMD_VOLTAGE = 0x23
CMD_CURRENT = 0x24
CMD_NEW_ADDR = 0x25
CMD_STATUS = 0x26
CMD_IDENTITY = 0x31
CMD_FACTORY_RESET = 0x32

COMMAND_NAMES = {
    CMD_WORK_MODE: "work_mode",
    CMD_OUTPUT: "output",
    CMD_VOLTAGE_MAX: "voltage_max",
    CMD_VOLTAGE: "voltage",
    CMD_CURRENT: "current",
    CMD_NEW_ADDR: "new_addr",
    CMD_STATUS: "status",
    CMD_IDENTITY: "identity",
    CMD_FACTORY_RESET: "factory_reset",
}

# widths of the status fields
U16_MAX = 0xFFFF
U32_MAX = 0xFFFFFFFF


def checksum(frame) -> int:
    """Low 8 bits of the plain sum of all bytes but the last."""
    return sum(frame[:-1]) & 0xFF


def build_frame(address: int, command: int, payload: bytes = b"", *, sync: int = SYNC) -> bytes:
    """A 26-byte frame with the payload from byte 3 on and the checksum filled in."""
    if len(payload) > FRAME_LEN - 4:
        raise ValueError("payload longer than 22 bytes")
    frame = bytearray(FRAME_LEN)
    frame[0], frame[1], frame[2] = sync, address, command
    frame[3:3 + len(payload)] = payload
    frame[-1] = checksum(frame)
    return bytes(frame)


def frame_ok(frame) -> bool:
    """Length, sync byte and checksum right: what either end accepts as a frame."""
    return len(frame) == FRAME_LEN and frame[0] == SYNC and frame[-1] == checksum(frame)


def _u32(frame, at: int) -> int:
    return int.from_bytes(frame[at:at + 4], "little")

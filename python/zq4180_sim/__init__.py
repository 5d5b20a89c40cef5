"""A virtual zq4100-series power supply on a Linux pseudo-terminal.

It lets the ``zq4180`` driver, a test suite or a new user talk to a supply
through the real serial stack (pySerial, the tty line discipline, ``lsof``)
without hardware::

    from zq4180_sim import VirtualSupply
    with VirtualSupply(address=1, pacing=False, load_ohms=10) as supply:
        drv = zq4180.ZQ4180(supply.port)
        ...
        supply.inject("no_reply", count=1)

or from a shell: ``zq4180-sim --address 6 --load 10`` prints the port to open
(``--load led`` or ``--load cc:0.2`` for a load that is not a resistor).

Behaviour of the virtual supply
-------------------------------
Requests: a frame is answered only if it is 26 bytes, starts with 0xAA, has a
right additive checksum and carries the supply's address or 255 in byte 1.
Frames for another address, unknown command words and bad frames get no reply.

Replies: byte 0 0xAA, byte 1 the supply's address, byte 2 0x12, byte 25 the
checksum.
  * Status (0x26) and identity (0x31) replies carry their read-out layouts;
    identity byte 7 and bytes 19..24 are 0.
  * Every set command (0x20..0x25) and the factory reset (0x32) are
    acknowledged with byte 3 = the request's command word and bytes 4..24 = 0.
  * Work mode and output: byte 3 == 1 means remote / on, any other value
    local / off.
  * Setpoints are taken as unsigned 32-bit milli-units. The current limit
    saturates at 65535 mA (its status field is 16 bits wide); voltage ceiling
    and output voltage keep all 32 bits and are reported as stored, a setpoint
    above the ceiling included (the output then regulates to the ceiling).
  * Address change: the acknowledgement is built after the change, so its
    byte 1 is the NEW address: the one that reaches the supply from now on.
    Any value 0..255 is taken; 255 leaves a supply reachable by broadcast only.
  * Factory reset: local control, output off, ceiling 30.000 V, output voltage
    5.000 V, current limit 1.000 A. The bus address is kept, so a reset never
    strands a script that talks to the supply by address; identity, load,
    over-temperature and fan speed are conditions of the unit, not settings,
    and are kept too.

Electrical model
----------------
The output drives one load, chosen with ``load`` (a :class:`Resistor`,
:class:`Led` or :class:`CurrentSink`, or a spec text) or, for a resistor,
with ``load_ohms``; :func:`parse_load` turns the command line's spec
(``OHMS``, ``open``, ``led``, ``cc``, ``cc:AMPS``) into ``{"load": ...}``
for the constructors and ``SupplyModel.configure``.

  * output off: 0 V, 0 A, regulation mode bits 0 (which a read-out decodes as
    neither CV nor CC, "XX");
  * output on: target = min(setpoint, ceiling); the supply holds the target
    (CV) as long as the load draws no more than the current limit there,
    otherwise it holds the limit (CC) and the voltage is whatever the load
    shows at that current;
  * resistor (``load_ohms``; None or inf is an open circuit, 0 a short):
    CV with I = V / R, or CC with V = limit * R;
  * LED: V = n*Vt * ln(1 + I / Is) + I * Rs with n*Vt = 0.054 V, Rs = 2 ohm
    and Is set so that 1 mA flows at 1.8 V (20 mA at 2.0 V); CV with the
    LED's current at the target, or CC with the LED's voltage at the limit.
    An I-V sweep bends at the knee instead of running straight;
  * constant-current sink (an electronic load, default 0.5 A): CV with
    I = the sink current (0 A at a 0 V target) while the limit covers it,
    otherwise CC at the limit with the output pulled down to 0 V;
  * values are rounded to whole mA / mV and clamped to the field widths.

The pty server
--------------
It closes its own slave fd at once (a holder would make ``lsof`` call the
port busy) and keeps serving while nobody has the port open and across
closes and re-opens. :attr:`VirtualSupply.port` is a symbolic link it owns
(in a private temporary directory unless a path is given); it is replaced
atomically on re-plug and removed on unplug and stop.

Framing and resynchronisation: bytes ahead of 0xAA are dropped; a 26-byte
candidate whose checksum fails loses its first byte and the search starts
again at the next 0xAA; a partial frame followed by 0.2 s of silence is
dropped. A well-formed frame for another address is consumed whole.

Line timing (``pacing=True``, the default) follows 4800 baud 8N1: a request
counts as received 26 byte times (54.17 ms) after its first byte arrived,
back-to-back requests queue behind each other, and the reply goes out one
byte every 2.083 ms on absolute deadlines from that moment. ``pacing=False``
answers at once and writes replies whole.

Faults (``VirtualSupply.inject``) change the reply only: the command itself
still takes effect. One fault applies per reply, the oldest armed one that
matches the command word; requests that would get no reply anyway do not
consume faults.
"""

from .model import (BROADCAST, COMMAND_NAMES, FRAME_LEN, RETURN_WORD, SYNC, CurrentSink, Led,
                    Load, Resistor, SupplyModel, build_frame, checksum, frame_ok, parse_load)
from .server import BYTE_TIME, FAULTS, FRAME_TIME, Exchange, Fault, VirtualSupply

__all__ = [
    "BROADCAST", "BYTE_TIME", "COMMAND_NAMES", "CurrentSink", "Exchange", "FAULTS", "FRAME_LEN",
    "FRAME_TIME", "Fault", "Led", "Load", "RETURN_WORD", "Resistor", "SYNC", "SupplyModel",
    "VirtualSupply", "build_frame", "checksum", "frame_ok", "parse_load",
]

"""The records of one supply (and the IOC's ``ALL:OFF``), made before ``iocInit``.

Setpoints carry HOPR (the software limit) and LOPR 0 so that screens show the limits, but never
DRVH/DRVL: a record clamps to those before the IOC sees the value, which would turn a refusal
into a smaller value sent to the supply. Readbacks take their timestamps from the reading
(TSE -2).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable

from .network import READBACK_ASG   # every record a client only reads

MODES = ("CV", "CC", "Off")
COMM_STATES = ("OK", "No reply", "No port", "Other supply")
MSG_LENGTH = 1024    # MSG:FULL: a refusal names value, limit and source, more than a stringin's 39 characters


@dataclass
class Handlers:
    """What a supply's writable records call: ``validate(field, record, value) -> bool`` (on the
    record's processing thread; nothing slow) and ``update(field, value)`` (a coroutine; the put
    completes when it returns)."""
    validate: Callable[[str, Any, Any], bool]
    update: Callable[[str, Any], Any]


@dataclass
class SupplyRecords:
    """Records by field name (``VOLT:SP``, ``MSG``, ...) of one supply."""
    base: str                                     # PREFIX + NAME + ":"
    by_field: dict[str, Any] = field(default_factory=dict)

    def __getitem__(self, name: str):
        return self.by_field[name]

    @property
    def readbacks(self) -> list:
        """Every record a reading fills (these go INVALID when the supply is silent)."""
        return [self.by_field[f] for f in READBACKS]


SETPOINTS = ("VOLT:SP", "CURR:SP", "VLIM:SP", "OUTP:SP")
READBACKS = ("VOLT:RBV", "VOLT:MEAS", "CURR:RBV", "CURR:MEAS", "VLIM:RBV", "POW:MEAS", "OUTP:RBV", "MODE",
             "TEMP:ALARM", "FAN", "CTRL")


def _in(fields: dict, stamped: bool = True) -> dict:
    if stamped:
        fields.setdefault("TSE", -2)
    fields.setdefault("ASG", READBACK_ASG)
    return fields


def build_supply(base: str, limits, handlers: Handlers) -> SupplyRecords:
    """Every record of one supply under ``base`` (``PREFIX`` + name + ``:``)."""
    from softioc import builder

    vmax = limits.voltage.value if limits.voltage is not None else None
    amax = limits.current.value if limits.current is not None else None
    recs = SupplyRecords(base)

    def out(kind: str, name: str, **fields):
        fn = getattr(builder, kind)
        recs.by_field[name] = fn(
            base + name, always_update=True, blocking=True,
            validate=lambda rec, value, _n=name: handlers.validate(_n, rec, value),
            on_update=lambda value, _n=name: handlers.update(_n, value), **fields)

    def analog(name: str, desc: str, egu: str, hopr, kind: str = "aIn"):
        limits_fields = {"LOPR": 0, "HOPR": hopr} if hopr is not None else {}
        if kind == "aOut":
            out("aOut", name, DESC=desc, EGU=egu, PREC=3, **limits_fields)
        else:
            recs.by_field[name] = builder.aIn(base + name, DESC=desc, EGU=egu, PREC=3, **_in(limits_fields))

    analog("VOLT:SP", "Output voltage setpoint", "V", vmax, "aOut")
    analog("VOLT:RBV", "Voltage setpoint read back", "V", vmax)
    analog("VOLT:MEAS", "Measured output voltage", "V", vmax)
    analog("CURR:SP", "Current limit setpoint", "A", amax, "aOut")
    analog("CURR:RBV", "Current limit read back", "A", amax)
    analog("CURR:MEAS", "Measured output current", "A", amax)
    analog("VLIM:SP", "Voltage ceiling setpoint", "V", vmax, "aOut")
    analog("VLIM:RBV", "Voltage ceiling read back", "V", vmax)
    analog("POW:MEAS", "Measured output power", "W",
           vmax * amax if vmax is not None and amax is not None else None)
    out("boolOut", "OUTP:SP", DESC="Output switch", ZNAM="Off", ONAM="On")
    r = builder
    recs.by_field["OUTP:RBV"] = r.boolIn(base + "OUTP:RBV", DESC="Output state read back", ZNAM="Off",
                                         ONAM="On", **_in({}))
    recs.by_field["MODE"] = r.mbbIn(base + "MODE", *MODES, DESC="Regulation: CV, CC or Off", **_in({}))
    recs.by_field["TEMP:ALARM"] = r.boolIn(base + "TEMP:ALARM", DESC="Over-temperature alarm", ZNAM="OK",
                                           ONAM="Alarm", OSV="MAJOR", **_in({}))
    recs.by_field["FAN"] = r.longIn(base + "FAN", DESC="Fan speed (0..7)", LOPR=0, HOPR=7, **_in({}))
    recs.by_field["IDN"] = r.stringIn(base + "IDN", DESC="Model, serial number, firmware", **_in({}, False))
    recs.by_field["COMM"] = r.mbbIn(base + "COMM", "OK", ("No reply", "MAJOR"), ("No port", "MAJOR"),
                                    ("Other supply", "MAJOR"), DESC="Communication with the supply", **_in({}))
    recs.by_field["CTRL"] = r.boolIn(base + "CTRL", DESC="Control: front panel or remote", ZNAM="Local",
                                     ONAM="Remote", **_in({}))
    recs.by_field["MSG"] = r.stringIn(base + "MSG", DESC="Last refusal or fault (cut: MSG:FULL)", **_in({}, False))
    recs.by_field["MSG:FULL"] = r.longStringIn(base + "MSG:FULL", DESC="Last refusal or fault, whole (long str)",
                                               length=MSG_LENGTH, **_in({}, False))
    out("boolOut", "OFF", DESC="1: output off (confirmed)", ZNAM="Idle", ONAM="Off", initial_value=0)
    return recs


def build_all_off(name: str, update: Callable[[Any], Any]):
    from softioc import builder
    return builder.boolOut(name, DESC="1: every output off (confirmed)", ZNAM="Idle", ONAM="Off",
                           initial_value=0, always_update=True, blocking=True, on_update=update)

"""Readings as a small typed record, and the events between two of them."""

from __future__ import annotations

import dataclasses
import datetime
from dataclasses import dataclass
from typing import Any, Mapping

#: The log's columns, in order (CSV header, JSON lines keys, ``Reading`` fields).
COLUMNS = ("time", "elapsed_s", "voltage_V", "current_A", "power_W", "voltage_set_V",
           "current_limit_A", "voltage_max_V", "output", "regulation", "work_mode",
           "over_temperature", "fan_speed", "status", "late_ms")

#: Reading.status: an answer; no reply to the status request; the port is missing or failed;
#: another supply (another serial number) answers at the port, while the expected one is awaited
OK, NO_REPLY, NO_PORT, OTHER_SUPPLY = "ok", "no_reply", "no_port", "other_supply"
STATUSES = (OK, NO_REPLY, NO_PORT, OTHER_SUPPLY)


def now_iso() -> str:
    """Wall-clock time with the local offset, to the millisecond."""
    return datetime.datetime.now().astimezone().isoformat(timespec="milliseconds")


@dataclass(frozen=True)
class Reading:
    """One status read-out. Measured and set values are ``None`` unless ``status == "ok"``."""
    time: str
    elapsed_s: float
    voltage_V: float | None = None
    current_A: float | None = None
    power_W: float | None = None
    voltage_set_V: float | None = None
    current_limit_A: float | None = None
    voltage_max_V: float | None = None
    output: str | None = None            # "on" / "off"
    regulation: str | None = None        # "CV" / "CC" ("XX": neither, as with the output off)
    work_mode: str | None = None         # "remote" / "local"
    over_temperature: bool | None = None
    fan_speed: int | None = None
    status: str = OK                     # "ok", "no_reply", "no_port", "other_supply"
    late_ms: float = 0.0
    #: with ``other_supply``: the identity of the supply that answers instead (not a log column)
    answering: str | None = dataclasses.field(default=None, compare=False)

    @property
    def ok(self) -> bool:
        return self.status == OK

    @classmethod
    def from_status(cls, status: Mapping[str, Any], *, time: str, elapsed_s: float) -> "Reading":
        """From the driver's read-out dictionary."""
        volts, amps = float(status["voltage_real"]), float(status["current_real"])
        return cls(time=time, elapsed_s=round(elapsed_s, 3), voltage_V=volts, current_A=amps,
                   power_W=round(volts * amps, 3), voltage_set_V=float(status["voltage_set"]),
                   current_limit_A=float(status["current_set"]),
                   voltage_max_V=float(status["voltage_max_set"]), output=status["out_status"],
                   regulation=status["out_mode"], work_mode=status["work_mode"],
                   over_temperature=bool(status["beyond_temp"]), fan_speed=int(status["fan_speed"]))

    @classmethod
    def missing(cls, status: str, *, time: str, elapsed_s: float, answering: str | None = None) -> "Reading":
        return cls(time=time, elapsed_s=round(elapsed_s, 3), status=status, answering=answering)

    def replace(self, **fields) -> "Reading":
        return dataclasses.replace(self, **fields)

    def as_dict(self) -> dict[str, Any]:
        return {name: getattr(self, name) for name in COLUMNS}

    def csv_row(self) -> list[str]:
        return [_csv(getattr(self, name)) for name in COLUMNS]


def _csv(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(round(value, 3))
    return str(value)


def identity_text(identity: Mapping[str, Any] | None) -> str:
    """``model 4181, serial number 076787041, firmware 373, bus address 1``."""
    i = identity or {}
    return (f"model {i.get('model')}, serial number {i.get('SN')}, firmware {i.get('soft_version')}, "
            f"bus address {i.get('address')}")


def volts(value: float | None) -> str:
    return "-" if value is None else f"{value:.3f} V"


def amps(value: float | None) -> str:
    return "-" if value is None else f"{value:.3f} A"


def watts(value: float | None) -> str:
    return "-" if value is None else f"{value:.3f} W"


def status_lines(reading: Reading) -> list[str]:
    """The read-out as ``zq4180 status`` prints it: measured beside set values."""
    if not reading.ok:
        return [f"Status: {_missing_text(reading)}"]
    r = reading
    return [
        f"Voltage: {volts(r.voltage_V)} [set {volts(r.voltage_set_V)}, ceiling {volts(r.voltage_max_V)}]",
        f"Current: {amps(r.current_A)} [limit {amps(r.current_limit_A)}]",
        f"Power: {watts(r.power_W)}",
        f"Output: {r.output}",
        f"Regulation: {r.regulation}",
        f"Control: {r.work_mode}",
        f"Temperature alarm: {'ON' if r.over_temperature else 'off'}",
        f"Fan: {r.fan_speed}",
    ]


def one_line(reading: Reading) -> str:
    """A reading on one line (``watch`` into a pipe)."""
    if not reading.ok:
        return f"{reading.time}  {_missing_text(reading)}"
    r = reading
    return (f"{r.time}  {volts(r.voltage_V)}  {amps(r.current_A)}  {watts(r.power_W)}  "
            f"output {r.output}  {r.regulation}  {r.work_mode}"
            + ("  OVER-TEMPERATURE" if r.over_temperature else ""))


def _missing_text(reading: Reading) -> str:
    text = STATUS_TEXT[reading.status]
    return f"{text} ({reading.answering})" if reading.answering else text


STATUS_TEXT = {OK: "ok", NO_REPLY: "no reply", NO_PORT: "port lost", OTHER_SUPPLY: "another supply answers"}


@dataclass(frozen=True)
class Event:
    """A change worth a line of its own: ``kind`` is output, regulation, mode,
    over_temperature, no_reply, answering, no_port, port_back or other_supply
    (another supply answers at the port; the text names it)."""
    time: str
    kind: str
    text: str

    def line(self) -> str:
        return f"{self.time}  EVENT {self.text}"


def changes(previous: Reading | None, current: Reading, last_ok: Reading | None = None) -> list[Event]:
    """Events from ``previous`` to ``current``; state changes are judged against
    ``last_ok`` (the latest reading that had an answer), default ``previous``."""
    events: list[Event] = []
    t = current.time
    if current.status == OTHER_SUPPLY and (previous is None or previous.status != OTHER_SUPPLY
                                           or previous.answering != current.answering):
        events.append(Event(t, "other_supply", f"another supply answers at the port: {current.answering}; "
                                               "waiting for the expected one"))
    elif previous is not None and previous.status != current.status:
        if current.status == NO_REPLY:
            events.append(Event(t, "no_reply", "no reply: the supply stopped answering"))
        elif current.status == NO_PORT:
            events.append(Event(t, "no_port", "port lost: the port disappeared or failed"))
        elif previous.status in (NO_PORT, OTHER_SUPPLY):
            events.append(Event(t, "port_back", "port back: the supply answers again"))
        else:
            events.append(Event(t, "answering", "answering: the supply answers again"))
    elif previous is None and not current.ok:
        kind = "no_reply" if current.status == NO_REPLY else "no_port"
        events.append(Event(t, kind, STATUS_TEXT[current.status]))
    base = last_ok if last_ok is not None else previous
    if current.ok and base is not None and base.ok:
        for field, kind, label in (("output", "output", "output"), ("regulation", "regulation", "regulation"),
                                   ("work_mode", "mode", "control"),
                                   ("over_temperature", "over_temperature", "temperature alarm")):
            old, new = getattr(base, field), getattr(current, field)
            if old != new:
                if field == "over_temperature":
                    old, new = ("ON" if old else "off"), ("ON" if new else "off")
                events.append(Event(t, kind, f"{label}: {old} -> {new}"))
    return events

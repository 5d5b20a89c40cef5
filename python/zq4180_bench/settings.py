"""Settings in a safe order, checked for the whole state the output is left in.

- Values over a limit are refused before anything is sent; when the output is
  on, or is switched on, the voltage it will deliver (the lower of set voltage
  and ceiling) and the current limit after the request must be within the
  limits, standing values included.
- Switching off takes the confirmed off path first; nothing else of the
  request goes out unless the off is confirmed.
- Before the output-on frame a status read must show the requested values
  taken and the delivered voltage and current limit within the limits.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from .errors import NoReply, SettingNotTaken
from .limits import check_number, milli
from .off import confirmed_off
from .readings import Reading

if TYPE_CHECKING:
    from .supply import Supply

TOLERANCE = 0.001         # a read-back within a milli-unit of the request matches

METHODS = {"mode": "set_work_mode", "output": "set_ouput_mode", "current": "set_out_current",
           "ceiling": "set_voltage_max", "voltage": "set_out_voltage"}
#: the setting a setpoint frame carries
SETPOINTS = {"set_out_voltage": "voltage", "set_voltage_max": "ceiling", "set_out_current": "current"}
_UNITS = {"voltage": "volts", "ceiling": "volts", "current": "amperes"}


@dataclass(frozen=True)
class Outcome:
    """One requested change beside what the supply reports afterwards."""
    name: str                 # "mode", "output", "current", "ceiling", "voltage"
    requested: Any
    readback: Any = None
    answered: bool = True     # the supply acknowledged the command
    sent: bool = True

    @property
    def ok(self) -> bool:
        if not (self.sent and self.answered) or self.readback is None:
            return False
        if isinstance(self.requested, float):
            return abs(self.readback - self.requested) < TOLERANCE - 1e-9
        return self.readback == self.requested

    def text(self) -> str:
        unit = {"current": "A", "ceiling": "V", "voltage": "V"}.get(self.name)
        label = {"mode": "Mode", "output": "Output", "current": "Current limit",
                 "ceiling": "Ceiling", "voltage": "Voltage"}[self.name]

        def show(v):
            return f"{v:.3f} {unit}" if unit and v is not None else str(v)
        if not self.sent:
            result = "not sent (an earlier step failed)"
        elif not self.answered:
            result = "no reply"
        elif self.readback is None:
            result = "no read-back"
        else:
            result = show(self.readback) + ("" if self.ok else "  DIFFERS")
        return f"{label + ':':15s}request {show(self.requested)}, read back {result}"


def wire(value: float) -> float:
    """The float that reaches the supply as exactly ``round(value × 1000)``
    milli-units: the driver truncates toward zero, so half a unit is added."""
    return (milli(value) + 0.5) / 1000 if milli(value) > 0 else 0.0


def check_request(supply: "Supply", *, voltage: float | None = None, current: float | None = None,
                  ceiling: float | None = None, output: str | None = None,
                  state: Reading | None = None) -> dict[str, float]:
    """The requested values rounded to whole milli-units, or ValueError / LimitError as
    :meth:`Supply.apply` raises them before sending anything. Standing values are judged
    from ``state`` (skipped when it has no answer)."""
    if output is not None and output not in ("on", "off"):
        raise ValueError(f"output must be 'on' or 'off', got {output!r}")
    values: dict[str, float] = {}
    for name, value in (("voltage", voltage), ("current", current), ("ceiling", ceiling)):
        if value is not None:
            values[name] = milli(check_number(name, value, _UNITS[name])) / 1000
    for name, value in values.items():
        supply.limits.check_value(name, milli(value))
    if output == "off" or state is None or not state.ok:
        return values
    stays_on = output == "on" or (state.output == "on" and bool(values))
    if not stays_on:      # a read, a switch-off or a mode change is never refused for standing values
        return values
    what = "switching the output on" if output == "on" and state.output != "on" else "with the output on"
    standing_v, standing_c, standing_i = setpoints(state)
    volts = values.get("voltage", standing_v)
    ceil = values.get("ceiling", standing_c)
    delivered = "voltage" if volts <= ceil else "ceiling"
    supply.limits.check_value(delivered, milli(min(volts, ceil)), what=what,
                              standing=delivered not in values)
    supply.limits.check_value("current", milli(values.get("current", standing_i)), what=what,
                              standing="current" not in values)
    return values


def apply(supply: "Supply", *, voltage: float | None = None, current: float | None = None,
          ceiling: float | None = None, output: str | None = None,
          mode: str | None = None, before: Reading | None = None) -> list[Outcome]:
    if mode is not None and mode not in ("remote", "local"):
        raise ValueError(f"mode must be 'remote' or 'local', got {mode!r}")
    values = check_request(supply, voltage=voltage, current=current, ceiling=ceiling, output=output)
    off_reading = None
    if output == "off":
        off_reading = confirmed_off(supply).reading
        before = off_reading
    elif before is None or not before.ok:   # a caller's fresh reading saves an exchange
        before = supply.read_ok()
    if before is None:      # a confirmed off always has its status read
        raise RuntimeError("no status read to judge the request by")
    check_request(supply, output=output, state=before, **values)

    steps: list[tuple[str, Any]] = []
    if values or output == "on" or mode == "remote":
        steps.append(("mode", "remote"))
    if "current" in values:
        steps.append(("current", values["current"]))
    steps += _voltage_order(before, values.get("ceiling"), values.get("voltage"))
    if output == "on":
        steps += [("taken", None), ("output", "on")]
    if mode == "local":
        steps.append(("mode", "local"))
    # per kind of step, as its last occurrence went (mode: "remote" first, "local" last)
    answered: dict[str, bool] = {"output": True} if output == "off" else {}
    sent: dict[str, bool] = dict(answered)
    failed = False
    for name, value in steps:
        sent[name] = not failed
        if failed:
            answered[name] = False
            continue
        if name == "taken":
            ok = _check_taken(supply, values)
        else:
            ok = bool(supply.call(METHODS[name], value if name in ("mode", "output") else wire(value)))
        answered[name] = ok
        failed = not ok
    after = off_reading if not steps else supply.read()
    requests = {"mode": mode, "output": output, **values}
    # in the order sent: each kind where its (last) step stands; the off comes first
    order = {name: i for i, (name, _) in enumerate(steps)}
    if output == "off":
        order["output"] = -1
    outcomes = []
    for name in sorted((n for n, v in requests.items() if v is not None), key=lambda n: order[n]):
        readback = None
        if after is not None and after.ok:
            readback = {"mode": after.work_mode, "output": after.output, "current": after.current_limit_A,
                        "ceiling": after.voltage_max_V, "voltage": after.voltage_set_V}[name]
        outcomes.append(Outcome(name, requests[name], readback, answered=answered.get(name, False),
                                sent=sent.get(name, False)))
    return outcomes


def switch_on(supply: "Supply", *, current: float | None = None, voltage: float | None = None,
              before: Reading | None = None, what: str = "switching on") -> None:
    """The output on (after ``current`` and ``voltage``, when given) through :func:`apply`, which
    judges the whole state and reads the status before the output-on frame. NoReply or
    SettingNotTaken when any step was not confirmed; the output is then not switched on."""
    outcomes = apply(supply, current=current, voltage=voltage, output="on", before=before)
    for outcome in outcomes:
        if not outcome.ok:
            text = f"{supply.port}: {what}: {' '.join(outcome.text().split())}"
            if not (outcome.sent and outcome.answered):
                raise NoReply(text)
            raise SettingNotTaken(text, outcome.name)


def _check_taken(supply: "Supply", values: dict[str, float]) -> bool:
    """The status read before the output-on frame: False without an answer; SettingNotTaken when
    a requested value did not take or what the output would deliver is over a limit."""
    reading = supply.read()
    if not reading.ok:
        return False
    set_v, set_c, set_i = setpoints(reading)
    shown = {"voltage": set_v, "ceiling": set_c, "current": set_i}
    units = {"voltage": "V", "ceiling": "V", "current": "A"}
    labels = {"voltage": "voltage", "ceiling": "ceiling", "current": "current limit"}
    for name, value in values.items():
        if abs(shown[name] - value) >= TOLERANCE - 1e-9:
            raise SettingNotTaken(
                f"{supply.port}: the {labels[name]} did not take: {value:.3f} {units[name]} was set, the supply "
                f"reports {shown[name]:.3f} {units[name]}; the output was not switched on", name, reading)
    delivered = "voltage" if shown["voltage"] <= shown["ceiling"] else "ceiling"
    for name, value in ((delivered, min(shown["voltage"], shown["ceiling"])), ("current", shown["current"])):
        limit = supply.limits.limit_of(name)
        if limit is not None and limit.over(milli(value)):
            raise SettingNotTaken(
                f"{supply.port}: the supply reports {labels[name]} {value:.3f} {units[name]}, over the limit "
                f"{limit.value:.3f} {units[name]} (from {limit.source}); the output was not switched on",
                name, reading)
    return True


def setpoints(reading: Reading) -> tuple[float, float, float]:
    """(set voltage, ceiling, current limit) of a reading with an answer."""
    v, c, i = reading.voltage_set_V, reading.voltage_max_V, reading.current_limit_A
    if v is None or c is None or i is None:
        raise ValueError(f"a reading without its setpoints (status {reading.status})")
    return v, c, i


def _voltage_order(before: Reading, ceiling: float | None, voltage: float | None) -> list[tuple[str, Any]]:
    if ceiling is None and voltage is None:
        return []
    if ceiling is None:
        return [("voltage", voltage)]
    if voltage is None:
        return [("ceiling", ceiling)]
    # the output follows min(ceiling, voltage): take the order whose midway value is lower
    set_v, set_c, _ = setpoints(before)
    via_ceiling_first = min(ceiling, set_v)
    via_voltage_first = min(set_c, voltage)
    if via_ceiling_first <= via_voltage_first:
        return [("ceiling", ceiling), ("voltage", voltage)]
    return [("voltage", voltage), ("ceiling", ceiling)]

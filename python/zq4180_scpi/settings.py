"""Settings, setting queries and measurements. Settings go through the bench library (limits,
safe order, switch-on checks, the confirmed off); a refused one sends nothing."""

from __future__ import annotations

from zq4180_bench.numbers import WIRE_MAX

from .errors import NO_REPLY_TEXT, PORT_LOST_TEXT, ScpiError
from .parse import boolean, number, word
from .session import Session, count
from .station import JobCancelled

CURRENT_FIELD_MAX = 65.535     # A: the largest current limit the supply reports (16-bit field)

#: the SCPI command that sets each of the library's settings (to name a fix)
_COMMAND_OF = {"voltage": "VOLT", "ceiling": "VOLT:LIM", "current": "CURR"}
_LABEL = {"voltage": "voltage", "ceiling": "ceiling", "current": "current limit", "output": "output",
          "mode": "control"}


def failure(exc: BaseException, station, *, switching_on: bool = False) -> ScpiError:
    """The SCPI error for what a library call raised."""
    from zq4180_bench import LimitError, NoReply, QueueFull, SupplyError, SupplyLost
    from zq4180_bench.errors import OffNotConfirmed, SettingNotTaken
    if isinstance(exc, LimitError):
        fix = getattr(exc, "fix", None)
        setting = getattr(exc, "setting", None)
        text = str(exc)
        if fix is not None and setting in _COMMAND_OF:
            text += f" (send {_COMMAND_OF[setting]} {fix:.3f} first)"
        return ScpiError(-221 if switching_on or fix is not None else -222, text)
    if isinstance(exc, SettingNotTaken):
        return ScpiError(-221, str(exc))
    if isinstance(exc, OffNotConfirmed):
        return ScpiError(-240, f"{station.name}: {exc.result.message()}")
    if isinstance(exc, SupplyLost):
        return ScpiError(-241, PORT_LOST_TEXT)
    if isinstance(exc, NoReply):
        return ScpiError(-240, NO_REPLY_TEXT)
    if isinstance(exc, JobCancelled):
        return ScpiError(-221, "not run: an output off from another connection went ahead of it")
    if isinstance(exc, QueueFull):
        return ScpiError(-300, "too many requests wait for this supply; try again")
    if isinstance(exc, SupplyError):
        return ScpiError(-240, str(exc))
    if isinstance(exc, ValueError):
        return ScpiError(-222, str(exc))
    raise exc


async def apply_request(s: Session, **request) -> None:
    """One setting through ``Supply.apply``: checked before it is queued, then applied and read back."""
    station = s.station
    values = {k: v for k, v in request.items() if k in ("voltage", "current", "ceiling")}
    switching_on = request.get("output") == "on"
    try:
        if values:
            station.supply.check_request(**values)
        outcomes = await station.apply(**request)
    except Exception as exc:              # JobCancelled included
        raise failure(exc, station, switching_on=switching_on) from None
    finally:
        s.changed()
    for outcome in outcomes:
        if outcome.ok:
            continue
        if not (outcome.sent and outcome.answered) or outcome.readback is None:
            raise ScpiError(-240, NO_REPLY_TEXT)
        label = _LABEL.get(outcome.name, outcome.name)
        shown = (lambda v: f"{v:.3f}") if isinstance(outcome.requested, float) else str
        raise ScpiError(-240, f"the {label} read back {shown(outcome.readback)}, not {shown(outcome.requested)}")


async def switch_off(s: Session) -> None:
    result = await s.station.off()
    s.changed()
    if not result.confirmed:
        reading = result.reading          # the last read that got through, when the port went since
        lost = (not getattr(s.station.supply, "connected", True) or reading is None
                or (not reading.ok and reading.status != "no_reply"))
        raise ScpiError(-241 if lost else -240, f"{s.station.name}: {result.message()}")


# -- settings ----------------------------------------------------------------------------------

def bounds(s: Session, setting: str) -> dict[str, float]:
    """MIN, MAX and DEF of a setting: MAX is the limit in force, else the largest value the supply takes."""
    limits = s.station.supply.limits
    if setting == "current":
        top = limits.current.value if limits.current is not None else CURRENT_FIELD_MAX
        return {"MIN": 0.0, "MAX": top, "DEF": 0.0}
    top = limits.voltage.value if limits.voltage is not None else WIRE_MAX
    return {"MIN": 0.0, "MAX": top, "DEF": top if setting == "ceiling" else 0.0}


_NAMED = ("MIN", "MINIMUM", "MAX", "MAXIMUM", "DEF", "DEFAULT")


def value_of(s: Session, param, setting: str, unit: str, what: str) -> float:
    named = word(param)
    if named is not None:
        table = bounds(s, setting)
        if named in _NAMED:
            return table[named[:3]]
        raise ScpiError(-104, f"{what} takes a number of {unit}, MIN, MAX or DEF, got {param.text}")
    value = number(param, unit, what)
    if setting == "current" and value > CURRENT_FIELD_MAX:
        # the supply would hold its largest value instead: out of range, nothing sent
        raise ScpiError(-222, f"current limit {value:.3f} A is over {CURRENT_FIELD_MAX:.3f} A, the largest the "
                              "supply takes")
    return value


def _fmt(value: float) -> str:
    return f"{value:.3f}"


async def _setpoint(s: Session, query: bool, params, setting: str, field: str, unit: str, what: str):
    if query:
        count(params, 0, 1, what + "?")
        if params:
            named = word(params[0])
            if named not in _NAMED:
                raise ScpiError(-224, f"{what}? takes MIN, MAX or DEF, got {params[0].text}")
            return _fmt(bounds(s, setting)[named[:3]])
        r = await s.line_reading()
        return _fmt(getattr(r, field)) if r.ok else s.unanswered(r)
    count(params, 1, 1, what)
    await apply_request(s, **{setting: value_of(s, params[0], setting, unit, what)})


async def voltage(s, query, params):
    return await _setpoint(s, query, params, "voltage", "voltage_set_V", "V", "VOLTage")


async def ceiling(s, query, params):
    return await _setpoint(s, query, params, "ceiling", "voltage_max_V", "V", "VOLTage:LIMit")


async def current(s, query, params):
    return await _setpoint(s, query, params, "current", "current_limit_A", "A", "CURRent")


async def apply(s, query, params):
    if query:
        count(params, 0, 0, "APPLy?")
        r = await s.line_reading()
        if not r.ok:
            nan = s.unanswered(r)
            return f"{nan},{nan}"
        return f"{_fmt(r.voltage_set_V)},{_fmt(r.current_limit_A)}"
    count(params, 1, 2, "APPLy")
    request = {"voltage": value_of(s, params[0], "voltage", "V", "APPLy voltage")}
    if len(params) == 2:
        request["current"] = value_of(s, params[1], "current", "A", "APPLy current")
    await apply_request(s, **request)


async def output(s, query, params):
    if query:
        count(params, 0, 0, "OUTPut?")
        r = await s.line_reading()
        return ("1" if r.output == "on" else "0") if r.ok else s.unanswered(r)
    count(params, 1, 1, "OUTPut")
    if boolean(params[0], "OUTPut"):
        await apply_request(s, output="on")
    else:
        await switch_off(s)


async def output_mode(s, query, params):
    count(params, 0, 0, "OUTPut:MODE?")
    r = await s.line_reading()
    if not r.ok:
        return s.unanswered(r)
    if r.output != "on":
        return "OFF"
    return "CC" if r.regulation == "CC" else "CV"


# -- measurements ----------------------------------------------------------------------------------

def measured(field: str, what: str, fresh: bool):
    async def handler(s, query, params):
        count(params, 0, 0, what)
        r = await s.line_reading() if fresh else s.station.last()
        if r is None:
            return s.unanswered(None)
        return _fmt(getattr(r, field)) if r.ok else s.unanswered(r)
    return handler

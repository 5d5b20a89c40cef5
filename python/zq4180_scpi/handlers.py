"""What each command does. Settings go through the bench library (limits, safe order,
switch-on checks, the confirmed off); a refused one sends nothing."""

from __future__ import annotations

from zq4180_bench.numbers import WIRE_MAX

from .errors import ESR_OPC, NO_REPLY_TEXT, PORT_LOST_TEXT, ErrorQueue, ScpiError
from .parse import boolean, number, register_value, word
from .session import NAN, Session, count
from .station import JobCancelled

MAKER = "ZQ4180"
SCPI_VERSION = "1999.0"
CURRENT_FIELD_MAX = 65.535     # A: the largest current limit the supply reports (16-bit field)

# condition register bits
OPER_CV, OPER_CC = 1 << 8, 1 << 10
QUES_CURRENT, QUES_TEMPERATURE, QUES_UNANSWERED = 1 << 1, 1 << 4, 1 << 9

#: the SCPI command that sets each of the library's settings (to name a fix)
_COMMAND_OF = {"voltage": "VOLT", "ceiling": "VOLT:LIM", "current": "CURR"}
_LABEL = {"voltage": "voltage", "ceiling": "ceiling", "current": "current limit", "output": "output",
          "mode": "control"}


def failure(exc: BaseException, station, *, switching_on: bool = False) -> ScpiError:
    """The SCPI error for what a library call raised."""
    from zq4180_bench import LimitError, NoReply, SupplyError, SupplyLost
    from zq4180_bench.errors import OffNotConfirmed, SettingNotTaken
    try:
        from zq4180_bench import QueueFull
    except ImportError:  # pragma: no cover - an older library
        QueueFull = ()  # type: ignore[assignment]
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
    if QueueFull and isinstance(exc, QueueFull):
        return ScpiError(-300, "too many requests wait for this supply; try again")
    if isinstance(exc, SupplyError):
        return ScpiError(-240, str(exc))
    if isinstance(exc, ValueError):
        return ScpiError(-222, str(exc))
    raise exc


async def _apply(s: Session, **request) -> None:
    """One setting through ``Supply.apply``: checked before it is queued, then applied and read back."""
    station = s.station
    values = {k: v for k, v in request.items() if k in ("voltage", "current", "ceiling")}
    switching_on = request.get("output") == "on"
    try:
        if values:
            station.supply.check_request(**values)
        outcomes = await station.apply(**request)
    except (Exception, JobCancelled) as exc:
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


async def _off(s: Session) -> None:
    result = await s.station.off()
    s.changed()
    if not result.confirmed:
        raise ScpiError(-240, f"{s.station.name}: {result.message()}")


# -- IEEE 488.2 common commands --------------------------------------------------------------

async def idn(s, query, params):
    count(params, 0, 0, "*IDN?")
    identity = s.station.supply.identity or {}

    def field(key):
        value = identity.get(key)
        return "0" if value is None else str(value).replace(",", " ").replace(";", " ").strip() or "0"
    return ",".join((MAKER, field("model"), field("SN"), field("soft_version")))


async def rst(s, query, params):
    count(params, 0, 0, "*RST")
    await _off(s)
    await _apply(s, voltage=0.0)


async def cls(s, query, params):
    count(params, 0, 0, "*CLS")
    s.errors.clear()
    s.esr = 0


async def ese(s, query, params):
    if query:
        count(params, 0, 0, "*ESE?")
        return str(s.ese)
    count(params, 1, 1, "*ESE")
    s.ese = register_value(params[0], "*ESE")


async def esr(s, query, params):
    count(params, 0, 0, "*ESR?")
    value, s.esr = s.esr, 0
    return str(value)


async def sre(s, query, params):
    if query:
        count(params, 0, 0, "*SRE?")
        return str(s.sre)
    count(params, 1, 1, "*SRE")
    s.sre = register_value(params[0], "*SRE") & ~0x40


async def stb(s, query, params):
    count(params, 0, 0, "*STB?")
    value = 0
    if len(s.errors):
        value |= 0x04                  # error/event queue not empty
    if s.pending_replies:
        value |= 0x10                  # message available
    if s.esr & s.ese:
        value |= 0x20                  # event status summary
    if value & s.sre:
        value |= 0x40                  # master summary
    return str(value)


async def opc(s, query, params):
    count(params, 0, 0, "*OPC?" if query else "*OPC")
    # every earlier command of this connection has been applied and read back before this one runs
    if query:
        return "1"
    s.esr |= ESR_OPC


async def wai(s, query, params):
    count(params, 0, 0, "*WAI")


async def tst(s, query, params):
    count(params, 0, 0, "*TST?")
    reading = await s.line_reading()
    return "0" if reading.ok else "1"


# -- SYSTem and STATus ---------------------------------------------------------------------

async def error_next(s, query, params):
    count(params, 0, 0, "SYSTem:ERRor?")
    return ErrorQueue.format(s.errors.pop())


async def error_count(s, query, params):
    count(params, 0, 0, "SYSTem:ERRor:COUNt?")
    return str(len(s.errors))


async def version(s, query, params):
    count(params, 0, 0, "SYSTem:VERSion?")
    return SCPI_VERSION


async def remote(s, query, params):
    count(params, 0, 0, "SYSTem:REMote")
    await _apply(s, mode="remote")


async def local(s, query, params):
    count(params, 0, 0, "SYSTem:LOCal")
    await _apply(s, mode="local")


async def questionable(s, query, params):
    count(params, 0, 0, "STATus:QUEStionable:CONDition?")
    r = await s.line_reading()
    if not r.ok:
        return str(QUES_UNANSWERED)
    cc = r.output == "on" and r.regulation == "CC"
    return str((QUES_CURRENT if cc else 0) | (QUES_TEMPERATURE if r.over_temperature else 0))


async def operation(s, query, params):
    count(params, 0, 0, "STATus:OPERation:CONDition?")
    r = await s.line_reading()
    if not r.ok or r.output != "on":
        return "0"
    return str({"CV": OPER_CV, "CC": OPER_CC}.get(r.regulation, 0))


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
    return number(param, unit, what)


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
    await _apply(s, **{setting: value_of(s, params[0], setting, unit, what)})


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
    await _apply(s, **request)


async def output(s, query, params):
    if query:
        count(params, 0, 0, "OUTPut?")
        r = await s.line_reading()
        return ("1" if r.output == "on" else "0") if r.ok else s.unanswered(r)
    count(params, 1, 1, "OUTPut")
    if boolean(params[0], "OUTPut"):
        await _apply(s, output="on")
    else:
        await _off(s)


async def output_mode(s, query, params):
    count(params, 0, 0, "OUTPut:MODE?")
    r = await s.line_reading()
    if not r.ok:
        return s.unanswered(r)
    if r.output != "on":
        return "OFF"
    return "CC" if r.regulation == "CC" else "CV"


# -- measurements ----------------------------------------------------------------------------------

def _measured(field: str, what: str, fresh: bool):
    async def handler(s, query, params):
        count(params, 0, 0, what)
        r = await s.line_reading() if fresh else s.station.last()
        if r is None:
            return s.unanswered(None)
        return _fmt(getattr(r, field)) if r.ok else s.unanswered(r)
    return handler


HANDLERS = {
    "idn": idn, "rst": rst, "cls": cls, "ese": ese, "esr": esr, "sre": sre, "stb": stb, "opc": opc,
    "wai": wai, "tst": tst, "error_next": error_next, "error_count": error_count, "version": version,
    "remote": remote, "local": local, "questionable": questionable, "operation": operation,
    "voltage": voltage, "ceiling": ceiling, "current": current, "apply": apply, "output": output,
    "output_mode": output_mode,
    "meas_voltage": _measured("voltage_V", "MEASure:VOLTage?", True),
    "meas_current": _measured("current_A", "MEASure:CURRent?", True),
    "meas_power": _measured("power_W", "MEASure:POWer?", True),
    "fetch_voltage": _measured("voltage_V", "FETCh:VOLTage?", False),
    "fetch_current": _measured("current_A", "FETCh:CURRent?", False),
    "fetch_power": _measured("power_W", "FETCh:POWer?", False),
}

"""IEEE 488.2 common commands, SYSTem and STATus: the connection's own registers and the supply's state."""

from __future__ import annotations

from .errors import ESR_OPC, ErrorQueue
from .parse import register_value
from .session import count
from .settings import apply_request, switch_off

MAKER = "ZQ4180"
SCPI_VERSION = "1999.0"

# condition register bits
OPER_CV, OPER_CC = 1 << 8, 1 << 10
QUES_CURRENT, QUES_TEMPERATURE, QUES_UNANSWERED = 1 << 1, 1 << 4, 1 << 9


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
    await switch_off(s)
    await apply_request(s, voltage=0.0)


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
    await apply_request(s, mode="remote")


async def local(s, query, params):
    count(params, 0, 0, "SYSTem:LOCal")
    await apply_request(s, mode="local")


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

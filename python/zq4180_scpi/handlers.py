"""Each command table entry's handler: ``handler(session, query, params) -> reply or None``."""

from __future__ import annotations

from . import common, settings

HANDLERS = {
    "idn": common.idn, "rst": common.rst, "cls": common.cls, "ese": common.ese, "esr": common.esr,
    "sre": common.sre, "stb": common.stb, "opc": common.opc, "wai": common.wai, "tst": common.tst,
    "error_next": common.error_next, "error_count": common.error_count, "version": common.version,
    "remote": common.remote, "local": common.local, "questionable": common.questionable,
    "operation": common.operation,
    "voltage": settings.voltage, "ceiling": settings.ceiling, "current": settings.current,
    "apply": settings.apply, "output": settings.output, "output_mode": settings.output_mode,
    "meas_voltage": settings.measured("voltage_V", "MEASure:VOLTage?", fresh=True),
    "meas_current": settings.measured("current_A", "MEASure:CURRent?", fresh=True),
    "meas_power": settings.measured("power_W", "MEASure:POWer?", fresh=True),
    "fetch_voltage": settings.measured("voltage_V", "FETCh:VOLTage?", fresh=False),
    "fetch_current": settings.measured("current_A", "FETCh:CURRent?", fresh=False),
    "fetch_power": settings.measured("power_W", "FETCh:POWer?", fresh=False),
}

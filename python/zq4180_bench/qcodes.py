"""A QCoDeS instrument for a zq4100-series supply, driven through the bench library.

::

    from zq4180_bench.qcodes import ZQ4180
    psu = ZQ4180("psu", "/dev/ttyUSB0", max_voltage=12, max_current=1)
    psu.current_limit(0.5)
    psu.voltage.step, psu.voltage.inter_delay = 0.1, 0.05   # a software ramp
    psu.voltage(5)
    psu.output("on")
    print(psu.voltage_measured(), psu.current_measured())
    psu.close()          # frees the port; the output stays as it is

``supply`` is a port, an ``rfc2217://`` URL, a configured name or a serial number,
or ``"sim"`` / ``"sim:LOAD"`` for a virtual supply that lives as long as the
instrument (no hardware needed; LOAD: ``10`` ohms, ``open``, ``led``, ``cc:0.2``).

Every setting goes through ``Supply.apply`` on the port's one owner (the
library's worker): limits, the safe order, the switch-on check and the
confirmed off. Values over a limit raise ``ValueError`` (the library's
``LimitError``) before anything is sent. Constructing the instrument reads the
identity and the status and changes nothing; ``close()`` and the end of the
process leave the output as it is.
"""

from __future__ import annotations

import contextlib
import threading
import time
from typing import Any, Iterator

try:
    from qcodes.instrument import Instrument
    from qcodes.parameters import Parameter
    from qcodes import validators as vals
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("the QCoDeS instrument needs QCoDeS: pip install 'zq4180[qcodes]'") from exc

from .errors import SupplyError
from .inprocess import Owner, regulation
from .readings import Reading

#: the largest value the wire's 32-bit milli-unit field carries, and the current limit's 16 bits
WIRE_MAX_VOLTS = 0xFFFFFFFF / 1000
WIRE_MAX_AMPS = 65.535
VENDOR = "zq4180"

_OUTPUT_WORDS = {"on": "on", "off": "off", "ON": "on", "OFF": "off", True: "on", False: "off"}


class SupplyParameter(Parameter):
    """A setting of the supply: validated by the library's rules (standing values
    included) on top of the parameter's own validators, before anything is sent."""

    def __init__(self, name: str, *, setting: str, **kwargs: Any) -> None:
        self.setting = setting
        super().__init__(name, **kwargs)

    def validate(self, value: Any) -> None:
        instrument = self.instrument
        if isinstance(instrument, ZQ4180):     # the library's words first: they name the limit's source
            if self.setting == "output":
                super().validate(value)
                value = _OUTPUT_WORDS[value]
            instrument.check(**{self.setting: value})
        super().validate(value)

    def get_ramp_values(self, value, step=None):
        if step is not None:
            self.get()        # a ramp starts from the setpoint the supply holds, not from a cached value
        return super().get_ramp_values(value, step=step)


class ZQ4180(Instrument):
    """A zq4100-series supply as a QCoDeS instrument (see the module's text)."""

    def __init__(self, name: str, supply: str | None = None, *, max_voltage: float | None = None,
                 max_current: float | None = None, config: Any = None, **kwargs: Any) -> None:
        address = kwargs.pop("address", None)      # Station YAML's `address:` key
        if supply is None:
            supply = address
        if supply is None:
            raise TypeError("ZQ4180 needs a supply: a port, URL, configured name, serial number or 'sim'")
        self._pinned = threading.local()
        began = time.time()
        self._owner = Owner(supply, max_voltage=max_voltage, max_current=max_current, config=config,
                            name=name)
        try:
            super().__init__(name, **kwargs)
            self._add_parameters()
        except BaseException:
            self._owner.close()
            raise
        self.connect_message(begin_time=began)

    # -- parameters ---------------------------------------------------------------------

    def _add_parameters(self) -> None:
        limits = self._owner.supply.limits
        volts_max = limits.voltage.value if limits.voltage else WIRE_MAX_VOLTS
        amps_max = limits.current.value if limits.current else WIRE_MAX_AMPS

        def setting(name, field, label, unit, validator, apply_as):
            self.add_parameter(name, parameter_class=SupplyParameter, setting=apply_as, label=label, unit=unit,
                               vals=validator, get_cmd=lambda: getattr(self._state(), field),
                               set_cmd=lambda value: self._apply(**{apply_as: value}))

        setting("voltage", "voltage_set_V", "Voltage setpoint", "V", vals.Numbers(0, volts_max), "voltage")
        setting("current_limit", "current_limit_A", "Current limit", "A", vals.Numbers(0, amps_max), "current")
        setting("ceiling", "voltage_max_V", "Voltage ceiling", "V", vals.Numbers(0, volts_max), "ceiling")
        self.add_parameter("output", parameter_class=SupplyParameter, setting="output", label="Output",
                           vals=vals.Enum(*_OUTPUT_WORDS), get_cmd=lambda: self._state().output,
                           set_cmd=lambda value: self._apply(output=_OUTPUT_WORDS[value]),
                           docstring="'on' or 'off' (True / False also set it); off is confirmed by a read")
        self.add_parameter("remote", label="Remote control", vals=vals.Bool(),
                           get_cmd=lambda: self._state().work_mode == "remote",
                           set_cmd=lambda value: self._apply(mode="remote" if value else "local"),
                           docstring="True: remote control (front panel locked); False: local control")
        for name, get, label, unit, validator in (
                ("voltage_measured", lambda r: r.voltage_V, "Measured voltage", "V", vals.Numbers()),
                ("current_measured", lambda r: r.current_A, "Measured current", "A", vals.Numbers()),
                ("power_measured", lambda r: r.power_W, "Measured power", "W", vals.Numbers()),
                ("regulation", regulation, "Regulation (CV, CC or OFF)", "", vals.Strings()),
                # 1 / 0 rather than True / False: a dataset takes numbers, not booleans
                ("temperature_alarm", lambda r: int(r.over_temperature), "Temperature alarm (1: alarm)", "",
                 vals.Ints(0, 1)),
                ("fan", lambda r: r.fan_speed, "Fan speed (0..7)", "", vals.Ints(0, 7))):
            self.add_parameter(name, label=label, unit=unit, set_cmd=False, vals=validator,
                               get_cmd=lambda get=get: get(self._state()))

    # -- the supply ---------------------------------------------------------------------

    @property
    def owner(self) -> Owner:
        """The library's side: ``owner.supply`` (limits, identity) and ``owner.worker``."""
        return self._owner

    def _state(self) -> Reading:
        """The reading this get belongs to: pinned by a snapshot, else fresh (shared
        by the gets of one sweep point), else one new status exchange."""
        pinned = getattr(self._pinned, "reading", None)
        if isinstance(pinned, BaseException):
            raise pinned
        return pinned if pinned is not None else self._owner.reading()

    @contextlib.contextmanager
    def _pin(self, reading: Reading | BaseException) -> Iterator[None]:
        self._pinned.reading = reading
        try:
            yield
        finally:
            self._pinned.reading = None

    def check(self, **request: Any) -> None:
        """LimitError / ValueError for what a setting would be refused for; nothing sent."""
        self._owner.check(**request)

    def _apply(self, **changes: Any) -> None:
        self._owner.apply(**changes)

    def snapshot_base(self, update: bool | None = False, params_to_skip_update=None) -> dict:
        if not update:
            return super().snapshot_base(update=update, params_to_skip_update=params_to_skip_update)
        try:
            reading: Reading | BaseException = self._owner.reading()   # one exchange for every parameter
        except SupplyError as exc:
            reading = exc        # each parameter fails at once; QCoDeS keeps its last value in the snapshot
        with self._pin(reading):
            return super().snapshot_base(update=update, params_to_skip_update=params_to_skip_update)

    def get_idn(self) -> dict[str, str | None]:
        identity = self._owner.identity
        return {"vendor": VENDOR, "model": _text(identity.get("model")), "serial": _text(identity.get("SN")),
                "firmware": _text(identity.get("soft_version"))}

    def off(self):
        """The confirmed off, ahead of anything queued; the library's OffResult
        (``.confirmed``, ``.message()``)."""
        return self._owner.off()

    def close(self) -> None:
        """Free the port; the output stays as it is."""
        owner = getattr(self, "_owner", None)
        try:
            if owner is not None:
                owner.close()
        finally:
            super().close()


def _text(value: Any) -> str | None:
    return None if value is None else str(value)

"""``ZQ4180Supply``: a supply in this process as an ophyd-async device.

The driver's exchanges run on the port's one owner (the library's worker
thread); the event loop only waits for them. Every setting goes through
``Supply.apply``; the off through the library's confirmed off.
"""

from __future__ import annotations

import asyncio
from functools import cached_property
from typing import Any

from ophyd_async.core import (AsyncStatus, DeviceConnector, DeviceMock, MovableLogic, SignalR, SignalRW,
                              SoftSignalBackend, StandardMovable, StandardReadable, StandardReadableFormat,
                              StrictEnum)

from ..inprocess import JOB_TIMEOUT_S, Owner, answered, regulation
from ..limits import Limits, check_number, milli
from ..errors import SupplyLost
from ..readings import Reading
from .batch import Batcher

Format = StandardReadableFormat


class Output(StrictEnum):
    ON = "on"
    OFF = "off"


class Control(StrictEnum):
    REMOTE = "remote"
    LOCAL = "local"


class Regulation(StrictEnum):
    CV = "CV"
    CC = "CC"
    OFF = "OFF"


class CheckedSignalRW(SignalRW):
    """A settable signal whose ``check_value`` applies the library's rules, so
    ``bluesky.simulators.check_limits`` refuses a plan before it runs."""

    def __init__(self, backend, check, name: str = "") -> None:
        super().__init__(backend=backend, name=name)
        self._check = check

    async def check_value(self, value: Any) -> None:
        self._check(value)


class _Connector(DeviceConnector):
    """Real mode opens the supply (identity and status reads only); mock mode never opens a port."""

    async def connect_mock(self, device, mock: DeviceMock) -> None:
        device._detach()
        device._mock = True
        await super().connect_mock(device, mock)

    async def connect_real(self, device, timeout: float, force_reconnect: bool) -> None:
        device._mock = False
        await device._attach(force_reconnect)
        await super().connect_real(device, timeout, force_reconnect)


class _VoltageLogic(MovableLogic[float]):
    def __init__(self, device: "ZQ4180Supply") -> None:
        super().__init__(setpoint=device.setpoint, readback=device.readback)
        self.device = device

    async def check_move(self, new_position: float) -> None:
        self.device._check("voltage", new_position)

    async def calculate_timeout(self, old_position: float, new_position: float) -> float | None:
        return self.device.timeout

    async def get_units_precision(self) -> tuple[str | None, int | None]:
        return "V", 3

    async def move(self, new_position: float, timeout) -> None:
        await self.device._move(new_position, timeout())


class ZQ4180Supply(StandardReadable, StandardMovable[float]):
    """A supply as a bluesky movable on its output voltage (see the package's text)."""

    def __init__(self, supply: str, *, max_voltage: float | None = None, max_current: float | None = None,
                 config: Any = None, name: str = "", timeout: float = JOB_TIMEOUT_S) -> None:
        self.target = supply
        self.options = {"max_voltage": max_voltage, "max_current": max_current, "config": config}
        self.timeout = timeout
        self.owner: Owner | None = None
        self._mock = False          # connected in mock mode: settings stay in the signals
        self._batcher: Batcher | None = None
        self._backends: dict[str, SoftSignalBackend] = {}
        # limits known without the supply, for mock mode
        self._given_limits = Limits.of(max_voltage, max_current, voltage_source="max_voltage",
                                       current_source="max_current")

        self.setpoint = self._rw("voltage", float, 0.0, "V", 3)
        self.readback = self._r("readback", float, 0.0, "V", 3)
        self.measured_voltage = self._r("measured_voltage", float, 0.0, "V", 3)
        self.measured_current = self._r("measured_current", float, 0.0, "A", 3)
        self.power = self._r("power", float, 0.0, "W", 3)
        self.regulation = self._r("regulation", Regulation, Regulation.OFF)
        self.current_limit = self._rw("current", float, 0.0, "A", 3)
        self.ceiling = self._rw("ceiling", float, 0.0, "V", 3)
        self.output = self._rw("output", Output, Output.OFF)
        self.control = self._r("control", Control, Control.LOCAL)
        self.add_readables([self.readback, self.measured_voltage, self.measured_current], Format.HINTED_SIGNAL)
        self.add_readables([self.power, self.regulation], Format.CHILD)
        self.add_readables([self.current_limit, self.ceiling, self.output, self.control], Format.CONFIG_SIGNAL)
        super().__init__(name=name, connector=_Connector())

    # -- signals --------------------------------------------------------------------------

    def _r(self, key, datatype, initial, units=None, precision=None) -> SignalR:
        backend = self._backends[key] = SoftSignalBackend(datatype, initial, units, precision)
        return SignalR(backend=backend)

    def _rw(self, setting, datatype, initial, units=None, precision=None) -> SignalRW:
        async def setter(value):
            return await self._set_one(setting, value)
        # the movable's setpoint too: a set on it goes to the supply as the device's own set() does
        backend = SoftSignalBackend(datatype, initial, units, precision, setter=setter)
        self._backends[setting] = backend
        return CheckedSignalRW(backend, lambda value: self._check(setting, value))

    def _show(self, reading: Reading) -> None:
        """Every signal from one reading (on the event loop)."""
        values = {"readback": reading.voltage_set_V, "measured_voltage": reading.voltage_V,
                  "measured_current": reading.current_A, "power": reading.power_W,
                  "regulation": Regulation(regulation(reading)), "current": reading.current_limit_A,
                  "ceiling": reading.voltage_max_V, "output": Output(reading.output or "off"),
                  "control": Control(reading.work_mode or "local")}
        for key, value in values.items():
            self._backends[key].set_value(value)

    @cached_property
    def movable_logic(self) -> MovableLogic[float]:
        return _VoltageLogic(self)

    # -- connection ---------------------------------------------------------------------------

    async def _attach(self, force_reconnect: bool) -> None:
        if self.owner is not None and not force_reconnect:
            return
        self._detach()
        owner = await asyncio.to_thread(Owner, self.target, name=self.name or None, **self.options)
        self.owner = owner
        self._batcher = Batcher(owner, self._show)
        try:
            reading = answered(await asyncio.wrap_future(owner.submit_read()), owner.name)
        except BaseException:
            self._detach()
            raise
        self._show(reading)
        self._backends["voltage"].set_value(reading.voltage_set_V)

    def _detach(self) -> None:
        """Free the port (the output stays as it is)."""
        owner, self.owner, self._batcher = self.owner, None, None
        if owner is not None:
            owner.close()

    def close(self) -> None:
        """Free the port; the output stays as it is (as at disconnection or the end of the process)."""
        self._detach()

    def _attached(self) -> bool:
        """True with the supply open, False in mock mode; SupplyLost when closed or never
        connected (a setting, a reading or an off must never pass for done unsent)."""
        if self.owner is not None:
            return True
        if self._mock:
            return False
        raise SupplyLost(f"{self.name or 'ZQ4180Supply'}: not connected to a supply (closed, or its connect "
                         "failed); connect(force_reconnect=True) opens it again")

    # -- checks and settings ------------------------------------------------------------------------

    def _check(self, setting: str, value: Any, whole: bool = True) -> None:
        """ValueError (the library's LimitError for a value over a limit) before anything is sent.
        ``whole``: judge the state the output is left in, standing values included (from the
        latest reading); else the value alone (a batch is judged whole when it goes out)."""
        if setting == "output":
            value = Output(value).value
        if self.owner is not None:
            self.owner.check(**{setting: value}) if whole else self.owner.supply.check_request(
                state=None, **{setting: value})
        elif setting != "output":     # mock mode: the limits given to the device
            number = check_number(setting, value, "amperes" if setting == "current" else "volts")
            self._given_limits.check_value(setting, milli(number))

    async def _set_one(self, setting: str, value: Any) -> Any:
        if setting == "output":
            value = Output(value).value
        self._check(setting, value, whole=False)
        if not self._attached():      # mock mode: the signal keeps the value
            return None
        assert self._batcher is not None
        outcomes = await self._batcher.request(self.timeout, **{setting: value})
        readback = outcomes[setting].readback
        return Output(readback) if setting == "output" else readback

    async def _move(self, volts: float, timeout: float | None) -> None:
        if not self._attached():      # mock mode
            await self.setpoint.set(volts)
            return
        assert self._batcher is not None
        outcomes = await self._batcher.request(timeout, voltage=volts)
        self._backends["voltage"].set_value(outcomes["voltage"].requested)     # as sent: whole millivolts

    # -- readings ----------------------------------------------------------------------------------

    @AsyncStatus.wrap
    async def trigger(self) -> None:
        """One status exchange that fills every reading."""
        if not self._attached():      # mock mode
            return
        assert self.owner is not None
        reading = await asyncio.wait_for(asyncio.wrap_future(self.owner.submit_read()), self.timeout)
        self._show(answered(reading, self.owner.name))

    async def switch_off(self):
        """The library's confirmed off, ahead of anything queued: its ``OffResult``."""
        from ..off import OffResult
        if not self._attached():      # mock mode
            self._backends["output"].set_value(Output.OFF)
            return OffResult(True, None)
        assert self.owner is not None
        if self._batcher is not None:
            self._batcher.drop()
        result = await asyncio.wrap_future(self.owner.worker.off())
        if result.reading is not None and result.reading.ok:
            self._show(result.reading)
        return result

    def off_name(self) -> str:
        """How an unconfirmed off names this supply."""
        if self.owner is not None:
            return self.owner.supply.name or self.name or self.owner.supply.port
        return self.name

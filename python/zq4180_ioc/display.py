"""What one supply's records show: each reading with its time, the identity, faults and messages."""

from __future__ import annotations

import threading
from typing import Any

from softioc import alarm

from zq4180_bench import Worker

from . import readings as rv
from .records import MSG_LENGTH, SupplyRecords


def _dev(rec):
    """The device support behind a builder's record (its value tuple and EPICS record)."""
    return rec.__dict__.get("_RecordWrapper__device", rec)


class Display:
    """Readings to one supply's records (the base of :class:`.station.Station`, which makes the
    records and the worker and handles the puts).

    A setpoint follows the supply only while no put of its own is pending (``_pending``), and its
    one quiet processing is counted (``_quiet``) so that ``validate`` does not take it for a put.
    """

    name: str
    supply: Any
    records: SupplyRecords
    worker: Worker
    _lock: threading.RLock
    _count_lock: threading.Lock
    _pending: dict[str, int]
    _quiet: dict[str, int]
    _off_unconfirmed: bool
    _shown: str
    _identity: dict | None

    # -- start -----------------------------------------------------------------------

    def start(self) -> None:
        """After iocInit: records INVALID until the first reading, then the worker runs."""
        for rec in self.records.readbacks:
            rec.set_alarm(alarm.INVALID_ALARM, alarm.UDF_ALARM)
        if self.supply.connected:
            self.records["COMM"].set_alarm(alarm.INVALID_ALARM, alarm.UDF_ALARM)   # until the first reading
        else:
            self.records["COMM"].set(rv.comm_code("no_port"))
            self.message(f"{self.supply.problem or 'not answering'}: waiting for it to appear")
        self._show_identity()
        self.worker.start()

    def _show_identity(self) -> None:
        identity = self.supply.identity
        if identity != self._identity:
            self._identity = dict(identity) if identity else None
            self.records["IDN"].set(rv.identity_line(identity))

    # -- readings ----------------------------------------------------------------------

    def show(self, reading) -> None:
        """Every readback from one reading, in one go, stamped with the reading's time."""
        if reading is None:
            return
        with self._lock:
            if reading.time < self._shown:
                return          # an older reading handed over late (an off's, after the next scan)
            self._shown = reading.time
            ts = rv.timestamp(reading)
            recs = self.records
            if not reading.ok:
                recs["COMM"].set(rv.comm_code(reading.status), timestamp=ts)
                for rec in recs.readbacks:
                    rec.set_alarm(alarm.INVALID_ALARM, alarm.COMM_ALARM, timestamp=ts)
                return
            self._show_identity()
            if self._off_unconfirmed and reading.output == "off":
                self._off_unconfirmed = False
            for field, value in rv.readback_values(reading).items():
                severity, status = alarm.NO_ALARM, alarm.NO_ALARM
                if field == "OUTP:RBV" and self._off_unconfirmed:
                    severity, status = alarm.MAJOR_ALARM, alarm.STATE_ALARM
                recs[field].set(value, severity=severity, alarm=status, timestamp=ts)
            recs["COMM"].set(0, timestamp=ts)
            for field, value in rv.setpoint_values(reading).items():
                if self._pending[field] == 0:
                    self._follow(field, value)

    def _follow(self, field: str, value) -> None:
        """A setpoint shows what the supply holds (after OFF, the front panel, another client),
        without processing, keeping its alarm."""
        rec = self.records[field]
        if value is None:
            return
        dev = _dev(rec)
        _, severity, status = dev._value
        if severity == alarm.INVALID_ALARM:
            # never set since start: one quiet processing clears the undefined state
            dev._value = (dev._value[0], alarm.NO_ALARM, alarm.NO_ALARM)
            with self._count_lock:
                self._quiet[field] += 1
            rec.set(value)
        elif rv.differs(rec.get(), value):
            rec.set(value, process=False, severity=severity, alarm=status)

    def on_event(self, event) -> None:
        if event.kind in rv.FAULT_EVENTS or (event.kind == "over_temperature" and event.text.endswith("ON")):
            text = event.text
            if event.kind != "over_temperature" and self.supply.problem:
                text = f"{text} ({self.supply.problem})"
            self.message(text)

    def message(self, text: str) -> None:
        """``MSG:FULL`` holds the whole text, ``MSG`` what fits a stringin."""
        self.records["MSG:FULL"].set(text[:MSG_LENGTH - 1])
        self.records["MSG"].set(rv.short_message(text))

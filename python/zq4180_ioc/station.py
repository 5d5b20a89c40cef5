"""One supply's records at run time: its worker's readings fill them; puts become the worker's jobs."""

from __future__ import annotations

import asyncio
import concurrent.futures
import threading

from softioc import alarm

from zq4180_bench import LimitError, SupplyError, Worker

from . import readings as rv
from .display import Display, _dev
from .records import MSG_LENGTH, READBACKS, SETPOINTS, Handlers, build_supply

KEYWORDS = {"VOLT:SP": "voltage", "CURR:SP": "current", "VLIM:SP": "ceiling"}
STATUS_WORDS = {"no_reply": "not answering", "no_port": "not reachable (port lost)",
                "other_supply": "answered by another supply"}


class Station(Display):
    """Records, worker and put handling of one supply (what its records show is :class:`.display.Display`'s)."""

    def __init__(self, name: str, supply, base: str, interval: float) -> None:
        self.name = name
        self.supply = supply
        self.records = build_supply(base, supply.limits, Handlers(self.validate, self.update))
        self.worker = Worker(supply, interval=interval, on_reading=self.show, on_event=self.on_event,
                             name=f"zq4180-ioc {name}")
        self._lock = threading.RLock()        # show() and off(): one reading at a time reaches the records
        # counters and queued jobs; never held while calling into EPICS, and the only lock validate()
        # takes (it runs holding the record's own lock, which a setpoint's set() takes too)
        self._count_lock = threading.Lock()
        self._pending = dict.fromkeys(SETPOINTS, 0)     # accepted puts whose job has not ended
        self._jobs: dict[str, list] = {f: [] for f in KEYWORDS}
        self._quiet = dict.fromkeys(SETPOINTS, 0)       # processings of our own: no job, no put
        self._skip = dict.fromkeys(SETPOINTS, 0)        # ... whose update is to be skipped
        self._off_unconfirmed = False
        self._shown = ""                                 # time of the latest reading shown
        self._identity = None

    # -- puts ------------------------------------------------------------------------------

    def validate(self, field: str, rec, value) -> bool:
        """On the record's processing thread: refuse (nothing sent, the record keeps its value,
        WRITE alarm MINOR, ``MSG`` says why) or queue the job and accept."""
        with self._count_lock:
            if self._quiet.get(field):
                self._quiet[field] -= 1
                self._skip[field] += 1
                return True
        if field == "OFF" or (field == "OUTP:SP" and not value):
            return True                                  # an off is never refused
        state = self.worker.last
        if state is None and self.supply.connected:
            return self._refuse(rec, f"not sent: {self.name} has not been read yet")
        if state is None or not state.ok:
            why = STATUS_WORDS.get(getattr(state, "status", "no_port"), "not answering")
            return self._refuse(rec, f"not sent: {self.name} is {why}")
        try:
            if field == "OUTP:SP":
                self.supply.check_request(output="on", state=state)
                job = self._job(output="on")
            else:
                kw = KEYWORDS[field]
                self.supply.check_request(**{kw: float(value)}, state=state)
                job = self._job(**{kw: float(value)})
        except (LimitError, ValueError) as exc:
            return self._refuse(rec, str(exc))
        try:
            future = self.worker.submit(job, label=f"{field} {value}")
        except RuntimeError as exc:                      # QueueFull: too many puts wait already
            return self._refuse(rec, f"not sent: {exc}")
        with self._count_lock:
            self._pending[field] += 1
            self._jobs.setdefault(field, []).append(future)
        # accepted: no WRITE alarm from an earlier refusal on this processing
        _dev(rec)._record.NSEV, _dev(rec)._record.NSTA = alarm.NO_ALARM, alarm.NO_ALARM
        return True

    def _refuse(self, rec, text: str) -> bool:
        self._failed(rec, text)
        return False

    def _job(self, **request):
        # the worker hands the job's readings (its read-back included) to show() as they are
        # taken, so every record shows the read-back before the put completes
        def run(supply):
            last = self.worker.last
            return supply.apply(**request, before=last if last is not None and last.ok else None)
        return run

    async def update(self, field: str, value) -> None:
        with self._count_lock:
            skip = bool(self._skip.get(field))
            if skip:
                self._skip[field] -= 1
        if skip:
            return
        if field == "OFF":
            if value:
                await self.off()
            self.records["OFF"].set(0, process=False)
            return
        if field == "OUTP:SP" and not value:
            await self.off()
            return
        with self._count_lock:
            future = self._jobs[field].pop(0) if self._jobs.get(field) else None
        if future is None:
            return
        rec = self.records[field]
        try:
            outcomes = await asyncio.wrap_future(future)
        except concurrent.futures.CancelledError:
            self._failed(rec, f"not sent: an off came first ({field} {value})")
        except (LimitError, ValueError, SupplyError) as exc:
            self._failed(rec, str(exc))
        except Exception as exc:  # noqa: BLE001 - reported in MSG, the IOC keeps serving
            self._failed(rec, f"{field}: {exc}")
        else:
            bad = [o for o in outcomes if not o.ok]
            if bad:
                self._failed(rec, "; ".join(" ".join(o.text().split()) for o in bad))
            else:
                dev = _dev(rec)
                dev._value = (dev._value[0], alarm.NO_ALARM, alarm.NO_ALARM)
        finally:
            with self._count_lock:
                self._pending[field] -= 1
                idle = self._pending[field] == 0
            last = self.worker.last_ok
            if idle and last is not None:
                with self._lock:
                    self._follow(field, rv.setpoint_values(last)[field])

    def _failed(self, rec, text: str) -> None:
        """WRITE alarm (MINOR) until the next accepted put; MSG says why."""
        self.message(text)
        dev = _dev(rec)
        dev._value = (dev._value[0], alarm.MINOR_ALARM, alarm.WRITE_ALARM)
        dev._record.NSEV, dev._record.NSTA = alarm.MINOR_ALARM, alarm.WRITE_ALARM

    async def off(self):
        """The confirmed off, ahead of every queued put; the outcome shows in MSG and OUTP:RBV."""
        result = await asyncio.wrap_future(self.worker.off())
        with self._lock:
            self._off_unconfirmed = not result.confirmed
            self.message(result.message())
            if result.reading is not None:
                self.show(result.reading)
            rec = self.records["OUTP:RBV"]
            if self._off_unconfirmed and _dev(rec)._value[1] < alarm.MAJOR_ALARM:
                rec.set_alarm(alarm.MAJOR_ALARM, alarm.STATE_ALARM)
        return result

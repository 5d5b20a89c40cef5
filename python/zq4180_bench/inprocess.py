"""One supply driven from inside another program (a QCoDeS instrument, a bluesky device).

:class:`Owner` opens the supply with no safe end (closing, garbage collection or the
end of the process leave the output as it is), starts the library's
:class:`~zq4180_bench.Worker` as the port's one owner, and runs every setting
through :meth:`Supply.apply` on the worker's thread. The off goes through the
worker's confirmed off, ahead of anything queued.

``target`` is what the ``zq4180`` command takes (a port, an ``rfc2217://`` URL, a
configured name or a serial number), or ``"sim"`` / ``"sim:LOAD"`` for a virtual
supply that lives as long as the owner (LOAD as ``--sim-load`` takes it: ``10``
ohms, ``open``, ``led``, ``cc``, ``cc:0.2``; default 10 ohms), paced like a real
line.
"""

from __future__ import annotations

import concurrent.futures
import os
import threading
import time
from typing import Any, Callable

from . import Limits, NoReply, Reading, Supply, SupplyError, SupplyLost, open_supply


SIM = "sim"
#: a status exchange on the line (26-byte request and reply at 4800 baud), used until one is timed
LINE_EXCHANGE_S = 0.108
#: a fresh reading may be this much older than the exchange time measured last (scheduling jitter)
FRESH_FLOOR_S = 0.01
#: how often the worker reads on its own (it notices a lost port and reopens it)
BACKGROUND_INTERVAL_S = 1.0
#: the longest a setting or a reading may take before the caller gives up waiting
JOB_TIMEOUT_S = 10.0
#: the off is bounded by the library's tries; this only keeps a caller from waiting forever
OFF_TIMEOUT_S = 60.0


class SettingFailed(SupplyError):
    """A setting was not answered, or the supply reported another value than requested."""

    def __init__(self, outcomes: list) -> None:
        bad = [o for o in outcomes if not o.ok]
        super().__init__("; ".join(" ".join(o.text().split()) for o in bad))
        self.outcomes = outcomes


def is_sim(target: Any) -> bool:
    return isinstance(target, str) and (target == SIM or target.startswith(SIM + ":"))


def start_virtual(target: str):
    """A started, paced virtual supply for ``"sim"`` / ``"sim:LOAD"``."""
    from zq4180_sim import VirtualSupply

    from .sim import load_options
    load = target[len(SIM) + 1:] if target.startswith(SIM + ":") else None
    return VirtualSupply(1, pacing=True, **load_options(load or None)).start()


class Owner:
    """The supply, its worker, the latest reading and (for ``"sim"``) the virtual supply."""

    def __init__(self, target: str | os.PathLike, *, max_voltage: float | None = None,
                 max_current: float | None = None, config=None, name: str | None = None,
                 interval: float = BACKGROUND_INTERVAL_S) -> None:
        from . import Worker
        self.virtual = start_virtual(str(target)) if is_sim(target) else None
        port = self.virtual.port if self.virtual is not None else os.fspath(target)
        limits = Limits.of(max_voltage, max_current, voltage_source="max_voltage",
                           current_source="max_current")
        self._lock = threading.Lock()
        self._latest: Reading | None = None
        self._latest_started = 0.0           # monotonic: when the latest reading's request went out
        self._latest_ended = 0.0             # monotonic: when its answer was in
        self._setting_started = 0.0          # monotonic: when the latest setting began
        self.exchange_s = LINE_EXCHANGE_S
        self._waiters: list[tuple[float, concurrent.futures.Future]] = []
        try:
            self.supply: Supply = open_supply(port, limits=limits, config=config, safe_end="never")
        except BaseException:
            self._stop_virtual()
            raise
        self.name = name or self.supply.name or port
        self.worker = Worker(self.supply, interval=interval, on_reading=self._worker_reading,
                             name=f"zq4180 {self.name}")
        self.worker.start()

    # -- readings ------------------------------------------------------------------

    @property
    def identity(self) -> dict:
        return dict(self.supply.identity or {})

    def _note(self, reading: Reading, started: float) -> None:
        ended = time.monotonic()
        with self._lock:
            if started >= self._latest_started:
                self._latest, self._latest_started, self._latest_ended = reading, started, ended

    def _worker_reading(self, reading: Reading) -> None:
        started = self.supply.read_started
        if reading.ok and started:
            self.exchange_s = time.monotonic() - started
        self._note(reading, started)
        with self._lock:
            ready = [f for marked, f in self._waiters if marked <= started]
            self._waiters = [(m, f) for m, f in self._waiters if m > started]
        for future in ready:
            if not future.done():
                future.set_result(reading)

    def fresh(self) -> Reading | None:
        """The latest reading when it answered, began after the latest setting and is
        no older than one exchange time; else None."""
        with self._lock:
            reading, started, ended = self._latest, self._latest_started, self._latest_ended
            setting = self._setting_started
        if reading is None or not reading.ok or started < setting:
            return None
        if time.monotonic() - ended > max(self.exchange_s, FRESH_FLOOR_S):
            return None
        return reading

    def submit_read(self) -> "concurrent.futures.Future[Reading]":
        """One status exchange: the worker's next reading after everything queued
        before (it reaches the worker's other observers too). Never raises for silence."""
        result: concurrent.futures.Future = concurrent.futures.Future()

        def mark(supply: Supply) -> None:
            with self._lock:
                self._waiters.append((time.monotonic(), result))

        def failed(job: concurrent.futures.Future) -> None:
            if job.cancelled():
                result.cancel()
            elif job.exception() is not None and not result.done():
                result.set_exception(job.exception())

        self.worker.submit(mark, "read").add_done_callback(failed)
        return result

    def reading(self, *, timeout: float = JOB_TIMEOUT_S) -> Reading:
        """A fresh reading (see :meth:`fresh`), else one new status exchange.
        ``NoReply`` / ``SupplyLost`` when the supply does not answer."""
        reading = self.fresh()
        if reading is None:
            reading = wait(self.submit_read(), timeout, "a status read")
        return answered(reading, self.name)

    # -- settings -------------------------------------------------------------------

    def _apply_job(self, changes: dict) -> Callable[[Supply], tuple[list, Reading | None]]:
        def job(supply: Supply) -> tuple[list, Reading | None]:
            # judged when the job runs: a reading since the latest setting spares apply a status read
            before = self.fresh()
            with self._lock:
                self._setting_started = time.monotonic()
            outcomes = supply.apply(before=before, **changes)
            after = supply.last_reading
            if after is not None:
                self._note(after, supply.read_started)
            return outcomes, after
        return job

    def submit_apply(self, **changes) -> "concurrent.futures.Future[tuple[list, Reading | None]]":
        """``Supply.apply(**changes)`` on the worker's thread: (outcomes, the reading taken after).
        A fresh reading (see :meth:`fresh`) stands in for apply's own first status read."""
        return self.worker.submit(self._apply_job(changes), "set " + ", ".join(sorted(changes)))

    def apply(self, *, timeout: float = JOB_TIMEOUT_S, **changes) -> Reading | None:
        """Apply and insist: ``SettingFailed`` unless every change was answered and read back."""
        outcomes, after = wait(self.submit_apply(**changes), timeout, "the setting")
        check_outcomes(outcomes)
        return after

    def check(self, **request) -> None:
        """``Supply.check_request`` against the latest answered reading: LimitError /
        ValueError for what :meth:`apply` would refuse; nothing is sent."""
        self.supply.check_request(state=self.supply.last_ok, **request)

    def off(self, *, timeout: float = OFF_TIMEOUT_S):
        """The confirmed off, ahead of anything queued: the library's ``OffResult``."""
        return self.worker.off().result(timeout)

    # -- end -------------------------------------------------------------------------

    def close(self) -> None:
        """Free the port (the output stays as it is) and stop a virtual supply."""
        try:
            self.worker.stop(timeout=JOB_TIMEOUT_S)
            self.supply.close()
        finally:
            self._stop_virtual()
            with self._lock:
                waiting, self._waiters = self._waiters, []
            for _, future in waiting:
                if not future.done():
                    future.set_exception(SupplyLost(f"{self.name}: closed"))

    def _stop_virtual(self) -> None:
        virtual, self.virtual = self.virtual, None
        if virtual is not None:
            virtual.stop()


def wait(future: concurrent.futures.Future, timeout: float | None, what: str):
    """The job's result; past ``timeout`` a job that has not started is cancelled (so it
    is never sent after its caller gave up) and TimeoutError says which happened."""
    try:
        return future.result(timeout)
    except concurrent.futures.TimeoutError:
        if future.cancel():
            raise TimeoutError(f"{what} waited {timeout:g} s for the supply's port and was not sent") from None
        raise TimeoutError(f"{what} took more than {timeout:g} s") from None


def regulation(reading: Reading) -> str:
    """``CV``, ``CC``, or ``OFF`` while the output is off (or regulates neither way)."""
    if reading.output != "on" or reading.regulation not in ("CV", "CC"):
        return "OFF"
    return str(reading.regulation)


def answered(reading: Reading, name: str) -> Reading:
    """The reading when it answered, else NoReply / SupplyLost saying what went wrong."""
    if reading.status == "no_reply":
        raise NoReply(f"{name}: the supply did not answer the status request")
    if reading.status == "other_supply":
        other = f" ({reading.answering})" if reading.answering else ""
        raise SupplyLost(f"{name}: another supply answers at the port{other}, not the one opened")
    if not reading.ok:
        raise SupplyLost(f"{name}: no answer from the supply (port lost)")
    return reading


def check_outcomes(outcomes: list) -> None:
    if not all(o.ok for o in outcomes):
        raise SettingFailed(outcomes)

"""Settings issued together on one device go to the supply as one ``Supply.apply``.

``bps.mv(psu.current_limit, 0.5, psu.output, "on")`` calls two ``set`` methods a
couple of event-loop turns apart. The first request opens a batch; the batch is
sent once the loop has turned ``QUIET_TURNS`` times with nothing added, so the
library orders the whole request (current limit, ceiling and voltage in the
safe order, output on last) and checks it as one whole state.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
from dataclasses import dataclass, field
from typing import Any

from ..inprocess import Owner, SettingFailed

QUIET_TURNS = 8          # event-loop turns with nothing new before a batch goes out
MOST_TURNS = 1000        # a batch goes out after this many turns whatever arrives


@dataclass
class _Batch:
    changes: dict[str, Any] = field(default_factory=dict)
    done: asyncio.Future | None = None
    dropped: bool = False
    job: concurrent.futures.Future | None = None     # the worker's job, once submitted


class Dropped(RuntimeError):
    """A setting dropped unsent because the output was switched off meanwhile."""


class Batcher:
    """Collects requests on the event loop; one worker job per batch."""

    def __init__(self, owner: Owner, on_reading) -> None:
        self.owner = owner
        self.on_reading = on_reading       # called on the loop with the reading taken after a batch
        self._open: _Batch | None = None
        self._tasks: set[asyncio.Task] = set()

    async def request(self, timeout: float | None, **changes: Any) -> dict:
        """Apply ``changes`` with whatever else arrives meanwhile; the outcomes by
        setting name. ``SettingFailed`` when one of these changes was not answered
        or read back otherwise; LimitError / ValueError when the library refuses
        the batch (nothing is sent)."""
        batch = self._open
        if batch is None:
            batch = self._open = _Batch(done=asyncio.get_running_loop().create_future())
            task = asyncio.ensure_future(self._send(batch))
            self._tasks.add(task)
            task.add_done_callback(self._tasks.discard)
        batch.changes.update(changes)
        assert batch.done is not None
        try:
            outcomes = await asyncio.wait_for(asyncio.shield(batch.done), timeout)
        except asyncio.TimeoutError:
            job = batch.job
            if batch is self._open:       # still collecting: nothing goes out for it
                self.drop()
            elif job is not None and job.cancel():
                pass                      # queued behind other work: cancelled unsent
            else:
                raise TimeoutError(f"no answer from the supply within {timeout:g} s") from None
            raise TimeoutError(f"the setting waited {timeout:g} s for the supply's port and was not sent") from None
        mine = [o for o in outcomes.values() if o.name in changes]
        if not all(o.ok for o in mine):
            raise SettingFailed(mine)
        return outcomes

    def drop(self) -> None:
        """Fail the batch still collecting, unsent (an off goes first: a setting queued
        before it must not switch the output back on after it)."""
        batch, self._open = self._open, None
        if batch is not None:
            batch.dropped = True
            _fail(batch, Dropped("not sent: the output was switched off before this setting went out"))

    async def _send(self, batch: _Batch) -> None:
        quiet = turns = 0
        seen = len(batch.changes)
        while quiet < QUIET_TURNS and turns < MOST_TURNS:
            await asyncio.sleep(0)
            turns += 1
            quiet = quiet + 1 if len(batch.changes) == seen else 0
            seen = len(batch.changes)
        if batch.dropped:
            return
        self._open = None
        assert batch.done is not None
        try:
            batch.job = future = self.owner.submit_apply(**batch.changes)
            outcomes, after = await asyncio.wrap_future(future)
        except asyncio.CancelledError:
            # the worker's off cancelled the job before it started: nothing was sent
            _fail(batch, Dropped("not sent: the output was switched off before this setting went out"))
            return
        except Exception as exc:
            _fail(batch, exc)
            return
        if after is not None and after.ok:
            self.on_reading(after)
        if not batch.done.done():
            batch.done.set_result({o.name: o for o in outcomes})


def _fail(batch: _Batch, exc: BaseException) -> None:
    if batch.done is not None and not batch.done.done():
        batch.done.set_exception(exc)
        batch.done.exception()       # retrieved: a caller that timed out leaves no warning

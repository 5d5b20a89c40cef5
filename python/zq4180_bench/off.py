"""Switching an output off, confirmed: the one path every request to switch off takes.

The off frame goes first, before any other read or mode change, and is
repeated until a status read confirms the output off (``OFF_TRIES`` tries).
When a confirming read shows the output still on under local control, remote
control is sent before the next try. A lost port is reopened for it. The
late-reply guard is waited out as for any exchange, never shortened: a late
acknowledgement taken for the confirming status would "confirm" an off that
never happened.

The safe end is this path followed by local control, with signals held back.
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import TYPE_CHECKING

from . import signals
from .errors import OffNotConfirmed, SupplyLost
from .readings import Reading, one_line

if TYPE_CHECKING:
    from .supply import Supply

OFF_TRIES = 3
REOPEN_PAUSE = 1.0        # s before reopening a port lost during the off path again


@dataclass(frozen=True)
class OffResult:
    confirmed: bool
    reading: Reading | None            # the last status read
    last_ok: Reading | None = None     # the latest reading with an answer
    problem: str | None = None         # why it was not confirmed, when it was not

    def message(self) -> str:
        if self.confirmed:
            return "output off (confirmed)"
        return not_confirmed_text(self.last_ok, self.problem)


def not_confirmed_text(last_ok: Reading | None, problem: str | None) -> str:
    last = one_line(last_ok) if last_ok is not None else "none with an answer"
    why = f" ({problem})" if problem else ""
    return (f"OUTPUT MAY STILL BE ON: output-off not confirmed after {OFF_TRIES} tries{why}; "
            f"last reading: {last}")


def switch_off(supply: "Supply") -> OffResult:
    """Output off until a status read confirms it. Never raises for silence or a lost port."""
    reading: Reading | None = None
    problem: str | None = None
    need_remote = False
    for attempt in range(OFF_TRIES):
        if not supply.connected:
            if attempt:
                time.sleep(REOPEN_PAUSE)
            if not supply.reconnect():
                problem = supply.problem or "port lost"
                continue
        try:
            if need_remote:
                supply.call("set_work_mode", "remote")
            acknowledged = bool(supply.call("set_ouput_mode", "off"))
        except SupplyLost:
            problem = supply.problem or "port lost"
            continue
        reading = supply.read(wait_reopen=False)
        if reading.ok and reading.output == "off":
            return OffResult(True, reading, supply.last_ok, None)
        need_remote = reading.ok and reading.work_mode == "local"
        if reading.ok:
            problem = ("the supply reports the output still on under local control" if need_remote
                       else "the supply acknowledged output-off but reports the output still on"
                       if acknowledged else "the supply reports the output still on")
        elif not supply.connected:
            problem = supply.problem or "port lost"
        else:
            problem = ("no reply to the status request" if acknowledged
                       else "no reply to output-off or to the status request")
    return OffResult(False, reading if reading is not None else supply.last_reading, supply.last_ok, problem)


def confirmed_off(supply: "Supply") -> OffResult:
    """The off path for a request: OffNotConfirmed when no status read confirmed it.

    A signal that arrives meanwhile is held back until the off has run to its end (an off
    left halfway would leave the output in doubt, unsaid), then acted on; an unconfirmed
    off is raised in its place, to be reported."""
    with signals.deferred(keep=(OffNotConfirmed,)):
        result = switch_off(supply)
        if not result.confirmed:
            raise OffNotConfirmed(result)
    return result


@dataclass(frozen=True)
class SafeEnd:
    confirmed: bool
    reading: Reading | None
    local: bool = False
    last_ok: Reading | None = None   # the latest reading with an answer, what the output was last seen doing
    problem: str | None = None       # why the off was not confirmed, when it was not
    signals: tuple[int, ...] = ()    # signals that arrived while it ran (held back, not lost)

    def message(self) -> str:
        if self.confirmed:
            return "safe end: output off (confirmed)" + (", local control" if self.local else "")
        return not_confirmed_text(self.last_ok, self.problem)


def safe_end(supply: "Supply") -> SafeEnd:
    """The confirmed off, then local control; signals are held back meanwhile."""
    with signals.shielded() as seen:
        result = switch_off(supply)
        local = False
        if supply.connected:
            try:
                local = bool(supply.call("set_work_mode", "local"))
            except SupplyLost:
                pass
        return SafeEnd(result.confirmed, result.reading, local, last_ok=result.last_ok,
                       problem=result.problem, signals=tuple(seen))

"""``output_off_at_end``: a plan that leaves its supplies' outputs off, however it ends."""

from __future__ import annotations

from typing import Any

from bluesky import plan_stubs as bps
from bluesky.preprocessors import finalize_wrapper


class OutputMayBeOn(RuntimeError):
    """The confirmed off failed for at least one supply; the text names each."""

    def __init__(self, lines: list[str]) -> None:
        super().__init__("\n".join(lines))
        self.lines = lines


def _name(device: Any) -> str:
    naming = getattr(device, "off_name", None)
    return naming() if callable(naming) else (getattr(device, "name", "") or repr(device))


async def _off_all(supplies: tuple, lines: list[str]) -> None:
    import asyncio
    results = await asyncio.gather(*(device.switch_off() for device in supplies), return_exceptions=True)
    for device, result in zip(supplies, results):
        if isinstance(result, BaseException):
            lines.append(f"{_name(device)}: OUTPUT MAY STILL BE ON: the off could not be sent ({result})")
        elif not getattr(result, "confirmed", False):
            message = result.message() if hasattr(result, "message") else str(result)
            lines.append(f"{_name(device)}: {message}")


def switch_off(*supplies: Any):
    """A plan stub: every supply's confirmed off at once (``OutputMayBeOn`` naming
    each supply whose output may still be on)."""
    lines: list[str] = []
    # the RunEngine drops what a wait_for awaitable raises: the outcome comes back through `lines`
    yield from bps.wait_for([lambda: _off_all(supplies, lines)])
    if lines:
        raise OutputMayBeOn(lines)


def output_off_at_end(plan, *supplies: Any):
    """Run ``plan``; then, whether it ended normally, failed or was aborted, switch
    every supply's output off through the confirmed off.

    Takes ``ZQ4180Supply`` and ``ZQ4180Epics`` devices alike (anything with an
    awaitable ``switch_off()`` returning a result with ``confirmed`` and ``message()``).
    A halted RunEngine (``RE.halt()``) runs no clean-up at all, by bluesky's design.
    """
    for device in supplies:
        if not callable(getattr(device, "switch_off", None)):
            raise TypeError(f"{_name(device)} has no switch_off(): not a zq4180 supply device")
    return (yield from finalize_wrapper(plan, switch_off(*supplies)))

"""What goes wrong with a supply: each ends a command with exit status 1."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .off import OffResult, SafeEnd
    from .readings import Reading


class SupplyError(Exception):
    """Something about a supply that ends a command with exit status 1."""


class OpenError(SupplyError):
    """The supply could not be opened; the text says why."""


class NoReply(SupplyError):
    """The supply did not answer a request."""


class SupplyLost(SupplyError):
    """The supply's port disappeared or failed."""


class SafeEndError(SupplyError):
    """The safe end could not confirm the output off."""

    def __init__(self, result: "SafeEnd") -> None:
        super().__init__(result.message())
        self.result = result


class OffNotConfirmed(SupplyError):
    """Output-off was sent but no status read confirmed it; nothing else of the request was sent."""

    def __init__(self, result: "OffResult") -> None:
        super().__init__(result.message())
        self.result = result


class SettingNotTaken(SupplyError):
    """Before switching on, the supply reported a setting other than the one asked for, or
    one over a limit; the output was not switched on."""

    def __init__(self, message: str, setting: str, reading: "Reading | None" = None) -> None:
        super().__init__(message)
        self.setting = setting       # "voltage", "ceiling" or "current"
        self.reading = reading       # the status read that showed it

"""What a change to a supply gets back: refused before anything is sent, failed on the way, the
HTTP status of a result, and one supply's answer to an off."""

from __future__ import annotations

from typing import Any

from zq4180_bench import LimitError

from .station import Station


class Refused(Exception):
    """A request the panel turns down before anything reaches a supply."""

    status = 422

    def __init__(self, reason: str, status: int | None = None) -> None:
        super().__init__(reason)
        self.reason = reason
        if status is not None:
            self.status = status


class Failed(Exception):
    """The supply did not answer, or its port is gone, or the request ran out of time (HTTP 503);
    or the supply reported a setting other than the one sent, so nothing was switched on (502)."""

    def __init__(self, reason: str, status: int = 503) -> None:
        super().__init__(reason)
        self.status = status


def http_status(result: dict[str, Any]) -> int:
    """200 done; 503 an off not confirmed or a command the supply did not answer; 502 a read-back
    that differs from the request."""
    if result["ok"]:
        return 200
    if result.get("confirmed") is False or any(not o["answered"] for o in result.get("outcomes", ())):
        return 503
    return 502


FIELD_NAMES = {"voltage": "voltage", "current": "current limit", "ceiling": "ceiling"}


def limit_reason(exc: LimitError) -> str:
    """The library's reason, and for a standing value the panel's way to fix it."""
    fix, setting = getattr(exc, "fix", None), getattr(exc, "setting", None)
    if fix is None or setting not in FIELD_NAMES:
        return str(exc)
    unit = "A" if setting == "current" else "V"
    return (f"{exc}; set the {FIELD_NAMES[setting]} to {fix:.3f} {unit} first "
            f"(the card's {FIELD_NAMES[setting]} field, or {{\"{setting}\": {fix:g}}} in the API)")


def off_entry(station: Station, result, error: str | None = None) -> dict[str, Any]:
    """One supply's answer to an off: confirmed or not, and the library's own words for it."""
    confirmed = bool(result is not None and result.confirmed)
    if result is not None:
        message = f"{station.id}: {result.message()}"
    else:
        message = f"{station.id}: OUTPUT MAY STILL BE ON: the off did not finish ({error})"
    reading = None if result is None or result.reading is None else result.reading
    return {"id": station.id, "ok": confirmed, "confirmed": confirmed, "message": message,
            "outcomes": [{"name": "output", "requested": "off",
                          "readback": None if reading is None or not reading.ok else reading.output,
                          "answered": bool(reading is not None and reading.ok), "sent": True, "ok": confirmed}],
            "reading": None if reading is None else reading.as_dict()}

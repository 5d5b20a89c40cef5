"""What a card does when its controls are used: every change passes the socket's access
decision (:func:`channel.current`) first; nothing is queued for a supply otherwise."""

from __future__ import annotations

import logging
from typing import Any

from nicegui import ui

from . import channel
from .fields import UNITS, parse_field
from .hub import Failed, Hub, Refused
from .station import Station

log = logging.getLogger("zq4180_panel.access")


class CardActions:
    """The handlers of a :class:`.card.Card` (which builds the elements they use)."""

    station: Station
    hub: Hub
    message: Any
    ramp_to: Any
    ramp_rate: Any

    def update(self) -> None:
        raise NotImplementedError

    def say(self, text: str, good: bool = False) -> None:
        self.message.set_text(text)
        if good:
            self.message.classes(add="zq-good")
        else:
            self.message.classes(remove="zq-good")

    def allowed(self, what: str) -> bool:
        verdict = channel.current()
        if verdict.allowed:
            return True
        log.warning("refused %s on %s from the page: %s", what, self.station.id, verdict.reason)
        self.say(f"refused: {verdict.reason}")
        ui.notify(f"Refused: {verdict.reason}", type="negative")
        return False

    async def _apply(self, what: str, **values: Any) -> None:
        if not self.allowed(what):
            return
        try:
            result = await self.hub.apply(self.station.id, **values)
        except Refused as exc:
            log.warning("refused %s on %s from the page: %s", what, self.station.id, exc.reason)
            self.say(f"refused: {exc.reason}")
            return
        except Failed as exc:
            self.say(f"failed: {exc}")
            return
        bad = [o for o in result["outcomes"] if not o["ok"]]
        if result.get("confirmed") is False:
            self.say(result["message"])
            ui.notify(result["message"], type="negative", multi_line=True)
        elif bad:
            self.say("not confirmed: " + ", ".join(f"{o['name']} read back {o['readback']}" for o in bad))
        else:
            self.say("set: " + ", ".join(f"{o['name']} {o['readback']}" for o in result["outcomes"]), good=True)
        self.update()

    async def commit(self, key: str, what: str, text: Any) -> None:
        """A value typed into a setpoint field."""
        if not self.allowed(what):
            return
        try:
            value = parse_field(text, what, UNITS[key])
        except ValueError as exc:
            log.warning("refused %s on %s from the page: %s", what, self.station.id, exc)
            self.say(f"refused: {exc}")
            return
        if value is None:
            return
        await self._apply(what, **{key: value})

    async def enter_pressed(self, what: str, text: Any) -> None:
        await self.ramp_start()

    async def switch_clicked(self, e) -> None:
        wanted = e.args if isinstance(e.args, str) else None
        if wanted not in ("on", "off"):
            return
        await self._apply(f"output {wanted}", output=wanted)

    async def ramp_start(self) -> None:
        if not self.allowed("ramp"):
            return
        try:
            try:
                to = parse_field(self.ramp_to.value, "ramp target", "V")
                rate = parse_field(self.ramp_rate.value, "ramp rate", "V/s")
            except ValueError as exc:
                raise Refused(str(exc)) from None
            if to is None or rate is None:
                raise Refused("a ramp needs a target (V) and a rate (V/s)")
            self.hub.start_ramp(self.station.id, to, rate)
        except Refused as exc:
            log.warning("refused a ramp on %s from the page: %s", self.station.id, exc.reason)
            self.say(f"refused: {exc.reason}")
            return
        self.say(f"ramping to {to:.3f} V at {rate:.3f} V/s", good=True)
        self.update()

    def ramp_stop(self) -> None:
        if not self.allowed("ramp stop"):
            return
        if self.hub.stop_ramp(self.station.id):
            self.say("ramp stopping", good=True)



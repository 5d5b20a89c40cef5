"""The page: one card per supply (:mod:`.card`), pushed live over NiceGUI's socket.

Each card shows the live readings (three decimals, as ``zq4180 status`` prints them)
beside the setpoints (the voltage ceiling under the voltage's), the state flags, the age of the
supply's last answer (the card greys out after 2 s without one), a chart of the last minutes
with the events marked, an output switch that asks before switching on, a ramp control and
the CSV of the session. The setpoints are the setpoint fields: their text is the supply's
value, and typing a new one and pressing Enter sends it (``setpoint_field.js``).

The page is made only for a viewer with the token (:class:`.gate.PageGate`); a page
whose channel never connects, or has gone, is dropped within :data:`PRUNE_AFTER` seconds.
"""

from __future__ import annotations

import logging

from fastapi import Request
from nicegui import app, ui
from nicegui.client import Client

from . import channel
from .access import Policy
from .card import Card
from .hub import Hub
from .station import Station

log = logging.getLogger("zq4180_panel.access")

PRUNE_AFTER = 15.0          # s a page may wait for its channel


STYLE = """<style>
body { background: #0b1220; }
.zq-header { background: #111a2e; border-bottom: 1px solid #22304d; }
.zq-card { background: #131d33 !important; border: 1px solid #22304d; border-radius: 10px; width: 100%;
           transition: opacity .3s; }
.zq-card.zq-stale { opacity: .45; filter: grayscale(.8); }
.zq-mono { font-family: ui-monospace, "DejaVu Sans Mono", Menlo, Consolas, monospace;
           font-variant-numeric: tabular-nums; }
.zq-big { font-size: 2.1rem; line-height: 1.1; font-weight: 600; letter-spacing: .02em; }
.zq-v { color: #5eead4; } .zq-a { color: #fcd34d; } .zq-w { color: #93c5fd; }
.zq-sub { color: #8ea0c0; font-size: .8rem; }
.zq-set { color: #cbd5e1; font-size: .95rem; }
.zq-set-label { min-width: 3.6em; }
.zq-chip { border: 1px solid #2c3b5c; border-radius: 6px; padding: 1px 8px; font-size: .8rem; color: #cbd5e1; }
.zq-state-ok { color: #4ade80; } .zq-state-bad { color: #f87171; } .zq-state-wait { color: #fbbf24; }
.zq-edit { outline: none; padding: 0 3px; border-radius: 3px; min-width: 5ch; }
.zq-edit[contenteditable=true] { border-bottom: 1px dashed #475569; cursor: text; }
.zq-edit[contenteditable=true]:hover { background: #1c2742; }
.zq-edit:focus { background: #0b1220; box-shadow: 0 0 0 1px #38bdf8; color: #fff; }
.zq-msg { min-height: 1.2em; font-size: .85rem; color: #fca5a5; }
.zq-msg.zq-good { color: #86efac; }
</style>"""


def view_only_reason(policy: Policy, request: Request) -> str:
    client = request.client.host if request.client else None
    if policy.read_only:
        return "read-only panel: every change is refused"
    from .access import is_loopback
    if not policy.allow_remote_control and not is_loopback(client):
        return "view only: changes are allowed from this machine only (use an SSH tunnel)"
    return "view only: open the address the panel printed (with its token) to change settings"


def install(hub: Hub, policy: Policy, title: str = "zq4180 front panel") -> None:
    """Register the page on NiceGUI's app."""

    app.timer(5.0, lambda: Client.prune_instances(client_age_threshold=PRUNE_AFTER))

    @ui.page("/", title=title, dark=True)
    def index(request: Request) -> None:
        client_host = request.client.host if request.client else None
        may_change = policy.page_may_change(request.headers, request.url.query, client_host)
        ui.add_head_html(STYLE)
        ui.query(".nicegui-content").classes("q-pa-md")
        with ui.header().classes("zq-header items-center q-px-md q-py-sm"):
            ui.label(title).classes("text-lg font-bold text-white")
            ui.label(f"{len(hub.stations)} supplies" if len(hub.stations) != 1 else "1 supply") \
                .classes("zq-sub")
            if not may_change:
                ui.label(view_only_reason(policy, request)).classes("zq-chip text-amber-300") \
                    .props("data-testid=view-only")
            else:
                ui.label("to change a setpoint, click it, type the value, press Enter").classes("zq-sub")
            ui.space()
            off = ui.button("All outputs off", on_click=lambda: all_off()).props(
                "unelevated no-caps color=negative data-testid=all-off")
            if not may_change:
                off.props("disable")
        banner = ui.label("").classes("zq-msg").props("data-testid=panel-message")
        cards: list[Card] = []
        with ui.grid().classes("w-full gap-4").style(
                "grid-template-columns: repeat(auto-fill, minmax(620px, 1fr))"):
            for station in hub:
                cards.append(Card(station, hub, may_change))
        by_id = {card.station.id: card for card in cards}

        async def all_off() -> None:
            verdict = channel.current()
            if not verdict.allowed:
                log.warning("refused all-off from the page: %s", verdict.reason)
                banner.set_text(f"refused: {verdict.reason}")
                ui.notify(f"Refused: {verdict.reason}", type="negative")
                return
            result = await hub.all_off()
            if result["confirmed"]:
                banner.set_text("all outputs off (confirmed)")
            else:
                text = "; ".join(r["message"] for r in result["supplies"] if not r["confirmed"])
                banner.set_text(text)
                ui.notify(text, type="negative", multi_line=True)
            for card in cards:
                card.update()

        def on_reading(station: Station) -> None:
            card = by_id.get(station.id)
            if card is not None:
                card.update()

        unsubscribe = hub.subscribe(on_reading)
        ui.context.client.on_delete(unsubscribe)
        ticks = [0]

        def tick() -> None:
            ticks[0] += 1
            for card in cards:
                card.tick()
                if ticks[0] % 2 == 0:
                    card.refresh_chart()

        ui.timer(0.5, tick)

"""One supply's card: live readings beside the setpoints, the output switch, a ramp, the chart.

Its handlers are in :mod:`.card_actions`: each asks :func:`channel.current` (the access
decision of the socket the click came on) first; nothing is queued for a supply otherwise.
"""

from __future__ import annotations

import time
from typing import Any

from nicegui import ui
from nicegui.element import Element

from zq4180_bench.readings import STATUS_TEXT, amps, volts, watts

from .chart import chart_options
from .card_actions import CardActions
from .hub import Hub
from .station import Station

STOP_TOOLTIP = ("Stop the ramp where it is: the output keeps its state and the voltage reached. "
                "To switch the output off, use the output switch or All outputs off.")


def confirm_text(r) -> str:
    """What the switch-on dialog says: what the output will deliver, and a temperature alarm."""
    text = (f"It will deliver up to {min(r.voltage_set_V, r.voltage_max_V):.3f} V "
            f"with a {r.current_limit_A:.3f} A limit.")
    if r.over_temperature:
        text += " WARNING: the supply reports its temperature alarm (over temperature)."
    return text


class SetpointField(Element, component="setpoint_field.js"):
    """A setpoint whose text is the supply's value, edited in place (Enter sends, see the .js)."""

    def __init__(self, shown: str, editable: bool) -> None:
        super().__init__()
        self._props["shown"] = shown
        self._props["editable"] = editable

    def set_text(self, text: str) -> None:
        self._props["shown"] = text
        self._props["value"] = text.split(" ")[0]
        self.update()


def limits_text(station: Station) -> str:
    limits = station.supply.limits
    parts = [f"{limits.voltage.value:.3f} V" if limits.voltage else "no voltage limit",
             f"{limits.current.value:.3f} A" if limits.current else "no current limit"]
    return "limits: " + ", ".join(parts)


class Card(CardActions):
    """One supply's card on one page."""

    def __init__(self, station: Station, hub: Hub, may_change: bool) -> None:
        self.station = station
        self.hub = hub
        self.may_change = may_change
        self.shown: dict[str, Any] = {}
        self.chart_version: tuple[int, int, int] | None = None
        sid = station.id
        ident = station.identity
        with ui.card().classes("zq-card q-pa-md").props(
                f'data-testid=supply-card data-supply-id="{sid}" data-id="{sid}"') as self.root:
            with ui.row().classes("w-full items-baseline justify-between no-wrap"):
                with ui.column().classes("gap-0"):
                    ui.label(sid).classes("text-lg font-bold text-white").props('data-testid=supply-id')
                    ui.label(f"{ident.get('model', '?')} · SN {ident.get('SN', '?')} · firmware "
                             f"{ident.get('soft_version', '?')} · {station.port}").classes("zq-sub")
                    ui.label(limits_text(station)).classes("zq-sub").props("data-testid=limits") \
                        .tooltip(station.supply.limits.describe())
                with ui.row().classes("items-center gap-2 no-wrap"):
                    self.age = ui.label("").classes("zq-sub zq-mono whitespace-nowrap")
                    self.state = ui.label("connecting").classes("zq-chip zq-state-wait").props(
                        "data-testid=connection-state")
            with ui.row().classes("w-full gap-6 q-mt-sm no-wrap"):
                # the ceiling is a voltage (the most the supply puts out, whatever the setpoint): it sits
                # under the voltage's setpoint, not under the power, which has no setpoint
                v_read, (v_set, v_max) = self._readout(
                    "zq-v", "reading-voltage", ("set", "setpoint-voltage", "voltage", "voltage"),
                    ("ceiling", "setpoint-ceiling", "ceiling", "voltage ceiling"))
                a_read, (a_set,) = self._readout("zq-a", "reading-current",
                                                 ("limit", "setpoint-current", "current", "current limit"))
                w_read, () = self._readout("zq-w", "reading-power")
                self.v, self.a, self.w, self.ceiling = (v_read, v_set), (a_read, a_set), (w_read, None), v_max
            with ui.row().classes("w-full gap-2 q-mt-xs"):
                self.regulation = ui.label("-").classes("zq-chip").props("data-testid=regulation")
                self.output_chip = ui.label("output -").classes("zq-chip").props("data-testid=output-state")
                self.mode = ui.label("-").classes("zq-chip").props("data-testid=work-mode")
                self.temp = ui.label("temp -").classes("zq-chip").props("data-testid=temperature-alarm")
                self.fan = ui.label("fan -").classes("zq-chip").props("data-testid=fan")
                self.event = ui.label("").classes("zq-sub q-ml-sm").props("data-testid=last-event")
            self.chart = ui.echart(chart_options(station)).classes("w-full").style("height: 170px")
            with ui.row().classes("w-full items-end gap-2 no-wrap q-mt-xs"):
                self.ramp_to = self._field("Ramp to", "V", "ramp-to", "ramp target")
                self.ramp_rate = self._field("Rate", "V/s", "ramp-rate", "ramp rate")
                self.ramp_btn = ui.button("Ramp", on_click=self.ramp_start).props(
                    "unelevated no-caps color=secondary data-testid=ramp-start")
                self.ramp_stop_btn = ui.button("Stop", on_click=self.ramp_stop).props(
                    "outline no-caps color=warning data-testid=ramp-stop")
                self.ramp_stop_btn.tooltip(STOP_TOOLTIP)
                self.ramp_text = ui.label("").classes("zq-sub zq-mono whitespace-nowrap").props(
                    "data-testid=ramp-progress")
                ui.space()
                ui.link("CSV", f"/api/supplies/{sid}/log.csv").props(
                    f'download="{sid}.csv" data-testid=csv-link').classes("text-sky-300 q-mr-md")
                ui.label("Output").classes("zq-sub")
                self.switch = ui.button("-").props('no-caps unelevated color=blue-grey-8 '
                                                   'data-testid=output-switch data-state=""') \
                    .classes("zq-mono text-base").style("min-width: 64px")
                self.switch.on("click", self.switch_clicked, js_handler=self._confirm_js())
            self.message = ui.label("").classes("zq-msg").props("data-testid=card-message")
        if not may_change:
            for element in (self.switch, self.ramp_to, self.ramp_rate, self.ramp_btn, self.ramp_stop_btn):
                element.props("disable")
        self.update()

    # -- building ------------------------------------------------------------------

    def _readout(self, color: str, testid: str, *setpoints: tuple[str, str, str, str]):
        """A reading, and under it its setpoints: (label, data-testid, settings key, what) each."""
        fields = []
        with ui.column().classes("gap-0"):
            reading = ui.label("-").classes(f"zq-mono zq-big {color}").props(f"data-testid={testid}")
            for set_label, set_testid, key, what in setpoints:
                with ui.row().classes("gap-1 items-baseline no-wrap"):
                    ui.label(set_label).classes("zq-sub zq-set-label")
                    field = SetpointField("-", self.may_change).classes("zq-mono zq-set zq-edit").props(
                        f'data-testid={set_testid} aria-label="{what}"')
                    field.on("commit", lambda e, k=key, w=what: self.commit(k, w, e.args))
                    field.tooltip(f"{what}: type a new value and press Enter" if self.may_change else what)
                fields.append(field)
        return reading, tuple(fields)

    def _field(self, label: str, unit: str, testid: str, what: str):
        field = ui.input(label).props(f'dense outlined dark stack-label suffix="{unit}" inputmode=decimal '
                                      f'data-testid={testid} aria-label="{what}"').classes("w-32 zq-mono")
        field.on("keydown.enter", lambda e, w=what: self.enter_pressed(w, e.args),
                 js_handler="(e) => emit(e.target.value)")
        return field

    def _confirm_js(self) -> str:
        sid = self.station.id
        return ("(e) => { const b = e && e.target && e.target.closest ? "
                "e.target.closest('[data-testid=output-switch]') : null; "
                "const state = b ? b.dataset.state : ''; "
                "if (state !== 'on') { const what = b ? b.dataset.confirm : ''; "
                f"if (!window.confirm('Switch the output of {sid} ON?' + (what ? '\\n' + what : ''))) return; "
                "emit('on'); } else { emit('off'); } }")

    # -- live updates -----------------------------------------------------------------

    def _set(self, key: str, element, text: str) -> None:
        if self.shown.get(key) != text:
            self.shown[key] = text
            element.set_text(text)

    def _classes(self, key: str, element, add: str, remove: str) -> None:
        if self.shown.get(key) != add:
            self.shown[key] = add
            element.classes(add=add, remove=remove)

    def update(self) -> None:
        st = self.station
        r = st.last
        state = st.state
        self._set("state", self.state, STATUS_TEXT.get(state, state))
        self._classes("state_cls", self.state,
                      {"ok": "zq-state-ok", "connecting": "zq-state-wait"}.get(state, "zq-state-bad"),
                      "zq-state-ok zq-state-wait zq-state-bad")
        if r is not None and r.ok:
            self._set("v", self.v[0], volts(r.voltage_V))
            self._set("vs", self.v[1], volts(r.voltage_set_V))
            self._set("a", self.a[0], amps(r.current_A))
            self._set("as", self.a[1], amps(r.current_limit_A))
            self._set("w", self.w[0], watts(r.power_W))
            self._set("ceiling", self.ceiling, volts(r.voltage_max_V))
            self._set("reg", self.regulation, r.regulation or "-")
            self._set("out", self.output_chip, f"output {r.output}")
            self._set("mode", self.mode, r.work_mode or "-")
            self._set("temp", self.temp, "TEMP ALARM" if r.over_temperature else "temp ok")
            self._set("fan", self.fan, f"fan {r.fan_speed}")
            self._set("switch", self.switch, r.output or "-")
            if self.shown.get("switch_state") != r.output:
                self.shown["switch_state"] = r.output
                color = "positive" if r.output == "on" else "blue-grey-8"
                self.switch.props(f'data-state="{r.output}" color={color}')
            confirm = confirm_text(r)
            if self.shown.get("confirm") != confirm:
                self.shown["confirm"] = confirm
                self.switch.props(f'data-confirm="{confirm}"')
        elif r is not None:
            for key, element in (("v", self.v[0]), ("a", self.a[0]), ("w", self.w[0])):
                self._set(key, element, "-")
            problem = st.supply.problem
            self._set("event", self.event, problem or STATUS_TEXT.get(state, state))
        if st.events:
            t, event = st.events[-1]
            self._set("event", self.event, time.strftime("%H:%M:%S ", time.localtime(t)) + event.text)
        rs = st.ramp
        if rs is not None and st.ramping():
            self._set("ramp", self.ramp_text, f"ramp {rs.step}/{rs.steps or '?'} → {rs.target:.3f} V")
        elif st.ramp is not None and st.ramp.error:
            self._set("ramp", self.ramp_text, f"ramp failed: {st.ramp.error}")
        elif st.ramp is not None:
            self._set("ramp", self.ramp_text, "ramp ended")
        self.tick()

    def tick(self) -> None:
        st = self.station
        age = st.age()
        self._set("age", self.age, "" if age is None else f"{age:4.1f} s ago")
        stale = st.stale()
        if self.shown.get("stale") != stale:
            self.shown["stale"] = stale
            if stale:
                self.root.classes(add="zq-stale")
            else:
                self.root.classes(remove="zq-stale")
            self.root.props(f'data-stale="{str(stale).lower()}"')

    def refresh_chart(self) -> None:
        # setOption in the browser: one text message, instead of the element's options
        # (NiceGUI would wrap every point in an observable and walk it again to send it)
        if self.chart_version != st_version(self.station):
            self.chart_version = st_version(self.station)
            self.chart.run_chart_method("setOption", chart_options(self.station))


def st_version(station: Station) -> tuple[int, int, int]:
    chart = station.chart
    return (len(chart), int(chart[-1][0] * 1000) if chart else 0, len(station.events))

"""A card's chart: the readings of the last minutes, with the supply's events marked."""

from __future__ import annotations

import time
from typing import Any

from .station import CHART_WINDOW, EVENT_KINDS_MARKED, Station

V_COLOR, A_COLOR = "#5eead4", "#fcd34d"


def _mark_label(kind: str, text: str) -> str:
    if kind == "regulation":
        return text.split(":", 1)[-1].strip().split("->")[-1].strip()
    if kind == "output":
        return "out " + text.split("->")[-1].strip()
    return {"no_reply": "no reply", "no_port": "port lost", "port_back": "back", "answering": "back",
            "over_temperature": "temp", "other_supply": "other supply"}.get(kind, kind)


# where an event's label sits on its line: top, middle, bottom of the plot
MARK_POSITIONS = ("insideEndTop", "insideMiddleTop", "insideStartTop")


def event_marks(events, start: float, end: float) -> list[dict[str, Any]]:
    """Vertical lines at the events since ``start``. Labels of events close together are staggered
    over :data:`MARK_POSITIONS`; one that would still overlap another shows on hover only."""
    crowded = (end - start) / 32          # s: about the width of a label on a card's chart
    last_at = {position: float("-inf") for position in MARK_POSITIONS}
    marks = []
    for t, e in events:
        if e.kind not in EVENT_KINDS_MARKED or t < start:
            continue
        text = _mark_label(e.kind, e.text)
        free = [p for p in MARK_POSITIONS if t - last_at[p] >= crowded]
        label: dict[str, Any] = {"formatter": text}
        if free:
            label["position"] = free[0]
            last_at[free[0]] = t
        else:
            label["show"] = False
        marks.append({"xAxis": int(t * 1000), "name": text, "label": label,
                      "emphasis": {"label": {"show": True, "formatter": text}}})
    return marks


def chart_options(station: Station) -> dict[str, Any]:
    now = time.time()
    points = list(station.chart)
    v = [[int(t * 1000), None if pv is None else round(pv, 3)] for t, pv, _ in points]
    a = [[int(t * 1000), None if pa is None else round(pa, 3)] for t, _, pa in points]
    # the window, or the session so far while it is younger (at least half a minute)
    start = max(now - CHART_WINDOW, min(points[0][0] if points else now, now - 30))
    marks = event_marks(list(station.events), start, now)
    axis_label = {"color": "#8ea0c0", "fontSize": 10}
    split = {"lineStyle": {"color": "#1f2a44"}}
    return {
        "animation": False,
        "grid": {"left": 46, "right": 50, "top": 26, "bottom": 22},
        "tooltip": {"trigger": "axis"},
        "legend": {"data": ["V", "A"], "top": 0, "left": "center", "textStyle": {"color": "#cbd5e1"},
                   "itemHeight": 8},
        "xAxis": {"type": "time", "min": int(start * 1000), "max": int(now * 1000), "splitNumber": 6,
                  "axisLabel": {**axis_label, "hideOverlap": True}, "splitLine": {"show": False},
                  "axisLine": {"lineStyle": {"color": "#334155"}}},
        "yAxis": [{"type": "value", "name": "V", "min": 0, "axisLabel": axis_label, "splitLine": split,
                   "nameTextStyle": {"color": V_COLOR}},
                  {"type": "value", "name": "A", "min": 0, "axisLabel": axis_label, "splitLine": {"show": False},
                   "nameTextStyle": {"color": A_COLOR}}],
        "series": [
            {"name": "V", "type": "line", "showSymbol": False, "data": v, "color": V_COLOR, "connectNulls": False,
             "lineStyle": {"width": 1.6},
             "markLine": {"symbol": "none", "silent": False, "data": marks,
                          "lineStyle": {"color": "#f472b6", "type": "dashed", "width": 1},
                          "label": {"color": "#f9a8d4", "fontSize": 10, "position": "insideEndTop"}}},
            {"name": "A", "type": "line", "yAxisIndex": 1, "showSymbol": False, "data": a, "color": A_COLOR,
             "connectNulls": False, "lineStyle": {"width": 1.6}},
        ],
    }

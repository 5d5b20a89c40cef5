"""The panel's own rules, one table each: field units, numbers from bodies, log lines, cookies,
connection caps, the HTTP status of a result."""

import logging
import sys

import pytest

pytest.importorskip("nicegui", reason="the panel extra is not installed")

from zq4180_panel.access import Policy, cookie_values
from zq4180_panel.connections import CAP_MAX, connection_cap
from zq4180_panel.fields import READOUT_MAX_A, check_number, parse_field
from zq4180_panel.hub import http_status
from zq4180_panel.logtext import OneLineFormatter, one_line

FIELDS = [
    # (text, unit, value or the fragment of the refusal)
    ("3.3", "V", 3.3),
    (" 3.3 ", "V", 3.3),
    ("3.3V", "V", 3.3),
    ("3.3 V", "V", 3.3),
    ("1200mV", "V", 1.2),
    ("750 mA", "A", 0.75),
    ("0.5A", "A", 0.5),
    (".5", "A", 0.5),
    ("2.5e-3A", "A", 0.0025),
    ("0.5V/s", "V/s", 0.5),
    ("", "V", None),
    ("   ", "A", None),
    ("0.7V", "A", "is in V, not A"),          # another field's unit is refused, not stripped
    ("3A", "V", "is in A, not V"),
    ("2V", "V/s", "is in V, not V/s"),
    ("1_1", "V", "'1_1' is not a number of V"),
    ("1,5", "V", "not a number of V"),
    ("0x10", "V", "not a number of V"),
    ("inf", "V", "not a number of V"),
    ("nan", "A", "not a number of A"),
    ("１２", "V", "not a number of V"),          # full-width digits
    ("-1", "V", "negative"),
    ("1e308", "V", "too large"),
    ("5kV", "V", "not a number of V"),
    ("5 volts", "V", "not a number of V"),
    ("V", "V", "needed"),
    ("3.3v", "V", "not a number of V"),         # the unit as the panel shows it
    ("65.535", "A", READOUT_MAX_A),
    ("65.536", "A", "read-out"),
    ("70000mA", "A", "read-out"),
]


@pytest.mark.parametrize("text, unit, expected", FIELDS)
def test_fields_take_their_own_unit_only(text, unit, expected):
    what = {"V": "voltage", "A": "current", "V/s": "rate"}[unit]
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            parse_field(text, what, unit)
    else:
        assert parse_field(text, what, unit) == pytest.approx(expected) if expected is not None else \
            parse_field(text, what, unit) is None


BODY_NUMBERS = [
    (5, "voltage", 5.0),
    (0.0, "current", 0.0),
    (65.535, "current", 65.535),
    (65.5351, "current", "read-out"),
    (100.0, "voltage", 100.0),                 # the supply's range and the limits are the library's
    (1e308, "voltage", "too large"),
    (-0.1, "ceiling", "negative"),
    (True, "voltage", "not a number"),
    ("5", "voltage", "not a number"),
    (float("nan"), "voltage", "not a finite"),
]


@pytest.mark.parametrize("value, what, expected", BODY_NUMBERS)
def test_numbers_from_bodies(value, what, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            check_number(value, what)
    else:
        assert check_number(value, what) == expected


LOG_TEXT = [
    ("plain text", "plain text"),
    ("/api/x\nzq4180-panel: s1: output off (confirmed)", "/api/x\\nzq4180-panel: s1: output off (confirmed)"),
    ("a\r\nb", "a\\r\\nb"),
    ("\x1b[2J cleared", "\\x1b[2J cleared"),
    ("tab\there", "tab\\there"),
    ("line\u2028separator\x85next", "line\\u2028separator\\x85next"),
    ("del\x7f", "del\\x7f"),
    ("µ and ü stay", "µ and ü stay"),
]


@pytest.mark.parametrize("text, written", LOG_TEXT)
def test_log_lines_cannot_be_forged(text, written):
    assert one_line(text) == written
    record = logging.LogRecord("zq4180_panel", logging.WARNING, __file__, 1, "refused %s from %s", (text, "::1"), None)
    line = OneLineFormatter("zq4180-panel: %(message)s").format(record)
    assert "\n" not in line and "\r" not in line and line == f"zq4180-panel: refused {written} from ::1"


TOKEN = "T0k3n"
OWN = {"host": "127.0.0.1:8080", "origin": "http://127.0.0.1:8080", "client": "127.0.0.1"}
COOKIES = [
    # (Cookie header, allowed)
    ("zq4180_panel_8080=T0k3n", True),
    ("zq4180_panel_8080=planted; zq4180_panel_8080=T0k3n", True),   # another page's cookie for a longer path
    ("zq4180_panel_8080=T0k3n; zq4180_panel_8080=planted", True),
    ('zq4180_panel_8080="T0k3n"', True),
    ("zq4180_panel_8080=planted", False),
    ("zq4180_panel_8081=T0k3n", False),                             # another panel's cookie
    ("other=T0k3n", False),
    ("zq4180_panel_8080=T0k3n2", False),
]


@pytest.mark.parametrize("cookie, allowed", COOKIES)
def test_any_cookie_of_the_name_with_the_token_counts(cookie, allowed):
    policy = Policy(TOKEN, 8080)
    assert policy.decide(authorization=None, cookie_header=cookie, **OWN).allowed is allowed
    assert policy.may_view({"cookie": cookie}) is allowed
    assert TOKEN in cookie_values(cookie, "zq4180_panel_8080") or not allowed


@pytest.mark.parametrize("headers, query, may_view", [
    ({}, "", False),
    ({}, f"token={TOKEN}", True),
    ({}, "token=wrong", False),
    ({"authorization": f"Bearer {TOKEN}"}, "", True),
    ({"authorization": "Bearer wrong"}, "", False),
    ({"cookie": f"zq4180_panel_8080={TOKEN}"}, "token=wrong", True),
])
def test_who_gets_the_live_page(headers, query, may_view):
    assert Policy(TOKEN, 8080).may_view(headers, query) is may_view


@pytest.mark.parametrize("limit, cap", [(1024, 256), (256, 64), (20000, CAP_MAX), (40, 16), (1 << 20, CAP_MAX)])
def test_connection_cap_stays_well_below_the_file_limit(limit, cap):
    assert connection_cap(limit) == cap and cap <= max(16, limit // 4)


def _outcome(ok=True, answered=True):
    return {"name": "voltage", "ok": ok, "answered": answered}


@pytest.mark.parametrize("result, status", [
    ({"ok": True, "outcomes": [_outcome()]}, 200),
    ({"ok": False, "outcomes": [_outcome(ok=False)]}, 502),                    # a read-back that differs
    ({"ok": False, "outcomes": [_outcome(ok=False, answered=False)]}, 503),    # no answer to a command
    ({"ok": False, "confirmed": False, "outcomes": [_outcome(ok=False)]}, 503),  # an off not confirmed
])
def test_http_status_of_a_result(result, status):
    assert http_status(result) == status


class _Named:
    def __init__(self, name):
        self.name = name


@pytest.mark.parametrize("names, ids", [
    (["bench-a", "bench-b"], ["bench-a", "bench-b"]),
    (["bench\n", None], ["s1", "s2"]),                 # a trailing newline is no name
    (["bench-a", "bench-a"], ["bench-a", "s2"]),
    (["bad name", "s2"], ["s1", "s2"]),
    ([None, "s1"], ["s1", "s2"]),
    (["s2", None], ["s2", "s2_"]),
])
def test_station_ids_take_whole_names_only(names, ids):
    from zq4180_panel.stations import station_ids
    assert station_ids([_Named(n) for n in names]) == ids


def test_a_traceback_cannot_forge_a_line():
    try:
        raise ValueError("bad value\nzq4180-panel: s1: output off (confirmed)")
    except ValueError:
        record = logging.LogRecord("zq4180_panel", logging.ERROR, __file__, 1, "a page failed", (), sys.exc_info())
    lines = OneLineFormatter("zq4180-panel: %(message)s").format(record).splitlines()
    assert lines[0] == "zq4180-panel: a page failed"
    assert len(lines) > 2 and all(line.startswith("    ") for line in lines[1:])


class _Transport:
    def __init__(self) -> None:
        self.closed = self.aborted = False

    def is_closing(self) -> bool:
        return self.closed

    def close(self) -> None:
        self.closed = True

    def abort(self) -> None:
        self.closed = self.aborted = True


# (the connections held, each (busy, its client stopped reading, its answer begun, last active);
# which one makes room)
ROOM = [
    ("the idle one, not the stalled one", [(True, True, True, 1.0), (False, False, False, 5.0)], 1),
    ("the longest idle", [(False, False, False, 3.0), (False, False, False, 2.0)], 1),
    ("a client that stopped reading its answer, when none is idle",
     [(True, False, True, 1.0), (True, True, True, 4.0)], 1),
    ("the oldest of those", [(True, True, True, 6.0), (True, True, True, 4.0), (True, False, True, 1.0)], 1),
    ("an answer under way, when none is stalled", [(True, False, False, 1.0), (True, False, True, 4.0)], 1),
    ("none: every one waits for its answer", [(True, False, False, 1.0), (True, False, False, 2.0)], None),
]


@pytest.mark.parametrize("case, held, evicted", ROOM, ids=[r[0] for r in ROOM])
def test_which_connection_makes_room(case, held, evicted):
    from types import SimpleNamespace

    from zq4180_panel.connections import GuardedH11Protocol

    connections: set = set()
    state = SimpleNamespace(connections=connections)

    def protocol(busy: bool, stalled: bool, started: bool, at: float):
        p = GuardedH11Protocol.__new__(GuardedH11Protocol)
        p.cycle = SimpleNamespace(response_complete=not busy, response_started=started or not busy)
        p.flow = SimpleNamespace(write_paused=stalled)
        p.active_at, p._head_timer, p.transport = at, None, _Transport()
        p.server_state, p.connections = state, connections
        return p

    old = [protocol(*h) for h in held]
    connections.update(old)
    newcomer = protocol(False, False, False, 10.0)
    assert newcomer._make_room() is (evicted is not None)
    assert [p.transport.closed for p in old] == [k == evicted for k in range(len(old))]
    # a busy one is cut off at once: a plain close would wait for its client to read
    assert [p.transport.aborted for p in old] == [k == evicted and held[k][0] for k in range(len(old))]
    assert len(connections) == len(old) - (evicted is not None)

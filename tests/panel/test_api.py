"""The JSON API and its access rules, each refusal checked on the wire: nothing sent."""

import csv
import io
import signal
import socket
import time

import pytest

pytest.importorskip("nicegui", reason="the panel extra is not installed")

from zq4180_bench import COLUMNS

from .helpers import FIRST_LINE, changes_sent

SETTINGS = "/api/supplies/s1/settings"


def test_first_line_readings_and_ids(bench):
    panel, supplies = bench
    assert FIRST_LINE.match(panel.first_line) and panel.host == "127.0.0.1"
    listed = panel.supplies()
    assert [s["id"] for s in listed] == ["s1", "s2"]
    assert [s["port"] for s in listed] == [s.port for s in supplies]
    assert listed[1]["identity"]["SN"] == "076787042"
    assert set(listed[0]["reading"]) == set(COLUMNS)
    assert listed[0]["reading"]["voltage_set_V"] == 5.0


def test_starting_sends_only_reads(make_supply, make_panel):
    sup = make_supply()
    panel = make_panel(sup.port, "--sim", "1")
    assert [s["id"] for s in panel.supplies()] == ["s1", "s2"]
    panel.wait_for(lambda: len(sup.exchanges) > 3, what="status reads")
    assert changes_sent(sup) == []


def test_settings_in_safe_order_with_read_back(bench):
    panel, (sup, other) = bench
    mark = len(sup.exchanges)
    status, _, body = panel.post(SETTINGS, {"voltage": 3.3, "current": 0.2, "output": "on"})
    assert status == 200 and body["ok"], body
    assert {o["name"]: o["readback"] for o in body["outcomes"]} == {"voltage": 3.3, "current": 0.2, "output": "on"}
    # remote, current limit, voltage, output on last
    assert changes_sent(sup, mark) == [0x20, 0x24, 0x23, 0x21]
    assert sup.state.output_on and sup.state.voltage_set_mv == 3300
    assert changes_sent(other) == []
    panel.wait_for(lambda: panel.supplies()[0]["reading"]["output"] == "on", what="the reading to follow")
    status, _, body = panel.post("/api/off")
    assert status == 200 and body["ok"] and not sup.state.output_on


REFUSALS = [
    # (headers beyond Host, reason fragment)
    ({}, "no token"),
    ({"Authorization": "Bearer wrong-token"}, "wrong token"),
    ({"Authorization": "Basic abc"}, "wrong token"),
    ({"Cookie": "COOKIE"}, "Origin"),                                   # cookie alone: a foreign form post
    ({"Cookie": "COOKIE", "Origin": "http://evil.example"}, "Origin"),
    ({"Cookie": "COOKIE", "Origin": "http://127.0.0.1:1"}, "Origin"),    # same site, other port
    ({"Authorization": "BEARER", "Origin": "http://evil.example"}, "Origin"),
    ({"Cookie": "zq4180_panel_1=TOKEN", "Origin": "OWN"}, "no token"),  # another panel's cookie name
    ({"Authorization": "BEARER", "Host": "evil.example"}, "Host"),      # DNS rebinding
]


@pytest.mark.parametrize("path, body", [(SETTINGS, {"output": "on"}), ("/api/off", {})])
def test_refusals_send_nothing(bench, path, body):
    panel, supplies = bench
    marks = [len(s.exchanges) for s in supplies]
    for extra, reason in REFUSALS:
        headers = {}
        for key, value in extra.items():
            value = {"COOKIE": panel.cookie, "BEARER": f"Bearer {panel.token}", "OWN": panel.origin}.get(value, value)
            headers[key] = value.replace("TOKEN", panel.token)
        status, _, answer = panel.request("POST", path, body, headers)
        assert status == 403, (extra, answer)
        assert reason in (answer["detail"] if isinstance(answer, dict) else answer), (extra, answer)
    # the token in a cookie counts together with the panel's own Origin
    status, _, _ = panel.request("POST", SETTINGS, {"mode": "remote"}, {"Cookie": panel.cookie, "Origin": panel.origin})
    assert status == 200
    assert changes_sent(supplies[0], marks[0]) == [0x20] and changes_sent(supplies[1], marks[1]) == []
    assert "refused POST" in panel.stderr()


@pytest.mark.parametrize("body, fragment", [
    ({"voltage": 5.001}, "over the limit 5.000 V"),
    ({"ceiling": 12}, "over the limit"),
    ({"current": 0.6, "output": "on"}, "over the limit 0.500 A"),
    ({"voltage": -1}, "0 or more"),
    ({"voltage": "3"}, None),
    ({"voltage": 1, "colour": "red"}, None),
    ({"output": "yes"}, None),
    ({}, "nothing to change"),
])
def test_values_refused_before_sending(bench, body, fragment):
    panel, (sup, _) = bench
    mark = len(sup.exchanges)
    status, _, answer = panel.post(SETTINGS, body)
    assert status in (400, 422), answer
    if fragment:
        assert fragment in answer["detail"]
    assert changes_sent(sup, mark) == []


@pytest.mark.parametrize("path, raw, fragment", [
    (SETTINGS, '{"voltage": NaN}', "voltage: Input should be a finite number"),
    (SETTINGS, '{"current": Infinity, "output": "on"}', "current: Input should be a finite number"),
    (SETTINGS, '{"ceiling": -Infinity}', "ceiling: Input should be a finite number"),
    (SETTINGS, '{"voltage": 1e999}', "voltage: Input should be a finite number"),
    (SETTINGS, '{"voltage": "3"}', "voltage: Input should be a valid number"),
    (SETTINGS, '{"voltage": 1, "colour": "red"}', "colour: Extra inputs are not permitted"),
    (SETTINGS, '{"voltage": 1', "JSON decode error"),
    ("/api/supplies/s1/ramp", '{"to": NaN, "rate": 1}', "to: Input should be a finite number"),
    ("/api/supplies/s1/ramp", '{"to": 1, "rate": 1e999}', "rate: Input should be a finite number"),
    (SETTINGS, '{"voltage": 1e308}', "voltage: '1e+308' is too large"),           # past the wire's field
    (SETTINGS, '{"current": 70}', "more than the supply's read-out can show (65.535 A)"),
    (SETTINGS, '{"ceiling": -1}', "negative"),
    (SETTINGS, '{"output": "off", "voltage": 1e308}', "too large"),               # refused before the off
    ("/api/supplies/s1/ramp", '{"to": 1e308, "rate": 1}', "too large"),
])
def test_malformed_bodies_are_logged_422s(bench, path, raw, fragment):
    panel, supplies = bench
    marks = [len(s.exchanges) for s in supplies]
    status, _, answer = panel.post(path, raw)
    assert status == 422 and fragment in answer["detail"], answer
    assert f"refused POST {path} from 127.0.0.1: {answer['detail']}" in panel.stderr()
    assert [changes_sent(s, m) for s, m in zip(supplies, marks)] == [[], []]


FRAME_HEADERS = {"content-security-policy": "frame-ancestors 'none'", "x-frame-options": "DENY"}


@pytest.mark.parametrize("method, path, headers, body, expected", [
    ("GET", "/", {}, None, 200),
    ("GET", "/api/supplies", {}, None, 200),
    ("POST", SETTINGS, {"Authorization": None}, {"output": "on"}, 403),
    ("GET", "/", {"Host": "evil.example"}, None, 403),
    ("POST", SETTINGS, {}, '{"voltage": NaN}', 422),
    ("GET", "/api/supplies/nope", {}, None, 404),
])
def test_no_response_may_be_framed(bench, method, path, headers, body, expected):
    panel, _ = bench
    status, got, answer = panel.request(method, path, body, {**panel.bearer(), **headers})
    assert status == expected
    assert {k: got[k] for k in FRAME_HEADERS} == FRAME_HEADERS
    if "Host" in headers:   # the names served stay in the log: a rebinding page could read the answer
        assert "not a name this panel serves" in answer and "localhost" not in answer


def test_read_only_refuses_everything(make_supply, make_panel):
    sup = make_supply()
    panel = make_panel(sup.port, "--read-only")
    for path in (SETTINGS, "/api/off", "/api/supplies/s1/ramp"):
        status, _, answer = panel.post(path, {"to": 1, "rate": 1} if path.endswith("ramp") else {"output": "off"})
        assert status == 403 and "read-only" in answer["detail"]
    assert panel.request("GET", "/api/supplies")[0] == 200
    assert changes_sent(sup) == []


def _outward_address() -> str | None:
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.connect(("192.0.2.1", 9))   # no packet is sent: this only picks the outward interface
            address = s.getsockname()[0]
    except OSError:
        return None
    return None if address.startswith("127.") else address


@pytest.mark.parametrize("allow", [False, True])
def test_remote_clients(make_supply, make_panel, allow):
    address = _outward_address()
    if address is None:
        pytest.skip("no non-loopback interface")
    sup = make_supply()
    panel = make_panel(sup.port, "--host", "0.0.0.0", *(["--allow-remote-control"] if allow else []))
    assert panel.host == "127.0.0.1"                        # the first line names an address a browser opens
    assert "warning: listening on 0.0.0.0" in panel.stderr() and f"http://{address}:{panel.port}/" in panel.stderr()
    headers = {**panel.bearer(), "Host": f"{address}:{panel.port}"}
    status, _, answer = panel.request("POST", SETTINGS, {"mode": "remote"}, headers, address=address)
    assert panel.request("GET", "/api/supplies", headers=headers, address=address)[0] == 200
    if allow:
        assert status == 200
    else:
        assert status == 403 and "--allow-remote-control" in answer["detail"]
        assert changes_sent(sup) == []


@pytest.mark.parametrize("bind, extra, served, refused", [
    ("127.0.0.1", [], {"localhost", "127.0.0.1", "[::1]"}, {"0.0.0.0", socket.gethostname().lower()}),
    ("::1", ["bench.lab"], {"localhost", "[::1]", "bench.lab"}, {"evil.example"}),
    ("0.0.0.0", [], {"0.0.0.0", "localhost", socket.gethostname().lower()}, {"evil.example"}),
    ("192.0.2.7", ["Tunnel.Example"], {"192.0.2.7", "tunnel.example"}, {"localhost", "127.0.0.1"}),
])
def test_served_host_names(bind, extra, served, refused):
    from zq4180_panel.access import allowed_hosts
    hosts = set(allowed_hosts(bind, extra))
    assert served <= hosts and not refused & hosts


def test_silent_supply_shows_and_recovers(make_supply, make_panel):
    sup = make_supply()
    panel = make_panel(sup.port)
    sup.inject("no_reply", count=None)
    panel.wait_for(lambda: panel.supplies()[0]["state"] == "no_reply", what="the no-reply state")
    # the age is that of the last answer: it grows, and the card goes stale, while the supply is silent
    silent = panel.wait_for(lambda: [s for s in panel.supplies() if s["stale"]], what="the stale flag")[0]
    assert silent["age_s"] >= 2.0 and silent["reading"]["status"] == "no_reply"   # rounded to ms
    sup.clear_faults()
    panel.wait_for(lambda: panel.supplies()[0]["state"] == "ok", timeout=15, what="recovery")
    back = panel.wait_for(lambda: [s for s in panel.supplies() if not s["stale"]], what="a fresh reading")[0]
    assert back["age_s"] < 2.0
    assert changes_sent(sup) == []


def test_session_cookie_and_csv(bench):
    panel, _ = bench
    # the token address sets the cookie and sends the browser on to the address without the token
    status, headers, _ = panel.request("GET", f"/?token={panel.token}")
    cookie = headers["set-cookie"]
    assert status == 303 and headers["location"] == "/" and cookie.startswith(f"zq4180_panel_{panel.port}={panel.token};")
    assert "HttpOnly" in cookie and "SameSite=Strict" in cookie
    status, headers, _ = panel.request("GET", f"/?dark=1&token={panel.token}&x=a%20b")
    assert status == 303 and headers["location"] == "/?dark=1&x=a+b"
    status, headers, page = panel.request("GET", "/?token=not-the-token")
    assert status == 200 and "set-cookie" not in headers and "open the address the panel printed" in page.lower()
    status, headers, text = panel.request("GET", "/api/supplies/s2/log.csv")
    assert status == 200 and headers["content-type"].startswith("text/csv")
    lines = text.splitlines()
    assert lines[0].startswith("# tool: zq4180-panel")
    rows = list(csv.reader(io.StringIO("\n".join(line for line in lines if not line.startswith("#")))))
    assert tuple(rows[0]) == COLUMNS and len(rows) > 2 and rows[-1][COLUMNS.index("status")] == "ok"
    assert panel.request("GET", "/api/supplies/nope/log.csv")[0] == 404


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_signals_stop_quickly_and_leave_supplies_alone(make_supply, make_panel, sig):
    sup = make_supply()
    panel = make_panel(sup.port)
    assert panel.post(SETTINGS, {"voltage": 1.0, "output": "on"})[0] == 200
    mark = len(sup.exchanges)
    status, took = panel.signal(sig)
    assert status == 0 and took < 2.0, (status, took, panel.stderr())
    assert sup.state.output_on and changes_sent(sup, mark) == []


def test_signal_during_ramp_runs_the_safe_end(make_supply, make_panel):
    sup = make_supply()
    panel = make_panel(sup.port)
    assert panel.post(SETTINGS, {"voltage": 0.5, "output": "on"})[0] == 200
    status, _, answer = panel.post("/api/supplies/s1/ramp", {"to": 20, "rate": 0.5})
    assert status == 202, answer
    panel.wait_for(lambda: sup.state.voltage_set_mv > 500, what="the ramp to start")
    status, took = panel.signal(signal.SIGTERM)
    assert status == 0 and took < 2.0, (status, took, panel.stderr())
    assert not sup.state.output_on and not sup.state.remote
    assert "safe end: output off (confirmed)" in panel.stderr()
    time.sleep(0.2)


def test_the_stop_button_says_what_it_does(bench):
    panel, _ = bench
    status, _, page = panel.request("GET", "/", headers={"Cookie": panel.cookie})
    assert status == 200
    assert "Stop the ramp where it is: the output keeps its state and the voltage reached." in page


@pytest.mark.parametrize("named_by", ["name", "port"])
def test_every_entry_for_the_supply_counts(make_supply, make_panel, tmp_path, named_by):
    import os
    sup = make_supply()
    config = tmp_path / "two-entries.toml"
    config.write_text(f'[supplies.bench-a]\nport = "{sup.port}"\nmax_voltage = 10.0\nmax_current = 1.0\n\n'
                      f'[supplies.by-path]\nport = "{os.path.realpath(sup.port)}"\nmax_voltage = 5.0\n')
    panel = make_panel("bench-a" if named_by == "name" else sup.port, config=config)
    listed = panel.supplies()[0]
    assert listed["limits"]["max_voltage"]["value"] == 5.0 and listed["limits"]["max_current"]["value"] == 1.0
    mark = len(sup.exchanges)
    status, _, answer = panel.post(f"/api/supplies/{listed['id']}/settings", {"voltage": 8.0})
    assert status == 422 and "5.000 V" in answer["detail"], answer
    assert changes_sent(sup, mark) == []

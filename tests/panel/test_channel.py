"""The page's own channel (NiceGUI's socket.io) under the same rules as the API.

A click on the page travels as a socket.io event naming the page's client and the
button's listener. These tests speak that protocol directly, as a foreign page or a
script could, and check that only the panel's own origin with the token gets a click
through to a supply.
"""

import contextlib
import json
import re
import time
import uuid

import pytest

pytest.importorskip("nicegui", reason="the panel extra is not installed")

from .helpers import changes_sent

websocket = pytest.importorskip("websocket", reason="websocket-client (comes with selenium) is missing")


def load_page(panel, headers=None) -> tuple[str, str, str]:
    """(client id, element id, listener id) of the all-off button on a freshly served page
    (served to the token holder: anyone else gets a static page)."""
    status, _, html = panel.request("GET", "/", headers={"Cookie": panel.cookie} if headers is None else headers)
    assert status == 200
    client_id = re.search(r"'client_id': '([0-9a-f-]+)'", html)[1]
    elements = json.loads(re.search(r"parseElements\(String\.raw`(.*?)`\)", html, re.S)[1])
    for element_id, element in elements.items():
        if element.get("props", {}).get("data-testid") == "all-off":
            return client_id, element_id, element["events"][0]["listener_id"]
    raise AssertionError("no all-off button on the page")


@contextlib.contextmanager
def page_socket(panel, page, *, origin=None, cookie=None, host=None):
    """The page's socket, opened as the page's script does; yields (socket, the server's
    answer to the socket.io connect: ``40...`` accepted, ``44...`` refused)."""
    query = (f"client_id={page[0]}&next_message_id=0&implicit_handshake=true&tab_id={uuid.uuid4()}"
             f"&document_id={uuid.uuid4()}&EIO=4&transport=websocket")
    ws = websocket.create_connection(f"ws://{panel.connect_host}:{panel.port}/_nicegui_ws/socket.io/?{query}",
                                     host=host or f"{panel.host}:{panel.port}", cookie=cookie, origin=origin,
                                     suppress_origin=origin is None, timeout=5)
    try:
        assert ws.recv().startswith("0")            # engine.io open
        ws.send("40")                               # socket.io connect
        yield ws, ws.recv()
    finally:
        ws.close()


def send_click(ws, page) -> None:
    client_id, element_id, listener_id = page
    event = {"id": int(element_id), "client_id": client_id, "listener_id": listener_id, "args": []}
    ws.send("42" + json.dumps(["event", event]))
    time.sleep(0.6)                                 # the handler runs (or is refused) meanwhile


def click(panel, **kwargs) -> str:
    page = load_page(panel)
    with page_socket(panel, page, **kwargs) as (ws, answer):
        send_click(ws, page)
    return answer


def test_foreign_origin_and_host_cannot_open_the_channel(bench):
    panel, supplies = bench
    marks = [len(s.exchanges) for s in supplies]
    tag = uuid.uuid4().hex[:8]
    for kwargs, reason in (({"origin": f"http://evil-{tag}.example", "cookie": panel.cookie}, "Origin"),
                           ({"origin": f"http://127.0.0.1:{panel.port + 1}", "cookie": panel.cookie}, "Origin"),
                           ({"origin": panel.origin.replace(panel.host, "evil.example"),
                             "host": f"evil.example:{panel.port}", "cookie": panel.cookie}, "Host")):
        with pytest.raises(websocket.WebSocketBadStatusException) as refused:
            click(panel, **kwargs)
        assert refused.value.status_code == 403 and reason.encode() in refused.value.resp_body, kwargs
    # long polling: a foreign Origin gets the same answer; without one it is not served at all
    polling = "/_nicegui_ws/socket.io/?EIO=4&transport=polling"
    status, _, answer = panel.request("GET", polling, headers={"Origin": f"http://evil-{tag}.example"})
    assert status == 403 and f"Origin 'http://evil-{tag}.example' is not this panel's" in answer
    assert panel.request("GET", polling)[0] == 404                                  # no token: the static page
    assert panel.request("GET", polling, headers={"Cookie": panel.cookie})[0] == 400  # no long polling at all
    assert panel.stderr().count(f"evil-{tag}") == 2          # each refusal logged once
    assert [changes_sent(s, m) for s, m in zip(supplies, marks)] == [[], []]


@pytest.mark.parametrize("case, opens", [("no cookie", False), ("wrong token", False), ("no origin", True),
                                         ("another page's client", True)])
def test_clicks_without_the_rules_change_nothing(bench, case, opens):
    panel, supplies = bench
    marks = [len(s.exchanges) for s in supplies]
    if case == "another page's client":
        # the user's own page is open; a script's socket for another page clicks in the user's page's name
        victim = load_page(panel)
        with page_socket(panel, victim, origin=panel.origin, cookie=panel.cookie) as (_, victim_answer):
            assert victim_answer.startswith("40")
            mine = load_page(panel)
            with page_socket(panel, mine, cookie=panel.cookie) as (ws, answer):
                send_click(ws, victim)
                ws.send("42" + json.dumps(["javascript_response", {"client_id": victim[0], "request_id": "x"}]))
                ws.send("42" + json.dumps(["ack", {"client_id": victim[0], "next_message_id": 10**6}]))
                time.sleep(0.3)
    else:
        cookie = {"no cookie": None, "no origin": panel.cookie,
                  "wrong token": f"zq4180_panel_{panel.port}=x{panel.token}"}[case]
        try:
            answer = click(panel, origin=None if case == "no origin" else panel.origin, cookie=cookie)
        except websocket.WebSocketBadStatusException as refused:     # without the token: not even upgraded
            assert refused.status_code == 403 and b"no token" in refused.resp_body
            answer = "handshake refused (403)"
    # a live channel only for the token holder; even then a click without the rules changes nothing
    assert answer.startswith("40") == opens, answer
    assert [changes_sent(s, m) for s, m in zip(supplies, marks)] == [[], []]
    if case == "another page's client":
        log = panel.stderr()
        assert "dropped a page event" in log
        assert all(f"dropped a page {kind} message" in log for kind in ("javascript_response", "ack"))


def test_own_origin_with_cookie_gets_through(bench):
    panel, supplies = bench
    marks = [len(s.exchanges) for s in supplies]
    assert click(panel, origin=panel.origin, cookie=panel.cookie).startswith("40")
    panel.wait_for(lambda: all(0x21 in changes_sent(s, m) for s, m in zip(supplies, marks)), what="all off")
    assert "refused all-off from the page" in panel.stderr()     # from the earlier cases

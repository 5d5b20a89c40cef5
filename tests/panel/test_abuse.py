"""Whoever can reach the port, without the token: idle and slow connections, anonymous page
views, oversized and malformed bodies, forged log lines. Loopback only, bounded in count and time."""

import json
import socket
import time
import uuid

import pytest

pytest.importorskip("nicegui", reason="the panel extra is not installed")

from zq4180_panel.connections import connection_cap

from .helpers import changes_sent

SETTINGS = "/api/supplies/s1/settings"


def rss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def raw(panel, data: bytes, *, read: bool = True, timeout: float = 10.0) -> bytes:
    """Send ``data`` on a fresh connection; the answer up to its end (or what came before a close)."""
    with socket.create_connection((panel.connect_host, panel.port), timeout=timeout) as s:
        try:
            s.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass
        out = b""
        while read:
            try:
                chunk = s.recv(65536)
            except (ConnectionResetError, socket.timeout):
                break
            if not chunk:
                break
            out += chunk
        return out


def head(panel, method: str, path: str, headers: dict, length: int | None = None) -> bytes:
    lines = [f"{method} {path} HTTP/1.1", f"Host: {panel.host}:{panel.port}", "Connection: close",
             *(f"{k}: {v}" for k, v in headers.items())]
    if length is not None:
        lines.append(f"Content-Length: {length}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def test_idle_connections_do_not_keep_the_token_holder_out(bench):
    panel, (sup, _) = bench
    idle = []
    try:
        for _ in range(connection_cap() + 40):            # more than the panel keeps open
            idle.append(socket.create_connection((panel.connect_host, panel.port), timeout=5))
        time.sleep(0.5)
        started = time.monotonic()
        status, _, answer = panel.post("/api/off", timeout=10)
        took = time.monotonic() - started
        assert status == 200 and answer["confirmed"], answer
        assert took < 8.0, took                          # generous: the point is that it gets through at all
        # the oldest idle connections made room: the server closed them
        closed = 0
        for s in idle[:40]:
            s.settimeout(2)
            try:
                closed += s.recv(1) == b""
            except (ConnectionResetError, socket.timeout):
                closed += 1
        assert closed >= 30, closed
    finally:
        for s in idle:
            s.close()


def test_a_request_head_that_never_ends_is_closed(bench):
    panel, _ = bench
    with socket.create_connection((panel.connect_host, panel.port), timeout=20) as s:
        s.sendall(b"GET /api/supplies HTTP/1.1\r\nHost: x\r\n")
        started = time.monotonic()
        for _ in range(14):                              # a byte a second: slower than any browser
            try:
                s.sendall(b"X")
            except (BrokenPipeError, ConnectionResetError):
                break
            time.sleep(1.0)
        s.settimeout(5)
        try:
            assert s.recv(100) == b""
        except ConnectionResetError:
            pass
        assert time.monotonic() - started < 16


def test_anonymous_page_views_stay_small(bench):
    panel, _ = bench
    for _ in range(30):                                  # warm up the allocator and the caches
        panel.request("GET", "/")
    before = rss_kib(panel.proc.pid)
    for _ in range(300):
        status, headers, page = panel.request("GET", "/")
        assert status == 200 and "open the address the panel printed" in page.lower()
    grown = rss_kib(panel.proc.pid) - before
    assert grown < 20_000, f"{grown} KiB for 300 anonymous views"
    assert panel.request("GET", "/no/such/page")[0] == 404
    # with the token: the live page
    status, _, page = panel.request("GET", "/", headers={"Cookie": panel.cookie})
    assert status == 200 and "client_id" in page


BODIES = [
    # (name, headers beyond Host, declared length, body sent, status, detail fragment)
    ("oversized, foreign Origin", {"Origin": "http://evil.example", "Content-Type": "application/json"},
     200 * 1024 * 1024, b"{" * 65536, 403, "Origin"),
    ("oversized, no token", {"Content-Type": "application/json"}, 200 * 1024 * 1024, b"{" * 65536, 403, "no token"),
    ("oversized, with the token", {"Authorization": "BEARER", "Content-Type": "application/json"},
     200 * 1024 * 1024, b"{" * 65536, 413, "too large"),
    ("malformed, foreign Origin", {"Origin": "http://evil.example", "Content-Type": "application/json"},
     None, b'{"voltage": ', 403, "Origin"),
    ("malformed, no token", {"Content-Type": "application/json"}, None, b"\xff\xfe{", 403, "no token"),
    ("malformed, with the token", {"Authorization": "BEARER", "Content-Type": "application/json"},
     None, b'{"voltage": ', 422, ""),
]


@pytest.mark.parametrize("name, extra, length, body, status, detail", BODIES, ids=[b[0] for b in BODIES])
def test_bodies_are_judged_before_they_are_read(bench, name, extra, length, body, status, detail):
    panel, supplies = bench
    marks = [len(s.exchanges) for s in supplies]
    headers = {k: v.replace("BEARER", f"Bearer {panel.token}") for k, v in extra.items()}
    answer = raw(panel, head(panel, "POST", SETTINGS, headers, len(body) if length is None else length) + body)
    status_line, _, rest = answer.partition(b"\r\n")
    assert status_line.split()[1] == str(status).encode(), answer[:300]
    assert detail.encode() in rest
    assert [changes_sent(s, m) for s, m in zip(supplies, marks)] == [[], []]


def test_a_chunked_body_is_bounded_too(bench):
    panel, _ = bench
    chunk = b"{" * 8192
    data = head(panel, "POST", SETTINGS, {"Authorization": f"Bearer {panel.token}", "Transfer-Encoding": "chunked",
                                          "Content-Type": "application/json"})
    data += b"".join(b"%x\r\n" % len(chunk) + chunk + b"\r\n" for _ in range(4)) + b"0\r\n\r\n"
    assert raw(panel, data).split(b"\r\n", 1)[0].split()[1] == b"413"


def test_oversized_headers_are_refused(bench):
    panel, _ = bench
    answer = raw(panel, head(panel, "GET", "/api/supplies", {"X-Padding": "a" * 40_000}))
    assert answer == b"" or answer.split()[1] in (b"400", b"431")


@pytest.mark.parametrize("path", ["/", "/api/supplies", "/api/nope", "/_nicegui/nope", SETTINGS])
def test_security_headers_on_every_response(bench, path):
    panel, _ = bench
    status, headers, _ = panel.request("POST" if path == SETTINGS else "GET", path, {} if path == SETTINGS else None)
    assert headers["referrer-policy"] == "no-referrer" and headers["x-content-type-options"] == "nosniff"
    assert headers["x-frame-options"] == "DENY"


# requests the HTTP parser itself refuses, before any layer of the app sees them
UNPARSABLE = [
    ("no request line", b"GARBAGE\r\n\r\n"),
    ("a header without a colon", b"GET / HTTP/1.1\r\nHost: {host}\r\nBad Header\r\n\r\n"),
    ("an endless header", b"GET / HTTP/1.1\r\nHost: {host}\r\nX-A: " + b"a" * 40000),
]


@pytest.mark.parametrize("name, data", UNPARSABLE, ids=[u[0] for u in UNPARSABLE])
def test_security_headers_on_the_parsers_own_refusals(bench, name, data):
    panel, _ = bench
    answer = raw(panel, data.replace(b"{host}", f"{panel.host}:{panel.port}".encode()))
    head = answer.split(b"\r\n\r\n")[0].lower()
    assert head.split()[1] in (b"400", b"431"), answer
    assert b"referrer-policy: no-referrer" in head and b"x-content-type-options: nosniff" in head, answer


def test_a_planted_cookie_does_not_lock_the_user_out(bench):
    panel, (sup, _) = bench
    name = f"zq4180_panel_{panel.port}"
    cookie = f"{name}=planted-by-another-page; {panel.cookie}"
    status, _, answer = panel.post(SETTINGS, {"mode": "remote"}, headers={"Cookie": cookie, "Origin": panel.origin})
    assert status == 200, answer
    status, _, page = panel.request("GET", "/", headers={"Cookie": cookie})
    assert status == 200 and "client_id" in page


def forged_line() -> str:
    return f"zq4180-panel: s1: output off (confirmed) {uuid.uuid4().hex[:8]}"


def test_log_lines_cannot_be_forged_through_a_path(bench):
    panel, _ = bench
    forged = forged_line()
    path = "/api/supplies/x%0A" + forged.replace(" ", "%20").replace(":", "%3A") + "/settings"
    status, _, _ = panel.post(path, {"voltage": 1})
    assert status == 404
    log = panel.stderr()
    assert "x\\n" + forged in log
    assert not any(line.startswith(forged) for line in log.splitlines())


def test_log_lines_cannot_be_forged_through_the_channel(bench):
    pytest.importorskip("websocket", reason="websocket-client (comes with selenium) is missing")
    from .test_channel import load_page, page_socket
    panel, _ = bench
    forged = forged_line()
    page = load_page(panel)
    with page_socket(panel, page, origin=panel.origin, cookie=panel.cookie) as (ws, answer):
        assert answer.startswith("40")
        ws.send("42" + json.dumps(["log", {"client_id": page[0], "level": "error", "message": "\n" + forged}]))
        time.sleep(0.3)
    assert forged not in panel.stderr()


# the socket library's own complaints quote the client's query string
CHANNEL_QUERIES = ["EIO=4&transport=websocket&sid=x%0A{line}", "EIO=4&transport=polling&sid=x%0D%0A{line}",
                   "EIO=4&transport=websocket&sid=x%1B[2K%0D{line}"]


@pytest.mark.parametrize("query", CHANNEL_QUERIES)
def test_log_lines_cannot_be_forged_through_the_channels_query(bench, query):
    panel, _ = bench
    forged = forged_line()
    line = forged.replace(" ", "%20").replace(":", "%3A")
    request = head(panel, "GET", "/_nicegui_ws/socket.io/?" + query.format(line=line),
                   {"Cookie": panel.cookie})
    assert raw(panel, request).split()[1] == b"400"
    time.sleep(0.3)
    log = panel.stderr()
    assert not any(l.lstrip("\x1b[2K\r").startswith(forged) for l in log.splitlines()), log[-2000:]


def upgrade(panel, headers: dict) -> bytes:
    key = "dGhlIHNhbXBsZSBub25jZQ=="
    return head(panel, "GET", "/_nicegui_ws/socket.io/?EIO=4&transport=websocket",
                {"Upgrade": "websocket", "Sec-WebSocket-Key": key, "Sec-WebSocket-Version": "13", **headers})


# (who asks for the page's channel, the status of the handshake's answer)
HANDSHAKES = [
    ("no token", {}, b"403"),
    ("a wrong cookie", {"Cookie": "COOKIE=wrong"}, b"403"),
    ("a wrong bearer", {"Authorization": "Bearer wrong"}, b"403"),
    ("the token's cookie", {"Cookie": "COOKIE=TOKEN"}, b"101"),
]


@pytest.mark.parametrize("who, headers, status", HANDSHAKES, ids=[h[0] for h in HANDSHAKES])
def test_the_channel_is_upgraded_only_for_the_token(bench, who, headers, status):
    panel, _ = bench
    name = f"zq4180_panel_{panel.port}"
    headers = {k: v.replace("COOKIE", name).replace("TOKEN", panel.token) for k, v in headers.items()}
    with socket.create_connection((panel.connect_host, panel.port), timeout=10) as s:
        s.sendall(upgrade(panel, {k: v for k, v in headers.items()}).replace(b"Connection: close", b"Connection: Upgrade"))
        answer = s.recv(4096)
    assert answer.split()[1] == status, answer[:300]


def test_held_handshakes_do_not_keep_the_token_holder_out(bench):
    panel, (sup, _) = bench
    held = []
    try:
        for _ in range(connection_cap() + 40):
            s = socket.create_connection((panel.connect_host, panel.port), timeout=5)
            s.sendall(upgrade(panel, {}).replace(b"Connection: close", b"Connection: Upgrade"))
            held.append(s)
        status, _, answer = panel.post("/api/off", timeout=10)
        assert status == 200 and answer["confirmed"], answer
    finally:
        for s in held:
            s.close()


# (request, headers): a body the panel never needs, sent slowly by someone without the token
SLOW_BODIES = [
    ("GET", "/", {}),
    ("GET", "/api/supplies", {}),
    ("PUT", "/_nicegui/nope", {}),
    ("GET", "/", {"Cookie": "COOKIE=wrong"}),
]


@pytest.mark.parametrize("method, path, headers", SLOW_BODIES)
def test_a_body_without_the_token_is_refused_unread(bench, method, path, headers):
    panel, _ = bench
    headers = {k: v.replace("COOKIE", f"zq4180_panel_{panel.port}") for k, v in headers.items()}
    with socket.create_connection((panel.connect_host, panel.port), timeout=5) as s:
        s.sendall(head(panel, method, path, headers, MAX_BODY_SENT) + b"x")     # the rest never comes
        answer = b""
        while chunk := s.recv(4096):          # the refusal closes the connection at once
            answer += chunk
    assert answer.split()[1] == b"403" and b"no token" in answer, answer[:300]


MAX_BODY_SENT = 8000


# (the path of a token address, where its redirect goes): always this panel, never another site
REDIRECTS = [
    ("/", "/"),
    ("/?x=1&", "/?x=1"),
    ("//evil.example/x", "/evil.example/x"),
    ("/%2F%2Fevil.example", "/evil.example"),
    ("/\\evil.example/", "/%5Cevil.example/"),
]


@pytest.mark.parametrize("path, location", REDIRECTS)
def test_the_token_address_redirects_to_this_panel_only(bench, path, location):
    panel, _ = bench
    joined = path + ("&" if "?" in path else "?") + f"token={panel.token}"
    answer = raw(panel, head(panel, "GET", joined, {}))
    lines = answer.split(b"\r\n\r\n")[0].decode("latin-1").split("\r\n")
    assert lines[0].split()[1] == "303", answer[:300]
    assert [line.split(":", 1)[1].strip() for line in lines if line.lower().startswith("location:")] == [location]


def test_clients_that_stop_reading_do_not_keep_the_token_holder_out(bench):
    import nicegui
    panel, _ = bench
    path = f"/_nicegui/{nicegui.__version__}/static/sass.dart.js"          # megabytes, open to anyone
    held = []
    try:
        for _ in range(connection_cap() + 40):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)      # and never read
            s.settimeout(5)
            s.connect((panel.connect_host, panel.port))
            s.sendall(head(panel, "GET", path, {}).replace(b"Connection: close", b"Connection: keep-alive"))
            held.append(s)
        time.sleep(2)
        status, _, answer = panel.post("/api/off", timeout=10)
        assert status == 200 and answer["confirmed"], answer
    finally:
        for s in held:
            s.close()

"""Front panel under abuse from whoever reaches its port: the token holder still gets through.

    python3 benchmarks/panel_abuse.py [--idle 1000] [--views 1000] [--bodies 4] [--body-mb 200]

The panel runs with ``ulimit -n 1024`` (the common default) and one paced virtual supply on
at 1 V. In turn, without the token and on loopback only:

1. ``--idle`` TCP connections are opened and held, sending nothing;
2. ``--views`` anonymous page views (``GET /``, no cookie), 8 at a time;
3. ``--bodies`` request bodies of ``--body-mb`` MB each, with a foreign Origin, at once.

While all of it is held, the token holder asks for All outputs off: its answer and time are
printed, then the server's resident memory and CPU time before, during, and 10 s after.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import http.client
import json
import socket
import threading
import time

import panel_support as support

from zq4180_sim import VirtualSupply


def post(port: int, token: str, path: str, body: dict, timeout: float = 60) -> int:
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request("POST", path, body=json.dumps(body),
                     headers={"Authorization": f"Bearer {token}", "Content-Type": "application/json"})
        resp = conn.getresponse()
        resp.read()
        return resp.status
    finally:
        conn.close()


def anonymous_view(port: int) -> int:
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request("GET", "/")
        resp = conn.getresponse()
        resp.read()
        return resp.status
    except OSError:
        return 0
    finally:
        conn.close()


def big_body(port: int, megabytes: int) -> str:
    """A settings request with a foreign Origin and a body of ``megabytes``; what came back."""
    size = megabytes * 1024 * 1024
    head = (f"POST /api/supplies/s1/settings HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
            f"Origin: http://evil.example\r\nContent-Type: application/json\r\n"
            f"Content-Length: {size}\r\n\r\n").encode()
    chunk = b"[" * (1 << 20)
    sent = 0
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
            s.sendall(head)
            try:
                while sent < size:
                    s.sendall(chunk)
                    sent += len(chunk)
            except OSError:
                pass
            try:
                answer = s.recv(200).split(b"\r\n", 1)[0].decode(errors="replace")
            except OSError as exc:
                answer = f"({exc.__class__.__name__})"
    except OSError as exc:
        return f"({exc.__class__.__name__} before sending)"
    return f"{answer or '(closed)'} after {sent / 2**20:.0f} MB sent"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--idle", type=int, default=1000)
    ap.add_argument("--views", type=int, default=1000)
    ap.add_argument("--bodies", type=int, default=4)
    ap.add_argument("--body-mb", type=int, default=200)
    args = ap.parse_args()
    with VirtualSupply(1, pacing=True, load_ohms=10.0) as sup, \
            support.panel([sup.port, "--max-voltage", "5", "--max-current", "0.5"], nofile=1024) as p:
        time.sleep(2)
        if post(p.port, p.token, "/api/supplies/s1/settings", {"voltage": 1, "current": 0.1, "output": "on"}) != 200:
            raise SystemExit("the supply does not switch on")
        before = support.rss_and_cpu(p.proc.pid)

        idle = []
        for _ in range(args.idle):
            try:
                idle.append(socket.create_connection(("127.0.0.1", p.port), timeout=5))
            except OSError:
                break
        print(f"{len(idle)} idle connections held")
        started = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            views = list(pool.map(lambda _: anonymous_view(p.port), range(args.views)))
        print(f"{args.views} anonymous views in {time.monotonic() - started:.1f} s: "
              + ", ".join(f"{views.count(s)} x {s or 'failed'}" for s in sorted(set(views))))
        peak = [support.rss_and_cpu(p.proc.pid)[0]]
        stop = threading.Event()

        def watch() -> None:
            while not stop.wait(0.1):
                peak[0] = max(peak[0], support.rss_and_cpu(p.proc.pid)[0])

        watcher = threading.Thread(target=watch, daemon=True)
        watcher.start()
        with concurrent.futures.ThreadPoolExecutor(args.bodies) as pool:
            bodies = [pool.submit(big_body, p.port, args.body_mb) for _ in range(args.bodies)]
            time.sleep(0.5)
            started = time.monotonic()
            status = post(p.port, p.token, "/api/off", {})
            took = time.monotonic() - started
            answers = [b.result() for b in bodies]
        during = support.rss_and_cpu(p.proc.pid)
        for s in idle:
            s.close()
        time.sleep(10)
        stop.set()
        after = support.rss_and_cpu(p.proc.pid)
        off = not sup.state.output_on
    print(f"{args.bodies} bodies of {args.body_mb} MB, foreign Origin: " + "; ".join(answers))
    print(f"token holder's All outputs off: {status} in {took:.3f} s; supply output off: {off}")
    print(f"server RSS: before {before[0]:.0f} MB, during {during[0]:.0f} MB (peak {peak[0]:.0f} MB), "
          f"10 s after {after[0]:.0f} MB")
    print(f"server CPU: {during[1] - before[1]:.1f} s during the abuse, {after[1] - during[1]:.1f} s "
          f"in the 10 s after")


if __name__ == "__main__":
    main()

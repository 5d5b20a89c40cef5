"""Front panel: All outputs off → output off at the supply, with a lost reply and behind a flood.

    python3 benchmarks/panel_off.py [--trials 10] [--clients 30]

A paced virtual supply (4800 baud) stands on at 1 V. Each trial switches it on, then asks
for All outputs off (``POST /api/off`` with the token) and times the moment the supply's
output goes off (the virtual supply's own state, polled every millisecond in this process):

* ``lost off reply``: the reply to the off frame is lost;
* ``lost status reply``: the next status reply is lost (the worker's own read, or the
  off's confirming read);
* ``behind N clients``: N clients post settings (switch on at a new voltage) at once, the
  off follows while their jobs wait or run.

The goal: output off at the supply within 1.5 s in every case.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import http.client
import json
import threading
import time

import panel_support as support

from zq4180_sim import VirtualSupply

OUTPUT, STATUS = 0x21, 0x26


def post(p, path: str, body: dict) -> int:
    conn = http.client.HTTPConnection("127.0.0.1", p.port, timeout=30)
    try:
        conn.request("POST", path, body=json.dumps(body),
                     headers={"Authorization": f"Bearer {p.token}", "Content-Type": "application/json"})
        resp = conn.getresponse()
        resp.read()
        return resp.status
    finally:
        conn.close()


def off_time(sup, start: float) -> float:
    while sup.state.output_on:
        if time.monotonic() - start > 30:
            return float("inf")
        time.sleep(0.001)
    return time.monotonic() - start


def switch_on(p, sup, volts: float = 1.0) -> None:
    for _ in range(20):
        if post(p, "/api/supplies/s1/settings", {"voltage": volts, "current": 0.1, "output": "on"}) == 200:
            if sup.state.output_on:
                return
        time.sleep(0.2)
    raise SystemExit("the supply does not switch on")


def trial(p, sup, case: str, clients: int) -> float:
    switch_on(p, sup)
    time.sleep(0.3)
    if case == "lost off reply":
        sup.inject("no_reply", command=OUTPUT)
    elif case == "lost status reply":
        sup.inject("no_reply", command=STATUS)
    result: dict = {}
    if case.startswith("behind"):
        pool = concurrent.futures.ThreadPoolExecutor(clients)
        flood = [pool.submit(post, p, "/api/supplies/s1/settings",
                             {"voltage": 1 + k / 1000, "current": 0.1, "output": "on"}) for k in range(clients)]
        time.sleep(0.3)                       # their requests are in: queued, refused or running
    start = time.monotonic()
    def ask() -> None:
        result["status"] = post(p, "/api/off", {})
        result["answered"] = time.monotonic() - start

    asker = threading.Thread(target=ask)
    asker.start()
    took = off_time(sup, start)
    asker.join(30)
    trial.answered = result.get("answered", float("inf"))
    if case.startswith("behind"):
        statuses = [f.result() for f in flood]
        pool.shutdown()
        result["flood"] = {s: statuses.count(s) for s in sorted(set(statuses))}
    sup.clear_faults()
    if result.get("status") != 200:
        print(f"    ({case}: All outputs off answered {result.get('status')})")
    if sup.state.output_on:
        print(f"    ({case}: a queued setting switched the output back on)")
    trial.flood = result.get("flood")
    return took


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--trials", type=int, default=10, help="trials per case (default 10)")
    ap.add_argument("--clients", type=int, default=30, help="clients posting settings (default 30)")
    args = ap.parse_args()
    cases = ["lost off reply", "lost status reply", f"behind {args.clients} clients"]
    rows = []
    with VirtualSupply(1, pacing=True, load_ohms=10.0) as sup, \
            support.panel([sup.port, "--max-voltage", "5", "--max-current", "0.5"]) as p:
        time.sleep(2)
        for case in cases:
            times, answered = [], []
            for _ in range(args.trials):
                times.append(trial(p, sup, case, args.clients))
                answered.append(trial.answered)
            rows.append((case, times, answered, getattr(trial, "flood", None) if case.startswith("behind") else None))
    print(f"All outputs off -> output off at the supply, {args.trials} trials each (goal <= 1.5 s):")
    for case, times, answered, flood in rows:
        print(f"  {case:22s} median {support.percentile(times, 0.5):.3f} s, worst {max(times):.3f} s; "
              f"answered (confirmed) median {support.percentile(answered, 0.5):.3f} s, worst {max(answered):.3f} s"
              + (f"  (last flood's answers: {flood})" if flood else ""))


if __name__ == "__main__":
    main()

"""Front panel: a reading on the wire → its text in the browser, p50 and p95.

    python3 benchmarks/panel_latency.py [--samples 100] [--pages 1]

A paced virtual supply (4800 baud) runs in this process; the panel (a separate
process, as a user runs it) reads it; headless Chromium shows the page. Every
0.3 s the supply's output voltage changes to a new value, so each change shows
up as new text. The supply logs when each status reply goes out; the wire time
of a value is the moment the last byte of the first reply carrying it left the
supply (reply start + 26 byte times). The page records, with a MutationObserver,
when the card's voltage text first showed that value. Both clocks are this
machine's wall clock.
"""
from __future__ import annotations

import argparse
import threading
import time

import panel_support as support

from zq4180_sim import FRAME_TIME, VirtualSupply

OBSERVER = """
window.__seen = {};
const el = document.querySelector('[data-testid="reading-voltage"]');
const note = () => { const t = el.textContent.trim();
  if (!(t in window.__seen)) window.__seen[t] = performance.timeOrigin + performance.now(); };
new MutationObserver(note).observe(el, {childList: true, characterData: true, subtree: true});
note();
"""


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--samples", type=int, default=100, help="voltage changes to time (default 100)")
    ap.add_argument("--period", type=float, default=0.3, help="seconds between changes (default 0.3)")
    args = ap.parse_args()

    wire: dict[int, float] = {}          # millivolts -> wall time the first reply carrying them ended

    def on_exchange(exchange) -> None:
        reply = exchange.request[2] == 0x26 and exchange.reply
        if reply and len(reply) == 26:
            mv = int.from_bytes(reply[5:9], "little")
            wire.setdefault(mv, time.time() + FRAME_TIME)

    with VirtualSupply(1, pacing=True, load_ohms=1000.0) as sup, support.panel([sup.port]) as p, \
            support.chromium() as driver:
        p.post("/api/supplies/s1/settings", b'{"voltage": 1.0, "current": 0.5, "output": "on"}')
        support.open_pages(driver, p.url, 1)
        support.wait_text(driver, '[data-testid="reading-voltage"]', "1.000 V")
        driver.execute_script(OBSERVER)
        sup.on_exchange = on_exchange
        values = [1100 + 7 * k for k in range(args.samples)]
        stop = threading.Event()

        def change() -> None:
            for mv in values:
                sup.state.configure(voltage_set_mv=mv)
                if stop.wait(args.period):
                    return

        changer = threading.Thread(target=change, daemon=True)
        changer.start()
        changer.join()
        time.sleep(1.0)
        seen = driver.execute_script("return window.__seen")
        sup.on_exchange = None
    latencies = []
    for mv in values:
        text = f"{mv / 1000:.3f} V"
        if mv in wire and text in seen:
            latencies.append(seen[text] / 1000 - wire[mv])
    if not latencies:
        raise SystemExit("no value reached the page")
    ms = [1000 * x for x in latencies]
    print(f"wire -> browser latency over {len(ms)} readings (of {len(values)} changes), 1 page:")
    print(f"  p50 {support.percentile(ms, 0.5):6.1f} ms   p95 {support.percentile(ms, 0.95):6.1f} ms   "
          f"min {min(ms):6.1f} ms   max {max(ms):6.1f} ms   (goal: p95 <= 300 ms)")


if __name__ == "__main__":
    main()

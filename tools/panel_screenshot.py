#!/usr/bin/env python3
"""Make docs/panel.png: the front panel serving a small bench of virtual supplies.

    python3 tools/panel_screenshot.py [--out docs/panel.png] [--seconds 45]

Four paced virtual supplies (a 10-ohm resistor, a red LED, a 0.5 A electronic load,
one idle) are named in a throw-away configuration file, served by ``zq4180-panel``
(the installed package, run as a user runs it) and driven through its JSON API for
a while, so the charts hold a ramp and a CV -> CC change; headless Chromium (Debian's
chromium + chromium-driver, nothing downloaded) then takes the picture.
"""
from __future__ import annotations

import argparse
import contextlib
import json
import os
import pathlib
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "benchmarks"))

import panel_support as support  # noqa: E402

from zq4180_sim import VirtualSupply, parse_load  # noqa: E402

BENCH = [  # name, load, max voltage, max current
    ("logic-5v", "10", 6.0, 1.0),
    ("led-string", "led", 3.0, 0.05),
    ("e-load", "cc:0.5", 12.0, 1.0),
    ("spare", "10", 30.0, 2.0),
]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", default=str(ROOT / "docs" / "panel.png"))
    ap.add_argument("--seconds", type=float, default=45.0, help="how long the bench runs before the picture")
    args = ap.parse_args()
    with contextlib.ExitStack() as stack, tempfile.TemporaryDirectory() as tmp:
        supplies = [stack.enter_context(VirtualSupply(1, pacing=True, serial_number=f"07678704{k}",
                                                      **parse_load(load)))
                    for k, (_, load, _, _) in enumerate(BENCH, start=1)]
        config = pathlib.Path(tmp, "zq4180.toml")
        config.write_text("".join(f'[supplies.{name}]\nport = "{sup.port}"\nmax_voltage = {mv}\n'
                                  f"max_current = {mc}\n\n"
                                  for (name, _, mv, mc), sup in zip(BENCH, supplies)))
        names = [name for name, *_ in BENCH]
        p = stack.enter_context(support.panel([*names, "--config", str(config)]))

        def put(name: str, **values) -> None:
            p.post(f"/api/supplies/{name}/settings", json.dumps(values).encode())

        put("logic-5v", current=0.45, voltage=3.3, output="on")
        put("led-string", current=0.02, voltage=1.7, output="on")
        put("e-load", current=0.8, voltage=5.0, output="on")
        third = args.seconds / 3
        time.sleep(third)
        put("logic-5v", voltage=5.0)                            # 0.5 A wanted, 0.45 A allowed: CV -> CC
        p.post("/api/supplies/led-string/ramp", json.dumps({"to": 2.4, "rate": 0.05}).encode())
        put("e-load", voltage=12.0)
        time.sleep(third)
        put("logic-5v", voltage=4.0)                            # back to CV
        time.sleep(third)
        driver = stack.enter_context(support.chromium(1400, 1000))
        driver.get(p.url)
        support.wait_text(driver, '[data-testid="connection-state"]', "ok")
        driver.set_window_size(1400, 2400)
        time.sleep(2.5)                                          # the charts' next refresh
        bottom = driver.execute_script(
            "return Math.ceil(document.querySelector('.nicegui-content').getBoundingClientRect().bottom)")
        chrome = driver.get_window_size()["height"] - driver.execute_script("return window.innerHeight")
        driver.set_window_size(1400, bottom + chrome)
        time.sleep(1.5)
        os.makedirs(os.path.dirname(args.out), exist_ok=True)
        driver.save_screenshot(args.out)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()

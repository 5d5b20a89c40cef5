#!/usr/bin/env python3
"""Make docs/sweep.png, the README's sweep picture: an LED on a virtual supply.

    python3 tools/sweep_picture.py [OUT.png]

It runs the same command the README shows, through the installed `zq4180`.
"""
from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def main() -> int:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "docs" / "sweep.png"
    command = ["zq4180", "--quiet", "--sim", "--sim-load", "led", "--max-voltage", "3", "--max-current", "0.05",
               "sweep", "--from", "1.5", "--to", "2.6", "--step", "0.05", "--current", "0.03", "--settle", "0.05",
               "--through-cc", "--plot", str(out), "--force", "--csv", os.devnull]
    print(" ".join(command[:1] + command[2:]))
    done = subprocess.run(command)
    if done.returncode == 0:
        print(f"wrote {out}")
    return done.returncode


if __name__ == "__main__":
    sys.exit(main())

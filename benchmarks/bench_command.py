"""Figures of the `zq4180` command against a 4800-baud paced virtual supply.

    python3 benchmarks/bench_command.py rate  [--seconds 60]   # log --interval 0: rows/s vs the line's 9.23/s
    python3 benchmarks/bench_command.py late  [--seconds 600]  # log --interval 1: rows and worst late_ms
    python3 benchmarks/bench_command.py ctrlc [--trials 20]    # Ctrl-C during run --log -> off frame at the supply
    python3 benchmarks/bench_command.py startup [--runs 20]    # zq4180 status --help, wall time

`rate` and `late` serve the supply from `zq4180-sim` in a process of its
own, as a real port would be; `ctrlc` serves it in this process to watch the
supply's output state every millisecond.
"""
import argparse
import csv
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from many_supplies import LINE_EXCHANGE, start_simulator, stop_simulator

ZQ4180 = shutil.which("zq4180") or "zq4180"


def read_rows(path):
    with open(path) as f:
        return list(csv.DictReader(line for line in f if not line.startswith("#")))


def log_run(interval, seconds):
    proc, ports = start_simulator(1)
    try:
        with tempfile.TemporaryDirectory() as tmp:
            out = Path(tmp) / "log.csv"
            subprocess.run([ZQ4180, "--quiet", "log", ports[0], "--interval", str(interval),
                            "--duration", str(seconds), "--csv", str(out)], check=True)
            return read_rows(out)
    finally:
        stop_simulator(proc)


def bench_rate(args):
    rows = log_run(0, args.seconds)
    span = float(rows[-1]["elapsed_s"]) - float(rows[0]["elapsed_s"])
    rate = (len(rows) - 1) / span
    limit = 1 / LINE_EXCHANGE
    bad = sum(r["status"] != "ok" for r in rows)
    print(f"log --interval 0 for {args.seconds} s: {len(rows)} rows, {rate:.2f} rows/s = "
          f"{rate / limit:.3f} of the line's {limit:.2f}/s; rows without an answer: {bad}")


def bench_late(args):
    rows = log_run(1, args.seconds)
    late = [float(r["late_ms"]) for r in rows]
    print(f"log --interval 1 --duration {args.seconds}: {len(rows)} rows; late_ms median "
          f"{statistics.median(late):.1f}, p99 {sorted(late)[int(len(late) * 0.99) - 1]:.1f}, worst {max(late):.1f}; "
          f"rows not ok: {sum(r['status'] != 'ok' for r in rows)}")


def bench_ctrlc(args):
    """Ctrl-C at a random moment of `run --log --interval 0.2` (no faults) until the output-off
    frame reaches the supply, as the supply's own clock sees it."""
    from zq4180_sim import VirtualSupply
    delays, inside = [], 0
    with tempfile.TemporaryDirectory() as tmp:
        seq = Path(tmp) / "hold.csv"
        seq.write_text("voltage,current,seconds\n3.0,0.1,60\n")
        for trial in range(args.trials):
            with VirtualSupply(1, pacing=True, load_ohms=100.0) as supply:
                off_at, taken = [], []

                def hook(exchange):
                    taken.append(time.monotonic())
                    if exchange.request[2] == 0x21 and exchange.request[3] == 0 and not off_at:
                        off_at.append(time.monotonic())
                supply.on_exchange = hook
                proc = subprocess.Popen([ZQ4180, "--quiet", "run", supply.port, str(seq), "--interval", "0.2",
                                         "--log", str(Path(tmp) / f"run{trial}.csv")],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                deadline = time.monotonic() + 10
                while not supply.state.output_on and time.monotonic() < deadline:
                    time.sleep(0.005)
                time.sleep(random.uniform(0.3, 2.0))     # somewhere in the hold, reads included
                sent = time.monotonic()
                proc.send_signal(signal.SIGINT)
                # a request taken less than an exchange before the signal: its reply was still on the way
                inside += any(sent - 0.11 < t <= sent for t in taken)
                proc.wait(timeout=20)
                if not off_at:
                    print(f"trial {trial}: no output-off frame", file=sys.stderr)
                    continue
                delays.append(off_at[0] - sent)
                if proc.returncode != 130:
                    print(f"trial {trial}: exit {proc.returncode}: {proc.stderr.read()}", file=sys.stderr)
                proc.stderr.close()
    delays.sort()
    print(f"Ctrl-C during run --log --interval 0.2 -> output-off frame at the supply, {len(delays)} trials "
          f"({inside} inside an exchange): median {statistics.median(delays) * 1000:.0f} ms, "
          f"p90 {delays[max(0, int(len(delays) * 0.9) - 1)] * 1000:.0f} ms, worst {delays[-1] * 1000:.0f} ms")


def bench_startup(args):
    times = []
    for _ in range(args.runs):
        t = time.perf_counter()
        subprocess.run([ZQ4180, "status", "--help"], stdout=subprocess.DEVNULL, check=True)
        times.append(time.perf_counter() - t)
    t = time.perf_counter()
    for _ in range(args.runs):
        subprocess.run([sys.executable, "-c", "pass"], check=True)
    bare = (time.perf_counter() - t) / args.runs
    print(f"zq4180 status --help, {args.runs} runs: median {statistics.median(times) * 1000:.0f} ms, "
          f"best {min(times) * 1000:.0f} ms (python3 -c pass: {bare * 1000:.0f} ms)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="what", required=True)
    sub.add_parser("rate").add_argument("--seconds", type=float, default=60)
    sub.add_parser("late").add_argument("--seconds", type=float, default=600)
    sub.add_parser("ctrlc").add_argument("--trials", type=int, default=20)
    sub.add_parser("startup").add_argument("--runs", type=int, default=20)
    args = parser.parse_args()
    {"rate": bench_rate, "late": bench_late, "ctrlc": bench_ctrlc, "startup": bench_startup}[args.what](args)


if __name__ == "__main__":
    main()

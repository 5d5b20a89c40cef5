"""Status reads per second against the 4800-baud line, and the polls each took.

One virtual supply is served by `zq4180-sim` (line timing on) in a process of
its own.  The driver's `time` module is wrapped so that every poll is
counted; "raw" is the floor this set-up allows: pySerial alone writing the
same request and checking the count every 0.5 ms until the whole reply is
there.  The physical limit is one 26-byte request plus one 26-byte reply at
4800 baud 8N1: 108.3 ms, 9.23 exchanges a second.

    python3 benchmarks/line_latency.py [--reads 40] [--rounds 3] [--twin]
"""
import argparse
import collections
import statistics
import time

import bench_support as support
from many_supplies import LINE_EXCHANGE, start_simulator, stop_simulator


class CountingClock:
    """The real `time` module, with its sleeps counted."""

    def __init__(self):
        self.polls = 0

    def sleep(self, seconds):
        self.polls += 1
        time.sleep(seconds)

    def __getattr__(self, name):
        return getattr(time, name)


def raw_floor(port, reads):
    """Seconds from write to the 26th reply byte, pySerial alone, 0.5 ms checks."""
    import serial
    request = support.frame(0xFF, support.WORD_READ_STATUS)
    spans = []
    with serial.Serial(port, 4800, timeout=1) as line:
        line.reset_input_buffer()
        for _ in range(reads):
            began = time.perf_counter()
            line.write(request)
            while line.in_waiting < support.FRAME_LEN:
                if time.perf_counter() - began > 1.0:
                    break
                time.sleep(0.0005)
            spans.append(time.perf_counter() - began)
            line.read(line.in_waiting)
    return spans


def driver_reads(module, port, reads, rounds):
    """[(seconds, polls, ok)] per read, per round."""
    clock = CountingClock()
    saved = module.time
    module.time = clock
    driver = module.ZQ4180(port)
    try:
        if not driver.open():
            raise SystemExit(f"open {port} failed")
        driver.read_dev_status()  # the first exchange after open, not measured
        all_rounds = []
        for _ in range(rounds):
            samples = []
            for _ in range(reads):
                clock.polls = 0
                began = time.perf_counter()
                ok = driver.read_dev_status() is not None
                samples.append((time.perf_counter() - began, clock.polls, ok))
            all_rounds.append(samples)
        return all_rounds
    finally:
        module.time = saved
        if hasattr(driver, "ser"):
            driver.close()


def measure(reads=40, rounds=3, twin=True):
    """{"raw": spans, "extension": rounds, "twin": rounds}."""
    proc, ports = start_simulator(1)
    try:
        port = ports[0]
        results = {"raw": raw_floor(port, reads)}
        subjects = support.drivers()
        if not twin:
            del subjects["twin"]
        for name, module in subjects.items():
            results[name] = driver_reads(module, port, reads, rounds)
        return results
    finally:
        stop_simulator(proc)


def summarise(results):
    rows = []
    spans = results["raw"]
    rows.append({"subject": "raw pySerial, 0.5 ms checks", "reads": len(spans),
                 "rate": len(spans) / sum(spans), "median_ms": statistics.median(spans) * 1e3,
                 "max_ms": max(spans) * 1e3, "polls": "-", "failures": 0})
    for name in ("extension", "twin"):
        if name not in results:
            continue
        rounds = results[name]
        rates = [len(r) / sum(s for s, _, _ in r) for r in rounds]
        flat = [sample for r in rounds for sample in r]
        histogram = collections.Counter(polls for _, polls, _ in flat)
        rows.append({
            "subject": f"{name} read_dev_status", "reads": len(flat),
            "rate": statistics.median(rates),
            "median_ms": statistics.median(s for s, _, _ in flat) * 1e3,
            "max_ms": max(s for s, _, _ in flat) * 1e3,
            "polls": " ".join(f"{p}:{n}" for p, n in sorted(histogram.items())),
            "failures": sum(not ok for _, _, ok in flat),
            "rounds": rates,
        })
    limit = 1 / LINE_EXCHANGE
    for row in rows:
        row["of_limit"] = row["rate"] / limit
    return rows


def print_report(rows, reads, rounds):
    limit = 1 / LINE_EXCHANGE
    print(f"Status reads against the paced virtual supply (zq4180-sim in its own process); "
          f"{rounds} rounds of {reads} reads, rate = median round; {support.machine_load()}")
    print(f"physical limit: {LINE_EXCHANGE * 1e3:.1f} ms per exchange, {limit:.2f} reads/s")
    support.print_table(
        ["subject", "reads", "reads/s", "of limit", "median ms", "max ms",
         "polls per exchange (polls:count)", "failures"],
        [[r["subject"], r["reads"], f"{r['rate']:.2f}", f"{r['of_limit']:.3f}",
          f"{r['median_ms']:.1f}", f"{r['max_ms']:.1f}", r["polls"], r["failures"]]
         for r in rows])
    print("goal: extension >= 0.9 of the limit")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reads", type=int, default=40, help="status reads per round")
    parser.add_argument("--rounds", type=int, default=3, help="rounds per driver")
    parser.add_argument("--no-twin", dest="twin", action="store_false",
                        help="measure the extension only")
    args = parser.parse_args(argv)
    rows = summarise(measure(args.reads, args.rounds, args.twin))
    print_report(rows, args.reads, args.rounds)
    return rows


if __name__ == "__main__":
    main()

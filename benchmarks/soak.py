#!/usr/bin/env python3
"""Bounded soak: random commands against the paced virtual supply, 5% of them faulted.

    python3 benchmarks/soak.py [--seconds 120] [--fault-rate 0.05] [--seed N]

The supply runs in this process (its exchange log and state are checked
after every call), paced as a 4800-baud line. After every call:

- an accepted reply is the supply's reply to this very request: logged for
  it, unspoiled, read after the supply answered (a reply that was waiting
  before the request, e.g. a late one from an earlier command, fails this);
- a status read-out equals the supply's state, and that state equals what
  the setters sent (tracked here);
- printed lines are exactly the accepted acknowledgement's, or none;
- no exception escapes but OSError from an unplugged port.

After a fault the soak waits until the supply is idle, so what a late or
split reply leaves behind is already waiting when the next request goes out
and must be discarded (a reply arriving during the next wait is taken by
design, so that window is not exercised). Memory (tracemalloc, RSS, object
count) is sampled throughout; start and end are reported. Exit status 1 on
any violation or on growth.
"""
import argparse
import collections
import contextlib
import gc
import io
import random
import sys
import time
import tracemalloc
import types

import serial

import zq4180
from zq4180_sim import VirtualSupply

ADDRESS = 7
LOAD_OHMS = 10.0
WORDS = {"set_work_mode": 0x20, "set_ouput_mode": 0x21, "set_voltage_max": 0x22,
         "set_out_voltage": 0x23, "set_out_current": 0x24, "set_new_addr": 0x25,
         "read_dev_status": 0x26, "open": 0x31, "restore_factory": 0x32}
LABELS = {"set_out_voltage": "set voltage, read:", "set_out_current": "set current, read:",
          "restore_factory": "Restore FACTORY:"}
FACTORY = {"remote": False, "output_on": False, "voltage_max_mv": 30_000,
           "voltage_set_mv": 5_000, "current_limit_ma": 1_000}
IDENTITY = {"model": "4181", "SN": "076787041", "soft_version": 373}   # the supply's defaults
# growth allowed from warm-up to end: well above the sampling noise (a few KiB),
# well below one leaked bytes object per exchange over a two-minute run
GROWTH_LIMIT = 32 * 1024   # bytes of traced memory
OBJECTS_LIMIT = 200        # objects the collector tracks


class Wire:
    """Every write and read the driver makes on its port, timed."""

    events = []

    def __init__(self, port):
        self.port = port

    def write(self, data):
        Wire.events.append(("w", time.monotonic(), bytes(data)))
        return self.port.write(data)

    def read(self, size):
        data = self.port.read(size)
        Wire.events.append(("r", time.monotonic(), bytes(data)))
        return data

    def __getattr__(self, name):
        return getattr(self.port, name)


class Soaked(zq4180.ZQ4180):
    def _ZQ4180__write_and_read(self, cmd):
        self.accepted = reply = super()._ZQ4180__write_and_read(cmd)
        return reply


def milli(value):
    return int(value * 1000.0)   # what the driver sends


def random_call(rng):
    roll = rng.random()
    if roll < 0.40:
        return "read_dev_status", ()
    if roll < 0.45:
        return "show_device_version", ()
    if roll < 0.47:
        return "open", ()
    if roll < 0.49:
        return "restore_factory", ()
    if roll < 0.51:
        return "set_new_addr", (ADDRESS,)
    return rng.choice([
        ("set_work_mode", (rng.choice(["remote", "local"]),)),
        ("set_ouput_mode", (rng.choice(["on", "off"]),)),
        ("set_voltage_max", (rng.randrange(0, 60_000) / 1000,)),
        ("set_out_voltage", (rng.randrange(0, 40_000) / 1000,)),
        ("set_out_current", (rng.randrange(0, 5_000) / 1000,)),
    ])


def random_fault(rng):
    kind = rng.choice(["no_reply", "bad_sync", "bad_checksum", "noise", "split", "late", "unplug"])
    params = {}
    if kind == "split":   # inside the ~0.3 s of polls (taken) or well after (refused)
        params = {"gap": rng.choice([rng.uniform(0, 0.1), rng.uniform(0.4, 0.8)])}
    elif kind == "late":
        params = {"delay": rng.uniform(0.35, 0.8)}
    elif kind == "noise":
        params = {"noise": bytes(rng.randrange(256) for _ in range(rng.randint(1, 30)))}
    return kind, params


def expected_status(state):
    s = state.snapshot()
    return {
        "current_real": s["current_ma"] / 1000.0, "voltage_real": s["voltage_mv"] / 1000.0,
        "current_set": s["current_limit_ma"] / 1000.0,
        "voltage_max_set": s["voltage_max_mv"] / 1000.0,
        "voltage_set": s["voltage_set_mv"] / 1000.0,
        "out_status": "on" if s["output_on"] else "off", "beyond_temp": s["over_temperature"],
        "out_mode": {1: "CV", 2: "CC"}.get(s["mode"], "XX"), "fan_speed": s["fan_speed"],
        "work_mode": "remote" if s["remote"] else "local",
    }


def apply(tracked, method, args):
    """What the supply's settings become once it has taken the request."""
    if method == "set_work_mode":
        tracked["remote"] = args[0] == "remote"
    elif method == "set_ouput_mode":
        tracked["output_on"] = args[0] == "on"
    elif method == "set_voltage_max":
        tracked["voltage_max_mv"] = milli(args[0])
    elif method == "set_out_voltage":
        tracked["voltage_set_mv"] = milli(args[0])
    elif method == "set_out_current":
        tracked["current_limit_ma"] = min(milli(args[0]), 0xFFFF)
    elif method == "restore_factory":
        tracked.update(FACTORY)


def memory_sample():
    with open("/proc/self/statm") as f:
        rss_pages = int(f.read().split()[1])
    return tracemalloc.get_traced_memory()[0], rss_pages * 4096, len(gc.get_objects())


class Soak:
    def __init__(self, args):
        self.seed = args.seed
        self.rng = random.Random(args.seed)
        self.fault_rate = args.fault_rate
        self.supply = VirtualSupply(ADDRESS, pacing=True, load_ohms=LOAD_OHMS, log_limit=64)
        self.logged = []   # (time, Exchange) as the supply logs them
        self.supply.on_exchange = lambda e: self.logged.append((time.monotonic(), e))
        self.drv = None
        self.tracked = dict(FACTORY)
        self.violations = []
        self.count = collections.Counter()

    def violation(self, text):
        self.violations.append(text)
        print("VIOLATION:", text, flush=True)

    def call(self, method, args, fault=None):
        """One driver call with every check; the result, or the OSError it raised."""
        if fault:
            self.supply.inject(fault[0], command=WORDS[method], **fault[1])
        Wire.events.clear()
        self.logged.clear()
        self.drv.accepted = None
        out = io.StringIO()
        raised = None
        try:
            with contextlib.redirect_stdout(out):
                result = getattr(self.drv, method)(*args)
        except OSError as exc:
            result = raised = exc
        except Exception as exc:  # noqa: BLE001 - any other escape is the finding
            self.violation(f"{method}{args}: {type(exc).__name__}: {exc}")
            return exc
        finally:
            self.supply.clear_faults()
        self.count["calls"] += 1
        self.count[method] += 1
        if method == "show_device_version":
            if result != IDENTITY:
                self.violation(f"show_device_version: {result}")
            return result
        self.check_exchange(method, args, result, raised, out.getvalue(), fault)
        return result

    def check_exchange(self, method, args, result, raised, printed, fault):
        writes = [e for e in Wire.events if e[0] == "w"]
        if not writes:
            if raised is None:
                self.violation(f"{method}{args}: nothing written, no error")
            return
        at_write, request = writes[0][1], writes[0][2]
        stale = [e for e in Wire.events if e[0] == "r" and e[1] < at_write]
        if stale:
            self.count["stale reads discarded"] += 1
            self.count["stale bytes discarded"] += sum(len(e[2]) for e in stale)
        own = [(t, e) for t, e in self.logged if e.request == request]
        if not own and self.drv.accepted is not None:
            self.violation(f"{method}{args}: accepted {list(self.drv.accepted)} before the "
                           "supply had taken the request: a reply that was waiting")
            self.supply.wait_idle()
            own = [(t, e) for t, e in self.logged if e.request == request]
        if len(writes) != 1 or len(own) != 1:
            self.violation(f"{method}{args}: {len(writes)} writes, {len(own)} requests logged")
            return
        logged_at, exchange = own[0]
        self.count["exchanges"] += 1
        if exchange.fault:
            self.count[f"fault {exchange.fault}"] += 1
        apply(self.tracked, method, args)

        accepted = self.drv.accepted
        # a split reply with a short gap is still whole within the driver's ~0.3 s
        usable = exchange.fault is None or (exchange.fault == "split" and fault
                                             and fault[1]["gap"] <= 0.1)
        if accepted is not None:
            read_at = [e[1] for e in Wire.events if e[0] == "r"][-1]
            if accepted != exchange.reply or not usable or read_at < logged_at:
                self.violation(f"{method}{args}: accepted {list(accepted)}, not the reply to "
                               f"its request ({exchange.fault}: {exchange.reply})")
        elif usable:
            self.count["replies missed"] += 1   # only timing can cause this: reported
            print(f"missed: {method}{args} ({exchange.fault}), {len(Wire.events)} port events",
                  flush=True)
        if raised is not None and exchange.fault != "unplug":
            self.violation(f"{method}{args}: {raised!r} without an unplug")

        state = self.supply.state.snapshot()
        if {k: state[k] for k in self.tracked} != self.tracked:
            self.violation(f"{method}{args}: supply state {state} differs from what was sent "
                           f"{self.tracked}")
            self.tracked = {k: state[k] for k in self.tracked}
        if method == "read_dev_status" and isinstance(result, dict) \
                and result != expected_status(self.supply.state):
            self.violation(f"read_dev_status: {result} != {expected_status(self.supply.state)}")
        label = LABELS.get(method)
        want = f"{label}{list(accepted)}\n" if label and accepted is not None else ""
        if method != "open" and printed != want:
            self.violation(f"{method}{args}: printed {printed!r}, expected {want!r}")
        if method == "open" and result is not (accepted is not None):
            self.violation(f"open: {result} with accepted identity {accepted}")

    def reopen(self):
        """A fresh open on the stable path; retried while a fault spoils it."""
        for _ in range(5):
            if hasattr(self.drv, "ser"):
                self.drv.close()
            if self.call("open", ()) is True:
                return
            self.supply.wait_idle()
        self.violation("open keeps failing without faults")

    def step(self):
        method, args = random_call(self.rng)
        fault = None
        if method != "show_device_version" and self.rng.random() < self.fault_rate:
            fault = random_fault(self.rng)
        if method == "open":
            self.drv.close()
        result = self.call(method, args, fault)
        if fault:
            self.supply.wait_idle()   # leftovers now wait in the input: the next call drops them
        if fault and fault[0] == "unplug":
            self.supply.replug()
            self.reopen()
        elif method == "open" and result is not True:
            self.reopen()

    def run(self, seconds):
        serial_module = types.SimpleNamespace(
            Serial=lambda *a, **k: Wire(serial.Serial(*a, **k)),
            SerialException=serial.SerialException, serial_for_url=serial.serial_for_url)
        zq4180.serial = serial_module
        tracemalloc.start()
        began = time.monotonic()
        with self.supply:
            self.drv = Soaked(self.supply.port)
            self.reopen()
            samples = []
            warm_until = began + max(5.0, seconds / 10)
            next_sample = began
            while (now := time.monotonic()) < began + seconds:
                if now >= next_sample:
                    gc.collect()
                    samples.append((now - began, *memory_sample()))
                    next_sample = now + 5.0
                self.step()
            self.drv.close()
        gc.collect()
        samples.append((time.monotonic() - began, *memory_sample()))
        tracemalloc.stop()
        return time.monotonic() - began, [s for s in samples if s[0] >= warm_until - began] \
            or samples[-1:], samples

    def report(self, elapsed, settled, samples):
        start, end = settled[0], settled[-1]
        peak = max(s[1] for s in settled)
        growth = end[1] - start[1]
        c = self.count
        print(f"soak: {elapsed:.1f} s, {c['calls']} calls, {c['exchanges']} exchanges "
              f"({c['exchanges'] / elapsed:.2f}/s), seed {self.seed}")
        print("calls:", ", ".join(f"{m} {c[m]}" for m in [*WORDS, "show_device_version"]))
        faults = {k[6:]: v for k, v in c.items() if k.startswith("fault ")}
        print(f"faults taken effect: {sum(faults.values())} "
              f"({100 * sum(faults.values()) / max(c['exchanges'], 1):.1f}% of exchanges):",
              ", ".join(f"{k} {v}" for k, v in sorted(faults.items())))
        print(f"stale input discarded before a request: {c['stale reads discarded']} times, "
              f"{c['stale bytes discarded']} bytes; usable replies missed: "
              f"{c['replies missed']}")
        print(f"memory from {start[0]:.0f} s to {end[0]:.0f} s: traced {start[1]} -> {end[1]} B "
              f"(growth {growth:+d} B, peak {peak} B), RSS {start[2] // 1024} -> "
              f"{end[2] // 1024} KiB, objects {start[3]} -> {end[3]}")
        if growth > GROWTH_LIMIT:
            self.violation(f"traced memory grew by {growth} B (limit {GROWTH_LIMIT})")
        if end[3] - start[3] > OBJECTS_LIMIT:
            self.violation(f"{end[3] - start[3]} more objects (limit {OBJECTS_LIMIT})")
        print(f"violations: {len(self.violations)}")
        return 1 if self.violations else 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=120.0)
    parser.add_argument("--fault-rate", type=float, default=0.05)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args(argv)
    if args.seconds <= 0 or not 0 <= args.fault_rate <= 1:
        parser.error("--seconds must be positive and --fault-rate within 0..1")
    if args.seed is None:
        args.seed = random.randrange(2**32)
    soak = Soak(args)
    return soak.report(*soak.run(args.seconds))


if __name__ == "__main__":
    sys.exit(main())

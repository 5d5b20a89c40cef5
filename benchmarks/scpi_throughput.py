"""Ten connections querying at once: exchanges per second on the port against the line's 9.23/s.

    python3 benchmarks/scpi_throughput.py [--clients 10] [--seconds 20]

A paced virtual supply (4800 baud, ``zq4180-sim``) is served by ``zq4180-scpi``,
each in a process of its own; each client (a pyvisa-py session on a thread) asks
``MEAS:VOLT?;CURR?`` back to back. The virtual supply counts the exchanges it
answers. The goal: at least 0.95 of the line's limit; queries answered may be
more than exchanges, since queries that wait together share one status read.
"""
from __future__ import annotations

import argparse
import threading
import time

import scpi_support as support


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--clients", type=int, default=10, help="connections querying at once (default 10)")
    ap.add_argument("--seconds", type=float, default=20.0, help="length of the measurement (default 20)")
    args = ap.parse_args()
    with support.Sim() as sup, support.scpi_server(sup.port) as resource:
        sessions = [support.session(resource) for _ in range(args.clients)]
        stop = threading.Event()
        answered = [0] * args.clients
        crossed = [0]

        def client(k: int) -> None:
            inst = sessions[k]
            while not stop.is_set():
                volts, amps = inst.query("MEAS:VOLT?;CURR?").split(";")
                float(volts), float(amps)
                answered[k] += 1
                inst.write(f"*ESE {k}")
                if inst.query("*ESE?") != str(k):
                    crossed[0] += 1

        threads = [threading.Thread(target=client, args=(k,), daemon=True) for k in range(args.clients)]
        for t in threads:
            t.start()
        time.sleep(2)                                  # every client under way
        first, start, asked = sup.exchanges, time.monotonic(), sum(answered)
        time.sleep(args.seconds)
        exchanges, span, done = sup.exchanges - first, time.monotonic() - start, sum(answered) - asked
        stop.set()
        for t in threads:
            t.join(30)
        for inst in sessions:
            inst.close()
    rate = exchanges / span
    print(f"{args.clients} connections asking MEAS:VOLT?;CURR? for {span:.0f} s "
          f"(line limit {support.LINE_LIMIT:.2f} exchanges/s):")
    print(f"  exchanges on the port: {rate:5.2f}/s  ({rate / support.LINE_LIMIT:5.1%} of the line; goal >= 95%)")
    print(f"  lines answered:        {done / span:5.2f}/s  ({done / max(exchanges, 1):.2f} per exchange)")
    print(f"  crossed replies:       {crossed[0]}")


if __name__ == "__main__":
    main()

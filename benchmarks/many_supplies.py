"""Many supplies at once: N driver objects on N threads, one virtual supply each.

The driver waits in time.sleep, which lets go of the interpreter lock, so N
supplies on N threads should finish in about the time of one.  The supplies
are served by `zq4180-sim` in a process of its own at 4800-baud line timing;
served from this process they would compete with the driver for the lock and
the figures would show the simulator instead.

    python3 benchmarks/many_supplies.py [-k READS] [--counts 1,2,4,8,16] [--twin]
"""
import argparse
import importlib.util
import pathlib
import shutil
import signal
import subprocess
import sys
import threading
import time

FRAME_BITS = 26 * 10                    # 8N1: ten bit times a byte
LINE_EXCHANGE = 2 * FRAME_BITS / 4800   # request and reply: 108.3 ms


def load_driver(twin):
    if not twin:
        import zq4180
        return zq4180
    path = pathlib.Path(__file__).with_name("pure_python_zq4180.py")
    spec = importlib.util.spec_from_file_location("pure_python_zq4180", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def start_simulator(count):
    command = shutil.which("zq4180-sim")
    argv = [command] if command else [sys.executable, "-m", "zq4180_sim"]
    proc = subprocess.Popen(argv + ["-n", str(count)], stdout=subprocess.PIPE, text=True)
    ports = [proc.stdout.readline().strip() for _ in range(count)]
    if not all(ports):
        stop_simulator(proc)
        raise SystemExit(f"zq4180-sim gave {sum(map(bool, ports))} of {count} ports")
    return proc, ports


def stop_simulator(proc):
    proc.send_signal(signal.SIGINT)  # ends it cleanly: links removed
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    proc.stdout.close()


def run_round(drivers, reads):
    """Every driver does `reads` status reads on its own thread, all released at once."""
    failures = [0] * len(drivers)
    gate = threading.Barrier(len(drivers) + 1)

    def work(index, driver):
        gate.wait()
        for _ in range(reads):
            try:
                ok = driver.read_dev_status() is not None
            except Exception:
                ok = False
            failures[index] += not ok

    threads = [threading.Thread(target=work, args=(i, d)) for i, d in enumerate(drivers)]
    for thread in threads:
        thread.start()
    gate.wait()
    began = time.perf_counter()
    for thread in threads:
        thread.join()
    return time.perf_counter() - began, sum(failures)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-k", "--reads", type=int, default=20,
                        help="status reads per supply and round (default 20)")
    parser.add_argument("--counts", default="1,2,4,8,16",
                        help="numbers of supplies driven at once (default 1,2,4,8,16)")
    parser.add_argument("--twin", action="store_true",
                        help="drive the plain-Python twin instead of the extension")
    args = parser.parse_args()
    counts = [int(n) for n in args.counts.split(",")]
    if args.reads < 1 or not counts or min(counts) < 1:
        parser.error("reads and counts must be positive")
    zq4180 = load_driver(args.twin)

    proc, ports = start_simulator(max(counts))
    drivers = []
    try:
        for port in ports:
            driver = zq4180.ZQ4180(port)
            if not driver.open():
                raise SystemExit(f"open {port} failed")
            drivers.append(driver)

        print(f"driver: {zq4180.__name__}; {args.reads} status reads per supply; "
              f"supplies served by zq4180-sim (pid {proc.pid}) at 4800-baud line timing")
        print(f"line limit: {LINE_EXCHANGE * 1000:.1f} ms per exchange, "
              f"{1 / LINE_EXCHANGE:.2f} exchanges/s per supply")
        print()
        header = (f"{'N':>3} {'wall s':>8} {'exch/s':>8} {'limit/s':>8} {'speed-up':>9} "
                  f"{'ms/exch':>8} {'failures':>9}")
        print(header)
        print("-" * len(header))
        base = None
        for n in counts:
            wall, failures = run_round(drivers[:n], args.reads)
            rate = n * args.reads / wall
            base = base or rate
            print(f"{n:>3} {wall:>8.2f} {rate:>8.1f} {n / LINE_EXCHANGE:>8.1f} "
                  f"{rate / base:>8.2f}x {wall / args.reads * 1000:>8.1f} {failures:>9}")
    finally:
        for driver in drivers:
            driver.close()
        stop_simulator(proc)


if __name__ == "__main__":
    main()

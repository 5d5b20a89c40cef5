"""Every benchmark of the driver, one after the other, with their tables.

    python3 benchmarks/run_all.py            # the full run (about 2 minutes)
    python3 benchmarks/run_all.py --quick    # smaller counts (about half a minute)
    python3 benchmarks/run_all.py --only cpu,callgrind

Sections: cpu (CPU per call on an instant port), callgrind (instructions per
call), line (status reads against the paced virtual supply), scale (many
supplies on many threads: many_supplies.py), import (import time and
memory per object).  Each one is also a script of its own; see
docs/benchmarks.md for the figures and what they mean.
"""
import argparse
import datetime
import os
import pathlib
import platform
import shutil
import subprocess
import sys
import time

import bench_support as support

SECTIONS = ("cpu", "callgrind", "line", "scale", "import")

FULL = {
    "cpu": ["--number", "20000", "--repeat", "9"],
    "callgrind": ["--calls", "2000"],
    "line": ["--reads", "40", "--rounds", "3"],
    "scale": ["-k", "30"],
    "import": ["--runs", "9", "--objects", "10000"],
}
QUICK = {
    "cpu": ["--number", "3000", "--repeat", "5"],
    "callgrind": ["--calls", "300"],
    "line": ["--reads", "10", "--rounds", "1", "--no-twin"],
    "scale": ["-k", "5"],
    "import": ["--runs", "3", "--objects", "10000"],
}


def describe_setup():
    import serial
    import zq4180
    built = datetime.datetime.fromtimestamp(os.path.getmtime(zq4180.__file__))
    print(f"{datetime.datetime.now():%Y-%m-%d %H:%M}  Python {platform.python_version()}, "
          f"pySerial {serial.VERSION}, {platform.machine()} {platform.system()} "
          f"{platform.release()}")
    print(f"zq4180: {zq4180.__file__} (built {built:%Y-%m-%d %H:%M})")
    print(support.machine_load())


def run_section(name, argv, extension, quick):
    began = time.monotonic()
    print()
    print(f"== {name} " + "=" * 60)
    if name == "cpu":
        import cpu_per_call
        cpu_per_call.main(argv + (["--extension", extension] if extension else []))
    elif name == "callgrind":
        if not shutil.which("valgrind"):
            print("skipped: valgrind is not installed (apt-get install -y valgrind)")
            return
        import callgrind_counts
        callgrind_counts.main(argv + (["--extension", extension] if extension else []))
    elif name == "line":
        import line_latency
        line_latency.main(argv)
    elif name == "scale":
        script = pathlib.Path(__file__).with_name("many_supplies.py")
        for extra in ([],) if quick else ([], ["--twin"]):
            sys.stdout.flush()
            command = [sys.executable, str(script), *argv, *extra]
            print("$ " + " ".join(["python3", "benchmarks/many_supplies.py", *argv, *extra]))
            sys.stdout.flush()
            subprocess.run(command, check=True)
            print()
    elif name == "import":
        import import_and_memory
        import_and_memory.main(argv)
    print(f"({name}: {time.monotonic() - began:.0f} s; {support.machine_load()})")
    sys.stdout.flush()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller counts, fewer repeats")
    parser.add_argument("--only", default=",".join(SECTIONS),
                        help=f"comma-separated sections (default all: {','.join(SECTIONS)})")
    parser.add_argument("--extension", metavar="SO",
                        help="for cpu and callgrind: this build instead of the installed module")
    args = parser.parse_args(argv)
    chosen = [name.strip() for name in args.only.split(",") if name.strip()]
    unknown = set(chosen) - set(SECTIONS)
    if unknown:
        parser.error(f"unknown sections: {', '.join(sorted(unknown))}")
    settings = QUICK if args.quick else FULL
    describe_setup()
    for name in chosen:
        run_section(name, settings[name], args.extension, args.quick)


if __name__ == "__main__":
    main()

"""Import time of zq4180 apart from pySerial, and memory per driver object.

Import: `python3 -X importtime -c "import serial; import zq4180"` in fresh
interpreters, parsed; pySerial is imported first so that zq4180's line
counts only what zq4180 itself brings (its own loading, and `platform` and
`subprocess` if nothing had imported them yet).  The twin is timed the same
way for comparison.  Wall-clock import times swing with the machine's load,
so the instructions of the import itself are also counted under callgrind
(when valgrind is installed), with pySerial, platform and subprocess loaded
beforehand.

Memory: tracemalloc over creating 10,000 driver objects (kept in a list
allocated beforehand), then over 10,000 objects that have also been opened,
i.e. carry the connection and the identity the read-out stored.  The opened
objects share one in-memory port, so the figure is the driver's own state,
not pySerial's.

    python3 benchmarks/import_and_memory.py [--runs 9] [--objects 10000] [--no-callgrind]
"""
import argparse
import gc
import json
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import tracemalloc
import types

import bench_support as support

LINE = re.compile(r"import time:\s+(\d+) \|\s+(\d+) \|( *)(\S+)")


def import_lines(statement):
    """[(self us, cumulative us, depth, name)] of one fresh interpreter."""
    done = subprocess.run([sys.executable, "-X", "importtime", "-c", statement],
                          capture_output=True, text=True, check=True, cwd=support.HERE)
    lines = []
    for match in LINE.finditer(done.stderr):
        self_us, cumulative, indent, name = match.groups()
        lines.append((int(self_us), int(cumulative), len(indent) // 2, name))
    return lines


def top_level(lines, name):
    """(self, cumulative, {child: cumulative}) of a top-level import."""
    for index, (self_us, cumulative, depth, found) in enumerate(lines):
        if depth == 0 and found == name:
            children = {}
            for s, c, d, child in reversed(lines[:index]):
                if d == 0:
                    break
                if d == 1:
                    children[child] = c
            return self_us, cumulative, children
    raise LookupError(f"{name} not in the -X importtime output")


def measure_import(runs=9):
    """{label: {"self": [...], "cumulative": [...], "children": {name: [...]}, "serial": [...]}}."""
    statements = {
        "zq4180": ("import serial; import zq4180", "zq4180"),
        "twin": ("import serial; import pure_python_zq4180", "pure_python_zq4180"),
    }
    results = {label: {"self": [], "cumulative": [], "children": {}, "serial": []}
               for label in statements}
    for _ in range(runs):
        for label, (statement, name) in statements.items():
            lines = import_lines(statement)
            self_us, cumulative, children = top_level(lines, name)
            entry = results[label]
            entry["self"].append(self_us)
            entry["cumulative"].append(cumulative)
            entry["serial"].append(top_level(lines, "serial")[1])
            for child, value in children.items():
                entry["children"].setdefault(child, []).append(value)
    return results


class _FakeSerialModule:
    """Hands out one shared port; its errors are a class of its own."""

    class SerialException(Exception):
        pass

    def __init__(self, port):
        self.port = port

    def Serial(self, *args, **kwargs):
        return self.port

    serial_for_url = Serial


class _FreePortSubprocess:
    """lsof reports nobody holding the port."""

    PIPE = -1

    @staticmethod
    def run(args, **kwargs):
        return types.SimpleNamespace(args=args, returncode=1, stdout=b"", stderr=b"")


def resident_bytes():
    """This process's resident set (Linux), or None: a cross-check that
    catches memory the interpreter's allocator does not see (C++ heap)."""
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return None


def per_object(module, count, opened, traced=True):
    """Bytes traced per live driver object (list slots excluded), and the
    names of its attributes; with traced=False the growth of the resident
    set instead (run it in a fresh process)."""
    port = support.InstantPort()
    saved = module.serial, module.subprocess
    module.serial, module.subprocess = _FakeSerialModule(port), _FreePortSubprocess
    try:
        def make():
            driver = module.ZQ4180("/dev/ttyUSB0")
            if opened and not driver.open():
                raise RuntimeError("open on the in-memory port failed")
            return driver
        make()  # first-call caches out of the count
        keep = [None] * count
        gc.collect()
        if not traced:
            before = resident_bytes()
            for index in range(count):
                keep[index] = make()
            gc.collect()
            return (resident_bytes() - before) / count
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            for index in range(count):
                keep[index] = make()
            gc.collect()
            after = tracemalloc.get_traced_memory()[0]
        finally:
            tracemalloc.stop()
        return (after - before) / count, sorted(vars(keep[0]))
    finally:
        module.serial, module.subprocess = saved


def memory_in_fresh_process(name, opened, count, traced):
    """per_object() in a fresh interpreter: the class has seen no other object
    (CPython sizes new objects' attribute storage by what earlier objects of
    the class were given, so an earlier run would change the figure)."""
    if not traced and resident_bytes() is None:
        return None
    done = subprocess.run([sys.executable, __file__, "--memory-worker", name, str(int(opened)),
                           str(count), str(int(traced))],
                          capture_output=True, text=True, check=True, cwd=support.HERE)
    return json.loads(done.stdout)


def measure_memory(count=10000, rss_count=100000):
    """{(driver, opened): (traced bytes/object, attributes, resident bytes/object)}."""
    results = {}
    for name in ("extension", "twin"):
        for opened in (False, True):
            traced, attributes = memory_in_fresh_process(name, opened, count, True)
            rss = memory_in_fresh_process(name, opened, rss_count, False) if rss_count else None
            results[(name, opened)] = (traced, attributes, rss)
    return results


def import_instructions():
    """{module: instructions} of importing it once pySerial, platform and
    subprocess are loaded (callgrind), or {} without valgrind."""
    if not shutil.which("valgrind"):
        return {}
    counts = {}
    for name in ("zq4180", "pure_python_zq4180"):
        with tempfile.TemporaryDirectory(prefix="zq4180-cg-") as out_dir:
            out = pathlib.Path(out_dir) / "cg"
            program = ("import os, serial, platform, subprocess; os.getppid(); "
                       f"import {name}; os.getppid()")
            subprocess.run(["valgrind", "--tool=callgrind", "--dump-before=getppid",
                            f"--callgrind-out-file={out}", sys.executable, "-c", program],
                           capture_output=True, check=True, cwd=support.HERE,
                           env=dict(os.environ, PYTHONHASHSEED="0"))
            for path in pathlib.Path(out_dir).iterdir():
                header = path.read_text(errors="replace").split("\nfn=", 1)[0]
                if re.search(r"^part: 2$", header, re.M):
                    counts[name] = int(re.search(r"^(?:summary|totals): (\d+)", header,
                                                 re.M).group(1))
    return counts


def print_report(imports, instructions, memory, runs, count, rss_count):
    med = statistics.median
    print(f"Import time, median of {runs} fresh interpreters (-X importtime, microseconds; "
          f"{support.machine_load()})")
    rows = []
    for label, entry in imports.items():
        children = ", ".join(f"{child} {med(values):.0f}"
                             for child, values in sorted(entry["children"].items(),
                                                         key=lambda kv: -med(kv[1])))
        rows.append([label, f"{med(entry['self']):.0f}", f"{med(entry['cumulative']):.0f}",
                     children or "-", f"{med(entry['serial']):.0f}"])
    support.print_table(["module (after pySerial)", "self us", "cumulative us",
                         "imported by it (cumulative us)", "pySerial us"], rows)
    if instructions:
        print("Instructions of the import itself (callgrind; pySerial, platform and subprocess "
              "already loaded): " + ", ".join(f"{name} {count:,}"
                                              for name, count in instructions.items()))
    print()
    print(f"Memory per driver object (tracemalloc over {count} live objects; each case in a "
          f"fresh interpreter)")
    rows = []
    for (name, opened), (traced, attributes, rss) in memory.items():
        rows.append([name, "opened, identity read" if opened else "constructed",
                     f"{traced:.0f}", "-" if rss is None else f"{rss:.0f}", len(attributes)])
    support.print_table(["driver", "state", "traced bytes/object",
                         f"resident set growth bytes/object ({rss_count} objects, no tracing)",
                         "attributes"], rows)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=9, help="fresh interpreters per import")
    parser.add_argument("--objects", type=int, default=10000, help="driver objects kept alive")
    parser.add_argument("--rss-objects", type=int, default=100000,
                        help="objects for the resident-set cross-check (0: skip it)")
    parser.add_argument("--no-callgrind", dest="callgrind", action="store_false",
                        help="skip the instruction count of the import")
    parser.add_argument("--memory-worker", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_worker:
        name, opened, count, traced = args.memory_worker
        module = support.drivers()[name]
        with support.no_wait(module):
            print(json.dumps(per_object(module, int(count), opened == "1", traced == "1")))
        return None
    imports = measure_import(args.runs)
    instructions = import_instructions() if args.callgrind else {}
    memory = measure_memory(args.objects, args.rss_objects)
    print_report(imports, instructions, memory, args.runs, args.objects, args.rss_objects)
    return imports, instructions, memory


if __name__ == "__main__":
    main()

"""Instructions per call under callgrind: extension, twin and the stand-ins alone.

Each subject runs once under `valgrind --tool=callgrind`: per method a
warm-up, then N timed calls between two calls of os.getppid(), on whose entry
callgrind dumps its counters (--dump-before=getppid).  The part between the
two dumps divided by N is the count per call, set-up and warm-up left out.
Instruction counts do not depend on what else the machine is doing, so they
can be compared across runs on a shared machine (PYTHONHASHSEED is fixed so
dict layouts repeat).

    python3 benchmarks/callgrind_counts.py [--calls 2000]
    python3 benchmarks/callgrind_counts.py --profile read_dev_status --extension build/zq4180*.so

`--profile` prints callgrind_annotate's inclusive costs over the N calls of
one method of the extension (use a build with symbols: CMAKE_CXX_FLAGS=-g).
"""
import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import bench_support as support

SUBJECTS = ("extension", "twin", "fake")
WARM_UP = 50  # calls before the measured ones: specialisation, caches


def worker(subject, methods, calls, extension_path):
    """The measured program: per method a warm-up, a marker, N calls, a marker."""
    modules = []
    if subject != "fake":
        module = (support.load_twin() if subject == "twin"
                  else support.load_extension(extension_path))
        driver = support.instant_driver(module)
        modules.append(module)
    with support.redirect_stdout_to_null(), support.no_wait(*modules):
        for method in methods:
            if subject == "fake":
                call = support.fake_sequence(method)
            else:
                invoke = support.METHODS[method][0]
                call = lambda: invoke(driver)  # noqa: E731
            for _ in range(WARM_UP):
                call()
            os.getppid()  # counters dumped: the calls below are a part of their own
            for _ in range(calls):
                call()
            os.getppid()


def run_callgrind(subject, methods, calls, extension_path, out_dir):
    """{part number: out file}; part 2k is the k-th method's N calls."""
    out = pathlib.Path(out_dir) / f"cg.{subject}"
    argv = ["valgrind", "--tool=callgrind", "--dump-before=getppid",
            f"--callgrind-out-file={out}", sys.executable, os.path.abspath(__file__),
            "--worker", subject, ",".join(methods), str(calls)]
    if extension_path:
        argv += ["--extension", os.path.abspath(extension_path)]
    env = dict(os.environ, PYTHONHASHSEED="0")
    done = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          env=env, cwd=support.HERE)
    if done.returncode != 0:
        raise RuntimeError(f"callgrind run failed:\n{done.stderr[-2000:]}")
    parts = {}
    for path in pathlib.Path(out_dir).glob(f"cg.{subject}*"):
        header = path.read_text(errors="replace").split("\nfn=", 1)[0]
        part = re.search(r"^part: (\d+)", header, re.M)
        total = re.search(r"^(?:summary|totals): (\d+)", header, re.M)
        if part and total:
            parts[int(part.group(1))] = (int(total.group(1)), path)
    return parts


def measure(calls=2000, extension_path=None, methods=None):
    """{method: {subject: instructions per call}}."""
    methods = list(methods or support.METHODS)
    results = {method: {} for method in methods}
    with tempfile.TemporaryDirectory(prefix="zq4180-cg-") as out_dir:
        for subject in SUBJECTS:
            parts = run_callgrind(subject, methods, calls, extension_path, out_dir)
            for k, method in enumerate(methods, start=1):
                results[method][subject] = parts[2 * k][0] / calls
    return results


def print_report(results, calls):
    print(f"Instructions per call under callgrind (Ir of {calls} calls after a warm-up, / {calls}; "
          f"deterministic, independent of machine load)")
    rows = []
    for method, r in results.items():
        ext_own, twin_own = r["extension"] - r["fake"], r["twin"] - r["fake"]
        rows.append([method, f"{r['extension']:,.0f}", f"{r['twin']:,.0f}",
                     f"{r['extension'] / r['twin']:.2f}", f"{r['fake']:,.0f}",
                     f"{ext_own:,.0f}", f"{twin_own:,.0f}", f"{ext_own / twin_own:.2f}"])
    support.print_table(["method", "extension Ir", "twin Ir", "ext/twin", "fake Ir",
                         "ext own Ir", "twin own Ir", "own ext/twin"], rows)


def profile(method, calls, extension_path, top):
    """callgrind_annotate of the extension's N calls of one method, inclusive."""
    with tempfile.TemporaryDirectory(prefix="zq4180-cg-") as out_dir:
        parts = run_callgrind("extension", [method], calls, extension_path, out_dir)
        annotate = shutil.which("callgrind_annotate") or "callgrind_annotate"
        text = subprocess.run([annotate, "--inclusive=yes", str(parts[2][1])],
                              capture_output=True, text=True, check=True).stdout
    print(f"Inclusive instructions per call of {method} (callgrind_annotate --inclusive=yes "
          f"over {calls} calls; top {top}; file names shortened):")
    shown = 0
    for line in text.splitlines():
        found = re.match(r"\s*([\d,]+) \(\s*([\d.]+)%\)\s+(.*?)(?: \[[^]]*\])?$", line)
        if not found or shown >= top:
            continue
        count, percent, where = found.groups()
        if float(percent) >= 99.0 and shown:  # the interpreter's own frames around the loop
            continue
        path, _, function = where.rpartition(".c:") if ".c:" in where else ("", "", where)
        if path:
            function = pathlib.Path(path).name + ".c:" + function
        elif re.match(r"[^:]*/[^:]*:", where):  # path.cpp:function, path.h:function
            head, _, rest = where.partition(":")
            function = pathlib.Path(head).name + ":" + rest
        print(f"{int(count.replace(',', '')) / calls:>9,.0f} {percent:>6}%  {function[:150]}")
        shown += 1


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=2000,
                        help="measured calls per method (default 2000)")
    parser.add_argument("--extension", metavar="SO",
                        help="measure this build of the extension instead of the installed one")
    parser.add_argument("--profile", metavar="METHOD", choices=sorted(support.METHODS),
                        help="print an inclusive profile of one method of the extension")
    parser.add_argument("--top", type=int, default=60, help="lines of the profile")
    parser.add_argument("--worker", nargs=3, metavar=("SUBJECT", "METHODS", "N"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        subject, methods, calls = args.worker
        worker(subject, methods.split(","), int(calls), args.extension)
        return None
    if not shutil.which("valgrind"):
        raise SystemExit("valgrind is not installed (apt-get install -y valgrind)")
    if args.profile:
        profile(args.profile, args.calls, args.extension, args.top)
        return None
    results = measure(args.calls, args.extension)
    print_report(results, args.calls)
    return results


if __name__ == "__main__":
    main()

#!/usr/bin/env bash
# Build the extension with AddressSanitizer + UndefinedBehaviorSanitizer and
# run the whole test suite against it.
#
#   tools/sanitize.sh [pytest arguments...]
#
# Build dir: build/asan (gcc; CXX_SANITIZE=g++-13 etc. to choose another gcc).
# Only the pytest process runs with libasan preloaded, PYTHONMALLOC=malloc
# (every Python allocation through malloc, so ASan sees it) and the sanitized
# module first on the path; tools/sanitized_run.py, loaded with -p, takes
# those variables away again before any test starts a child process, and
# checks that zq4180 really is the sanitized build.
#
# Reports are written to build/asan/reports/ (pytest's output capture would
# swallow them together with the dying process) and printed at the end; any
# report fails the run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
cxx="${CXX_SANITIZE:-g++}"
dir="$root/build/asan"
reports="$dir/reports"
python="$(python3 -c 'import sys; print(sys.executable)')"  # not a wrapper script

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S "$root" -B "$dir" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$python" -DZQ4180_SANITIZE=ON >/dev/null
cmake --build "$dir" >/dev/null

libasan="$("$cxx" -print-file-name=libasan.so)"
[ -e "$libasan" ] || { echo "sanitize.sh: no libasan.so for $cxx" >&2; exit 2; }
# libstdc++ preloaded too: the python executable does not link it, so ASan's
# __cxa_throw interceptor would find no real function when another C++
# extension (matplotlib's, for the sweep plots) throws, and abort.
libstdcxx="$(readlink -f "$("$cxx" -print-file-name=libstdc++.so)")"
[ -e "$libstdcxx" ] || { echo "sanitize.sh: no libstdc++.so for $cxx" >&2; exit 2; }
rm -rf "$reports"
mkdir -p "$reports"

# The differential fuzz test normally runs hypothesis in a child Python,
# which would not be sanitized; this is its switch to run in this process.
export ZQ4180_FUZZ_CHILD="${ZQ4180_FUZZ_CHILD:-1}"

saved=()
[ -n "${PYTHONPATH+set}" ] && saved=(ZQ4180_SANITIZE_SAVED_PYTHONPATH="$PYTHONPATH")
start=$(date +%s)
status=0
env "${saved[@]}" \
    ZQ4180_SANITIZED_BUILD="$dir" \
    ZQ4180_SANITIZE_LAST_TEST="$dir/last-test" \
    PYTHONPATH="$dir:$root/python:$root/tools${PYTHONPATH:+:$PYTHONPATH}" \
    LD_PRELOAD="$libasan $libstdcxx" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
    "$python" -m pytest -p sanitized_run "$@" || status=$?
echo "sanitize.sh: pytest exit status $status after $(( $(date +%s) - start )) s"

if compgen -G "$reports/*" >/dev/null; then
    for report in "$reports"/*; do
        echo "===== $report"
        cat "$report"
    done
    echo "sanitize.sh: sanitizer reports above; last test started: $(cat "$dir/last-test" 2>/dev/null)" >&2
    exit 1
fi
exit "$status"

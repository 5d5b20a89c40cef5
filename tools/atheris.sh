#!/usr/bin/env bash
# Fuzz the whole extension from Python with atheris (fuzz/atheris_driver.py).
#
#   tools/atheris.sh [SECONDS] [libFuzzer options...]     (default 120 s)
#
# The extension is built with clang into build/atheris: ASan + UBSan and
# libFuzzer's coverage hooks, so the C++ paths guide the fuzzer.  atheris goes into build/atheris-site (pip --target), not into
# the interpreter's site-packages; its ASan runtime with libFuzzer inside is
# preloaded into this one process.  Failing inputs land in build/atheris/
# as crash-*; replay with: tools/atheris.sh 0 build/atheris/crash-<sha1>
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
dir="$root/build/atheris"
site="$root/build/atheris-site"
python="$(python3 -c 'import sys; print(sys.executable)')"

[ -d "$site/atheris" ] || "$python" -m pip install --quiet --target "$site" atheris
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
# The flags of ZQ4180_SANITIZE plus the coverage hooks, less the vptr and
# function checks: their C++ runtime part is not in the preloaded runtime.
flags="-fsanitize=address,undefined,fuzzer-no-link -fsanitize=float-cast-overflow -fno-sanitize=vptr,function"
flags+=" -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
cmake -S "$root" -B "$dir" "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$python" \
    -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$dir" --target zq4180 >/dev/null

seconds=120
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then seconds="$1"; shift; fi
runtime="$("$python" -c 'import sys; sys.path.insert(0, sys.argv[1]); import atheris; print(atheris.path())' "$site")"
mkdir -p "$dir/corpus"
cd "$dir"
[ "$seconds" -gt 0 ] && limit=(-max_total_time="$seconds" corpus) || limit=()
exec env LD_PRELOAD="$runtime/asan_with_fuzzer.so" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    PYTHONPATH="$dir:$site:$root/python" \
    "$python" "$root/fuzz/atheris_driver.py" -print_final_stats=1 "${limit[@]}" "$@"

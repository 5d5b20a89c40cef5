#!/usr/bin/env bash
# Fuzz the protocol core with libFuzzer (clang, ASan + UBSan).
#
#   tools/fuzz.sh [SECONDS] [libFuzzer options...]   fuzz for SECONDS (default 180)
#   tools/fuzz.sh --coverage                         line coverage of src/protocol
#                                                    reached by the kept corpus
#
# The seeds in fuzz/corpus/ are read, never written: new inputs go to
# build/fuzz/corpus/.  A failing input is written to build/fuzz/ as crash-*
# and replays with: build/fuzz/protocol_fuzz build/fuzz/crash-<sha1>
# Needs clang++ and its fuzzer runtime (Debian: clang, libclang-rt-14-dev).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
cxx="${CXX_FUZZ:-clang++}"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

configure() {  # build dir, extra cmake arguments...
    local dir="$1"; shift
    cmake -S "$root" -B "$dir" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$(command -v python3)" \
        -DZQ4180_FUZZ=ON "$@" >/dev/null
    cmake --build "$dir" --target protocol_fuzz >/dev/null
}

if [ "${1:-}" = "--coverage" ]; then
    dir=build/fuzz-coverage
    flags="-fprofile-instr-generate -fcoverage-mapping"
    configure "$dir" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags"
    inputs=(fuzz/corpus)
    [ -d build/fuzz/corpus ] && inputs+=(build/fuzz/corpus)
    LLVM_PROFILE_FILE="$dir/fuzz.profraw" "$dir/protocol_fuzz" -runs=0 "${inputs[@]}" 2>/dev/null
    llvm-profdata-14 merge -sparse "$dir/fuzz.profraw" -o "$dir/fuzz.profdata" 2>/dev/null \
        || llvm-profdata merge -sparse "$dir/fuzz.profraw" -o "$dir/fuzz.profdata"
    cov=llvm-cov-14; command -v "$cov" >/dev/null 2>&1 || cov=llvm-cov
    "$cov" report "$dir/protocol_fuzz" -instr-profile="$dir/fuzz.profdata" src/protocol/*.cpp src/protocol/*.hpp
    exit 0
fi

seconds=180
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then seconds="$1"; shift; fi
dir=build/fuzz
configure "$dir"
mkdir -p "$dir/corpus"
cd "$dir"  # crash-*, leak-* and timeout-* files land here
exec ./protocol_fuzz -max_total_time="$seconds" -print_final_stats=1 -max_len=256 \
    "$@" corpus "$root/fuzz/corpus"

"""The protocol core's fuzz target builds with clang and survives a short run.

The long run is tools/fuzz.sh; this keeps the target compiling and its
properties true on the seeds plus some thousands of mutations.
"""
import glob
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
RUNS = 20000


def fuzzer_runtime_present():
    found = subprocess.run(["clang++", "--print-runtime-dir"], capture_output=True, text=True)
    return found.returncode == 0 and glob.glob(os.path.join(found.stdout.strip(), "libclang_rt.fuzzer*.a"))


def test_fuzz_target_holds_its_properties(tmp_path):
    for tool in ("clang++", "cmake"):
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} is not installed")
    if not fuzzer_runtime_present():
        pytest.skip("clang's libFuzzer runtime is not installed (Debian: libclang-rt-14-dev)")
    build = tmp_path / "build"
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_CXX_COMPILER=clang++",
                 "-DCMAKE_BUILD_TYPE=RelWithDebInfo", f"-DPython_EXECUTABLE={sys.executable}",
                 "-DZQ4180_FUZZ=ON"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, capture_output=True)
    made = subprocess.run(["cmake", "--build", str(build), "--target", "protocol_fuzz"],
                          capture_output=True, text=True)
    assert made.returncode == 0, made.stdout + made.stderr
    corpus = tmp_path / "corpus"  # new inputs land here, never among the kept seeds
    corpus.mkdir()
    run = subprocess.run([str(build / "protocol_fuzz"), f"-runs={RUNS}", "-max_len=256",
                          f"-artifact_prefix={tmp_path}/", str(corpus), str(ROOT / "fuzz" / "corpus")],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-4000:]
    assert f"Done {RUNS} runs" in run.stderr

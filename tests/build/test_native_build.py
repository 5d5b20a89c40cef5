"""The C++ sources build warning-free under gcc and clang, and the protocol
core passes its own checks."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
COMPILERS = ["g++", "clang++"]


@pytest.mark.parametrize("compiler", COMPILERS)
def test_builds_without_warnings_and_protocol_checks_pass(compiler, tmp_path):
    if shutil.which(compiler) is None:
        pytest.skip(f"{compiler} is not installed")
    if shutil.which("cmake") is None:
        pytest.skip("cmake is not installed")
    configure = [
        "cmake", "-S", str(ROOT), "-B", str(tmp_path),
        f"-DCMAKE_CXX_COMPILER={compiler}",
        f"-DPython_EXECUTABLE={sys.executable}",
        "-DCMAKE_BUILD_TYPE=Release",
        "-DCMAKE_CXX_FLAGS=-Werror",
        "-DZQ4180_BUILD_TESTS=ON",
    ]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, capture_output=True)
    build = subprocess.run(["cmake", "--build", str(tmp_path), "-j", str(os.cpu_count() or 2)],
                           capture_output=True, text=True)
    assert build.returncode == 0, build.stdout + build.stderr
    assert "warning:" not in build.stdout + build.stderr
    checks = subprocess.run([str(tmp_path / "protocol_test")], capture_output=True, text=True)
    assert checks.returncode == 0, checks.stdout

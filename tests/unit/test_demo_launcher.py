"""`zq4180-demo`: --help explains without touching a port, other arguments are refused."""
import shutil
import subprocess
import sys

import pytest

from zq4180_launch import demo

ext = pytest.mark.extension_only


@pytest.fixture
def no_demonstration(monkeypatch):
    def refuse():
        raise AssertionError("the demonstration ran")
    monkeypatch.setattr(demo, "load_as_main", refuse)


@pytest.mark.parametrize("argv, code, on_stdout", [
    (["--help"], 0, True),
    (["-h"], 0, True),
    (["/dev/ttyUSB0"], 2, False),
    (["--port", "/dev/ttyUSB0"], 2, False),
    (["--help", "extra"], 2, False),
    ([""], 2, False),
])
def test_arguments(no_demonstration, capsys, argv, code, on_stdout):
    assert demo.main(argv) == code
    out, err = capsys.readouterr()
    text = out if on_stdout else err
    assert (out if not on_stdout else err) == ""
    assert text.startswith("usage: zq4180-demo [-h]\n" if on_stdout else "zq4180-demo: ")
    for needed in ("/dev/cu.usbserial-21320", "as root",
                   "zq4180-sim --address 6 --load 10 --link /dev/cu.usbserial-21320"):
        assert needed in text


@ext
@pytest.mark.parametrize("argv, code", [(["--help"], 0), (["now"], 2)])
def test_the_installed_command(argv, code):
    script = shutil.which("zq4180-demo")
    command = [script] if script else [sys.executable, "-m", "zq4180_launch.demo"]
    run = subprocess.run(command + argv, capture_output=True, text=True, timeout=60,
                         stdin=subprocess.DEVNULL)
    assert run.returncode == code
    shown = run.stdout if code == 0 else run.stderr
    assert shown.splitlines()[-1].startswith("  -h, --help")  # the whole usage, and nothing after it
    assert "open serial port:/dev/cu.usbserial-21320 failed!" not in run.stdout.splitlines()
    assert "Cannot open serial port" not in run.stdout

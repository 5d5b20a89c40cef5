"""pytest plugin for tools/sanitize.sh: keeps the sanitizer to this process.

The sanitized pytest starts with LD_PRELOAD=libasan, PYTHONMALLOC=malloc,
the sanitizer options and a PYTHONPATH that puts the sanitized build first.
None of that may reach the processes the tests start (lsof, ser2net, the
virtual supply's command, other Pythons): a preloaded libasan in lsof or
ser2net is not what is under test, and a child Python that imported the
sanitized module without libasan loaded first would fail.  The interpreter
has read all of it by the time pytest loads this plugin (`-p`, before any
conftest or test module), so the variables are removed from os.environ here
and PYTHONPATH gets back the value it had before the script set it.

The plugin also refuses to run unless this process really has libasan
loaded and imports the sanitized zq4180 from the build directory the script
names.
"""
import os
import pathlib

import pytest

_ONLY_HERE = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")
_BUILD = os.environ.pop("ZQ4180_SANITIZED_BUILD", "")
_SAVED_PATH = os.environ.pop("ZQ4180_SANITIZE_SAVED_PYTHONPATH", None)
_LAST_TEST = os.environ.pop("ZQ4180_SANITIZE_LAST_TEST", "")

for _name in _ONLY_HERE:
    os.environ.pop(_name, None)
if _SAVED_PATH:
    os.environ["PYTHONPATH"] = _SAVED_PATH
else:
    os.environ.pop("PYTHONPATH", None)


_KEY = pytest.StashKey[str]()


def _asan_loaded():
    with open("/proc/self/maps", encoding="ascii", errors="replace") as maps:
        return any("libasan" in line for line in maps)


def pytest_configure(config):
    if not _BUILD:
        raise pytest.UsageError("sanitized_run: ZQ4180_SANITIZED_BUILD is not set; use tools/sanitize.sh")
    if not _asan_loaded():
        raise pytest.UsageError("sanitized_run: libasan is not loaded in this process (LD_PRELOAD)")
    import zq4180
    where = pathlib.Path(zq4180.__file__).resolve()
    if where.parent != pathlib.Path(_BUILD).resolve():
        raise pytest.UsageError(f"sanitized_run: zq4180 was imported from {where}, not from {_BUILD}")
    config.stash[_KEY] = str(where)


def pytest_runtest_logstart(nodeid, location):
    # A report ends the process mid-test, before pytest can say which one.
    if _LAST_TEST:
        pathlib.Path(_LAST_TEST).write_text(nodeid + "\n", encoding="utf-8")


def pytest_report_header(config):
    return f"sanitized zq4180: {config.stash[_KEY]} (ASan + UBSan, PYTHONMALLOC=malloc)"

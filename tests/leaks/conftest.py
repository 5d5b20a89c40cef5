"""Repeated-call leak checks: call counts and the table of figures.

ZQ4180_LEAK_CALLS sets the calls per path (default 2000; the full check is
100000).  With the variable set, the figures of every path are printed at
the end of the run.
"""
import os

import pytest

CALLS = int(os.environ.get("ZQ4180_LEAK_CALLS", "2000"))
FIGURES = []


@pytest.fixture
def figures():
    return FIGURES


def pytest_terminal_summary(terminalreporter):
    if not FIGURES or "ZQ4180_LEAK_CALLS" not in os.environ:
        return
    write = terminalreporter.write_line
    write("")
    write("| path | calls | gc objects | tracemalloc bytes | C heap bytes | refcounts | s |")
    write("|---|---:|---:|---:|---:|---|---:|")
    for row in FIGURES:
        write("| {path} | {calls} | {objects:+d} | {traced:+d} | {heap:+d} | {refs} | {seconds:.1f} |"
              .format(**row))

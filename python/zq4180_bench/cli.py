"""``zq4180``: bench work with zq4100-series supplies, without writing a program.

The command lives in :mod:`zq4180_bench.commands` (a module per command);
this module is its entry point and keeps the names other front ends use to
parse options the same way.
"""

from __future__ import annotations

import os
import sys

from . import signals as _signals

if os.path.basename(sys.argv[0]) in ("zq4180", "zq4180.exe", "zq4180-script.py") or \
        sys.argv[0].replace("\\", "/").endswith("zq4180_bench/__main__.py"):
    # loaded to run the zq4180 command (not imported by another program): a signal that arrives
    # meanwhile is recorded, and main() ends with its status and one line, never a traceback
    # from the middle of an import
    _signals.hold_early()

from .commands.main import main  # noqa: E402
from .commands.parser import PROG, UsageError, build_parser  # noqa: E402
from .commands.parser import count as _count  # noqa: E402
from .commands.parser import fix_sim as _fix_sim  # noqa: E402
from .commands.parser import number as _number  # noqa: E402

__all__ = ["PROG", "UsageError", "build_parser", "main", "_count", "_fix_sim", "_number"]

if __name__ == "__main__":
    sys.exit(main())

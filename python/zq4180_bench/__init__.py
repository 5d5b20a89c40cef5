"""Bench work with zq4100-series supplies: the library behind the ``zq4180`` command.

::

    from zq4180_bench import open_supply, Limits
    with open_supply("/dev/ttyUSB0", limits=Limits.of(max_voltage=5, max_current=0.2)) as s:
        s.apply(current=0.1, voltage=3.3, output="on")
        print(s.read())
    # leaving the block switched the output off (confirmed) and gave local control back

Every rule that protects hardware lives here once: software limits checked
before anything is sent, the safe order of settings with a read-back, the
late-reply guard, the reconnecting reader and the safe end.
"""

import importlib
from typing import TYPE_CHECKING

# Names load on first use, so that `zq4180 --help` does not pay for the driver.
_WHERE = {
    "config": ("Config", "ConfigError", "SupplyEntry", "load_config"),
    "limits": ("Limit", "LimitError", "Limits"),
    "logs": ("LogWriter", "OutputExists"),
    "procedures": ("RampStopped", "SequenceError", "Step", "SweepPoint", "load_sequence", "parse_sequence",
                   "plan_ramp", "ramp", "run_sequence", "sweep", "sweep_points"),
    "reader": ("Poller", "Worker"),
    "readings": ("COLUMNS", "Event", "Reading", "changes"),
    "supply": ("LATE_REPLY_QUIET", "NoReply", "OpenError", "Outcome", "SafeEnd", "SafeEndError", "Supply",
               "SupplyError", "SupplyLost", "open_supply"),
}
_MODULE_OF = {name: module for module, names in _WHERE.items() for name in names}


def __getattr__(name: str):
    module = _MODULE_OF.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_MODULE_OF))


if TYPE_CHECKING:
    from .config import Config, ConfigError, SupplyEntry, load_config
    from .limits import Limit, LimitError, Limits
    from .logs import LogWriter, OutputExists
    from .procedures import (RampStopped, SequenceError, Step, SweepPoint, load_sequence, parse_sequence,
                             plan_ramp, ramp, run_sequence, sweep, sweep_points)
    from .reader import Poller, Worker
    from .readings import COLUMNS, Event, Reading, changes
    from .supply import (LATE_REPLY_QUIET, NoReply, OpenError, Outcome, SafeEnd, SafeEndError, Supply,
                         SupplyError, SupplyLost, open_supply)

__version__ = "1.0.0"

__all__ = sorted(_MODULE_OF)

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

from .config import Config, ConfigError, SupplyEntry, load_config
from .limits import Limit, LimitError, Limits
from .logs import LogWriter, OutputExists
from .procedures import (RampStopped, SequenceError, Step, SweepPoint, load_sequence, parse_sequence, plan_ramp, ramp,
                         run_sequence, sweep, sweep_points)
from .reader import Poller, Worker
from .readings import COLUMNS, Event, Reading, changes
from .supply import (LATE_REPLY_QUIET, NoReply, OpenError, Outcome, SafeEnd, SafeEndError, Supply, SupplyError,
                     SupplyLost, open_supply)

__version__ = "1.0.0"

__all__ = [
    "COLUMNS", "Config", "ConfigError", "Event", "LATE_REPLY_QUIET", "Limit", "LimitError", "Limits", "LogWriter",
    "NoReply", "OpenError", "Outcome", "OutputExists", "Poller", "RampStopped", "Reading", "SafeEnd", "SafeEndError",
    "SequenceError", "Step", "Supply", "SupplyEntry", "SupplyError", "SupplyLost", "SweepPoint", "Worker",
    "changes", "load_config", "load_sequence", "open_supply", "parse_sequence", "plan_ramp", "ramp",
    "run_sequence", "sweep", "sweep_points",
]

"""Bench work with zq4100-series supplies: the library behind the ``zq4180`` command.

::

    from zq4180_bench import open_supply, Limits
    with open_supply("/dev/ttyUSB0", limits=Limits.of(max_voltage=5, max_current=0.2)) as s:
        s.apply(current=0.1, voltage=3.3, output="on")
        print(s.read())
    # leaving the block switched the output off (confirmed) and gave local control back

Every rule that protects hardware lives here once: software limits checked
before anything is sent, the safe order of settings with a read-back, the
late-reply guard, the one confirmed off path, the reconnecting reader, the
worker that alone owns a port, and the safe end.
"""

import sys

#: signals that arrived while the zq4180 command was starting (see _hold_signals_while_starting)
_EARLY_SIGNALS: list = []


def _hold_signals_while_starting() -> None:
    # Run as the zq4180 command, a signal from the first line of this package on is recorded, and
    # the command ends with its status and one line. Only builtin modules here: an import that a
    # signal cut short would show as a traceback. Imported by another program, this does nothing.
    argv = getattr(sys, "argv", None) or [""]
    if str(argv[0]).replace("\\", "/").rsplit("/", 1)[-1] not in ("zq4180", "zq4180.exe", "zq4180-script.py"):
        return
    import _signal
    for sig in (_signal.SIGINT, _signal.SIGTERM, getattr(_signal, "SIGHUP", None)):
        try:
            if sig is not None and _signal.getsignal(sig) not in (None, _signal.SIG_IGN):
                _signal.signal(sig, lambda signum, frame: _EARLY_SIGNALS.append(signum))
        except ValueError:     # not the main thread: not a command's start-up
            return


_hold_signals_while_starting()

import importlib  # noqa: E402
from typing import TYPE_CHECKING  # noqa: E402

# Names load on first use, so that `zq4180 --help` does not pay for the driver.
_WHERE = {
    "config": ("Config", "ConfigError", "SupplyEntry", "load_config"),
    "limits": ("Limit", "LimitError", "Limits"),
    "logs": ("LogWriter", "OutputExists"),
    "procedures": ("RampStopped", "SequenceError", "Step", "SweepPoint", "load_sequence", "parse_sequence",
                   "plan_ramp", "ramp", "run_sequence", "sweep", "sweep_points"),
    "off": ("OFF_TRIES", "OffResult", "switch_off"),
    "opening": ("open_supply", "plan_supply"),
    "reader": ("Poller",),
    "readings": ("COLUMNS", "Event", "Reading", "changes"),
    "supply": ("LATE_REPLY_QUIET", "NoReply", "OffNotConfirmed", "OpenError", "Outcome", "SafeEnd", "SafeEndError",
               "SettingNotTaken", "Supply", "SupplyError", "SupplyLost"),
    "worker": ("QueueFull", "Worker"),
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
    from .config import Config as Config
    from .config import ConfigError as ConfigError
    from .config import SupplyEntry as SupplyEntry
    from .config import load_config as load_config
    from .limits import Limit as Limit
    from .limits import LimitError as LimitError
    from .limits import Limits as Limits
    from .logs import LogWriter as LogWriter
    from .logs import OutputExists as OutputExists
    from .procedures import RampStopped as RampStopped
    from .procedures import SequenceError as SequenceError
    from .procedures import Step as Step
    from .procedures import SweepPoint as SweepPoint
    from .procedures import load_sequence as load_sequence
    from .procedures import parse_sequence as parse_sequence
    from .procedures import plan_ramp as plan_ramp
    from .procedures import ramp as ramp
    from .procedures import run_sequence as run_sequence
    from .procedures import sweep as sweep
    from .procedures import sweep_points as sweep_points
    from .off import OFF_TRIES as OFF_TRIES
    from .off import OffResult as OffResult
    from .off import switch_off as switch_off
    from .opening import open_supply as open_supply
    from .opening import plan_supply as plan_supply
    from .reader import Poller as Poller
    from .readings import COLUMNS as COLUMNS
    from .readings import Event as Event
    from .readings import Reading as Reading
    from .readings import changes as changes
    from .supply import LATE_REPLY_QUIET as LATE_REPLY_QUIET
    from .supply import NoReply as NoReply
    from .supply import OffNotConfirmed as OffNotConfirmed
    from .supply import OpenError as OpenError
    from .supply import Outcome as Outcome
    from .supply import SafeEnd as SafeEnd
    from .supply import SafeEndError as SafeEndError
    from .supply import SettingNotTaken as SettingNotTaken
    from .supply import Supply as Supply
    from .supply import SupplyError as SupplyError
    from .supply import SupplyLost as SupplyLost
    from .worker import QueueFull as QueueFull
    from .worker import Worker as Worker

__version__ = "1.0.0"

__all__ = sorted(_MODULE_OF)

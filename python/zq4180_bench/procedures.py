"""Ramps, I-V sweeps and sequences (list mode), each returning its readings.

The procedures live in :mod:`.ramps`, :mod:`.sweeps`, :mod:`.sequences` (the
files) and :mod:`.runs` (running them); their waits in :mod:`.waits`.
"""

from .ramps import DEFAULT_MAX_STEP, RampPlan, highest_allowed, plan_ramp, ramp
from .off import confirmed_off as switch_off
from .runs import run_sequence
from .sequences import (SEQUENCE_OPTIONAL, SEQUENCE_REQUIRED, SequenceError, Step, check_sequence, load_sequence,
                        parse_sequence)
from .settings import switch_on
from .sweeps import SWEEP_COLUMNS, SweepPoint, sweep, sweep_points, write_sweep_csv
from .waits import READ_TIME, Pacer, RampStopped

__all__ = ["DEFAULT_MAX_STEP", "READ_TIME", "SEQUENCE_OPTIONAL", "SEQUENCE_REQUIRED", "SWEEP_COLUMNS", "Pacer",
           "RampPlan", "RampStopped", "SequenceError", "Step", "SweepPoint", "check_sequence", "highest_allowed",
           "load_sequence", "parse_sequence", "plan_ramp", "ramp", "run_sequence", "switch_off", "switch_on",
           "sweep", "sweep_points", "write_sweep_csv"]

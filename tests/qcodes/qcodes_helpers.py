"""What the qcodes tests share: frames on the wire, virtual supply state, a child Python."""
import os
import time
from pathlib import Path

IDENTITY, STATUS = 0x31, 0x26
WORK_MODE, OUTPUT, CEILING, VOLTAGE, CURRENT = 0x20, 0x21, 0x22, 0x23, 0x24


def settings(supply):
    """(word, value) of each request that is not a read: byte 3 for mode and
    output, the u32 milli-units for ceiling, voltage and current."""
    out = []
    for r in supply.requests:
        if r[2] in (IDENTITY, STATUS):
            continue
        value = r[3] if r[2] in (WORK_MODE, OUTPUT) else int.from_bytes(r[3:7], "little")
        out.append((r[2], value))
    return out


def set_state(supply, volts=None, ceiling=None, amps=None, output=None, remote=None):
    fields = {"voltage_set_mv": volts and round(volts * 1000), "voltage_max_mv": ceiling and round(ceiling * 1000),
              "current_limit_ma": amps and round(amps * 1000), "output_on": output, "remote": remote}
    supply.state.configure(**{k: v for k, v in fields.items() if v is not None})


def quiet(supply, seconds=0.05):
    """Let the instrument's worker finish the read it takes after each job, then forget the log."""
    time.sleep(seconds)
    supply.wait_idle()
    supply.clear_log()


def source_env():
    """The environment for a child Python that imports this source tree first."""
    import zq4180_bench
    source = str(Path(zq4180_bench.__file__).resolve().parent.parent)
    return {**os.environ, "PYTHONPATH": os.pathsep.join([source, os.environ.get("PYTHONPATH", "")])}

"""Reading what reached a virtual supply's line, and what a log holds."""
import csv
import re
import time

IDENTITY, STATUS = 0x31, 0x26
WORK_MODE, OUTPUT, CEILING, VOLTAGE, CURRENT = 0x20, 0x21, 0x22, 0x23, 0x24
READS = (IDENTITY, STATUS)


def words(supply):
    """The command word of each request the supply took, in order."""
    return [r[2] for r in supply.requests]


def settings(supply):
    """(word, value) of every request that is not a read: byte 3 for mode and
    output, the u32 milli-units for ceiling, voltage and current."""
    out = []
    for r in supply.requests:
        if r[2] in READS:
            continue
        value = r[3] if r[2] in (WORK_MODE, OUTPUT) else int.from_bytes(r[3:7], "little")
        out.append((r[2], value))
    return out


def set_state(supply, volts=None, ceiling=None, amps=None, output=None, remote=None):
    fields = {"voltage_set_mv": volts and round(volts * 1000), "voltage_max_mv": ceiling and round(ceiling * 1000),
              "current_limit_ma": amps and round(amps * 1000), "output_on": output, "remote": remote}
    supply.state.configure(**{k: v for k, v in fields.items() if v is not None})


def wait_for(predicate, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.01)
    return False


# the log's columns, in the order the request lists them
LOG_COLUMNS = ["time", "elapsed_s", "voltage_V", "current_A", "power_W", "voltage_set_V", "current_limit_A",
               "voltage_max_V", "output", "regulation", "work_mode", "over_temperature", "fan_speed", "status",
               "late_ms"]
ISO_MS = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$")


def csv_rows(path):
    lines = path.read_text().splitlines()
    comments = [line for line in lines if line.startswith("#")]
    rows = list(csv.reader(line for line in lines if not line.startswith("#")))
    return comments, rows[0], rows[1:]


#: a sweep every command test can run: 0 to 2 V in 0.25 V steps at 50 mA
SWEEP = ["--from", "0", "--to", "2", "--step", "0.25", "--current", "0.05", "--settle", "0"]

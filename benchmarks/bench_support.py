"""What the benchmarks share: the two drivers, an instant in-memory port,
a clock that does not wait, and a standard output that keeps nothing.

The stand-ins are deliberately plain Python and the same for both drivers,
so whatever they cost is paid equally; `fake_sequence` replays exactly the
calls a driver makes on them, so that cost can be measured on its own.
"""
import contextlib
import importlib.util
import os
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent

FRAME_LEN = 26
SYNC = 0xAA
DEV_RETURN = 0x12
WORD_SET_OUT_MODE = 0x21
WORD_SET_OUT_VOLTAGE = 0x23
WORD_READ_STATUS = 0x26
WORD_READ_VERSION = 0x31

# Per benchmarked method: the call made, the command word it sends, and how
# many lines it prints on success (each print writes the text, then "\n").
METHODS = {
    "read_dev_status": (lambda d: d.read_dev_status(), WORD_READ_STATUS, 0),
    "set_out_voltage": (lambda d: d.set_out_voltage(12.345), WORD_SET_OUT_VOLTAGE, 1),
    "set_ouput_mode": (lambda d: d.set_ouput_mode("on"), WORD_SET_OUT_MODE, 0),
}


def frame(addr, word, payload=b""):
    body = bytes([SYNC, addr, word]) + bytes(payload).ljust(22, b"\0")
    return body + bytes([sum(body) & 0xFF])


def status_reply(addr=1):
    # 1.234 A, 12.345 V, limit 2.000 A, ceiling 30.000 V, setpoint 12.345 V,
    # output on, CV, fan 2, remote.
    payload = ((1234).to_bytes(2, "little") + (12345).to_bytes(4, "little")
               + bytes([0x01 | 0x04 | 0x20 | 0x80]) + (2000).to_bytes(2, "little")
               + (30000).to_bytes(4, "little") + (12345).to_bytes(4, "little"))
    return frame(addr, DEV_RETURN, payload)


def identity_reply(addr=1):
    return frame(addr, DEV_RETURN, b"4180\0" + bytes([0x75, 0x01]) + b"076787041")


def ack_reply(word, addr=1):
    return frame(addr, DEV_RETURN, bytes([word]))


REPLIES = {word: ack_reply(word) for word in range(0x20, 0x26)}
REPLIES[0x32] = ack_reply(0x32)
REPLIES[WORD_READ_STATUS] = status_reply()
REPLIES[WORD_READ_VERSION] = identity_reply()


class InstantPort:
    """A serial connection whose supply answers at once: `write` queues the
    reply to the command word, `inWaiting` counts it, `read` hands it over."""

    __slots__ = ("replies", "pending")

    def __init__(self, replies=REPLIES):
        self.replies = replies
        self.pending = b""

    def write(self, data):
        self.pending = self.replies[data[2]]
        return len(data)

    def inWaiting(self):
        return len(self.pending)

    def read(self, size):
        data = self.pending
        self.pending = b""
        return data

    def close(self):
        pass


class NoWaitClock:
    """Stands in for the `time` module: polls cost a call, not 10 ms."""

    @staticmethod
    def sleep(seconds):
        pass


class NullOutput:
    """sys.stdout that keeps nothing: the printed lines are still built."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def load_twin():
    path = HERE / "pure_python_zq4180.py"
    spec = importlib.util.spec_from_file_location("pure_python_zq4180", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def load_extension(path=None):
    """The installed zq4180, or the build at `path` (a .so file) when given."""
    if path is None:
        import zq4180
        return zq4180
    from importlib.machinery import ExtensionFileLoader
    loader = ExtensionFileLoader("zq4180", os.fspath(path))
    spec = importlib.util.spec_from_file_location("zq4180", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    sys.modules["zq4180"] = module
    return module


def drivers(extension_path=None):
    """{"extension": module, "twin": module}."""
    return {"extension": load_extension(extension_path), "twin": load_twin()}


def instant_driver(module):
    """A driver object of `module` on an InstantPort.  Its module's clock
    must be NoWaitClock while it is used: see `no_wait`."""
    driver = module.ZQ4180("/dev/ttyBENCH")
    driver.ser = InstantPort()
    return driver


@contextlib.contextmanager
def no_wait(*modules):
    """The modules' `time` replaced by NoWaitClock, restored afterwards."""
    saved = [module.time for module in modules]
    for module in modules:
        module.time = NoWaitClock
    try:
        yield
    finally:
        for module, clock in zip(modules, saved):
            module.time = clock


def fake_sequence(method):
    """A callable making the calls one `method` call makes on the stand-ins:
    stale check, write, one poll, count, read, and the printed line's writes."""
    _, word, lines = METHODS[method]
    port, clock, out = InstantPort(), NoWaitClock, NullOutput()
    request = frame(0xFF, word)
    text = "set voltage, read:" + str(list(REPLIES[word]))

    if lines:
        def sequence():
            port.inWaiting()
            port.write(request)
            clock.sleep(0.01)
            port.read(port.inWaiting())
            out.write(text)
            out.write("\n")
    else:
        def sequence():
            port.inWaiting()
            port.write(request)
            clock.sleep(0.01)
            port.read(port.inWaiting())
    return sequence


def machine_load():
    """'load 1/5/15 min: a b c on N cores' for the record of a run."""
    try:
        one, five, fifteen = os.getloadavg()
    except OSError:
        return "load unknown"
    return f"load average {one:.2f} {five:.2f} {fifteen:.2f} on {os.cpu_count()} cores"


def print_table(header, rows, out=None):
    out = out or sys.stdout
    cells = [list(map(str, header))] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(header))]
    def line(row):
        return "  ".join(c.rjust(w) if i else c.ljust(w)
                         for i, (c, w) in enumerate(zip(row, widths)))
    print(line(cells[0]), file=out)
    print("  ".join("-" * w for w in widths), file=out)
    for row in cells[1:]:
        print(line(row), file=out)


def redirect_stdout_to_null():
    """Context manager: sys.stdout -> NullOutput for the timed calls."""
    return contextlib.redirect_stdout(NullOutput())


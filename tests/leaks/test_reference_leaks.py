"""Every method on every path, repeated: nothing may stay behind.

One test per path (a method and what the port, the arguments or the
surroundings do to it).  After a warm-up the path runs CALLS times; then the
count of objects tracked by gc, the bytes traced by tracemalloc, the C heap
in use (glibc mallinfo2: the per-object lock table lives there, out of the
interpreter's sight) and the reference counts of every object the path
hands to the driver or gets back from it must be where they were.
"""
import contextlib
import ctypes
import ctypes.util
import gc
import math
import sys
import threading
import time
import _thread
import tracemalloc
import types

import pytest

import zq4180

from .conftest import CALLS

pytestmark = pytest.mark.leak

# Growth allowed whatever the call count: a leak of one small object per
# call exceeds it at 2000 calls already.
OBJECTS_SLACK = 25
BYTES_SLACK = 32 * 1024


def frame(addr=0x01, word=0x12, payload=b"", sync=0xAA, crc_delta=0):
    body = bytes([sync, addr, word]) + bytes(payload).ljust(22, b"\0")
    return body + bytes([(sum(body) + crc_delta) & 0xFF])


REPLY = frame(payload=b"4180\0\x75\x01076787041")  # an identity; decodes as a status too
REQUEST = frame(0xFF, 0x26)


class SerialError(Exception):
    pass


class Boom(Exception):
    pass


class Hostile:
    def __eq__(self, other):
        raise Boom

    __hash__ = object.__hash__

    def __float__(self):
        raise Boom


class FloatsToInt:
    def __float__(self):
        return 5


class Port:
    """Answers every write with `reply` (None: silence).

    `stale` waits again after each reply has been read; `raises` maps a
    method name to a factory of the exception it raises (a fresh one each
    time: a re-raised instance would grow its traceback); `read_as` turns
    the bytes read into another object.
    """

    def __init__(self, reply=REPLY, stale=b"", raises=None, read_as=None):
        self.reply, self.stale, self.raises, self.read_as = reply, stale, raises or {}, read_as
        self.buffer = stale

    def _hook(self, name):
        factory = self.raises.get(name)
        if factory is not None:
            raise factory()

    def write(self, data):
        self._hook("write")
        self.buffer = self.reply or b""
        return len(data)

    def inWaiting(self):
        self._hook("inWaiting")
        return len(self.buffer)

    def read(self, size):
        self._hook("read")
        data, self.buffer = self.buffer[:size], self.buffer[size:]
        if not self.buffer:
            self.buffer = self.stale
        return self.read_as(data) if self.read_as else data

    def close(self):
        self._hook("close")


class Surroundings:
    """The driver module's time, serial, subprocess and platform, faked."""

    def __init__(self):
        self.port = Port()
        self.lsof_out = b""
        self.lsof_error = None
        self.open_error = None
        self.system = "Linux"
        self.interrupt_polls = False
        self.time = types.SimpleNamespace(sleep=self.sleep)
        self.serial = types.SimpleNamespace(Serial=self.connect, serial_for_url=self.connect,
                                            SerialException=SerialError)
        self.subprocess = types.SimpleNamespace(run=self.run, PIPE=-1)
        self.platform = types.SimpleNamespace(system=lambda: self.system)

    def sleep(self, seconds):
        if self.interrupt_polls:
            raise KeyboardInterrupt

    def connect(self, *args, **kwargs):
        if self.open_error is not None:
            raise self.open_error()
        return self.port

    def run(self, args, **kwargs):
        if self.lsof_error is not None:
            raise self.lsof_error()
        return types.SimpleNamespace(stdout=self.lsof_out, stderr=b"")


# --- the paths -----------------------------------------------------------
#
# Each path is set up by a function of (surroundings, driver object) that
# returns (call, expected): expected is the first call's result, or the
# exception class it raises.  The first call is checked, so a path cannot
# silently test something else.

COMMANDS = {
    # name: (call, result when answered, result when not)
    "set_work_mode": (lambda o: o.set_work_mode("remote"), True, False),
    "set_ouput_mode": (lambda o: o.set_ouput_mode("on"), True, False),
    "set_voltage_max": (lambda o: o.set_voltage_max(5.0), True, False),
    "set_out_voltage": (lambda o: o.set_out_voltage(1.222), True, False),
    "set_out_current": (lambda o: o.set_out_current(0.888), True, False),
    "set_new_addr": (lambda o: o.set_new_addr(6), True, False),
    "restore_factory": (lambda o: o.restore_factory(), True, False),
    "read_dev_status": (lambda o: o.read_dev_status(), dict, None),
    "read_device_version": (lambda o: o._ZQ4180__read_device_version(), None, None),
    "write_and_read": (lambda o: o._ZQ4180__write_and_read(REQUEST), bytes, None),
    "open": (lambda o: o.open(), True, False),
}

# name: (port, outcome) where outcome is "ok", "failed" or an exception class
# (open turns the ordinary ones into False).
LINES = {
    "answers": (lambda: Port(), "ok"),
    "stale-then-answers": (lambda: Port(stale=b"\x12\x34\x56"), "ok"),
    "no-reply": (lambda: Port(reply=None), "failed"),
    "short-reply": (lambda: Port(reply=REPLY[:25]), "failed"),
    "bad-sync": (lambda: Port(reply=frame(sync=0xAB)), "failed"),
    "bad-checksum": (lambda: Port(reply=frame(crc_delta=1)), "failed"),
    "write-raises": (lambda: Port(raises={"write": lambda: SerialError("write failed")}), SerialError),
    "inWaiting-raises": (lambda: Port(raises={"inWaiting": lambda: OSError(5, "I/O error")}), OSError),
    "read-raises": (lambda: Port(raises={"read": lambda: SerialError("device reports readiness")}),
                    SerialError),
    "ctrl-c-in-poll": (lambda: Port(), KeyboardInterrupt),
}


def command_path(command, line):
    call, ok, failed = COMMANDS[command]
    make_port, outcome = LINES[line]

    def setup(env, obj):
        env.port = obj.ser = make_port()
        env.interrupt_polls = line == "ctrl-c-in-poll"
        if outcome == "ok":
            expected = ok
        elif outcome == "failed":
            expected = failed
        elif command == "open" and issubclass(outcome, Exception):
            expected = False
        else:
            expected = outcome
        return (lambda: call(obj)), expected

    return setup


def simple(call, expected, **env_fields):
    """A path that needs only the object; env_fields are set on the surroundings."""
    def setup(env, obj):
        for name, value in env_fields.items():
            setattr(env, name, value)
        return (lambda: call(obj)), expected
    return setup


def replaced_exchange(command, reply, expected):
    """The exchange replaced on the instance: the read-outs decode what it returns."""
    def setup(env, obj):
        obj._ZQ4180__write_and_read = lambda cmd: reply
        return (lambda: COMMANDS[command][0](obj)), expected
    return setup


def odd_read(command, read_as, expected):
    def setup(env, obj):
        obj.ser = Port(read_as=read_as)
        return (lambda: COMMANDS[command][0](obj)), expected
    return setup


BAD_LIST = [0xAA, 1, 0x12, 300] + [0] * 21 + [(0xAA + 1 + 0x12 + 300) & 0xFF]
HOSTILE, TO_INT = Hostile(), FloatsToInt()

REFUSALS = {
    "set_ouput_mode-word": (lambda o: o.set_ouput_mode("Off"), ValueError),
    "set_ouput_mode-False": (lambda o: o.set_ouput_mode(False), ValueError),
    "set_ouput_mode-hostile": (lambda o: o.set_ouput_mode(HOSTILE), Boom),
    "set_work_mode-hostile": (lambda o: o.set_work_mode(HOSTILE), Boom),
    "set_voltage_max-negative": (lambda o: o.set_voltage_max(-1), ValueError),
    "set_voltage_max-ceiling": (lambda o: o.set_voltage_max(4294967.296), ValueError),
    "set_out_voltage-nan": (lambda o: o.set_out_voltage(math.nan), ValueError),
    "set_out_voltage-text": (lambda o: o.set_out_voltage("1.0"), TypeError),
    "set_out_voltage-float-returns-int": (lambda o: o.set_out_voltage(TO_INT), TypeError),
    "set_out_current-inf": (lambda o: o.set_out_current(math.inf), OverflowError),
    "set_out_current-hostile": (lambda o: o.set_out_current(HOSTILE), Boom),
    "set_out_current-huge-int": (lambda o: o.set_out_current(10 ** 400), OverflowError),
    "set_new_addr-300": (lambda o: o.set_new_addr(300), ValueError),
    "set_new_addr-float": (lambda o: o.set_new_addr(1.0), TypeError),
    "set_new_addr-bool": (lambda o: o.set_new_addr(True), TypeError),
    "init-not-str": (lambda o: o.__init__(None), TypeError),
    "check_crc-tuple": (lambda o: o._ZQ4180__check_crc((1, 2)), TypeError),
    "check_crc-empty": (lambda o: o._ZQ4180__check_crc([]), IndexError),
    "check_crc-not-numbers": (lambda o: o._ZQ4180__check_crc([1, "x", 3]), TypeError),
    "cal_crc-empty": (lambda o: o._ZQ4180__cal_crc([]), IndexError),
    "cal_crc-hostile": (lambda o: o._ZQ4180__cal_crc([1, HOSTILE, 0]), TypeError),
    "write_and_read-300": (lambda o: o._ZQ4180__write_and_read([300]), ValueError),
    "write_and_read-int": (lambda o: o._ZQ4180__write_and_read(26), TypeError),
    "wrong-arity": (lambda o: o.set_work_mode("remote", 2), TypeError),
    "unknown-keyword": (lambda o: o.set_out_voltage(volts=1.0), TypeError),
}

OTHERS = {
    "init": simple(lambda o: o.__init__("COM3"), None),
    "show_device_version": simple(lambda o: o.show_device_version(), dict),
    "read-nothing": simple(lambda o: o._ZQ4180__read(), None),
    "read-stale": simple(lambda o: o._ZQ4180__read(), bytes),
    "check_crc": simple(lambda o: o._ZQ4180__check_crc(list(REPLY)), True),
    "check_crc-big-ints": simple(lambda o: o._ZQ4180__check_crc([2 ** 200, -3, 7]), False),
    "check_crc-bools": simple(lambda o: o._ZQ4180__check_crc([True, 2, 3]), True),
    "check_crc-floats": simple(lambda o: o._ZQ4180__check_crc([1.5, 2.5, 4.0]), TypeError),
    "cal_crc": simple(lambda o: o._ZQ4180__cal_crc([1, 2, 3, 0]), None),
    "close": simple(lambda o: o.close(), None),
    "close-raises": simple(lambda o: o.close(), SerialError),
    "close-without-ser": simple(lambda o: (delattr(o, "ser"), o.close()), AttributeError),
    "available-free": simple(lambda o: o.check_port_available(), True),
    "available-busy": simple(lambda o: o.check_port_available(), False, lsof_out=b"COMMAND PID\n"),
    "available-no-lsof": simple(lambda o: o.check_port_available(), False,
                                lsof_error=lambda: FileNotFoundError(2, "No such file", "lsof")),
    "available-windows": simple(lambda o: o.check_port_available(), True, system="Windows"),
    "available-windows-busy": simple(lambda o: o.check_port_available(), False, system="Windows",
                                     open_error=lambda: SerialError("access denied")),
    "open-busy": simple(lambda o: o.open(), False, lsof_out=b"COMMAND PID\n"),
    "open-no-lsof": simple(lambda o: o.open(), False,
                           lsof_error=lambda: FileNotFoundError(2, "No such file", "lsof")),
    "open-serial-error": simple(lambda o: o.open(), False, open_error=lambda: SerialError("no device")),
    "open-os-error": simple(lambda o: o.open(), False, open_error=lambda: OSError(13, "denied")),
    "open-ctrl-c": simple(lambda o: o.open(), KeyboardInterrupt, open_error=KeyboardInterrupt),
    "open-wrong-model": simple(lambda o: o.open(), False),
    "open-silent-close-raises": simple(lambda o: o.open(), False),
    "open-rfc2217-url": simple(lambda o: o.open(), True),
    "open-socket-url": simple(lambda o: o.open(), False),
    "status-from-list": odd_read("read_dev_status", list, dict),
    "status-byte-300": odd_read("read_dev_status", lambda data: BAD_LIST, ValueError),
    "identity-byte-300": odd_read("read_device_version", lambda data: BAD_LIST, ValueError),
    "status-short-reply": replaced_exchange("read_dev_status", b"\xaa\x01", IndexError),
    "identity-not-ints": replaced_exchange("read_device_version", ["x"] * 26, TypeError),
    "status-true-reply": replaced_exchange("read_dev_status", REPLY, dict),
}

# The ports some of the paths above need, by name.
SPECIAL_PORTS = {
    "read-stale": lambda: Port(stale=b"\x01\x02"),
    "close-raises": lambda: Port(raises={"close": lambda: SerialError("close failed")}),
    "close-without-ser": lambda: Port(),
    "open-wrong-model": lambda: Port(reply=frame(payload=b"4280\0\x75\x01076787041")),
    "open-silent-close-raises": lambda: Port(reply=None, raises={"close": lambda: OSError(5, "gone")}),
    "open-rfc2217-url": lambda: Port(),
    "open-socket-url": lambda: Port(),
}
URL_PORTS = {"open-rfc2217-url": "rfc2217://127.0.0.1:2217?ign_set_control",
             "open-socket-url": "socket://127.0.0.1:2000"}

PATHS = {f"{command}/{line}": command_path(command, line) for command in COMMANDS for line in LINES}
PATHS.update({f"refused/{name}": simple(call, error) for name, (call, error) in REFUSALS.items()})
PATHS.update(OTHERS)


# --- measuring -----------------------------------------------------------

class Discard:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]


LIBC = ctypes.CDLL(ctypes.util.find_library("c"))
MALLINFO2 = getattr(LIBC, "mallinfo2", None)
if MALLINFO2 is not None:
    MALLINFO2.restype = MallInfo2


def c_heap_in_use():
    """Bytes of the C heap in use (0 without glibc's mallinfo2)."""
    if MALLINFO2 is None:
        return 0
    info = MALLINFO2()
    return info.uordblks + info.hblkhd


def repeat(call, count):
    for _ in range(count):
        try:
            call()
        except BaseException:  # KeyboardInterrupt paths included
            pass


# Shared objects the driver hands out or looks up on every call: a reference
# leaked on one of them allocates nothing, so only its count shows it.  Other
# code touches them too, so only a growth with the number of calls counts.
SHARED = [None, True, False, 0, 1, 26, 255, 0.01, "inWaiting", "ser", "_ZQ4180__addr",
          "_ZQ4180__CMD_LENGTH", "remote", "local", "on", "off", "CV", "XX", "current_real"]


def measure(figures, path, call, watched, calls):
    # Everything older than this path is frozen out of the collector's
    # sight: collections stay fast, and gc counts what the path created.
    gc.freeze()
    try:
        repeat(call, min(200, calls))  # caches, free lists, interned names
        gc.collect()
        objects, refs, heap = len(gc.get_objects()), [sys.getrefcount(x) for x in watched], c_heap_in_use()
        shared = [sys.getrefcount(x) for x in SHARED]
        tracemalloc.start()
        try:
            traced = tracemalloc.get_traced_memory()[0]
            started = time.perf_counter()
            repeat(call, calls)
            seconds = time.perf_counter() - started
            gc.collect()
            traced = tracemalloc.get_traced_memory()[0] - traced
        finally:
            tracemalloc.stop()
        heap = c_heap_in_use() - heap
        objects = len(gc.get_objects()) - objects
    finally:
        gc.unfreeze()
    moved = [(type(x).__name__, r - before) for x, before, r in
             zip(watched, refs, [sys.getrefcount(x) for x in watched]) if r != before]
    moved += [(repr(x), r - before) for x, before, r in
              zip(SHARED, shared, [sys.getrefcount(x) for x in SHARED]) if r - before >= calls // 2]
    figures.append(dict(path=path, calls=calls, objects=objects, traced=traced, heap=heap,
                        refs="unchanged" if not moved else str(moved), seconds=seconds))
    assert moved == [], f"reference counts moved: {moved}"
    assert objects < OBJECTS_SLACK, f"{objects} more objects tracked by gc"
    assert traced < BYTES_SLACK, f"{traced} more bytes traced"
    assert heap < BYTES_SLACK, f"{heap} more bytes of C heap in use"


def first_outcome(call):
    try:
        return call()
    except BaseException as error:  # noqa: B036 - KeyboardInterrupt is an expected outcome here
        return error


def matches(outcome, expected):
    if isinstance(expected, type):
        return isinstance(outcome, expected)
    return type(outcome) is type(expected) and outcome == expected


@pytest.fixture
def env(monkeypatch):
    surroundings = Surroundings()
    for name in ("time", "serial", "subprocess", "platform"):
        monkeypatch.setattr(zq4180, name, getattr(surroundings, name))
    with contextlib.redirect_stdout(Discard()):
        yield surroundings


@pytest.mark.parametrize("path", list(PATHS))
def test_path_leaves_nothing_behind(env, figures, path):
    obj = zq4180.ZQ4180(URL_PORTS.get(path, "/dev/ttyUSB0"))
    obj.ser = env.port
    if path in SPECIAL_PORTS:
        env.port = obj.ser = SPECIAL_PORTS[path]()
    call, expected = PATHS[path](env, obj)
    outcome = first_outcome(call)
    assert matches(outcome, expected), f"{path}: got {outcome!r}, expected {expected!r}"
    version = obj.show_device_version()
    watched = [obj, env.port, zq4180.ZQ4180, REPLY, REQUEST, HOSTILE, TO_INT, SerialError, env.time,
               env.serial, env.subprocess, *vars(obj).values(), *version.values(),
               *dict(zq4180.ZQ4180.__dict__).values()]
    if isinstance(outcome, dict):
        watched += outcome.values()
    # Singletons and small ints are shared with everything else in the process.
    watched = [x for x in watched if x is not None and type(x) not in (bool, int)]
    del version, outcome
    measure(figures, path, call, watched, CALLS)


def test_fresh_objects_leave_no_lock_entries(env, figures):
    # Each call on a new object creates its entry in the per-object lock
    # table; the entry must go with the call, and the object with its owner.
    def call():
        obj = zq4180.ZQ4180("/dev/ttyUSB0")
        obj.ser = env.port
        obj.read_dev_status()

    measure(figures, "lock/fresh-object-per-call", call, [env.port, zq4180.ZQ4180], CALLS)


class Holder:
    """A second thread that holds one object's lock (inside its port's
    write) while the main thread calls on the same object."""

    def __init__(self, obj, env, interrupt):
        self.obj, self.interrupt = obj, interrupt
        self.inside, self.go, self.done, self.finished = (threading.Event() for _ in range(4))
        self.stop = False
        obj.ser = env.port = Port()
        env.port.write = self.write
        self.plain_write = Port.write.__get__(env.port)
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def write(self, data):
        if threading.current_thread() is self.thread:
            self.inside.set()
            time.sleep(0.0005)  # the main thread meanwhile waits for the lock
            if self.interrupt:
                _thread.interrupt_main()
                self.finished.wait()  # hold the lock until the wait has ended
        return self.plain_write(data)

    def serve(self):
        while True:
            self.go.wait()
            self.go.clear()
            if self.stop:
                return
            self.obj.set_work_mode("remote")
            self.done.set()

    def contend(self, call):
        for event in (self.inside, self.done, self.finished):
            event.clear()
        self.go.set()
        try:
            self.inside.wait()
            return call()
        finally:
            self.finished.set()
            self.done.wait()

    def close(self):
        self.stop = True
        self.go.set()
        self.thread.join()


@pytest.fixture
def python_sigint():
    """The simulated Ctrl-C reaches only Python's own SIGINT handler: put it in force,
    whatever an earlier test left behind, and restore what was there."""
    import signal
    saved = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, saved)


@pytest.mark.parametrize("interrupt", [False, True], ids=["waits", "ctrl-c-while-waiting"])
def test_waiting_for_a_held_lock_leaves_nothing_behind(env, figures, interrupt, python_sigint):
    # An interrupted wait ends at the next wait slice (up to 20 ms): fewer calls.
    obj = zq4180.ZQ4180("/dev/ttyUSB0")
    holder = Holder(obj, env, interrupt)
    try:
        call = lambda: holder.contend(obj.read_dev_status)  # noqa: E731
        assert isinstance(first_outcome(call), KeyboardInterrupt if interrupt else dict)
        calls = (CALLS // 80 if CALLS <= 2000 else min(CALLS, 2000)) if interrupt else CALLS
        measure(figures, "lock/" + ("ctrl-c-while-waiting" if interrupt else "contended"), call,
                [obj, env.port, zq4180.ZQ4180], calls)
    finally:
        holder.close()

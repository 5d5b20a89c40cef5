"""Stand-ins for the serial line, the clock, lsof and the platform.

Time is counted in ticks: every `sleep` of the fake clock is one tick, and a
reply scheduled "at tick n" after a write is waiting from the n-th poll on.
"""
import types

SYNC = 0xAA


def frame(addr=0x01, word=0x12, payload=b"", *, sync=SYNC, crc_delta=0, at=None):
    """A reply as a supply would send it: valid checksum unless crc_delta."""
    body = bytearray([sync, addr, word]) + bytes(payload).ljust(22, b"\0")
    for index, value in (at or {}).items():
        body[index] = value
    return bytes(body) + bytes([(sum(body) + crc_delta) & 0xFF])


def identity(addr=0x01, model=b"4180", sn=b"076787041", soft=(0x75, 0x01), word=0x12):
    return frame(addr, word, model + b"\0" + bytes(soft) + sn)


def request(addr, word, payload, crc):
    """A request exactly as the driver must write it; the checksum is given."""
    return bytes([SYNC, addr, word]) + bytes(payload).ljust(22, b"\0") + bytes([crc])


class Clock:
    """Replaces the driver's `time` module."""

    def __init__(self):
        self.now = 0
        self.sleeps = []
        self.ports = []

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += 1
        for port in self.ports:
            port.tick(seconds)


class FakePort:
    """A serial connection whose peer answers each write from a script.

    Each entry of `replies` answers one write: None (silence), bytes (all
    waiting at the first poll) or a list of (tick, chunk).  `device`, when
    given, computes the answer from the written frame instead.  Without a
    clock an answer is waiting as soon as the write returns.
    """

    def __init__(self, clock=None, replies=(), *, stale=b"", device=None,
                 raises=None, record=True):
        self.clock = clock
        self.buffer = bytearray(stale)
        self.replies = list(replies)
        self.device = device
        self.raises = dict(raises or {})
        self.pending = []
        self.log = [] if record else None
        self.last_read = None
        if clock is not None:
            clock.ports.append(self)

    @property
    def writes(self):
        return [event[1] for event in self.log if event[0] == "write"]

    def _note(self, *event):
        if self.log is not None:
            self.log.append(event)
        if event[0] in self.raises:
            raise self.raises[event[0]]

    def tick(self, seconds):
        self._note("sleep", seconds)
        now = self.clock.now
        self.buffer += b"".join(chunk for due, chunk in self.pending if due <= now)
        self.pending = [(due, chunk) for due, chunk in self.pending if due > now]

    def write(self, data):
        self._note("write", data)
        if self.device is not None:
            answer = self.device(data)
        else:
            answer = self.replies.pop(0) if self.replies else None
        if answer is None:
            return
        if isinstance(answer, (bytes, bytearray)):
            answer = [(1, answer)]
        for due, chunk in answer:
            if self.clock is None:
                self.buffer += chunk
            else:
                self.pending.append((self.clock.now + due, bytes(chunk)))

    def inWaiting(self):
        self._note("inWaiting")
        return len(self.buffer)

    def read(self, size):
        self._note("read", size)
        data = bytes(self.buffer[:size])
        del self.buffer[:size]
        self.last_read = data
        return data

    def close(self):
        self._note("close")


class OddPort(FakePort):
    """Reports a fixed count and reads a fixed object, whatever they are."""

    def __init__(self, clock, waiting=26, data=b"", raises=None):
        super().__init__(clock, raises=raises)
        self.waiting, self.data = waiting, data

    def inWaiting(self):
        super().inWaiting()
        return self.waiting

    def read(self, size):
        self._note("read", size)
        return self.data


class SerialError(Exception):
    """Plays serial.SerialException: a class the driver can only know by lookup."""


class FakeSerialModule:
    """Replaces the driver's `serial` module.

    Each `Serial(...)` call takes the next entry of `outcomes`: a FakePort to
    hand out, an exception to raise, or (when empty) a port answering with
    the identity of a 4180.
    """

    SerialException = SerialError

    def __init__(self, clock):
        self.clock = clock
        self.calls = []
        self.outcomes = []
        self.ports = []

    def Serial(self, *args, **kwargs):
        self.calls.append((args, list(kwargs.items())))
        return self._hand_out()

    def serial_for_url(self, *args, **kwargs):
        self.calls.append(("url",) + (args, list(kwargs.items())))
        return self._hand_out()

    def _hand_out(self):
        outcome = self.outcomes.pop(0) if self.outcomes else None
        if isinstance(outcome, BaseException):
            raise outcome
        port = outcome if outcome is not None else FakePort(self.clock, [identity()])
        self.ports.append(port)
        return port


class FakeSubprocess:
    """Replaces the driver's `subprocess` module; PIPE is a sentinel on purpose."""

    PIPE = "<pipe>"

    def __init__(self):
        self.calls = []
        self.stdout = b""
        self.stderr = b""
        self.error = None

    def run(self, args, **kwargs):
        self.calls.append((args, list(kwargs.items())))
        if self.error is not None:
            raise self.error
        return types.SimpleNamespace(args=args, returncode=1,
                                     stdout=self.stdout, stderr=self.stderr)


class FakePlatform:
    def __init__(self, name="Linux"):
        self.name = name

    def system(self):
        if isinstance(self.name, BaseException):
            raise self.name
        return self.name

"""One World per implementation: scripted stand-ins for the serial line, the
clock, lsof and the platform, a log of every call the driver makes on them,
and hostile values to feed it.

Both worlds get deep copies of the same scripts, so as long as the two
implementations make the same calls they see the same answers; the first
call that differs shows up in the logs.
"""
import builtins
import copy
import re

SYNC = 0xAA


class SerialError(OSError):
    """Plays serial.SerialException."""


class Fatal(BaseException):
    """Not an Exception: every handler must let it through."""


class Boom(Exception):
    pass


class StrRaisingError(Exception):
    def __str__(self):
        raise Boom("__str__")


def make_error(spec):
    kind, args = spec
    return kind(*args)


# --- hostile values -------------------------------------------------------

class Named:
    """Deterministic repr, so failures print readably and logs compare."""

    def __init__(self, value=None):
        self.value = value

    def __repr__(self):
        return "%s(%r)" % (type(self).__name__, self.value)


def _raising(what):
    def method(self, *args):
        raise Boom(what)
    return method


def _returning_value(self, *args):
    return self.value


def _odd(name, **methods):
    return type(name, (Named,), {"__hash__": object.__hash__, **methods})


class Truthless(Named):
    __bool__ = _raising("__bool__")


EqRaises = _odd("EqRaises", __eq__=_raising("__eq__"))
EqTruthless = _odd("EqTruthless", __eq__=lambda self, other: Truthless())
FloatRaises = _odd("FloatRaises", __float__=_raising("__float__"))
FloatReturns = _odd("FloatReturns", __float__=_returning_value)
IndexRaises = _odd("IndexRaises", __index__=_raising("__index__"))
IndexReturns = _odd("IndexReturns", __index__=_returning_value)
StrRaises = _odd("StrRaises", __str__=_raising("__str__"))
AllRaise = _odd("AllRaise", **{name: _raising("all") for name in (
    "__eq__", "__float__", "__index__", "__str__", "__bool__", "__len__", "__iter__", "__getitem__")})


class LateIter(Named):
    """Yields its items, then raises: a frame that fails half-way."""

    def __iter__(self):
        yield from self.value
        raise Boom("__iter__")


class IntSub(int):
    def __repr__(self):
        return "IntSub(%d)" % int(self)


class StrSub(str):
    def __repr__(self):
        return "StrSub(%s)" % str.__repr__(self)


class FloatSub(float):
    def __repr__(self):
        return "FloatSub(%s)" % float.__repr__(self)


class BytesWithDunder(bytes):
    """A buffer whose bytes() differs from its contents."""

    def __bytes__(self):
        return b"\xaa"

    def __repr__(self):
        return "BytesWithDunder(%s)" % bytes.__repr__(self)


class Fresh:
    """A value that cannot be deep-copied (a memoryview): built anew per side."""

    def __init__(self, build, label):
        self.build, self.label = build, label

    def __repr__(self):
        return self.label


def fresh(value):
    return value.build() if isinstance(value, Fresh) else copy.deepcopy(value)


class FailingOut:
    """Standard output whose n-th write raises."""

    def __init__(self, fail_at):
        self.fail_at, self.writes = fail_at, 0

    def write(self, text):
        self.writes += 1
        if self.writes == self.fail_at:
            raise Boom("stdout")
        return len(text)

    def flush(self):
        pass


# --- normalisation for comparison -----------------------------------------

_ADDRESS = re.compile(r"0x[0-9a-fA-F]{6,}")


def message(error):
    try:
        text = str(error)
    except BaseException as e:  # noqa: B036 - any failure of __str__ is a result too
        text = "<str raised %s>" % type(e).__name__
    return _ADDRESS.sub("0x?", text)


def norm(value, depth=0):
    """A comparable description: type name and repr, recursively for containers."""
    kind = type(value).__qualname__
    if depth > 4:
        return (kind, "...")
    if type(value) in (list, tuple):
        return (kind, [norm(item, depth + 1) for item in value])
    if type(value) is dict:
        return (kind, [(norm(k, depth + 1), norm(v, depth + 1)) for k, v in value.items()])
    if isinstance(value, BaseException):
        return (kind, message(value))
    try:
        text = repr(value)
    except BaseException as e:  # noqa: B036
        text = "<repr raised %s>" % type(e).__name__
    return (kind, _ADDRESS.sub("0x?", text))


# --- frames and the scripted device ---------------------------------------

def frame(addr=1, word=0x12, payload=b"", sync=SYNC, crc_delta=0):
    body = bytes([sync, addr, word]) + bytes(payload[:22]).ljust(22, b"\0")
    return body + bytes([(sum(body) + crc_delta) & 0xFF])


STATUS_PAYLOAD = bytes([0xC8, 0, 0xDA, 0x0C, 0, 0, 0x85, 0xE8, 3, 0x88, 0x13, 0, 0, 0xE4, 0x0C, 0, 0])


def device_answer(device, request):
    """What a live supply, (model, status payload), says to `request`."""
    model, status = device
    word = request[2] if len(request) > 2 else 0
    if word == 0x31:
        return frame(status[0], 0x12, model + b"\0\x75\x01" + b"076787041")
    if word == 0x26:
        return frame(1, 0x12, status)
    return frame(1, 0x12, request[3:7])


class PortPlan:
    """How one port behaves.

    replies: one entry per write, None (silence) or [(delay in ticks, chunk)].
    quirks: per method name, a queue of None (behave), ("return", value)
    or ("raise", (class, args)).  device: (model, status payload) of the
    live supply that answers once the replies are used up, or None for
    silence.
    """

    def __init__(self, stale=b"", replies=(), quirks=None, device=(b"4180", STATUS_PAYLOAD)):
        self.stale, self.replies, self.quirks, self.device = stale, list(replies), dict(quirks or {}), device

    def __repr__(self):
        return "PortPlan(stale=%r, replies=%r, quirks=%r, device=%r)" % (
            self.stale, self.replies, self.quirks, self.device)


class Port:
    def __init__(self, world, plan):
        plan = copy.deepcopy(plan)
        self.world = world
        self.label = "port#%d" % len(world.ports)
        world.ports.append(self)
        self.buffer = bytearray(plan.stale)
        self.replies, self.quirks, self.device = plan.replies, plan.quirks, plan.device
        self.pending = []

    def __repr__(self):
        return "<%s>" % self.label

    def _quirk(self, name, *args):
        self.world.note(self.label, name, *args)
        queue = self.quirks.get(name)
        action = queue.pop(0) if queue else None
        if action is not None and action[0] == "raise":
            raise make_error(action[1])
        return action

    def tick(self):
        now = self.world.clock.now
        self.buffer += b"".join(chunk for due, chunk in self.pending if due <= now)
        self.pending = [(due, chunk) for due, chunk in self.pending if due > now]

    def write(self, data):
        action = self._quirk("write", data)
        if self.replies:
            reply = self.replies.pop(0)
        elif self.device is not None:
            reply = [(1, device_answer(self.device, bytes(data)))]
        else:
            reply = None
        for delay, chunk in reply or ():
            self.pending.append((self.world.clock.now + delay, chunk))
        return action[1] if action else len(data)

    def inWaiting(self):
        action = self._quirk("inWaiting")
        return action[1] if action else len(self.buffer)

    def read(self, size):
        action = self._quirk("read", size)
        if action:
            return action[1]
        data = bytes(self.buffer[:size])
        del self.buffer[:size]
        return data

    def close(self):
        action = self._quirk("close")
        return action[1] if action else None


# --- the modules the driver looks up --------------------------------------

class Clock:
    """Replaces `time`: every sleep is one tick; `failures` raise at given ticks."""

    def __init__(self, world):
        self.world, self.now, self.failures = world, 0, {}

    def sleep(self, seconds):
        self.world.note("time.sleep", seconds)
        self.now += 1
        if self.now in self.failures:
            raise make_error(self.failures.pop(self.now))
        for port in self.world.ports:
            port.tick()


class SerialModule:
    """Replaces `serial`: each opening takes the next outcome, then a live 4180."""

    def __init__(self, world):
        self.world, self.outcomes, self.SerialException = world, [], SerialError

    def _open(self, name, args, kwargs):
        self.world.note("serial." + name, args, sorted(kwargs.items()))
        kind, payload = self.outcomes.pop(0) if self.outcomes else ("port", PortPlan())
        if kind == "raise":
            raise make_error(payload)
        return Port(self.world, payload) if kind == "port" else payload

    def Serial(self, *args, **kwargs):
        return self._open("Serial", args, kwargs)

    def serial_for_url(self, *args, **kwargs):
        return self._open("serial_for_url", args, kwargs)


class Completed:
    def __init__(self, stdout):
        self.stdout, self.stderr, self.returncode = stdout, b"", 0


class SubprocessModule:
    PIPE = "<pipe>"

    def __init__(self, world):
        self.world, self.outcomes = world, []

    def run(self, args, **kwargs):
        self.world.note("subprocess.run", args, sorted(kwargs.items()))
        kind, payload = self.outcomes.pop(0) if self.outcomes else ("stdout", b"")
        if kind == "raise":
            raise make_error(payload)
        return Completed(payload)


class PlatformModule:
    def __init__(self, world):
        self.world, self.answer = world, ("return", "Linux")

    def system(self):
        self.world.note("platform.system")
        kind, payload = self.answer
        if kind == "raise":
            raise make_error(payload)
        return payload


class Replacement:
    """Stands in for a method on one object: returns, raises, delegates to the
    class's own method, or calls another method of the object once."""

    def __init__(self, world, obj, name, behaviour):
        self.world, self.obj, self.name, self.behaviour = world, obj, name, behaviour
        self.active = False

    def __repr__(self):
        return "<replaced %s: %s>" % (self.name, self.behaviour[0])

    def __call__(self, *args, **kwargs):
        self.world.note("replaced " + self.name, args, sorted(kwargs.items()))
        kind, payload = self.behaviour
        if kind == "raise":
            raise make_error(payload)
        if kind == "delegate":
            return getattr(type(self.obj), self.name)(self.obj, *args, **kwargs)
        if kind == "call" and not self.active:
            self.active = True
            try:
                getattr(self.obj, payload)()
            finally:
                self.active = False
            return None
        return payload if kind == "return" else None


class World:
    MODULE_NAMES = ("time", "serial", "subprocess", "platform")

    def __init__(self, module):
        self.module = module
        self.log, self.ports, self.objects = [], [], []
        self.fakes = {"time": Clock(self), "serial": SerialModule(self),
                      "subprocess": SubprocessModule(self), "platform": PlatformModule(self)}
        self.clock = self.fakes["time"]
        self.saved = {name: getattr(module, name) for name in self.MODULE_NAMES}
        for name, fake in self.fakes.items():
            setattr(module, name, fake)

    def restore(self):
        for name, original in self.saved.items():
            setattr(self.module, name, original)
        self.module.__dict__.pop("print", None)

    def set_print(self, kind):
        """A module-level `print` shadows the built-in one, if the driver looks it up."""
        def recording(*args, **kwargs):
            self.note("print", args, sorted(kwargs.items()))
            builtins.print(*args, **kwargs)

        def raising(*args, **kwargs):
            self.note("print", args, sorted(kwargs.items()))
            raise Boom("print")
        self.module.__dict__.pop("print", None)
        if kind != "builtin":
            self.module.print = recording if kind == "recording" else raising

    def note(self, *event):
        self.log.append(tuple(norm(part) for part in event))

    def snapshot(self):
        return [sorted((key, norm(value)) for key, value in vars(obj).items()) for obj in self.objects]

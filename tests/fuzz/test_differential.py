"""The extension against its plain-Python twin, call for call.

A state machine makes random calls with hostile arguments, scripted port
behaviour and attributes changed between calls, on both implementations at
once, and requires the same result (type included), exception type, printed
text, warnings, calls on the fakes and object attributes.

The machine runs in a child interpreter, so a crash is a failed test rather
than a dead test run.  ZQ4180_FUZZ_EXAMPLES raises the number of examples;
a long run in this interpreter, printing its counts:
    ZQ4180_FUZZ_CHILD=1 ZQ4180_FUZZ_EXAMPLES=20000 python3 -m pytest -s -p no:cacheprovider tests/fuzz
ZQ4180_FUZZ_MESSAGES=1 compares exception texts as well, ZQ4180_FUZZ_TWIN=path tries another twin,
ZQ4180_FUZZ_STATS=1 prints how often each call ended which way.
"""
import array
import collections
import contextlib
import decimal
import fractions
import importlib.util
import io
import math
import os
import pathlib
import subprocess
import sys
import warnings

from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, rule, run_state_machine_as_test

from . import worlds as w

ROOT = pathlib.Path(__file__).resolve().parents[2]
CHILD = os.environ.get("ZQ4180_FUZZ_CHILD") == "1"
EXAMPLES = int(os.environ.get("ZQ4180_FUZZ_EXAMPLES", "0"))
MESSAGES = os.environ.get("ZQ4180_FUZZ_MESSAGES") == "1"

# (attribute name, parameter or None)
METHODS = [("__init__", "serial_port"), ("_ZQ4180__check_crc", "data"), ("_ZQ4180__cal_crc", "data"),
           ("_ZQ4180__read", None), ("_ZQ4180__write_and_read", "cmd"), ("show_device_version", None),
           ("set_work_mode", "mode"), ("set_ouput_mode", "mode"), ("set_voltage_max", "voltage"),
           ("set_out_voltage", "voltage"), ("set_out_current", "current"), ("set_new_addr", "address"),
           ("restore_factory", None), ("read_dev_status", None), ("_ZQ4180__read_device_version", None),
           ("check_port_available", None), ("open", None), ("close", None)]
ATTRIBUTES = ["port", "ser", "_ZQ4180__addr", "_ZQ4180__product_model", "_ZQ4180__soft_version",
              "_ZQ4180__CMD_TEMPLATE", "_ZQ4180__CMD_LENGTH", "_ZQ4180__CMD_WORD_SET_OUT_VOLTAGE",
              "_ZQ4180__CMD_WORD_READ_DEV_REAL_STATUS"]
REPLACEABLE = ["_ZQ4180__write_and_read", "_ZQ4180__cal_crc", "_ZQ4180__check_crc",
               "_ZQ4180__read_device_version", "check_port_available", "close"]
# Texts of refusals: a call refused for its input must not have written.
REFUSALS = ("has incorrect type", "must be between", "mode must be", "cannot convert", "bytes must be in range",
            "cannot be interpreted as an integer", "must be real number", "returned non-")


def load_twin():
    path = os.environ.get("ZQ4180_FUZZ_TWIN") or ROOT / "benchmarks" / "pure_python_zq4180.py"
    spec = importlib.util.spec_from_file_location("zq4180_twin", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# --- strategies -----------------------------------------------------------

valid_frames = st.builds(w.frame, st.integers(0, 255), st.integers(0, 255), st.binary(max_size=22))
frames = st.one_of(valid_frames, st.builds(w.frame, st.integers(0, 255), st.integers(0, 255), st.binary(max_size=22),
                                           st.integers(0, 255), st.integers(-2, 2)))
ints = st.one_of(st.integers(), st.sampled_from([0, 1, 26, 170, 255, 256, 300, -1, 2**32 - 1, 2**64, -2**70]))
floats = st.one_of(st.floats(), st.sampled_from([1.222, 1.005, -0.0005, -0.0009, 4294967.295, 4294967.2955,
                                                 4294967.296, -1.0, 1e300, 5e-324, -0.0, math.nan, -math.inf]))
texts = st.one_of(st.sampled_from(["on", "off", "remote", "local", "Off", "ON", "", "COM3", "/dev/ttyUSB0",
                                   "socket://h:1", "SOCKET://h:1", "rfc2217://h:1", "spy:///dev/ttyUSB0?color",
                                   "SPY://COM3", "spy://", "spy://?x", "spy://loop://", "-h", "+D/"]),
                  st.text(max_size=6))
odd_returns = st.sampled_from([7, "3", 2.5, 2**80, True, None, w.IntSub(3), w.FloatSub(2.5), w.StrSub("x")])
odd_objects = st.one_of(
    st.sampled_from([w.EqRaises(), w.EqTruthless(), w.FloatRaises(), w.IndexRaises(), w.StrRaises(), w.AllRaise(),
                     w.IntSub(26), w.IntSub(300), w.StrSub("on"), w.StrSub("COM3"), w.FloatSub(1.5),
                     decimal.Decimal("1.5"), fractions.Fraction(1, 3), 1j, object(), type, ValueError("x")]),
    st.builds(w.FloatReturns, odd_returns), st.builds(w.IndexReturns, odd_returns),
    st.builds(w.LateIter, st.lists(st.integers(0, 300), max_size=4)),
    frames.map(w.BytesWithDunder))
scalars = st.one_of(st.none(), st.booleans(), ints, floats, texts, frames, st.binary(max_size=30), odd_objects)
lists = st.one_of(frames.map(list), st.lists(st.one_of(st.integers(0, 255), scalars), max_size=30))
copyable = st.one_of(scalars, lists, lists.map(tuple), frames.map(bytearray), frames.map(lambda b: array.array("B", b)),
                     st.lists(st.integers(-2**31, 2**31 - 1), max_size=8).map(lambda v: array.array("i", v)),
                     st.dictionaries(st.integers(0, 255), st.integers(), max_size=3))
values = st.one_of(copyable, frames.map(lambda b: w.Fresh(lambda: memoryview(b), "memoryview(%r)" % b)))

errors = st.sampled_from([(w.SerialError, ("could not open port",)), (ValueError, ("bad",)), (OSError, (5, "I/O")),
                          (TypeError, ("odd",)), (FileNotFoundError, (2, "No such file", "lsof")),
                          (w.StrRaisingError, ()), (w.Fatal, ("fatal",))])
chunked = frames.flatmap(lambda f: st.lists(st.integers(1, len(f) - 1), max_size=2, unique=True).flatmap(
    lambda cuts: st.lists(st.integers(0, 34), min_size=len(cuts) + 1, max_size=len(cuts) + 1).map(
        lambda delays: [(d, f[a:b]) for d, a, b in zip(sorted(delays), [0] + sorted(cuts), sorted(cuts) + [len(f)])])))
replies = st.one_of(st.none(), chunked, st.binary(max_size=30).map(lambda b: [(1, b)]))


def quirks(returns):
    return st.lists(st.one_of(st.none(), st.tuples(st.just("return"), returns), st.tuples(st.just("raise"), errors)),
                    max_size=4)


waiting = st.one_of(st.sampled_from([0, 25, 26, 27, -1, 2**100, 26.0, True, "26", None, decimal.Decimal(26),
                                     w.IntSub(26)]), odd_objects)
read_results = st.one_of(frames, frames.map(list), frames.map(bytearray), frames.map(tuple), copyable)
port_plans = st.builds(
    w.PortPlan, stale=st.one_of(st.just(b""), st.binary(max_size=30), frames), replies=st.lists(replies, max_size=4),
    quirks=st.one_of(st.just({}), st.fixed_dictionaries({}, optional={
        "inWaiting": quirks(waiting), "read": quirks(read_results), "write": quirks(copyable),
        "close": quirks(copyable)})),
    device=st.one_of(st.none(), st.tuples(st.sampled_from([b"4180", b"4181", b"0000"]),
                                          st.binary(min_size=17, max_size=17))))
behaviours = st.one_of(st.tuples(st.just("return"), copyable), st.tuples(st.just("raise"), errors),
                       st.tuples(st.just("delegate"), st.none()),
                       st.tuples(st.just("call"), st.sampled_from(["close", "read_dev_status", "_ZQ4180__read"])))
openings = st.lists(st.one_of(st.tuples(st.just("port"), port_plans), st.tuples(st.just("raise"), errors),
                              st.tuples(st.just("return"), st.sampled_from([None, 5]))), max_size=2)
lsof_runs = st.lists(st.one_of(st.tuples(st.just("stdout"), st.sampled_from([b"", b"p1\n", "", None, 0,
                                                                            w.Truthless()])),
                               st.tuples(st.just("raise"), errors)), max_size=2)
systems = st.one_of(st.tuples(st.just("return"), st.sampled_from(["Linux", "Windows", "WINDOWS", "Darwin", "",
                                                                  None, 5, w.StrSub("windows")])),
                    st.tuples(st.just("raise"), errors))
exception_families = st.sampled_from([w.SerialError, ValueError, Exception, (w.SerialError, ValueError), OSError,
                                      None, 5, w.Fatal])
KNOBS = {"serial.outcomes": openings, "serial.SerialException": exception_families,
         "subprocess.outcomes": lsof_runs, "platform.answer": systems,
         "sleep_failure": st.tuples(st.integers(1, 40), errors),
         "print": st.sampled_from(["builtin", "recording", "raising"])}
setpoints = st.one_of(st.floats(0, 5000), st.integers(0, 5000))
PLAUSIBLE = {"serial_port": texts, "cmd": st.one_of(frames, frames.map(list)),
             "data": st.one_of(frames.map(list), st.tuples(frames, odd_objects).map(lambda t: [*t[0][:-1], t[1]])),
             "mode": st.sampled_from(["on", "off", "remote", "local", "Remote", "OFF", None, 0, False]),
             "voltage": setpoints, "current": setpoints,
             "address": st.one_of(st.integers(0, 255), st.sampled_from([-1, 256, 300]))}


def arguments(parameter):
    # one_of flattens nested one_ofs: without the explicit weight a plausible value would be rare.
    plausible = PLAUSIBLE.get(parameter, values)
    return st.sampled_from([plausible] * 3 + [values] * 2).flatmap(lambda strategy: strategy)


STEPS = ["call"] * 8 + ["construct", "set_attribute", "set_attribute", "configure"]


# --- the machine ----------------------------------------------------------

def is_write(event):
    return len(event) > 1 and event[1] == w.norm("write")


def difference(extension, twin):
    start = 0
    if isinstance(extension, list) and isinstance(twin, list):  # call logs: from the first that differs
        start = next((i for i, pair in enumerate(zip(extension, twin)) if pair[0] != pair[1]),
                     min(len(extension), len(twin)))
        extension, twin = extension[start:start + 3], twin[start:start + 3]
    return " (from #%d):\n  extension: %r\n  twin:      %r" % (start, extension, twin)


class Counts:
    examples = steps = 0
    outcomes = collections.Counter()  # (call, outcome on the extension side), for ZQ4180_FUZZ_STATS=1


class Differential(RuleBasedStateMachine):
    modules = None

    def __init__(self):
        super().__init__()
        if Differential.modules is None:
            import zq4180
            Differential.modules = (zq4180, load_twin())
        self.worlds = [w.World(module) for module in Differential.modules]
        Counts.examples += 1

    def teardown(self):
        for world in self.worlds:
            world.restore()

    def both(self, action, label, refusal_checked=False):
        """Runs action(world) on each side and requires the same observable effects."""
        Counts.steps += 1
        seen = []
        for world in self.worlds:
            start = len(world.log)
            out = io.StringIO()
            with warnings.catch_warnings(record=True) as caught, contextlib.redirect_stdout(out):
                warnings.simplefilter("always")
                try:
                    result = ("returned", w.norm(action(world)))
                except BaseException as error:  # noqa: B036 - Fatal is a result too
                    assert not isinstance(error, NameError), "the fuzz harness is broken: %r" % error
                    result = ("raised", type(error).__qualname__, w.message(error) if MESSAGES else "")
                    text = w.message(error)
                    if refusal_checked and any(r in text for r in REFUSALS) and not isinstance(error, w.Boom):
                        writes = [event for event in world.log[start:] if is_write(event)]
                        assert not writes, "refused call wrote: %s %s" % (result, writes)
            seen.append({"result": result, "stdout": out.getvalue(),
                         "warnings": [(c.category.__name__, str(c.message)) for c in caught],
                         "calls": world.log[start:], "objects": world.snapshot()})
        extension, twin = seen
        result = extension["result"]
        Counts.outcomes[label, result[1] if result[0] == "raised" else "returned",
                        "wrote" * any(is_write(event) for event in extension["calls"]),
                        "printed" * bool(extension["stdout"])] += 1
        for key in extension:
            assert extension[key] == twin[key], "%s differ%s" % (key, difference(extension[key], twin[key]))

    def target(self, world, which):
        return world.objects[which % len(world.objects)]

    @initialize(plan=port_plans)
    def start(self, plan):
        def create(world):
            obj = world.module.ZQ4180("COM3")
            obj.ser = w.Port(world, plan)
            world.objects.append(obj)
        self.both(create, "start")

    @rule(data=st.data())
    def step(self, data):
        getattr(self, data.draw(st.sampled_from(STEPS), label="step"))(data)

    def call(self, data):
        which = data.draw(st.integers(0, 3), label="object")
        name, parameter = data.draw(st.sampled_from(METHODS), label="method")
        arity = 1 if parameter else 0
        count = data.draw(st.sampled_from([arity] * 8 + [arity + 1] + ([0] if arity else [])), label="count")
        args = data.draw(st.lists(arguments(parameter), min_size=count, max_size=count), label="args")
        by_keyword = count == arity == 1 and data.draw(st.booleans(), label="by_keyword")
        unbound = data.draw(st.sampled_from([False] * 6 + [True]), label="unbound")
        stranger = data.draw(copyable, label="self") if unbound else None
        stdout_fails_at = data.draw(st.sampled_from([None] * 4 + [1, 2]), label="stdout_fails_at")

        def act(world):
            own = [w.fresh(a) for a in args]
            kwargs = {parameter: own.pop()} if by_keyword else {}
            out = w.FailingOut(stdout_fails_at) if stdout_fails_at else None
            with contextlib.redirect_stdout(out) if out else contextlib.nullcontext():
                if unbound:
                    result = getattr(world.module.ZQ4180, name)(w.fresh(stranger), *own, **kwargs)
                else:
                    result = getattr(self.target(world, which), name)(*own, **kwargs)
            return result, own, list(kwargs.values())  # arguments after the call: __cal_crc fills its list
        self.both(act, ("unbound " if unbound else "") + name, refusal_checked=True)

    def construct(self, data):
        value = data.draw(arguments("serial_port"), label="serial_port")

        def act(world):
            obj = world.module.ZQ4180(w.fresh(value))
            world.objects = (world.objects + [obj])[-3:]
        self.both(act, "ZQ4180()", refusal_checked=True)

    def set_attribute(self, data):
        which = data.draw(st.integers(0, 3), label="object")
        name = data.draw(st.sampled_from(ATTRIBUTES + REPLACEABLE), label="attribute")
        kind = data.draw(st.sampled_from(["port", "value", "delete"] + ["replace"] * (name in REPLACEABLE)),
                         label="kind")
        payload = data.draw({"port": port_plans, "value": values, "delete": st.none(), "replace": behaviours}[kind],
                            label="payload")

        def act(world):
            obj = self.target(world, which)
            if kind == "delete":
                delattr(obj, name)
            else:
                value = {"port": lambda: w.Port(world, payload), "value": lambda: w.fresh(payload),
                         "replace": lambda: w.Replacement(world, obj, name, w.fresh(payload))}[kind]()
                setattr(obj, name, value)
        self.both(act, "set " + kind)

    def configure(self, data):
        knob = data.draw(st.sampled_from(sorted(KNOBS)), label="knob")
        setting = data.draw(KNOBS[knob], label="setting")

        def act(world):
            if knob == "sleep_failure":
                world.clock.failures = {world.clock.now + setting[0]: setting[1]}
            elif knob == "print":
                world.set_print(setting)
            else:
                owner, attribute = knob.split(".")
                setattr(world.fakes[owner], attribute, w.fresh(setting))
        self.both(act, "configure " + knob)


def fuzz_settings():
    return settings(max_examples=EXAMPLES or 300, stateful_step_count=25, deadline=None, database=None,
                    derandomize=not EXAMPLES, print_blob=False,
                    suppress_health_check=list(HealthCheck))


def test_extension_agrees_with_the_twin():
    if CHILD:
        try:
            run_state_machine_as_test(Differential, settings=fuzz_settings())
        finally:
            print("\nfuzz: %d examples, %d compared steps" % (Counts.examples, Counts.steps))
            if os.environ.get("ZQ4180_FUZZ_STATS") == "1":
                for key, count in sorted(Counts.outcomes.items()):
                    print("%7d  %s" % (count, "  ".join(filter(None, key))))
        return
    # In a child interpreter: a crash there is a failure here, with its traceback.
    command = [sys.executable, "-X", "faulthandler", "-m", "pytest", "-q", "-s", "--tb=short", "-p", "no:cacheprovider",
               str(pathlib.Path(__file__))]
    child = subprocess.run(command, cwd=ROOT, env=dict(os.environ, ZQ4180_FUZZ_CHILD="1"), capture_output=True,
                           text=True, timeout=None if EXAMPLES else 900)
    report = child.stdout[-6000:] + child.stderr[-3000:]
    assert child.returncode == 0, report

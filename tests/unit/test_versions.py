"""What the interpreter's version could change around the driver, held the same way on each.

Every check compares the driver with the same methods written in Python and
compiled by the running interpreter, so it holds on 3.11, 3.12 and 3.13
alike: where the interpreter words or shapes something itself, the driver
must match that interpreter; where the driver owns the text, it must not move.
"""
import inspect
import subprocess
import sys
import types

import pytest

from .test_surface import DOCS, METHODS, MODULE_DOC, stored

ext = pytest.mark.extension_only
MISSING = object()


def python_written(with_docs=False):
    """The driver's class as a Python class statement would make it (empty bodies)."""
    lines = ["class ZQ4180:"]
    for name, signature, _ in METHODS:
        parameters, _, returns = signature.partition(" -> ")
        lines.append(f"    def {name}{parameters}{' -> ' + returns if returns else ''}:")
        if with_docs and DOCS.get(name) is not None:
            lines.append(f'        """{DOCS[name]}"""')
        lines.append("        return None")
    namespace = {"__name__": "zq4180"}
    exec(compile("\n".join(lines) + "\n", "<python-written>", "exec"), namespace)
    return namespace["ZQ4180"]


def outcome(call, cls):
    obj = cls("COM3")
    try:
        call(cls, obj)
    except TypeError as error:
        return type(error), str(error)
    return None


@pytest.mark.parametrize("call", [
    lambda c, o: c(),
    lambda c, o: c("COM3", "COM4"),
    lambda c, o: c("COM3", serial_port="COM4"),
    lambda c, o: c(port="COM3"),
    lambda c, o: o.open(1),
    lambda c, o: o.close(None),
    lambda c, o: c.open(),
    lambda c, o: o.set_work_mode("remote", "x"),
    lambda c, o: o.set_ouput_mode(mode="on", state=1),
    lambda c, o: o.set_voltage_max(1, 2, 3),
    lambda c, o: o.set_out_voltage(),
    lambda c, o: o.set_out_current(voltage=1.0),
    lambda c, o: o.set_new_addr(6, address=6),
    lambda c, o: o.restore_factory(self=o),
    lambda c, o: o.check_port_available(**{"": 1}),
    lambda c, o: o._ZQ4180__cal_crc(),
    lambda c, o: o._ZQ4180__write_and_read(),
    lambda c, o: c.show_device_version(),
    lambda c, o: c.read_dev_status(o, o),
    lambda c, o: c._ZQ4180__read_device_version(o, 1),
], ids=["new-none", "new-two", "new-twice", "new-unknown-keyword", "open-one", "close-one",
        "open-unbound", "work-mode-three", "output-mode-unknown-keyword", "voltage-max-four",
        "out-voltage-none", "out-current-wrong-keyword", "new-addr-twice", "restore-self-twice",
        "port-check-empty-keyword", "cal-crc-none", "write-and-read-none", "version-unbound",
        "status-three", "read-version-two"])
def test_argument_errors_are_the_interpreters_own_words(zq, call):
    # Counting and keyword errors come from the interpreter: exactly the
    # type and text a Python method of that name gets on this version.
    expected = outcome(call, python_written())
    assert expected is not None
    assert outcome(call, zq.ZQ4180) == expected


@ext
@pytest.mark.parametrize("name", [name for name, *_ in METHODS if DOCS.get(name) is not None])
def test_docstrings_are_kept_as_written_and_read_as_pythons(zq, name):
    # 3.13 strips the indentation of docstrings in source; the driver's texts
    # stay byte for byte on every version, and help() and inspect.getdoc(),
    # which strip indentation themselves, read the same as a Python method's.
    function = vars(zq.ZQ4180)[stored(name)]
    reference = vars(python_written(with_docs=True))[stored(name)]
    assert function.__doc__ == DOCS[name]
    assert inspect.getdoc(function) == inspect.getdoc(reference) == inspect.cleandoc(DOCS[name])


@ext
def test_module_docstring_is_kept_as_written(zq):
    written = types.ModuleType("zq4180")
    exec(compile(f'"""{MODULE_DOC}"""\n', "<python-written>", "exec"), vars(written))
    assert zq.__doc__ == MODULE_DOC
    assert inspect.getdoc(zq) == inspect.getdoc(written)


@ext
@pytest.mark.parametrize("name", [name for name, *_ in METHODS])
def test_methods_are_functions_with_every_attribute_of_this_version(zq, name):
    # 3.12 gave functions __type_params__; whatever a version adds, the
    # driver's methods carry it as a Python method does, with the same value.
    function = vars(zq.ZQ4180)[stored(name)]
    reference = vars(python_written())[stored(name)]
    assert type(function) is types.FunctionType and type(function).__name__ == "function"
    assert type(zq.ZQ4180("COM3").open).__name__ == "method"
    assert set(dir(reference)) <= set(dir(function))
    for attribute in ("__type_params__", "__kwdefaults__", "__defaults__", "__annotations__",
                      "__qualname__", "__name__", "__module__"):
        assert getattr(function, attribute, MISSING) == getattr(reference, attribute, MISSING), attribute
    assert inspect.signature(function) == inspect.signature(reference)


@ext
def test_class_namespace_is_the_same_on_every_version(zq):
    # A class statement compiled by 3.13 also records __static_attributes__
    # and __firstlineno__; the driver's class is made without a class body,
    # so its namespace holds the same names on every version.
    assert not set(vars(zq.ZQ4180)) & {"__static_attributes__", "__firstlineno__", "__type_params__"}


DAEMON_AT_EXIT = """
import threading, time
import zq4180

class SilentPort:
    def __init__(self):
        self.asked = threading.Event()
    def inWaiting(self):
        self.asked.set()
        return 0
    def read(self, n=1):
        return b""
    def write(self, data):
        return len(data)

supply = zq4180.ZQ4180("/dev/null")
supply.ser = SilentPort()

def poll():
    while True:
        supply.read_dev_status()   # 0.3 s of time.sleep polls without the interpreter lock

threading.Thread(target=poll, daemon=True).start()
supply.ser.asked.wait()
time.sleep(0.05)
print("main thread ends", flush=True)
"""


@ext
def test_a_daemon_thread_inside_a_call_does_not_crash_the_exit():
    # At exit the interpreter stops a daemon thread where it waits for the
    # interpreter lock, here inside the driver's polling sleep, and the thread
    # unwinds through the driver's frames without a thread state.  Dropping
    # references then crashed the process (SIGSEGV) on 3.12 and 3.13.
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", DAEMON_AT_EXIT], capture_output=True, text=True,
                              timeout=60, stdin=subprocess.DEVNULL)
        assert (done.returncode, done.stdout) == (0, "main thread ends\n"), done.stderr

"""What a script and the interpreter see: names, texts, signatures, argument rules."""
import importlib.util
import inspect
import os
import pydoc
import shutil
import subprocess
import sys
import unittest.mock

import pytest

from .fakes import Clock, FakePort, frame, identity

ext = pytest.mark.extension_only
ACK = frame()

MODULE_DOC = (
    "\nBasic Usage:\n    zq4100 = ZQ4180('/dev/ttyUSB0')\n    if zq4100.open():\n"
    "        # turn on Power\n        zq4100.set_work_mode('remote')\n"
    "        zq4100.set_out_voltage(1.222) # set voltage 1.222V\n"
    "        zq4100.set_out_current(0.888) # set current 0.888A\n"
    "        zq4100.set_ouput_mode('on') # turn on Power\n\n"
    "        # read the device real status\n        zq4100.read_dev_status()\n\n"
    "        # turn off Power\n        zq4100.set_ouput_mode('off')\n"
    "        zq4100.set_work_mode('local')\n")

DOCS = {
    "__init__": " initialize serial port\n        :param serial_port:\n"
        "        For Windows, 'COM3', 'COM4' ...\n"
        "        For Linux/MacOS, '/dev/ttyUSB0', '/dev/ttyUSB1'...\n        ",
    "__check_crc": " Verify the CRC of the received message.\n\n"
        "        :param data: List of bytes representing the message received \n"
        "                     from the device.\n"
        "        :return: True if the CRC is valid, False otherwise.\n        ",
    "__cal_crc": "\n        Calculate the CRC of the send command.\n\n"
        "        :param data: List of bytes representing the message to be sended.\n        ",
    "__read": "\n        Read serial data\n        ",
    "__write_and_read": "\n        send command and read response data and check crc\n"
        "        :param cmd: the command send to serial port\n        ",
    "show_device_version": "return a dict\n        {\n            'model':4181,\n            'number':076787041\n"
        "            'sfot_version':373\n        }\n        ",
    "set_work_mode": " set deivce work mode\n        @mode: 'remote' means PC controll mode\n"
        "        @mode: 'local' means local manual controll\n"
        "        return: True if set sucess, otherwise False\n        ",
    "set_ouput_mode": " turn on or off the device power ouput\n        @mode: 'off' means turn off the power\n"
        "        @mode: 'on' means turn on the power\n"
        "        return: True if set sucess, otherwise False\n        ",
    "set_voltage_max": " set the device max voltage ouput value\n"
        "        @voltage: maximum output voltage value, unit: V (float) \n"
        "            1.1 means 1.1V\n        return: True if set sucess, otherwise False\n        ",
    "set_out_voltage": " set output voltage \n        @voltage: output voltage value, unit: V (float) \n"
        "            1.1 means 1.1V\n        return: True if set sucess, otherwise False\n        ",
    "set_out_current": " set output current limitation\n"
        "        @current: the max of power current output, unit: A (float) \n"
        "            0.8 means 0.8A\n        return: True if set sucess, otherwise False\n        ",
    "set_new_addr": " set new address of the device\n        @address: set the address of the device\n"
        "        return: True if set sucess, otherwise False\n        ",
    "restore_factory": " resotre the device to factory settings\n"
        "        return: True if set sucess, otherwise False\n        ",
    "read_dev_status": " read current device status\n        return a dict if success, otherwise None:\n        {\n"
        "            'current_real': 0.2\n            'voltage_real': 3.29\n"
        "            'current_set': 1.0\n            'voltage_max_set': 5.0\n"
        "            'voltage_set': 3.3\n            'out_status': 'on'\n"
        "            'beyond_temp': ''\n            'out_mode': 'CV'\n            'fan_speed': '3'\n"
        "            'work_mode': 'remote'\n        }\n        ",
    "__read_device_version": " Read device version\n        device version: module, hardware, software\n"
        "        :return dict:\n        {\n            'module_version': 2,\n"
        "            'hard_version': 50,\n            'soft_version': 32,\n        }\n        ",
    "check_port_available": " Check whether the port is available\n        :return bool: True if available, else False\n"
        "        ",
    "open": " open the serial port\n        :return bool: True if open sucess, else False\n        ",
}

# name, signature, annotations in order
METHODS = [
    ("__init__", "(self, serial_port: 'str')", {"serial_port": "str"}),
    ("__check_crc", "(self, data: 'list') -> 'bool'", {"data": "list", "return": "bool"}),
    ("__cal_crc", "(self, data: 'list') -> 'None'", {"data": "list", "return": "None"}),
    ("__read", "(self)", {}),
    ("__write_and_read", "(self, cmd: 'bytes')", {"cmd": "bytes"}),
    ("show_device_version", "(self) -> 'dict'", {"return": "dict"}),
    ("set_work_mode", "(self, mode='remote') -> 'bool'", {"return": "bool"}),
    ("set_ouput_mode", "(self, mode='off') -> 'bool'", {"return": "bool"}),
    ("set_voltage_max", "(self, voltage: 'float') -> 'bool'", {"voltage": "float", "return": "bool"}),
    ("set_out_voltage", "(self, voltage: 'float') -> 'bool'", {"voltage": "float", "return": "bool"}),
    ("set_out_current", "(self, current: 'float') -> 'bool'", {"current": "float", "return": "bool"}),
    ("set_new_addr", "(self, address: 'int') -> 'bool'", {"address": "int", "return": "bool"}),
    ("restore_factory", "(self) -> 'bool'", {"return": "bool"}),
    ("read_dev_status", "(self) -> 'dict'", {"return": "dict"}),
    ("__read_device_version", "(self)", {}),
    ("check_port_available", "(self) -> 'bool'", {"return": "bool"}),
    ("open", "(self) -> 'bool'", {"return": "bool"}),
    ("close", "(self)", {}),
]
CONSTANTS = [
    ("TEMPLATE", (0xAA, 0xFF, 0x20) + (0,) * 22 + (0xCC,)), ("WORD_SET_WORK_MODE", 0x20),
    ("WORD_SET_OUT_MODE", 0x21), ("WORD_SET_MAX_OUT_VOLTAGE", 0x22), ("WORD_SET_OUT_VOLTAGE", 0x23),
    ("WORD_SET_OUT_CURRENT", 0x24), ("WORD_SET_NEW_ADDR", 0x25), ("WORD_READ_DEV_REAL_STATUS", 0x26),
    ("WORD_READ_DEV_VERSION", 0x31), ("WORD_RESTORE_FACTORY", 0x32), ("WORD_DEV_RETURN", 0x12), ("LENGTH", 26),
]


def stored(name):
    return "_ZQ4180" + name if name.startswith("__") and name != "__init__" else name


@ext
def test_module(zq):
    import platform, serial, time  # noqa: E401
    assert zq.__name__ == "zq4180" and zq.__doc__ == MODULE_DOC
    assert [k for k in vars(zq) if not k.startswith("__")] == ["platform", "serial", "time", "subprocess", "ZQ4180"]
    assert (zq.platform, zq.serial, zq.time, zq.subprocess) == (platform, serial, time, subprocess)
    assert "Basic Usage:" in pydoc.render_doc(zq, renderer=pydoc.plaintext)


@ext
def test_class(zq):
    cls = zq.ZQ4180
    assert type(cls) is type and cls.__bases__ == (object,) and cls.__doc__ is None
    assert (cls.__name__, cls.__qualname__, cls.__module__) == ("ZQ4180", "ZQ4180", "zq4180")
    names = list(vars(cls))
    assert names[:31] == (["__module__"] + ["_ZQ4180__CMD_" + c for c, _ in CONSTANTS]
                          + [stored(m) for m, *_ in METHODS])
    assert set(names[31:]) == {"__dict__", "__weakref__", "__doc__"}
    assert [getattr(cls, "_ZQ4180__CMD_" + c) for c, _ in CONSTANTS] == [v for _, v in CONSTANTS]
    assert type(cls._ZQ4180__CMD_TEMPLATE) is tuple
    obj = cls("COM3")
    obj.anything = 1
    assert vars(obj)["anything"] == 1


@ext
@pytest.mark.parametrize("name, signature, annotations", METHODS)
def test_method_objects(zq, name, signature, annotations):
    cls = zq.ZQ4180
    function = vars(cls)[stored(name)]
    assert getattr(cls, stored(name)) is function
    assert (function.__name__, function.__qualname__, function.__module__) == (name, "ZQ4180." + name, "zq4180")
    assert function.__doc__ == DOCS.get(name)
    assert function.__defaults__ == {"set_work_mode": ("remote",), "set_ouput_mode": ("off",)}.get(name)
    assert list(function.__annotations__.items()) == list(annotations.items())
    assert str(inspect.signature(function)) == signature
    obj = cls("COM3")
    bound = getattr(obj, stored(name))
    assert bound.__self__ is obj and bound.__func__ is function
    assert function.__get__(None, cls) is function


@ext
def test_help_and_autospec(zq):
    text = pydoc.render_doc(zq.ZQ4180, renderer=pydoc.plaintext)
    assert "set_work_mode(self, mode='remote') -> 'bool'" in text and "@mode: 'local' means local manual" in text
    mock = unittest.mock.create_autospec(zq.ZQ4180, instance=True)
    mock.set_work_mode()
    mock.set_new_addr(address=6)
    mock.set_out_voltage(1.2)
    for bad in (lambda: mock.set_work_mode("a", "b"), lambda: mock.set_new_addr(),
                lambda: mock.open(1), lambda: mock.set_out_current(voltage=1)):
        with pytest.raises(TypeError):
            bad()


class StrSub(str):
    pass


class ListSub(list):
    pass


@ext
@pytest.mark.parametrize("method, value, argument, expected, got", [
    ("ZQ4180", None, "serial_port", "str", "NoneType"),
    ("ZQ4180", StrSub("COM3"), "serial_port", "str", "StrSub"),
    ("ZQ4180", b"COM3", "serial_port", "str", "bytes"),
    ("ZQ4180", type("X" * 300, (), {})(), "serial_port", "str", "X" * 200),
    ("set_new_addr", True, "address", "int", "bool"),
    ("set_new_addr", 6.0, "address", "int", "float"),
    ("set_new_addr", None, "address", "int", "NoneType"),
    ("_ZQ4180__cal_crc", (1, 2), "data", "list", "tuple"),
    ("_ZQ4180__check_crc", b"\xaa", "data", "list", "bytes"),
    ("_ZQ4180__check_crc", ListSub(), "data", "list", "ListSub"),
])
def test_incorrect_type_messages(env, method, value, argument, expected, got):
    obj, port = env.driver(ACK)
    with pytest.raises(TypeError) as caught:
        (env.zq.ZQ4180 if method == "ZQ4180" else getattr(obj, method))(value)
    assert str(caught.value) == "Argument '%s' has incorrect type (expected %s, got %s)" % (argument, expected, got)
    assert port.log == []


@pytest.mark.parametrize("call", [
    lambda c, o: c(),
    lambda c, o: c("COM3", serial_port="COM4"),
    lambda c, o: c("COM3", "COM4"),
    lambda c, o: c(port="COM3"),
    lambda c, o: o.open(1),
    lambda c, o: o.close(None),
    lambda c, o: o.set_work_mode("remote", "x"),
    lambda c, o: o.set_ouput_mode(mode="on", state=1),
    lambda c, o: o.set_new_addr(True, 2),
    lambda c, o: o.set_new_addr(6, address=6),
    lambda c, o: o.set_out_voltage(),
    lambda c, o: o.set_out_current(voltage=1.0),
    lambda c, o: o._ZQ4180__cal_crc(),
    lambda c, o: o._ZQ4180__write_and_read(),
    lambda c, o: c.show_device_version(),
    lambda c, o: c.read_dev_status(o, o),
])
def test_counting_and_keyword_errors(env, call):
    obj, port = env.driver(ACK)
    with pytest.raises(TypeError) as caught:
        call(env.zq.ZQ4180, obj)
    assert "incorrect type" not in str(caught.value)
    assert port.log == []


def test_every_parameter_by_keyword(env):
    cls = env.zq.ZQ4180
    obj = cls(serial_port="COM3")
    cls.__init__(self=obj, serial_port="COM4")
    assert obj.port == "COM4"
    obj.ser = env.port(*[ACK] * 7)
    assert cls.set_work_mode(self=obj, mode="local") and obj.set_ouput_mode(mode="on")
    assert obj.set_voltage_max(voltage=1) and obj.set_out_voltage(voltage=2) and obj.set_out_current(current=3)
    assert obj.set_new_addr(address=6) and obj._ZQ4180__write_and_read(cmd=b"\x01")
    assert [w[2:4] for w in obj.ser.writes[:6]] == [b"\x20\x00", b"\x21\x01", b"\x22\xe8", b"\x23\xd0",
                                                    b"\x24\xb8", b"\x25\x06"]
    data = [1, 0]
    cls._ZQ4180__cal_crc(self=obj, data=data)
    assert data == [1, 1] and cls._ZQ4180__check_crc(self=obj, data=data) is True
    assert cls.show_device_version(self=obj)["model"] == ""


def run_python(*args, **env):
    return subprocess.run(list(args), capture_output=True, encoding="utf-8", timeout=120,
                          stdin=subprocess.DEVNULL, env=dict(os.environ, PYTHONIOENCODING="utf-8", **env))


@ext
def test_demonstration_without_a_supply():
    script = shutil.which("zq4180-demo")
    run = run_python(*([script] if script else
                       [sys.executable, "-c", "from zq4180_launch.demo import main; main()"]))
    assert run.returncode == 0, run.stderr
    *before, last = run.stdout.splitlines()
    assert last == "open serial port:/dev/cu.usbserial-21320 failed!"
    lsof_missing = [line[:9] for line in before] == ["检查端口时出错: ", "serial po"]
    assert lsof_missing or (len(before) == 1 and before[0].startswith("Cannot open serial port")
                            and "/dev/cu.usbserial-21320" in before[0])


@ext
def test_demonstration_with_a_supply(env, monkeypatch, capsys):
    from zq4180_launch.demo import load_as_main

    status = frame(0x0B, 0x12, b"\0" * 6 + b"\x85")
    env.serial.outcomes = [env.port(identity(0x0B), *[frame(0x0B)] * 6, status, *[frame(0x0B)] * 3)]
    for name in ("time", "serial", "subprocess", "platform"):
        monkeypatch.setitem(sys.modules, name, getattr(env, "clock" if name == "time" else name))
    monkeypatch.setitem(sys.modules, "__main__", sys.modules["__main__"])
    module = load_as_main()
    port = env.serial.ports[0]
    assert module.opat_port == "/dev/cu.usbserial-21320" and module.zq4100.ser is port
    assert [w[1:4] for w in port.writes] == [
        b"\xff\x31\x00", b"\x0b\x20\x01", b"\x0b\x25\x06", b"\x0b\x22\xd0", b"\x0b\x23\xc6",
        b"\x0b\x24\x78", b"\x0b\x21\x01", b"\x0b\x26\x00", b"\x0b\x20\x00", b"\x0b\x21\x00",
        b"\x0b\x32\x00"]
    assert port.log[-1] == ("close",) and 3 in env.clock.sleeps
    ack = str(list(frame(0x0B)))
    assert capsys.readouterr().out.splitlines() == [
        "set work mode to remote controll", "set voltage, read:" + ack, "set current, read:" + ack,
        "------------ local -------------", "Restore FACTORY:" + ack, "zq4100 series closed!"]


@ext
def test_plain_import_runs_no_demonstration():
    run = run_python(sys.executable, "-c", "import zq4180; print(sorted(k for k in vars(zq4180) if k[0] != '_'))")
    assert (run.stdout, run.returncode) == ("['ZQ4180', 'platform', 'serial', 'subprocess', 'time']\n", 0)


def fresh_copy(zq):
    spec = importlib.util.spec_from_file_location("zq4180", zq.__file__)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@ext
def test_loading_without_serial_fails_naming_it(zq, monkeypatch):
    monkeypatch.setitem(sys.modules, "serial", None)
    with pytest.raises(ModuleNotFoundError) as caught:
        fresh_copy(zq)
    assert caught.value.name == "serial"


@ext
def test_two_loads_keep_their_own_names(zq, env):
    other = fresh_copy(zq)
    assert other is not zq and other.ZQ4180 is not zq.ZQ4180
    other.time = Clock()
    mine, _ = env.driver(None)
    theirs = other.ZQ4180("COM3")
    theirs.ser = FakePort(other.time, [None])
    assert theirs.set_work_mode() is False and mine.set_work_mode() is False
    assert other.time.sleeps == env.clock.sleeps == [0.01] * 30

"""Driver object, availability check and opening, against fake modules."""
import pathlib
import subprocess

import pytest
import serial

from .fakes import FakePort, SerialError, identity

BUSY = "serial port already opened!, Please close and try                       again!"
PREFIX = "检查端口时出错: "


def test_constructor_sets_attributes_in_order(zq):
    obj = zq.ZQ4180("/dev/does-not-exist")
    assert list(vars(obj).items()) == [
        ("port", "/dev/does-not-exist"), ("_ZQ4180__addr", 255), ("_ZQ4180__product_model", ""),
        ("_ZQ4180__product_number", ""), ("_ZQ4180__soft_version", 0)]
    assert not hasattr(obj, "ser")


class StrSub(str):
    pass


@pytest.mark.parametrize("name", [StrSub("COM3"), b"COM3", None, 3])
def test_constructor_wants_exactly_str(zq, name):
    with pytest.raises(TypeError):
        zq.ZQ4180(name)


def test_close(zq, env):
    with pytest.raises(AttributeError, match="ser"):
        zq.ZQ4180("COM3").close()
    obj, port = env.driver()
    assert obj.close() is None and obj.close() is None
    assert port.log == [("close",), ("close",)]
    port.raises["close"] = OSError("stuck")
    with pytest.raises(OSError, match="stuck"):
        obj.close()


@pytest.mark.parametrize("system, stdout, stderr, error, available, printed", [
    ("Linux", b"", b"", None, True, ""),
    ("Linux", b"COMMAND PID USER\npython 1 root\n", b"", None, False, ""),
    ("Darwin", b"", b"lsof: status error on COM3\n", None, True, ""),
    ("", b"", b"", None, True, ""),
    ("windowsx", b"", b"", None, True, ""),
    ("Linux", b"", b"", FileNotFoundError(2, "No such file or directory", "lsof"), False,
     PREFIX + "[Errno 2] No such file or directory: 'lsof'\n"),
    ("Linux", b"", b"", ValueError("odd"), False, PREFIX + "odd\n"),
])
def test_availability_by_lsof(env, capsys, system, stdout, stderr, error, available, printed):
    env.platform.name = system
    env.subprocess.stdout, env.subprocess.stderr, env.subprocess.error = stdout, stderr, error
    obj = env.zq.ZQ4180("-h")
    assert obj.check_port_available() is available
    assert env.subprocess.calls == [(["lsof", "--", "-h"], [("stdout", "<pipe>"), ("stderr", "<pipe>")])]
    assert type(env.subprocess.calls[0][0]) is list
    assert capsys.readouterr().out == printed
    assert env.serial.calls == []


@pytest.mark.parametrize("system", ["Windows", "WINDOWS", "windows"])
@pytest.mark.parametrize("outcome, available", [
    (None, True), (SerialError("busy"), False), ("close fails", False)])
def test_availability_by_probe_on_windows(env, capsys, system, outcome, available):
    env.platform.name = system
    probe = FakePort(raises={"close": SerialError("x")}) if outcome == "close fails" else FakePort()
    env.serial.outcomes = [outcome if isinstance(outcome, BaseException) else probe]
    assert env.zq.ZQ4180("COM3").check_port_available() is available
    assert env.serial.calls == [(("COM3",), [])]
    assert probe.log == ([] if isinstance(outcome, BaseException) else [("close",)])
    assert env.subprocess.calls == [] and capsys.readouterr().out == ""


@pytest.mark.parametrize("where, error", [
    ("platform", RuntimeError("no uname")),
    ("probe", ValueError("bad name")),
    ("lsof", KeyboardInterrupt()),
])
def test_availability_errors_that_propagate(env, where, error):
    if where == "platform":
        env.platform.name = error
    elif where == "probe":
        env.platform.name = "Windows"
        env.serial.outcomes = [error]
    else:
        env.subprocess.error = error
    with pytest.raises(type(error)):
        env.zq.ZQ4180("COM3").check_port_available()


def test_missing_lsof_with_the_real_subprocess(env, zq, monkeypatch, capsys):
    monkeypatch.setattr(zq, "subprocess", subprocess)
    monkeypatch.setenv("PATH", "")
    obj = zq.ZQ4180("/dev/ttyUSB0")
    assert obj.open() is False
    assert capsys.readouterr().out == PREFIX + "[Errno 2] No such file or directory: 'lsof'\n" + BUSY + "\n"
    assert env.serial.calls == []


@pytest.mark.parametrize("model, addr, result", [
    (b"4180", 3, True), (b"4181", 200, True), (b"4182", 3, False), (b" 418", 3, False), (None, 255, False)])
def test_open_identifies_the_supply(env, capsys, model, addr, result):
    port = env.port(identity(addr, model) if model else None)
    env.serial.outcomes = [port]
    obj = env.zq.ZQ4180("/dev/ttyUSB0")
    assert obj.open() is result
    assert env.serial.calls == [(("/dev/ttyUSB0", 4800, 8, "N"), [("timeout", 50), ("stopbits", 1)])]
    assert obj.ser is port
    assert port.log.count(("close",)) == (0 if result else 1)
    assert obj._ZQ4180__addr == addr
    assert obj.show_device_version()["model"] == (model.decode() if model else "")
    assert capsys.readouterr().out == ""


def test_open_on_a_busy_port(env, capsys):
    env.subprocess.stdout = b"python 1 root\n"
    assert env.zq.ZQ4180("COM3").open() is False
    assert capsys.readouterr().out == BUSY + "\n" and len(BUSY) == 78
    assert env.serial.calls == []


@pytest.mark.parametrize("error, printed", [
    (SerialError("could not open port"), "Cannot open serial portcould not open port\n"),
    (serial.SerialException("not the driver's family now"), ""),
    (ValueError("bad settings"), ""),
    (OSError(2, "gone"), ""),
])
def test_open_when_the_connection_cannot_be_made(env, capsys, error, printed):
    env.serial.outcomes = [error]
    obj = env.zq.ZQ4180("COM3")
    assert obj.open() is False
    assert capsys.readouterr().out == printed
    assert not hasattr(obj, "ser")


@pytest.mark.parametrize("raises, printed", [
    ({"write": ValueError("x")}, ""),
    ({"inWaiting": SerialError("device reports readiness")}, "Cannot open serial portdevice reports readiness\n"),
    ({"write": SerialError("gone"), "close": OSError("stuck")}, "Cannot open serial portgone\n"),
    ({"write": TypeError("x"), "close": SerialError("stuck")}, ""),
])
def test_a_failure_after_connecting_closes_the_connection(env, capsys, raises, printed):
    obj, first = env.driver(identity(4, b"4181"))
    obj._ZQ4180__read_device_version()
    port = env.port(identity(9, b"4180"), raises=raises)
    env.serial.outcomes = [port]
    assert obj.open() is False
    assert capsys.readouterr().out == printed
    assert port.log.count(("close",)) == 1 and obj.ser is port
    assert obj.show_device_version() == {"model": "4181", "SN": "076787041", "soft_version": 373}


def test_silent_reopen_fails_and_keeps_the_identity(env):
    env.serial.outcomes = [env.port(identity(7, b"4181")), env.port(None)]
    obj = env.zq.ZQ4180("COM3")
    assert obj.open() is True
    obj.close()
    assert obj.open() is False
    assert env.serial.ports[1].log.count(("close",)) == 1 and obj.ser is env.serial.ports[1]
    assert obj.show_device_version()["model"] == "4181" and obj._ZQ4180__addr == 7


@pytest.mark.parametrize("where", ["check", "connect", "read-out"])
def test_interrupts_pass_through_open(env, where):
    if where == "check":
        env.subprocess.error = KeyboardInterrupt()
    elif where == "connect":
        env.serial.outcomes = [KeyboardInterrupt()]
    else:
        env.serial.outcomes = [env.port(raises={"write": KeyboardInterrupt()})]
    with pytest.raises(KeyboardInterrupt):
        env.zq.ZQ4180("COM3").open()
    # an interrupted open does not leave this process holding the port
    assert all(port.log.count(("close",)) == 1 for port in env.serial.ports)


SOCKET_LINE = ("Cannot use {}: a socket:// port reports at most 1 byte waiting, so the 26-byte reply "
               "is never seen; use rfc2217://host:port instead (ser2net: accepter telnet(rfc2217))\n")


@pytest.mark.parametrize("port, checked, opener, printed", [
    ("rfc2217://127.0.0.1:2217?ign_set_control", None, "url", ""),
    ("spy:///dev/ttyUSB0?file=trace.txt", "/dev/ttyUSB0", "url", ""),  # a trace of a local port
    ("spy://rfc2217://host:1", None, "url", ""),
    ("loop://", None, "url", ""),
    ("socket://127.0.0.1:2000", None, None, SOCKET_LINE.format("socket://127.0.0.1:2000")),
    ("SOCKET://host:1", None, None, SOCKET_LINE.format("SOCKET://host:1")),
    ("/dev/ttyUSB0", "/dev/ttyUSB0", "device", ""),
])
def test_urls_open_through_serial_for_url(env, capsys, port, checked, opener, printed):
    obj = env.zq.ZQ4180(port)
    assert obj.check_port_available() is True
    assert env.subprocess.calls == ([(["lsof", "--", checked], [("stdout", "<pipe>"), ("stderr", "<pipe>")])]
                                    if checked else [])
    assert obj.open() is (opener is not None)
    assert capsys.readouterr().out == printed
    settings = ((port, 4800, 8, "N"), [("timeout", 50), ("stopbits", 1)])
    expected = {None: [], "url": [("url",) + settings], "device": [settings]}[opener]
    assert env.serial.calls == expected


@pytest.mark.parametrize("name", [b"/dev/ttyUSB0", pathlib.PurePosixPath("/dev/ttyUSB0")])
def test_a_port_name_that_is_not_text_goes_to_lsof_as_it_is(env, name):
    obj = env.zq.ZQ4180("x")
    obj.port = name
    assert obj.check_port_available() is True
    assert env.subprocess.calls[0][0] == ["lsof", "--", name]


def test_open_calls_its_helpers_through_self(env, capsys):
    obj = env.zq.ZQ4180("COM3")
    obj.check_port_available = lambda: 0
    assert obj.open() is False and capsys.readouterr().out == BUSY + "\n"
    calls = []
    obj.check_port_available = lambda: "yes"
    obj._ZQ4180__read_device_version = lambda: setattr(obj, "_ZQ4180__product_model", "4180")
    assert obj.open() is True and env.serial.ports[0].log == []
    obj._ZQ4180__read_device_version = lambda: calls.append("read")
    obj.close = lambda: calls.append("close")
    assert obj.open() is False
    assert calls == ["read", "close"] and env.serial.ports[1].log == []

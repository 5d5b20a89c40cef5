"""zq4180-doctor against virtual supplies in each failure state, and beyond."""
import grp
import os
import pathlib
import pwd
import shutil
import subprocess
import sys
import time
import types

import pytest

from zq4180_doctor import holders as doctor_holders, port_holders
from zq4180_doctor.cli import main
from zq4180_sim import VirtualSupply

PYTHON_DIR = pathlib.Path(__file__).resolve().parents[2] / "python"
IDENTITY_REQUEST = bytes([0xAA, 0xFF, 0x31]) + bytes(22) + bytes([0xDA])
SENT = "sent: AA FF 31 " + "00 " * 22 + "DA"


def doctor(capsys, *argv):
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def held_by_anyone(port):
    return subprocess.run(["lsof", "--", port], capture_output=True).stdout != b""


def opens(port):
    """What the driver's own open() says, or None without the built driver."""
    try:
        import zq4180
    except ImportError:
        return None
    drv = zq4180.ZQ4180(port)
    try:
        return drv.open()
    finally:
        if getattr(drv, "ser", None) is not None:
            drv.ser.close()


@pytest.mark.parametrize("fields, fault, code, expected", [
    ({}, None, 0, ["[ ok ] identity", "got:  AA 07 12 34 31 38 31 00 75 01",
                   "[ ok ] model: 4181 is accepted (serial number \"076787041\", firmware 373)",
                   "reports address 7", "open() would succeed"]),
    ({"pacing": True}, None, 0, ["[ ok ] identity", "reports address 7"]),
    ({}, "no_reply", 1, ["[FAIL] identity: silence", "got:  nothing", "[skip] model: no valid identity"]),
    ({}, "bad_sync", 1, ["[FAIL] identity: wrong sync byte: 0x55", "got:  55 07"]),
    ({}, "bad_checksum", 1, ["[FAIL] identity: wrong checksum: expected 0xDF, got 0xE0"]),
    ({}, "noise", 1, ["[FAIL] identity: too many bytes: 29", "got:  55 00 FF AA 07"]),
    ({}, "late", 1, ["[FAIL] identity: the reply came too late"]),
    ({"model_code": "0000"}, None, 1, ['[FAIL] model: model code "0000" is not accepted',
                                       "[ ok ] address: the supply reports address 7"]),
], ids=["healthy", "healthy_paced", "silent", "bad_sync", "bad_checksum", "noise", "late", "model_0000"])
def test_virtual_supply_states(capsys, fields, fault, code, expected):
    with VirtualSupply(7, **{"pacing": False, **fields}) as supply:
        if fault:
            supply.inject(fault, count=None)
        got, out, _ = doctor(capsys, supply.port)
        supply.wait_idle()
        assert supply.requests == [IDENTITY_REQUEST]  # the driver's frame, sent once
        assert not held_by_anyone(supply.port)         # the doctor let go of the port
        assert opens(supply.port) in (code == 0, None)  # and its verdict is the driver's
    assert got == code
    for text in [SENT] + expected:
        assert text in out
    assert ("[FAIL]" in out) == bool(code)


def test_port_held_by_another_process(capsys):
    with VirtualSupply(7, pacing=False) as supply:
        port = supply.port
        fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
        holder = subprocess.Popen(["sleep", "60"], stdin=fd)
        os.close(fd)
        try:
            code, out, _ = doctor(capsys, port)
        finally:
            holder.kill()
            holder.wait()
        assert supply.requests == []  # a held port is not disturbed
    assert code == 1
    assert f"[FAIL] holders: {port} is held by sleep (PID {holder.pid})" in out
    assert "[skip] opening: the port is in use" in out


def test_without_lsof(capsys, monkeypatch, tmp_path):
    with VirtualSupply(7, pacing=False) as supply:
        monkeypatch.setenv("PATH", str(tmp_path))
        code, out, _ = doctor(capsys, supply.port)
        assert opens(supply.port) in (False, None)  # the driver's check fails without lsof too
    assert code == 1
    for text in ["[FAIL] lsof: lsof is not installed", "[skip] holders: lsof is missing",
                 "[ ok ] identity", "[ ok ] model"]:
        assert text in out


@pytest.mark.parametrize("port, expected", [
    ("/nonexistent/ttyUSB9", ["[FAIL] port: /nonexistent/ttyUSB9 does not exist", "[ ok ] lsof",
                              "[skip] holders: the port does not exist", "[skip] opening"]),
    ("loop://", ["[skip] port: loop:// is a URL", "[skip] holders", "[ ok ] opening",
                 "[FAIL] identity: the request came back unchanged", SENT]),
    ("socket://127.0.0.1:9", ["[FAIL] opening: a socket:// port can never work", "rfc2217://",
                              "[skip] identity"]),
])
def test_other_ports(capsys, port, expected):
    code, out, _ = doctor(capsys, port)
    assert code == 1
    for text in expected:
        assert text in out


def test_dangling_link(capsys, tmp_path):
    link = tmp_path / "ttyGone"
    link.symlink_to(tmp_path / "ttyUSB0")
    code, out, _ = doctor(capsys, str(link))
    assert code == 1
    assert f"[FAIL] port: {link} is a link to {tmp_path / 'ttyUSB0'}, which does not exist" in out


@pytest.mark.parametrize("mode, listed, advice", [
    (0o660, False, "sudo usermod -aG dialout {user}"),
    (0o660, True, "newgrp dialout"),
    (0o600, False, "sudo chmod 660 /dev/ttyDOCTOR0"),
])
def test_permission_denied(capsys, monkeypatch, mode, listed, advice):
    # tests run as root, for whom every device is open: fake a device that is not
    port, gid, user = "/dev/ttyDOCTOR0", 4242, pwd.getpwuid(os.geteuid()).pw_name
    real_stat, real_access, real_group = os.stat, os.access, grp.getgrgid
    fake = os.stat_result((0o20000 | mode, 0, 0, 1, 0, gid, 0, 0, 0, 0))
    monkeypatch.setattr(os, "stat", lambda p, *a, **k: fake if p == port else real_stat(p, *a, **k))
    monkeypatch.setattr(os, "access", lambda p, m, **k: False if p == port else real_access(p, m, **k))
    monkeypatch.setattr(grp, "getgrgid", lambda g: types.SimpleNamespace(
        gr_name="dialout", gr_mem=[user] if listed else []) if g == gid else real_group(g))
    code, out, _ = doctor(capsys, port)
    assert code == 1
    assert f"[FAIL] permission: {user} may not read and write {port} (owner root, group dialout" in out
    assert advice.format(user=user) in out
    assert "[skip] opening: no permission to open the port" in out


def test_quiet_prints_only_the_verdict(capsys):
    code, out, _ = doctor(capsys, "-q", "loop://")
    assert code == 1
    assert out.splitlines() == [out.strip()]
    assert out.startswith("Verdict: open() would return False (identity: the request came back")


@pytest.mark.parametrize("argv", [[], ["-x", "loop://"], [""], ["a", "b"]])
def test_bad_usage(capsys, argv):
    code, out, err = doctor(capsys, *argv)
    assert (code, out) == (2, "")
    assert len(err.splitlines()) == 1 and err.startswith("zq4180-doctor: ")


def test_runs_as_a_module():
    with VirtualSupply(7, pacing=False) as supply:
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            filter(None, [str(PYTHON_DIR), os.environ.get("PYTHONPATH")])))
        run = subprocess.run([sys.executable, "-m", "zq4180_doctor", supply.port],
                             capture_output=True, text=True, env=env, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "[ ok ] model: 4181" in run.stdout and run.stdout.endswith("open() would succeed.\n")


# -- an object's address after set_new_addr -----------------------------------------

def test_address_after_set_new_addr(capsys):
    zq4180 = pytest.importorskip("zq4180")
    with VirtualSupply(6, pacing=False) as supply:
        old = zq4180.ZQ4180(supply.port)
        assert old.open() is True and old.set_new_addr(7) is True
        old.close()
        assert old.open() is False  # still asks address 6
        runs = {argv: doctor(capsys, *argv, supply.port) for argv in [(), ("--address", "6"), ("-a", "0x07")]}
        assert supply.requests[-3:] == [bytes([0xAA, a, 0x31]) + bytes(22) + bytes([(0xDB + a) & 0xFF])
                                         for a in (255, 6, 7)]
    code, out, _ = runs[()]
    assert code == 0 and out.endswith(
        "Verdict: for a new object, or one that learned address 7 at its first open, open() would succeed.\n")
    code, out, _ = runs[("--address", "6")]
    assert code == 1
    for text in ["for an object holding address 6", "sent: AA 06 31", "[FAIL] identity: silence: nothing answered "
                 "a request to address 6", "Open a new ZQ4180 object",
                 "Verdict: open() would return False for an object holding address 6 (see the identity check); "
                 "an object keeps the address it learned at its first open"]:
        assert text in out
    code, out, _ = runs[("-a", "0x07")]
    assert code == 0 and out.endswith("Verdict: for an object holding address 7, open() would succeed.\n")


@pytest.mark.parametrize("value", ["256", "-1", "six", ""])
def test_bad_address(capsys, value):
    code, out, err = doctor(capsys, "--address", value, "loop://")
    assert (code, out) == (2, "") and err.startswith("zq4180-doctor: argument -a/--address")


# -- who holds the port ----------------------------------------------------------------

def wait_until_held(port, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not held_by_anyone(port):
        assert time.monotonic() < deadline, f"nobody took {port}"
        time.sleep(0.05)


@pytest.mark.skipif(not shutil.which("socat"), reason="socat is not installed (apt-get install socat)")
def test_a_socat_bridge_holding_its_own_pty(capsys, tmp_path):
    link = tmp_path / "ttyBRIDGE"
    bridge = subprocess.Popen(["socat", f"PTY,link={link},raw,echo=0", "TCP-LISTEN:0,bind=127.0.0.1"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until_held(str(link))
        holders = port_holders(str(link))
        code, out, _ = doctor(capsys, str(link))
    finally:
        bridge.terminate()
        bridge.wait()
    assert [(h.pid, h.command, h.kind) for h in holders] == [(bridge.pid, "socat", "bridge")]
    assert code == 1
    assert f"[FAIL] holders: {link} is held by socat (PID {bridge.pid}), a bridge that holds its own " \
           "pseudo-terminal" in out
    assert "rfc2217://" in out and "(or: kill" not in out


@pytest.mark.parametrize("argv, lsof_name, kind, description", [
    (["/usr/bin/python3", "/usr/local/bin/zq4180-panel", "bench-a"], "python3", "panel",
     "held by zq4180-panel (PID {pid}): use its API"),
    (["python3.11", "-X", "dev", "-m", "zq4180_panel", "--sim", "2"], "python3.1", "panel",
     "held by zq4180-panel (PID {pid}): use its API"),
    ([], "zq4180-pa", "panel", "held by zq4180-panel (PID {pid}): use its API"),  # no /proc: lsof's name
    (["/usr/bin/python3", "/usr/local/bin/zq4180", "--config", "lab.toml", "watch", "bench-a"], "zq4180",
     "bench", "held by zq4180 watch (PID {pid})"),
    (["python3", "-mzq4180_bench", "log", "/dev/ttyUSB0"], "python3", "bench", "held by zq4180 log (PID {pid})"),
    (["socat", "-d", "pty,link=/tmp/x,raw", "tcp:lab:2000"], "socat", "bridge",
     "held by socat (PID {pid}), a bridge that holds its own pseudo-terminal"),
    (["/usr/sbin/ser2net", "-n", "-c", "/etc/ser2net.yaml"], "ser2net", "bridge",
     "held by ser2net (PID {pid}), a device server serving the port"),
    (["minicom", "-D", "/dev/ttyUSB0"], "minicom", "other", "held by minicom (PID {pid})"),
    (["python3", "my_zq4180-panel_notes.py"], "python3", "other", "held by python3 (PID {pid})"),
])
def test_holders_recognised_by_command_line(monkeypatch, argv, lsof_name, kind, description):
    pid = 4242
    monkeypatch.setattr(doctor_holders, "_command_line", lambda p: argv if p == pid else [])
    lsof_out = (f"COMMAND  PID USER FD TYPE DEVICE SIZE/OFF NODE NAME\n"
                f"{lsof_name} {pid} root 3u CHR 188,0 0t0 4 /dev/ttyUSB0\n"
                f"{lsof_name} {pid} root 4u CHR 188,0 0t0 4 /dev/ttyUSB0\n").encode()
    monkeypatch.setattr(doctor_holders, "_lsof", lambda port: lsof_out)
    [holder] = port_holders("/dev/ttyUSB0")
    assert (holder.pid, holder.command, holder.kind) == (pid, lsof_name, kind)
    assert holder.description == description.format(pid=pid)
    assert ("kill" in holder.advice) == (kind in ("bench", "other"))


def test_a_running_panel_is_named_in_the_verdict(capsys, tmp_path):
    # a stand-in panel, run as `python -m zq4180_panel PORT`, that holds the port
    (tmp_path / "zq4180_panel").mkdir()
    (tmp_path / "zq4180_panel" / "__main__.py").write_text(
        "import os, sys, time\nfd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\ntime.sleep(60)\n")
    with VirtualSupply(7, pacing=False) as supply:
        panel = subprocess.Popen([sys.executable, "-m", "zq4180_panel", supply.port], cwd=tmp_path,
                                 env=dict(os.environ, PYTHONPATH=str(tmp_path)))
        try:
            wait_until_held(supply.port)
            code, out, _ = doctor(capsys, supply.port)
        finally:
            panel.kill()
            panel.wait()
    assert code == 1
    assert f"is held by zq4180-panel (PID {panel.pid}): use its API" in out
    assert "JSON API" in out

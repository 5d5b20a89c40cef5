"""zq4180-doctor against virtual supplies in each failure state, and beyond."""
import grp
import os
import pathlib
import pwd
import subprocess
import sys
import types

import pytest

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

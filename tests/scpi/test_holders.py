"""A port held by the SCPI server (alone or inside the panel) is named as such."""
import shutil

import pytest

from zq4180_doctor import holders as doctor_holders, port_holders


@pytest.mark.parametrize("argv, lsof_name, description", [
    (["/usr/bin/python3", "/usr/local/bin/zq4180-scpi", "bench-a"], "python3",
     "held by zq4180-scpi (PID {pid}): use its SCPI port"),
    (["python3", "-m", "zq4180_scpi", "--sim", "2"], "python3", "held by zq4180-scpi (PID {pid}): use its SCPI port"),
    ([], "zq4180-sc", "held by zq4180-scpi (PID {pid}): use its SCPI port"),   # no /proc: lsof's 9 characters
    (["/usr/local/bin/zq4180-panel", "/dev/ttyUSB0", "--scpi", "127.0.0.1:5025"], "python3",
     "held by zq4180-panel (PID {pid}): use its API or its SCPI port"),
    (["/usr/local/bin/zq4180-panel", "/dev/ttyUSB0", "--scpi=127.0.0.1:0"], "python3",
     "held by zq4180-panel (PID {pid}): use its API or its SCPI port"),
])
def test_scpi_holders_recognised(monkeypatch, argv, lsof_name, description):
    pid = 4343
    monkeypatch.setattr(doctor_holders, "_command_line", lambda p: argv if p == pid else [])
    lsof_out = (f"COMMAND  PID USER FD TYPE DEVICE SIZE/OFF NODE NAME\n"
                f"{lsof_name} {pid} root 3u CHR 188,0 0t0 4 /dev/ttyUSB0\n").encode()
    monkeypatch.setattr(doctor_holders, "_lsof", lambda port: lsof_out)
    [holder] = port_holders("/dev/ttyUSB0")
    assert holder.description == description.format(pid=pid)
    assert "kill" not in holder.advice


@pytest.mark.skipif(shutil.which("lsof") is None, reason="needs lsof")
def test_a_running_server_is_named_by_the_doctor_and_the_open(virtual_supplies):
    import os
    import subprocess
    import sys

    from zq4180_bench import OpenError, open_supply
    sim = virtual_supplies(1, pacing=False, load_ohms=10.0)
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    env = dict(os.environ, PYTHONPATH=os.path.join(root, "python"))
    proc = subprocess.Popen([sys.executable, "-m", "zq4180_scpi", sim.port, "--listen", "127.0.0.1:0"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert proc.stdout.readline().startswith("S1 TCPIP0::127.0.0.1::")
        [holder] = port_holders(sim.port)
        assert holder.kind == "scpi" and holder.pid == proc.pid
        with pytest.raises(OpenError, match=r"busy: held by zq4180-scpi \(PID \d+\): use its SCPI port"):
            open_supply(sim.port, config=None, safe_end="never")
    finally:
        proc.terminate()
        proc.communicate(timeout=30)

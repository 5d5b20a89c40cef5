"""The command line: usage errors, supplies that cannot be served, names from the configuration."""

import os
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("nicegui", reason="the panel extra is not installed")

from .helpers import changes_sent  # noqa: E402


def run_panel(args, cwd, env_extra=None):
    env = {k: v for k, v in os.environ.items() if k not in ("ZQ4180_PORT", "ZQ4180_CONFIG")}
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-m", "zq4180_panel", *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=60)


@pytest.mark.parametrize("args, status, fragment", [
    (["--sim", "1", "--port", "http"], 2, "--port is the web server's port number"),
    (["--sim", "1", "--port", "70000"], 2, "not a TCP port"),
    (["--sim-load", "led", "/dev/null"], 2, "--sim-load goes with --sim"),
    ([], 2, "name at least one supply"),
    (["--sim", "1", "--sim-load", "banana"], 2, "--sim-load"),
    (["--sim", "1", "--max-voltage", "-1"], 2, "0 or more"),
    (["/no/such/port"], 1, "no such port"),
    (["no-such-name"], 1, "no-such-name"),
])
def test_refused_command_lines_print_no_address(tmp_path, config_file, args, status, fragment):
    done = run_panel([*args, "--config", str(config_file)], tmp_path)
    assert done.returncode == status, done.stderr
    assert done.stdout == "" and fragment in done.stderr


def test_busy_tcp_port(tmp_path, config_file, make_supply, make_panel):
    first = make_panel(make_supply().port)
    done = run_panel([make_supply().port, "--port", str(first.port), "--config", str(config_file)], tmp_path)
    assert done.returncode == 1 and "cannot listen" in done.stderr and done.stdout == ""


def test_configured_names_limits_and_the_port_holder(tmp_path, make_supply, make_panel):
    named, plain = make_supply(), make_supply(serial_number="076787042")
    config = tmp_path / "bench.toml"
    config.write_text(f'[supplies.bench-a]\nport = "{named.port}"\nmax_voltage = 4.0\n')
    panel = make_panel("bench-a", "--max-current", "1", plain.port, config=config)    # options between names
    listed = panel.supplies()
    assert [s["id"] for s in listed] == ["bench-a", "s2"]
    assert listed[0]["limits"]["max_voltage"]["value"] == 4.0 and listed[1]["limits"]["max_voltage"] is None
    assert [s["limits"]["max_current"]["value"] for s in listed] == [1.0, 1.0]
    status, _, answer = panel.post("/api/supplies/bench-a/settings", {"voltage": 4.5})
    assert status == 422 and "bench-a" in answer["detail"] and changes_sent(named) == []
    if shutil.which("lsof"):
        from zq4180_doctor.checks import port_holders
        holders = port_holders(named.port)
        assert [h.kind for h in holders] == ["panel"] and holders[0].pid == panel.proc.pid


def _ipv6_loopback() -> bool:
    import socket
    try:
        with socket.create_server(("::1", 0), family=socket.AF_INET6):
            return True
    except OSError:
        return False


@pytest.mark.parametrize("bind, first_host", [("0.0.0.0", "127.0.0.1"), ("::", "[::1]")])
def test_wildcard_bind_prints_an_address_a_browser_opens(make_supply, make_panel, tmp_path, bind, first_host):
    if ":" in bind and not _ipv6_loopback():
        pytest.skip("no IPv6 loopback")
    panel = make_panel(make_supply().port, "--host", bind)      # Panel connects to the first line's host
    assert panel.host == first_host and panel.request("GET", "/")[0] == 200
    err = panel.stderr()
    assert f"warning: listening on {bind if ':' not in bind else '[::]'}" in err
    assert f"logs in {tmp_path / 'logs'}" in err


# configuration files whose text would split the error over lines (the error names what it quotes)
ODD_CONFIGS = [
    ('[supplies."bench-a\\n"]\nport = "/dev/null"\n', "bench-a\\n"),
    ('[supplies."bench-a\\r\\nzq4180-panel: serving"]\nport = "/dev/null"\n', "bench-a\\r\\nzq4180-panel"),
]


@pytest.mark.parametrize("text, shown", ODD_CONFIGS)
def test_a_configuration_error_is_one_line(tmp_path, text, shown):
    config = tmp_path / "odd.toml"
    config.write_text(text)
    done = run_panel(["--sim", "1", "--config", str(config)], tmp_path)
    assert done.returncode == 2 and done.stdout == "", done.stderr
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("zq4180-panel: error: ")
    assert shown in done.stderr

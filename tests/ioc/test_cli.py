"""zq4180-ioc as a user starts it: its output, what starting and stopping change, who may write."""

import signal
import subprocess
import sys

import pytest

pytest.importorskip("softioc")
pytest.importorskip("caproto")

from .helpers import (INVALID, NO_ALARM, READS, Ca, answering, changes_sent, random_prefix,  # noqa: E402
                      wait_for)


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_stdout_has_one_line_per_supply_and_starting_changes_nothing(paced, make_ioc, sig):
    supplies = [paced(serial_number=sn) for sn in ("076787041", "076787042")]
    prefix = random_prefix()
    ioc, _ = make_ioc(*(s.port for s in supplies), expect=2, prefix=prefix)
    assert ioc.lines == [f"S1 {prefix}S1:", f"S2 {prefix}S2:"]
    for ca in ioc.cas:
        wait_for(lambda: answering(ca), what="first reading")
    assert ioc.stop(sig) == 0
    assert ioc.out.decode() == f"S1 {prefix}S1:\nS2 {prefix}S2:\n"      # nothing else on stdout
    err = ioc.stderr()
    assert "iocRun: All initialization complete" in err                # EPICS's own messages: stderr
    assert "EPICS_CA_ADDR_LIST=127.0.0.1 EPICS_CA_AUTO_ADDR_LIST=NO" in err
    assert "EPICS_PVA_ADDR_LIST=127.0.0.1 EPICS_PVA_AUTO_ADDR_LIST=NO" in err
    assert "warning: serving beyond loopback" not in err
    for supply in supplies:
        assert {e.request[2] for e in supply.exchanges} <= READS      # identity and status reads only


def test_configured_names_make_the_record_names(paced, make_ioc, tmp_path):
    supply = paced()
    config = tmp_path / "names.toml"
    config.write_text(f'[supplies.bench-a]\nport = "{supply.port}"\nmax_voltage = 5.0\n')
    prefix = random_prefix()
    ioc, _ = make_ioc(supply.port, "--config", config, prefix=prefix)
    assert ioc.lines == [f"bench-a {prefix}BENCH-A:"]
    ca = ioc.cas[0]
    wait_for(lambda: answering(ca), what="first reading")
    assert ca.read("VOLT:SP", "control").metadata.upper_disp_limit == pytest.approx(5.0)


def test_supply_absent_at_start_is_picked_up_when_it_appears(paced, make_ioc):
    present, absent = paced(serial_number="076787041"), paced(serial_number="076787042")
    absent.unplug()
    ioc, _ = make_ioc(present.port, absent.port, expect=2)
    first, second = ioc.cas
    wait_for(lambda: answering(first), what="the present supply")
    assert second.value("COMM") == 2
    assert second.alarm("VOLT:RBV")[0] == INVALID
    assert second.alarm("VOLT:SP")[0] == INVALID
    absent.replug()
    wait_for(lambda: answering(second), timeout=20, what="the absent supply to appear")
    wait_for(lambda: second.alarm("VOLT:SP") == (NO_ALARM, 0), what="its setpoints")
    assert second.value("VOLT:SP") == pytest.approx(5.0)
    assert changes_sent(absent) == []


def _denied(ca, record, value=1):
    return ca.put(record, value, timeout=5).status.name == "ECA_NOWTACCESS"


def test_read_only_refuses_every_write(paced, make_ioc):
    supply = paced()
    ioc, ca = make_ioc(supply.port, "--read-only")
    wait_for(lambda: answering(ca), what="first reading")
    for record in ("VOLT:SP", "CURR:SP", "VLIM:SP", "OUTP:SP", "OFF", "VOLT:RBV"):
        assert _denied(ca, record), record
    assert _denied(Ca(ioc.prefix), "ALL:OFF")
    assert ca.value("VOLT:RBV") == pytest.approx(5.0)
    assert changes_sent(supply) == []
    assert "read-only" in ioc.stderr()


def test_access_security_file(paced, make_ioc, tmp_path):
    supply = paced()
    acf = tmp_path / "bench.acf"
    acf.write_text("UAG(operators) { nobody_here }\n"
                   "ASG(DEFAULT) {\n    RULE(1, READ)\n    RULE(1, WRITE) { UAG(operators) }\n}\n"
                   "ASG(OPEN) {\n    RULE(1, READ)\n    RULE(1, WRITE)\n}\n")
    _, ca = make_ioc(supply.port, "--access-security", acf)
    wait_for(lambda: answering(ca), what="first reading")
    assert _denied(ca, "VOLT:SP") and _denied(ca, "OFF")
    assert _denied(ca, "VOLT:RBV")                     # readbacks stay read-only whatever the file says
    assert changes_sent(supply) == []


def test_unreadable_or_broken_access_security_file(paced, make_ioc, tmp_path, epics_env):
    supply = paced()
    broken = tmp_path / "broken.acf"
    broken.write_text("ASG(DEFAULT) {\n    RULE(1, READ)\n")
    for path, status, text in ((tmp_path / "missing.acf", 2, "missing.acf"),
                               (broken, 1, "could not be loaded")):
        proc = subprocess.run([sys.executable, "-m", "zq4180_ioc", supply.port, "--prefix", random_prefix(),
                               "--access-security", str(path), "--config", str(tmp_path / "zq4180.toml")],
                              capture_output=True, text=True, timeout=60)
        assert proc.returncode == status, proc.stderr
        assert text in proc.stderr
        assert proc.stdout == ""
    assert changes_sent(supply) == []


@pytest.mark.parametrize("prefix, text", [
    ("BAD PREFIX:", "characters EPICS does not allow"),
    ("P" * 60, "over EPICS's 60"),
])
def test_names_refused_at_start(paced, tmp_path, epics_env, prefix, text):
    supply = paced()
    (tmp_path / "zq4180.toml").write_text("")
    proc = subprocess.run([sys.executable, "-m", "zq4180_ioc", supply.port, "--prefix", prefix],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2
    assert text in proc.stderr
    assert proc.stdout == ""


def test_on_exit_off_switches_off_and_keep_leaves_it(paced, make_ioc):
    kept, switched = paced(serial_number="076787041"), paced(serial_number="076787042")
    for supply, on_exit in ((kept, "keep"), (switched, "off")):
        ioc, ca = make_ioc(supply.port, "--on-exit", on_exit)
        wait_for(lambda: answering(ca), what="first reading")
        ca.put("OUTP:SP", 1)
        assert ioc.stop() == 0
        assert supply.state.snapshot()["output_on"] == (on_exit == "keep")


def test_on_exit_off_unconfirmed_exits_1_naming_the_supply(paced, make_ioc):
    supply = paced()
    ioc, ca = make_ioc(supply.port, "--on-exit", "off")
    wait_for(lambda: answering(ca), what="first reading")
    ca.put("OUTP:SP", 1)
    supply.inject("no_reply", count=None)
    assert ioc.stop() == 1
    assert "S1: OUTPUT MAY STILL BE ON" in ioc.stderr()


def test_port_holder_is_named(paced, make_ioc):
    import shutil
    if shutil.which("lsof") is None:
        pytest.skip("lsof is not installed")
    from zq4180_doctor.checks import port_holders
    supply = paced()
    ioc, ca = make_ioc(supply.port)
    wait_for(lambda: answering(ca), what="first reading")
    holders = port_holders(supply.port)
    assert [h.kind for h in holders] == ["ioc"]
    assert holders[0].description == f"held by zq4180-ioc (PID {ioc.proc.pid}): use its EPICS records"
    assert f"{ioc.prefix}NAME:" in holders[0].advice
    assert holders[0].command.startswith("zq4180-io")          # the process's own name, for lsof


@pytest.mark.parametrize("args, env, named", [
    (["--interface", "127.0.0.1"], {}, "serving Channel Access on 127.0.0.1, pvAccess on 127.0.0.1"),
    ([], {"EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1"}, "EPICS_CAS_INTF_ADDR_LIST=127.0.0.1 (from the environment)"),
])
def test_interfaces_given_are_used_and_named(paced, make_ioc, args, env, named):
    supply = paced()
    ioc, ca = make_ioc(supply.port, *args, env=env)
    wait_for(lambda: answering(ca), what="first reading")
    assert named in ioc.stderr()
    assert "beyond loopback" not in ioc.stderr()

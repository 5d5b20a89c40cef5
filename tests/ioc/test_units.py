"""Record names, listening addresses, access-security rules and readings as record values."""

import pytest

from zq4180_bench.readings import Reading
from zq4180_ioc import network
from zq4180_ioc import readings as rv
from zq4180_ioc.names import RecordNameError, record_prefixes


@pytest.mark.parametrize("prefix, names, expected", [
    ("BENCH:", ["S1", "S2"], ["BENCH:S1:", "BENCH:S2:"]),
    ("BENCH:", ["bench-a"], ["BENCH:BENCH-A:"]),
    ("", ["x_1"], ["X_1:"]),
    ("LAB{1}:", ["S1"], None),
])
def test_record_prefixes(prefix, names, expected):
    if expected is None:
        with pytest.raises(RecordNameError, match="characters EPICS does not allow"):
            record_prefixes(prefix, names)
    else:
        assert record_prefixes(prefix, names) == expected


@pytest.mark.parametrize("names, text", [
    (["bench a"], "characters EPICS does not allow"),
    (["psu.1"], "characters EPICS does not allow"),
    (["Bench", "BENCH"], "differ only in case"),
    (["all"], "is taken"),
    (["ALL"], "is taken"),
    (["x" * 48], "over EPICS's 60"),
])
def test_record_names_refused(names, text):
    with pytest.raises(RecordNameError, match=text):
        record_prefixes("P:", names)


def test_longest_record_name_is_60_at_most():
    # "P:" + 37 characters + ":TEMP:ALARM" is 50; the longest field decides
    base = "Q" * (60 - len(":TEMP:ALARM"))
    assert record_prefixes("", [base]) == [base + ":"]
    with pytest.raises(RecordNameError):
        record_prefixes("", [base + "Q"])


@pytest.mark.parametrize("interfaces, env, ca, pva, source, loopback_only", [
    ([], {}, ("127.0.0.1",), ("127.0.0.1",), "loopback", True),
    (["127.0.0.2"], {}, ("127.0.0.2",), ("127.0.0.2",), "--interface", True),
    (["10.1.2.3", "127.0.0.1"], {}, ("10.1.2.3", "127.0.0.1"), ("10.1.2.3", "127.0.0.1"), "--interface", False),
    ([], {"EPICS_CAS_INTF_ADDR_LIST": "10.0.0.5"}, ("10.0.0.5",), ("127.0.0.1",), "environment", False),
    ([], {"EPICS_PVAS_INTF_ADDR_LIST": "::1"}, ("127.0.0.1",), ("::1",), "environment", True),
    ([], {"EPICS_CAS_INTF_ADDR_LIST": "0.0.0.0", "EPICS_PVAS_INTF_ADDR_LIST": "0.0.0.0"},
     ("0.0.0.0",), ("0.0.0.0",), "environment", False),
])
def test_where_the_servers_listen(interfaces, env, ca, pva, source, loopback_only):
    listening = network.choose(interfaces, env)
    assert (listening.ca, listening.pva, listening.source) == (ca, pva, source)
    assert listening.loopback_only == loopback_only
    assert (listening.warning() is None) == loopback_only
    variables = listening.environment(env)
    assert variables["EPICS_CAS_INTF_ADDR_LIST"] == " ".join(ca)
    assert variables["EPICS_PVAS_INTF_ADDR_LIST"] == " ".join(pva)
    if source == "environment":           # each variable given is named on stderr
        for name in env:
            assert any(name in note for note in listening.notes)


@pytest.mark.parametrize("interfaces, env, named", [
    (["nosuchhost.invalid"], {}, "--interface nosuchhost.invalid"),
    (["localhost"], {}, "--interface localhost"),
    (["10.0.0"], {}, "--interface 10.0.0"),
    (["::1"], {}, "IPv4 only"),                               # Channel Access cannot take it
    (["127.0.0.1:70000"], {}, "--interface 127.0.0.1:70000"),
    (["127.0.0.1", "bad"], {}, "--interface bad"),
    ([], {"EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1 nosuchhost"}, "EPICS_CAS_INTF_ADDR_LIST"),
    ([], {"EPICS_CAS_INTF_ADDR_LIST": "::1"}, "IPv4 only"),
    ([], {"EPICS_PVAS_INTF_ADDR_LIST": "[::1"}, "EPICS_PVAS_INTF_ADDR_LIST"),
])
def test_addresses_epics_cannot_use_are_refused(interfaces, env, named):
    # EPICS skips an address it cannot parse and then serves on every interface
    with pytest.raises(ValueError, match="every interface") as refused:
        network.choose(interfaces, env)
    assert named in str(refused.value)


@pytest.mark.parametrize("interfaces, env", [
    (["127.0.0.1:5064"], {}), (["0.0.0.0"], {}),
    ([], {"EPICS_PVAS_INTF_ADDR_LIST": "::1 [::1]:5075 127.0.0.1:5075"}),
])
def test_addresses_with_ports_are_taken(interfaces, env):
    network.choose(interfaces, env)


def test_interface_replacing_the_environment_is_named():
    listening = network.choose(["127.0.0.1"], {"EPICS_CAS_INTF_ADDR_LIST": "10.0.0.5"})
    assert listening.ca == ("127.0.0.1",)
    assert any("EPICS_CAS_INTF_ADDR_LIST=10.0.0.5" in note for note in listening.notes)


def test_client_settings_carry_the_ports():
    env = {"EPICS_CA_SERVER_PORT": "15064", "EPICS_PVAS_BROADCAST_PORT": "15076"}
    ca, pva = network.choose([], env).client_settings(env)
    assert ca == "EPICS_CA_ADDR_LIST=127.0.0.1 EPICS_CA_AUTO_ADDR_LIST=NO EPICS_CA_SERVER_PORT=15064"
    assert pva == "EPICS_PVA_ADDR_LIST=127.0.0.1 EPICS_PVA_AUTO_ADDR_LIST=NO EPICS_PVA_BROADCAST_PORT=15076"
    assert network.choose([], {}).client_settings({}) == [
        "EPICS_CA_ADDR_LIST=127.0.0.1 EPICS_CA_AUTO_ADDR_LIST=NO",
        "EPICS_PVA_ADDR_LIST=127.0.0.1 EPICS_PVA_AUTO_ADDR_LIST=NO"]


@pytest.mark.parametrize("address, loopback", [
    ("127.0.0.1", True), ("127.5.0.1", True), ("::1", True), ("[::1]", True), ("localhost", True),
    ("0.0.0.0", False), ("10.0.0.5", False), ("192.168.1.2:5064", False), ("::", False),
])
def test_is_loopback(address, loopback):
    assert network.is_loopback(address) == loopback


def test_access_security_rules(tmp_path):
    assert "RULE(1, WRITE)" in network.access_security_text(None, False)
    read_only = network.access_security_text(None, True)
    assert "WRITE" not in read_only.split("#", 1)[1].split("\n", 1)[1]
    path = tmp_path / "site.acf"
    path.write_text("ASG(DEFAULT) {\n    RULE(1, READ)\n}\n")
    text = network.access_security_text(str(path), False)
    assert text.startswith("ASG(DEFAULT)") and "ASG(ZQ4180_READBACK)" in text
    path.write_text("ASG( ZQ4180_READBACK ) {\n    RULE(1, READ)\n}\n")    # the file's own group wins
    assert network.access_security_text(str(path), False).count("ZQ4180_READBACK") == 1
    with pytest.raises(ValueError, match="missing.acf"):
        network.access_security_text(str(tmp_path / "missing.acf"), False)
    with pytest.raises(ValueError, match="is a directory"):
        network.access_security_text(str(tmp_path), False)


def _reading(**fields):
    base = dict(time="2026-12-09T01:00:00.250+00:00", elapsed_s=1.0, voltage_V=3.3, current_A=0.33,
                power_W=1.089, voltage_set_V=3.3, current_limit_A=0.5, voltage_max_V=8.0, output="on",
                regulation="CV", work_mode="remote", over_temperature=False, fan_speed=2)
    base.update(fields)
    return Reading(**base)


@pytest.mark.parametrize("fields, mode", [
    ({}, "CV"), ({"regulation": "CC"}, "CC"), ({"output": "off"}, "Off"),
    ({"output": "off", "regulation": "CV"}, "Off"), ({"regulation": "XX"}, "Off"),
])
def test_mode(fields, mode):
    assert rv.MODES_TEXT[rv.mode_index(_reading(**fields))] == mode


@pytest.mark.parametrize("work_mode, ctrl", [("remote", 1), ("local", 0), (None, 0)])
def test_control_readback(work_mode, ctrl):
    assert rv.readback_values(_reading(work_mode=work_mode))["CTRL"] == ctrl


def test_readback_and_setpoint_values():
    r = _reading(over_temperature=True)
    assert rv.readback_values(r) == {"VOLT:RBV": 3.3, "VOLT:MEAS": 3.3, "CURR:RBV": 0.5, "CURR:MEAS": 0.33,
                                     "VLIM:RBV": 8.0, "POW:MEAS": 1.089, "OUTP:RBV": 1, "MODE": 0,
                                     "TEMP:ALARM": 1, "FAN": 2, "CTRL": 1}
    assert rv.setpoint_values(r) == {"VOLT:SP": 3.3, "CURR:SP": 0.5, "VLIM:SP": 8.0, "OUTP:SP": 1}
    assert rv.timestamp(r) == pytest.approx(1796778000.25)


@pytest.mark.parametrize("old, new, differs", [
    (1.3333, 1.333, False), (1.3336, 1.333, True), (1.0004, 1.0, False), (1.0006, 1.0, True), (5.0, 5.0, False), (0, 1, True), (1, 1, False),
])
def test_setpoint_differs_by_whole_milli_units(old, new, differs):
    assert rv.differs(old, new) == differs


@pytest.mark.parametrize("status, code", [("ok", 0), ("no_reply", 1), ("no_port", 2), ("other_supply", 3)])
def test_comm_codes(status, code):
    assert rv.comm_code(status) == code


def test_identity_fits_a_stringin():
    line = rv.identity_line({"model": "4181", "SN": "076787041", "soft_version": 373})
    assert line == "4181, SN 076787041, FW 373"
    assert len(rv.identity_line({"model": "M" * 30, "SN": "S" * 30, "soft_version": 1})) <= 39


LONG = "voltage 12.000 V is over the limit 10.000 V (from --max-voltage)"


@pytest.mark.parametrize("text, short", [
    ("", ""),
    ("output off (confirmed)", "output off (confirmed)"),
    ("x" * 39, "x" * 39),                                   # fits exactly: not cut
    ("x" * 40, "x" * 36 + "..."),
    (LONG, LONG[:36] + "..."),
    ("é" * 30, "é" * 18 + "..."),                           # 60 bytes: cut on a whole character
    ("a" + "é" * 20, "a" + "é" * 17 + "..."),
])
def test_message_cut_to_a_stringin(text, short):
    assert rv.short_message(text) == short
    assert len(rv.short_message(text).encode()) <= 39

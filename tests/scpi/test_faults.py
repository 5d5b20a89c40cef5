"""Promises under faults: a lost reply, a silent supply, a vanished port, an off that jumps the queue,
many clients at once, clients that are not SCPI clients."""
import socket
import threading
import time
import urllib.error
import urllib.request

import pytest

from tests.bench.helpers import wait_for

pytest.importorskip("pyvisa")
pytest.importorskip("pyvisa_py")

OUTPUT = 0x21


def errors(inst):
    out = []
    for _ in range(20):
        entry = inst.query("SYST:ERR?")
        if entry.startswith("0,"):
            return out
        out.append(entry)
    raise AssertionError("the error queue does not empty")


def codes(inst):
    return [int(e.split(",", 1)[0]) for e in errors(inst)]


def test_the_off_is_confirmed_through_a_lost_reply(scpi_bench, visa):
    bench = scpi_bench()
    inst = visa(bench.resources[0])
    inst.write("APPL 5,1;:OUTP ON")
    assert inst.query("OUTP?") == "1"
    bench.sim.inject("no_reply", count=1, command=OUTPUT)    # the off's acknowledgement is lost
    inst.write("OUTP OFF")
    assert inst.query("OUTP?") == "0"
    assert codes(inst) == []
    assert not bench.sim.state.output_on


def test_an_off_that_cannot_be_confirmed_says_so(scpi_bench, visa):
    bench = scpi_bench()
    inst = visa(bench.resources[0], timeout_ms=20000)
    inst.write("APPL 5,1;:OUTP ON")
    inst.query("*OPC?")
    bench.sim.inject("no_reply", count=None)                 # the supply goes silent
    inst.write("OUTP OFF")
    entries = errors(inst)
    assert len(entries) == 1 and entries[0].startswith('-240,"Hardware error; S1: OUTPUT MAY STILL BE ON')
    bench.sim.clear_faults()


@pytest.mark.parametrize("off", ["OUTP OFF", "*RST"])
def test_an_off_that_meets_a_lost_port_is_hardware_missing(scpi_bench, visa, off):
    bench = scpi_bench()
    inst = visa(bench.resources[0], timeout_ms=30000)
    inst.write("APPL 5,1;:OUTP ON")
    assert inst.query("OUTP?") == "1"
    bench.sim.unplug()
    inst.write(off)
    entries = errors(inst)
    assert len(entries) == 1 and entries[0].startswith('-241,"Hardware missing; S1: OUTPUT MAY STILL BE ON'), entries
    bench.sim.replug()


@pytest.mark.parametrize("off", ["OUTP OFF", "*RST"])
def test_the_off_goes_ahead_of_queued_work(scpi_bench, visa, off):
    bench = scpi_bench(pacing=True)                          # 4800 baud: settings take a while
    others = [visa(bench.resources[0], timeout_ms=20000) for _ in range(4)]
    boss = visa(bench.resources[0], timeout_ms=20000)
    boss.write("APPL 5,1;:OUTP ON")
    assert boss.query("*OPC?") == "1"
    for k, inst in enumerate(others):
        inst.write(f"VOLT {k + 1};CURR 0.{k + 1}")           # queued behind each other on the one port
    time.sleep(0.2)
    start = time.monotonic()
    boss.write(off)
    assert boss.query("*OPC?") == "1"
    off_time = time.monotonic() - start
    assert not bench.sim.state.output_on
    results = [codes(inst) for inst in others]
    assert any(r == [-221] for r in results), results         # cancelled: the off went first
    assert off_time < 4 * 0.45 + (0.45 if off == "*RST" else 0)   # not behind four settings
    words = [r[2] for r in bench.sim.requests]
    off_at = max(i for i, w in enumerate(words) if w == OUTPUT)
    assert words[off_at + 1:].count(0x23) <= 1               # at most the setting that was running


def test_an_off_runs_to_its_end_when_its_client_leaves(scpi_bench):
    bench = scpi_bench(pacing=True)
    bench.sim.state.configure(output_on=True, remote=True)
    bench.sim.inject("no_reply", count=1, command=OUTPUT)    # so the off needs a second try
    with socket.create_connection(("127.0.0.1", bench.ports[0])) as s:
        s.sendall(b"OUTP OFF\n")
    assert wait_for(lambda: not bench.sim.state.output_on, timeout=10)
    assert wait_for(lambda: bench.station.worker.busy is None, timeout=10)


def test_opc_answers_after_the_settings_before_it_are_applied_and_read_back(scpi_bench, visa):
    bench = scpi_bench(pacing=True)
    inst = visa(bench.resources[0], timeout_ms=20000)
    inst.write("VOLT 3.3")
    inst.write("CURR 0.4")
    seen = len(bench.sim.requests)
    assert inst.query("*OPC?") == "1"
    state = bench.sim.state
    assert (state.voltage_set_mv, state.current_limit_ma) == (3300, 400)
    assert bench.sim.requests[-1][2] == 0x26 or len(bench.sim.requests) > seen   # read back after the last


@pytest.mark.parametrize("clients", [2, 10])
def test_concurrent_connections_never_cross_replies(scpi_bench, visa, clients):
    bench = scpi_bench()
    sessions = [visa(bench.resources[0], timeout_ms=30000) for _ in range(clients)]
    problems = []

    def client(k, inst):
        try:
            for round_ in range(3):
                inst.write(f"*ESE {k + 10 * round_}")
                inst.write(f"FOO{k}X{round_}")
                reply = inst.query("*ESE?;:MEAS:VOLT?;:SYST:ERR?")
                ese, volts, error = reply.split(";", 2)
                if ese != str(k + 10 * round_) or f"FOO{k}X{round_}" not in error:
                    problems.append((k, round_, reply))
                float(volts)
        except Exception as exc:  # reported below
            problems.append((k, repr(exc)))

    threads = [threading.Thread(target=client, args=(k, s)) for k, s in enumerate(sessions)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert problems == []
    assert all(inst.query("SYST:ERR?") == '0,"No error"' for inst in sessions)


def test_a_lost_port_answers_nan_and_241_then_recovers(scpi_bench, visa):
    bench = scpi_bench()
    inst = visa(bench.resources[0], timeout_ms=10000)
    inst.write("APPL 5,1;:OUTP ON")
    assert inst.query("MEAS:VOLT?") == "5.000"
    bench.sim.unplug()
    assert wait_for(lambda: bench.station.last() is not None and bench.station.last().status != "ok")
    assert inst.query("MEAS:VOLT?;CURR?") == "9.91E37;9.91E37"
    assert inst.query("APPL?") == "9.91E37,9.91E37"
    assert inst.query("STAT:QUES:COND?;*TST?") == "512;1"
    assert inst.query("FETC:VOLT?") == "9.91E37"
    entries = errors(inst)
    assert entries and all(e == '-241,"Hardware missing; port lost"' for e in entries)
    inst.write("VOLT 1")
    assert codes(inst) == [-241]
    bench.sim.replug()
    assert wait_for(lambda: inst.query("MEAS:VOLT?") != "9.91E37", timeout=15)
    inst.write("*CLS")                       # the -241s of the queries that met the port still closed
    assert inst.query("MEAS:VOLT?;:STAT:QUES:COND?") == "5.000;0"
    assert codes(inst) == []


def test_a_silent_supply_answers_nan_and_240(scpi_bench, visa):
    bench = scpi_bench()
    inst = visa(bench.resources[0], timeout_ms=20000)
    bench.sim.inject("no_reply", count=None)
    assert inst.query("MEAS:VOLT?") == "9.91E37"
    assert errors(inst) == ['-240,"Hardware error; the supply did not answer"']
    bench.sim.clear_faults()
    assert wait_for(lambda: inst.query("MEAS:VOLT?") == "0.000", timeout=15)


def _raw(port, data, timeout=5.0):
    """Send bytes, read until the server closes (or the timeout); what came back."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        chunks = []
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                chunks.append(chunk)
        except socket.timeout:
            chunks.append(b"<open>")
        except ConnectionResetError:     # closed with our bytes unread
            chunks.append(b"<reset>")
        return b"".join(chunks)


@pytest.mark.parametrize("method, body", [("GET", None), ("POST", b"VOLT 7\nOUTP ON\n"),
                                          ("PUT", b"*RST\n")])
def test_an_http_request_is_closed_with_nothing_run(scpi_bench, caplog, method, body):
    bench = scpi_bench()
    request = urllib.request.Request(f"http://127.0.0.1:{bench.ports[0]}/", data=body, method=method,
                                     headers={"Content-Type": "text/plain"})
    with pytest.raises((urllib.error.URLError, ConnectionError, OSError)):
        urllib.request.urlopen(request, timeout=5)
    time.sleep(0.3)
    assert bench.settings_sent() == 0
    assert bench.runner.listeners[0].http_refusals == 1
    assert any("HTTP request" in r.getMessage() and "127.0.0.1:" in r.getMessage() for r in caplog.records)


def test_a_header_line_later_on_closes_the_connection(scpi_bench):
    bench = scpi_bench()
    with socket.create_connection(("127.0.0.1", bench.ports[0]), timeout=5) as s:
        s.sendall(b"*IDN?\n")
        assert s.makefile("rb").readline() == b"ZQ4180,4181,076787041,373\n"
        s.sendall(b"Origin: http://x.example\nVOLT 7\n")
        try:
            assert s.recv(100) == b""
        except ConnectionResetError:
            pass
    time.sleep(0.2)
    assert bench.settings_sent() == 0


def test_a_long_line_is_refused_and_closed(scpi_bench, visa):
    bench = scpi_bench()
    reply = _raw(bench.ports[0], b"VOLT 1;" * 700 + b"\n*IDN?\n")
    assert reply.startswith(b'-363,"Input buffer overrun;') and reply.count(b"\n") == 1
    assert bench.settings_sent() == 0
    inst = visa(bench.resources[0])
    inst.write("*ESE 1;" * 584 + "VOLT 2")                  # 4094 bytes: taken
    assert inst.query("VOLT?") == "2.000"


def test_the_33rd_connection_is_refused(scpi_bench, visa):
    bench = scpi_bench()
    held = [socket.create_connection(("127.0.0.1", bench.ports[0])) for _ in range(32)]
    try:
        assert wait_for(lambda: bench.station.connections == 32)
        reply = _raw(bench.ports[0], b"")
        assert reply.startswith(b'-300,"Device-specific error; too many connections') and reply.endswith(b"\n")
    finally:
        for s in held:
            s.close()
    assert wait_for(lambda: bench.station.connections == 0)
    assert visa(bench.resources[0]).query("*OPC?") == "1"


def test_a_silent_client_costs_nothing(scpi_bench):
    bench = scpi_bench()
    held = [socket.create_connection(("127.0.0.1", bench.ports[0])) for _ in range(5)]
    try:
        assert wait_for(lambda: bench.station.connections == 5)
        before = len(bench.sim.requests)
        time.sleep(1.5)
        assert len(bench.sim.requests) - before <= 3        # the worker's own once-a-second reads only
    finally:
        for s in held:
            s.close()


def test_clients_outside_allow_from_are_closed(virtual_supplies):
    import ipaddress

    from zq4180_bench import open_supply
    from zq4180_scpi.runner import Background
    from zq4180_scpi.station import Station
    sim = virtual_supplies(1, pacing=False, load_ohms=10.0)
    supply = open_supply(sim.port, config=None, safe_end="never")
    station = Station("S1", supply).start()
    runners = [Background([station], "127.0.0.1", 0, allow_from=[ipaddress.ip_network(net)])
               for net in ("10.0.0.0/8", "127.0.0.0/8")]
    try:
        closed, open_ = (int(r.start()[0].split("::")[2]) for r in runners)
        assert _raw(closed, b"VOLT 3\n*IDN?\n") in (b"", b"<reset>")
        assert _raw(open_, b"*IDN?\n").startswith(b"ZQ4180,")
        assert sim.state.voltage_set_mv == 5000
    finally:
        for r in runners:
            r.stop()
        station.stop()
        supply.close()


@pytest.mark.parametrize("line, fault, expected", [
    ("VOLT 3", {"kind": "no_reply", "command": 0x23}, '-240,"Hardware error; the supply did not answer"'),
    ("CURR 0.7", {"kind": "ignore", "command": 0x24},
     '-240,"Hardware error; the current limit read back 1.000, not 0.700"'),
])
def test_a_setting_not_confirmed_is_a_hardware_error(scpi_bench, visa, line, fault, expected):
    bench = scpi_bench()
    inst = visa(bench.resources[0], timeout_ms=10000)
    inst.write("CURR 1;*OPC?")
    assert inst.read() == "1"
    bench.sim.inject(fault["kind"], count=1, command=fault["command"])
    inst.write(line + ";:OUTP ON")
    assert errors(inst) == [expected]
    assert inst.query("OUTP?") == "0"          # the rest of the line did not run

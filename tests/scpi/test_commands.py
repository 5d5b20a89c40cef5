"""Every command row through pyvisa-py, end to end: socket, server, worker, driver, pty, virtual supply."""
import pytest

pytest.importorskip("pyvisa")
pytest.importorskip("pyvisa_py")


def errors(inst):
    """Every queued error, oldest first (the queue is left empty)."""
    out = []
    for _ in range(20):
        entry = inst.query("SYST:ERR?")
        if entry.startswith("0,"):
            return out
        out.append(entry)
    raise AssertionError("the error queue does not empty")


def code(entry):
    return int(entry.split(",", 1)[0])


@pytest.fixture
def inst(scpi_bench, visa):
    bench = scpi_bench(max_voltage=12, max_current=2)
    session = visa(bench.resources[0])
    session.bench = bench
    return session


# lines written first, the query, the reply (a callable checks it)
ROWS = [
    ([], "*IDN?", "ZQ4180,4181,076787041,373"),
    ([], "*ESR?", "128"),                                   # power-on: a new connection
    (["*ESR?"], "*ESR?", "0"),
    (["*ESE 36"], "*ESE?", "36"),
    (["*SRE 255"], "*SRE?", "191"),                         # bit 6 cannot be enabled
    (["*ESR?", "*OPC"], "*ESR?", "1"),
    ([], "*OPC?", "1"),
    (["*WAI"], "SYST:ERR?", '0,"No error"'),
    ([], "*TST?", "0"),
    ([], "*STB?", "0"),
    (["FOO"], "*STB?", "4"),                                # error queue not empty
    (["*ESE 32", "FOO"], "*STB?", "36"),                    # + event summary (command error)
    (["*ESE 32", "*SRE 32", "FOO"], "*STB?", "100"),        # + master summary
    (["FOO", "*CLS"], "SYST:ERR:COUN?;*ESR?", "0;0"),
    (["FOO", "BAR"], "SYST:ERR:COUN?", "2"),
    (["FOO"], "SYSTem:ERRor:NEXT?", '-113,"Undefined header; FOO is not a command of this instrument"'),
    ([], "SYST:VERS?", "1999.0"),
    (["VOLT 5"], "VOLT?", "5.000"),
    (["SOURce:VOLTage:LEVel:IMMediate:AMPLitude 2.5"], "SOUR:VOLT:LEV:IMM:AMPL?", "2.500"),
    (["VOLT 1234mV"], "VOLT?", "1.234"),
    (["VOLT MAX"], "VOLT?", "12.000"),
    (["VOLT MIN"], "VOLT?", "0.000"),
    (["VOLT 3", "VOLT DEF"], "VOLT?", "0.000"),
    ([], "VOLT? MAX", "12.000"),
    ([], "VOLT? MIN", "0.000"),
    ([], "CURR? MAX", "2.000"),
    (["VOLT:LIM 8"], "VOLT:LIM?", "8.000"),
    (["SOUR:VOLT:LIM:LEV 9.5V"], "SOUR:VOLT:LIM:LEV?", "9.500"),
    (["CURR 0.25"], "CURR?", "0.250"),
    (["CURR 100MA"], "CURR?", "0.100"),
    (["CURRent:LEVel:IMMediate:AMPLitude 1.5A"], "CURRent?", "1.500"),
    (["APPL 3.3,0.5"], "APPL?", "3.300,0.500"),
    (["APPL 3.3,0.5", "APPL 4"], "APPL?", "4.000,0.500"),
    ([":APPly 3.3,0.5"], ":APPly?", "3.300,0.500"),
    ([], "OUTP?", "0"),
    (["OUTP ON"], "OUTP?", "1"),
    (["OUTPut 1"], "OUTPut?", "1"),
    (["OUTP:STAT ON", "OUTP OFF"], "OUTP:STAT?", "0"),
    (["OUTP ON", "OUTPut 0"], "OUTPut?", "0"),
    ([], "OUTP:MODE?", "OFF"),
    (["APPL 5,1", "OUTP ON"], "OUTP:MODE?", "CV"),           # 10 ohm: 0.5 A under the 1 A limit
    (["APPL 5,0.1", "OUTP ON"], "OUTP:MODE?", "CC"),
    (["APPL 5,1", "OUTP ON"], "MEAS:VOLT?", "5.000"),
    (["APPL 5,1", "OUTP ON"], "MEAS:CURR?", "0.500"),
    (["APPL 5,1", "OUTP ON"], "MEAS:POW?", "2.500"),
    (["APPL 5,1", "OUTP ON"], "MEASure:SCALar:VOLTage:DC?;CURRent:DC?;POWer:DC?", "5.000;0.500;2.500"),
    (["APPL 5,1", "OUTP ON"], ":MEAS:VOLT?;:MEAS:CURR?;:MEAS:POW?", "5.000;0.500;2.500"),
    (["APPL 5,1", "OUTP ON"], "STAT:OPER:COND?", "256"),
    (["APPL 5,0.1", "OUTP ON"], "STAT:OPER:COND?", "1024"),
    (["APPL 5,0.1", "OUTP ON"], "STAT:QUES:COND?", "2"),
    ([], "STATus:QUEStionable:CONDition?;STATus:OPERation:CONDition?", "0;0"),
    (["VOLT 5", "CURR 0.5"], "VOLT?;CURR?;:VOLT:LIM?", "5.000;0.500;30.000"),
    (["VOLT 5;CURR 0.5;:OUTP ON"], "OUTP?;:APPL?", "1;5.000,0.500"),
    (["volt 2;curr 0.3"], "apply?", "2.000,0.300"),
]


@pytest.mark.parametrize("writes, query, expected", ROWS)
def test_commands(inst, writes, query, expected):
    for line in writes:
        inst.query(line) if "?" in line else inst.write(line)
    assert inst.query(query) == expected
    if not any("FOO" in w for w in writes):
        assert errors(inst) == []


def test_identity_has_four_fields_and_no_comma_inside_any(inst):
    fields = inst.query("*IDN?").split(",")
    assert len(fields) == 4 and all(f and "," not in f for f in fields)
    assert fields[2] == inst.bench.sim.state.serial_number if hasattr(inst.bench.sim.state, "serial_number") \
        else fields[2] == "076787041"


def test_fetch_gives_the_latest_reading_without_an_exchange(inst):
    inst.write("APPL 5,1;:OUTP ON")
    assert inst.query("MEAS:VOLT?") == "5.000"
    before = len(inst.bench.sim.requests)
    assert inst.query("FETC:VOLT?;CURR?;POW?") == "5.000;0.500;2.500"
    assert inst.query("FETCh:SCALar:VOLTage:DC?") == "5.000"
    assert len(inst.bench.sim.requests) - before <= 1     # at most the worker's own once-a-second read


def test_one_status_exchange_answers_the_queries_of_a_line(inst):
    inst.write("APPL 5,1;:OUTP ON")
    inst.query("*OPC?")
    sim = inst.bench.sim
    before = sum(1 for r in sim.requests if r[2] == 0x26)
    assert inst.query("MEAS:VOLT?;CURR?;POW?;:OUTP?;:OUTP:MODE?;:APPL?") == "5.000;0.500;2.500;1;CV;5.000,1.000"
    reads = sum(1 for r in sim.requests if r[2] == 0x26) - before
    assert 1 <= reads <= 2                               # the line's own, and perhaps the worker's


def test_rst_switches_off_then_zero_volts_under_remote_control(inst):
    inst.write("VOLT:LIM 9;:APPL 5,0.7;:OUTP ON")
    inst.write("SYST:LOC")
    inst.write("*RST")
    assert inst.query("OUTP?;:VOLT?;:CURR?;:VOLT:LIM?") == "0;0.000;0.700;9.000"
    state = inst.bench.sim.state
    assert state.remote and not state.output_on
    assert errors(inst) == []


@pytest.mark.parametrize("line, remote", [("SYST:REM", True), ("SYST:LOC", False), ("SYSTem:RWLock", True),
                                          ("SYSTem:REMote;:SYSTem:LOCal", False)])
def test_remote_and_local_control(inst, line, remote):
    inst.write(line)
    assert inst.query("*OPC?") == "1"
    assert inst.bench.sim.state.remote is remote


def test_over_temperature_is_questionable_bit_4(scpi_bench, visa):
    bench = scpi_bench()
    bench.sim.state.configure(over_temperature=True)
    inst = visa(bench.resources[0])
    assert inst.query("STAT:QUES:COND?") == "16"


def test_limits_unset_give_the_supply_largest_values(scpi_bench, visa):
    inst = visa(scpi_bench().resources[0])
    assert inst.query("VOLT? MAX;:CURR? MAX;:VOLT:LIM? MAX") == "4294967.295;65.535;4294967.295"


# the line, the error number queued; nothing may reach the supply
REFUSED = [
    ("*RST?", -100), ("MEAS:VOLT 5", -100), ("OUTP:MODE CV", -100), ("*IDN", -100),
    ("VOLT$ 5", -102), ("VOLT 5 5", -102), ('VOLT "5', -102), (";VOLT 1", -102),
    ("VOLT ON", -104), ('VOLT "5"', -104), ("APPL 1,FOO", -104),
    ("VOLT 1,2", -108), ("*RST 1", -108), ("APPL 1,1,1", -108), ("MEAS:VOLT? 5", -108),
    ("VOLT", -109), ("APPL", -109), ("*ESE", -109), ("OUTP", -109),
    ("FOO 1", -113), ("SOUR:FOO 1", -113), ("VOLTS 1", -113),
    ("OUTP2 ON", -114), ("SOUR2:VOLT 1", -114),
    ("VOLT 5A", -131), ("CURR 1V", -131), ("OUTP 1V", -131),
    ("VOLT 50", -222), ("VOLT 12.001", -222), ("CURR 2.5", -222), ("VOLT:LIM 13", -222), ("APPL 5,3", -222),
    ("APPL 13,1", -222), ("VOLT -1", -222), ("*ESE 256", -222),
    ("OUTP MAYBE", -224), ("OUTP 2", -224), ("VOLT? FOO", -224),
]


@pytest.mark.parametrize("line, number", REFUSED)
def test_refused_commands_send_nothing(inst, line, number):
    bench = inst.bench
    inst.query("*OPC?")
    before = bench.settings_sent()
    inst.write(line)
    entries = errors(inst)
    assert [code(e) for e in entries] == [number], entries
    assert bench.settings_sent() == before


@pytest.mark.parametrize("line, number", [
    ("CURR 65.536", -222), ("CURR 70", -222), ("APPL 1,65536MA", -222), ("CURR 65535MA", 0), ("CURR MAX", 0),
])
def test_without_limits_a_current_over_what_the_supply_takes_sends_nothing(scpi_bench, visa, line, number):
    bench = scpi_bench()                       # no limits: only the supply's own 65.535 A bounds the current
    inst = visa(bench.resources[0])
    inst.query("*OPC?")
    before = bench.settings_sent()
    inst.write(line)
    assert [code(e) for e in errors(inst)] == ([number] if number else [])
    if number:
        assert bench.settings_sent() == before
    else:
        assert inst.query("CURR?") == "65.535"


def test_a_value_over_a_limit_names_the_limit(inst):
    inst.write("VOLT 50")
    assert errors(inst) == ['-222,"Data out of range; voltage 50.000 V is over the limit 12.000 V '
                            '(from --max-voltage)"']


@pytest.mark.parametrize("line, reply, number", [
    ("VOLT 1;FOO;VOLT 2", "1.000", -113),
    ("VOLT 1;VOLT 50;VOLT 2", "1.000", -222),
    ("VOLT 1;OUTP MAYBE;VOLT 2", "1.000", -224),
    ("VOLT 1;VOLT 5A;:OUTP ON", "1.000", -131),
])
def test_a_refused_command_ends_its_line(inst, line, reply, number):
    inst.write(line)
    assert inst.query("VOLT?") == reply
    assert inst.query("OUTP?") == "0"
    assert [code(e) for e in errors(inst)] == [number]


def test_queries_before_a_refused_command_still_reply(inst):
    assert inst.query("VOLT 2;VOLT?;FOO;VOLT?") == "2.000"
    assert [code(e) for e in errors(inst)] == [-113]


@pytest.mark.parametrize("standing, fix", [
    ({"volts": 15.0, "ceiling": 30.0}, "VOLT 12.000"),      # the set voltage over the limit
    ({"volts": 5.0, "amps": 3.0}, "CURR 2.000"),             # the standing current limit over its limit
])
def test_a_switch_on_over_a_limit_is_a_settings_conflict(inst, standing, fix):
    from tests.bench.helpers import set_state
    set_state(inst.bench.sim, **standing)
    before = inst.bench.settings_sent()
    inst.write("OUTP ON")
    entries = errors(inst)
    assert [code(e) for e in entries] == [-221], entries
    assert "over the limit" in entries[0] and fix in entries[0]
    assert inst.bench.settings_sent() == before
    assert not inst.bench.sim.state.output_on


def test_read_only_refuses_every_setting(scpi_bench, visa):
    bench = scpi_bench(read_only=True)
    inst = visa(bench.resources[0])
    for line in ("VOLT 1", "CURR 0.1", "VOLT:LIM 5", "APPL 1,0.1", "OUTP ON", "OUTP OFF", "*RST", "SYST:REM",
                 "SYST:LOC", "SYST:RWL"):
        inst.write(line)
        assert [code(e) for e in errors(inst)] == [-203], line
    assert inst.query("MEAS:VOLT?;:VOLT?;:OUTP?") == "0.000;5.000;0"
    inst.write("*ESE 4;*CLS")                                  # the connection's own registers still work
    assert inst.query("*ESE?") == "4"
    assert bench.settings_sent() == 0


def test_the_error_queue_overflows_into_350(inst):
    for _ in range(3):
        inst.write("FOO;BAR")                # one error a line: the refused command ends it
    for k in range(17):
        inst.write(f"FOO{k}")
    assert inst.query("SYST:ERR:COUN?") == "16"
    entries = errors(inst)
    assert [code(e) for e in entries] == [-113] * 15 + [-350]
    assert entries[-1] == '-350,"Queue overflow; 5 errors lost (the queue holds 16: read SYST:ERR? sooner)"'


def test_the_forms_existing_clients_send(inst):
    steps = [
        (":SOUR:VOLT 3.3", None), (":SOUR:VOLT?", "3.300"), (":SOUR:CURR 0.5", None), (":SOUR:CURR?", "0.500"),
        ("OUTPut 1", None), ("OUTPut?", "1"), (":MEAS:VOLT?", "3.300"), (":MEAS:CURR?", "0.330"),
        (":MEAS:POW?", "1.089"), ("OUTPut 0", None), ("OUTPut?", "0"), (":APPly 3.3,0.5", None),
        (":APPly?", "3.300,0.500"), ("SYST:ERR?", '0,"No error"'),
    ]
    for line, reply in steps:
        if reply is None:
            inst.write(line)
        else:
            assert inst.query(line) == reply, line

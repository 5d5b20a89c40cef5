"""The SCPI grammar alone: lines, headers, parameters, the command table, the error queue."""
import pytest

from zq4180_scpi.errors import ErrorQueue, ScpiError
from zq4180_scpi.parse import boolean, number, parse_command, register_value, split_line
from zq4180_scpi.server import http_like
from zq4180_scpi.table import resolve


def code_of(fn, *args):
    with pytest.raises(ScpiError) as info:
        fn(*args)
    return info.value.code


@pytest.mark.parametrize("line, parts", [
    ("MEAS:VOLT?;CURR?", ["MEAS:VOLT?", "CURR?"]),
    ('*IDN?;SYST:ERR?', ["*IDN?", "SYST:ERR?"]),
    ('X "a;b";Y', ['X "a;b"', "Y"]),
    ("X 'it''s;';Y", ["X 'it''s;'", "Y"]),
    ("VOLT 5", ["VOLT 5"]),
])
def test_lines_split_at_semicolons_outside_quotes(line, parts):
    assert split_line(line) == parts


def test_an_unclosed_string_is_a_syntax_error():
    assert code_of(split_line, 'X "abc') == -102


# typed header, previous path -> (handler, path for the next command)
RESOLVE = [
    ("VOLT", (), "voltage", ()),
    ("VOLTage", (), "voltage", ()),
    ("voltage", (), "voltage", ()),
    (":SOUR:VOLT", (), "voltage", ("SOUR",)),
    ("SOURce:VOLTage:LEVel:IMMediate:AMPLitude", (), "voltage", ("SOURCE", "VOLTAGE", "LEVEL", "IMMEDIATE")),
    ("VOLT:LEV", (), "voltage", ("VOLT",)),
    ("VOLT:LIM", (), "ceiling", ("VOLT",)),
    ("SOUR:VOLT:LIM:LEV", (), "ceiling", ("SOUR", "VOLT", "LIM")),
    ("CURR:AMPL", (), "current", ("CURR",)),
    ("MEAS:SCAL:VOLT:DC", (), "meas_voltage", ("MEAS", "SCAL", "VOLT")),
    ("MEASure:POWer", (), "meas_power", ("MEASURE",)),
    ("CURR", ("MEAS",), "meas_current", ("MEAS",)),        # stays under the previous path
    (":CURR", ("MEAS",), "current", ()),                   # a leading ':' starts from the root
    ("OUTP", ("SOUR",), "output", ()),                     # not under SOUR: found from the root
    ("CURR:DC", ("MEAS", "SCAL", "VOLT"), "meas_current", ("MEAS", "SCAL", "CURR")),   # a shorter path
    ("FETC:CURR:DC", (), "fetch_current", ("FETC", "CURR")),
    ("SYST:ERR", (), "error_next", ("SYST",)),
    ("SYSTem:ERRor:NEXT", (), "error_next", ("SYSTEM", "ERROR")),
    ("SYST:ERR:COUN", (), "error_count", ("SYST", "ERR")),
    ("SYST:RWL", (), "remote", ("SYST",)),
    ("STAT:QUES:COND", (), "questionable", ("STAT", "QUES")),
    ("STATus:OPERation:CONDition", (), "operation", ("STATUS", "OPERATION")),
    ("OUTP:STAT", (), "output", ("OUTP",)),
    ("OUTP:MODE", (), "output_mode", ("OUTP",)),
    ("APPL", (), "apply", ()),
    ("*idn", ("MEAS",), "idn", ("MEAS",)),                 # common commands keep the path
    ("OUTP1", (), "output", ()),
    ("SOUR1:VOLT", (), "voltage", ("SOUR",)),
]


@pytest.mark.parametrize("typed, path, handler, next_path", RESOLVE)
def test_headers_resolve_in_short_long_and_optional_forms(typed, path, handler, next_path):
    entry, after = resolve(parse_command(typed).header, path)
    assert entry.name == handler
    assert after == next_path


@pytest.mark.parametrize("typed, code", [
    ("FOO", -113), ("VOLTA", -113), ("VOL", -113), ("MEAS:VOLT:AC", -113), ("SYST:ERR:NEXT:COUN", -113),
    ("*FOO", -113), ("OUTP2", -114), ("SOUR3:VOLT", -114), ("MEAS:VOLT2", -114), ("SYST1:ERR", -114),
])
def test_unknown_headers_and_suffixes(typed, code):
    assert code_of(resolve, parse_command(typed).header, ()) == code


@pytest.mark.parametrize("text, code", [
    ("VOLT$ 5", -102), ("VOLT::CURR", -102), ("*", -102), ("", -102), ("   ", -102), ("VOLT 5 V V", -102),
    ("VOLT 1_5", -102), ("VOLT 5,,", -109), ("APPL ,1", -109), ("VOLT 'x", -102),
])
def test_malformed_commands(text, code):
    assert code_of(parse_command, text) == code


# parameter text, unit -> value in the parameter's own unit, or the error number
NUMBERS = [
    ("5", "V", 5.0), ("5.0", "V", 5.0), ("5E0", "V", 5.0), ("5e-1", "V", 0.5), (".5", "V", 0.5),
    ("+5", "V", 5.0), ("5V", "V", 5.0), ("5 V", "V", 5.0), ("500mV", "V", 0.5), ("500MV", "V", 0.5),
    ("2500uV", "V", 0.0025), ("0.1A", "A", 0.1), ("100MA", "A", 0.1), ("100ma", "A", 0.1),
    ("5A", "V", -131), ("1V", "A", -131), ("5XV", "V", -131), ("5", None, 5.0), ("5V", None, -131),
    ("-1", "V", -222), ("1E30", "V", -222), ("ON", "V", -104), ('"5"', "V", -104),
]


@pytest.mark.parametrize("text, unit, expected", NUMBERS)
def test_numbers_with_unit_suffixes(text, unit, expected):
    param = parse_command(f"VOLT {text}").params[0]
    if isinstance(expected, int) and expected < 0:
        assert code_of(number, param, unit, "VOLTage") == expected
    else:
        assert number(param, unit, "VOLTage") == pytest.approx(expected)


@pytest.mark.parametrize("text, expected", [
    ("ON", True), ("on", True), ("OFF", False), ("1", True), ("0", False), ("1.0", True),
    ("2", -224), ("MAYBE", -224), ("1V", -131), ('"ON"', -104),
])
def test_booleans(text, expected):
    param = parse_command(f"OUTP {text}").params[0]
    if isinstance(expected, bool):
        assert boolean(param, "OUTPut") is expected
    else:
        assert code_of(boolean, param, "OUTPut") == expected


@pytest.mark.parametrize("text, expected", [("0", 0), ("255", 255), ("32.4", 32), ("256", -222), ("-1", -222),
                                            ("X", -104)])
def test_register_values(text, expected):
    param = parse_command(f"*ESE {text}").params[0]
    if expected >= 0:
        assert register_value(param, "*ESE") == expected
    else:
        assert code_of(register_value, param, "*ESE") == expected


@pytest.mark.parametrize("line, first, expected", [
    ("GET / HTTP/1.1", True, True),
    ("POST /scpi HTTP/1.0", True, True),
    ("OPTIONS * HTTP/1.1", True, True),
    ("PRI * HTTP/2.0", True, True),
    ("Host: 127.0.0.1:5025", False, True),
    ("Origin: http://evil.example", False, True),
    ("Content-Type: text/plain", False, True),
    ("content-length:12", False, True),
    ("Sec-Fetch-Mode:cors", False, True),
    ("X-Anything: 1", False, True),
    ("MEAS:VOLT?", True, False),
    (":SOUR:VOLT 3.3", True, False),
    ("SYST:ERR?", False, False),
    ("*IDN?", True, False),
    ("OUTP:MODE?", True, False),
    ("VOLT 5;CURR 0.5", True, False),
    ("RANGE:AUTO ON", False, False),          # a SCPI keyword that is also an HTTP header's name
    ("Range: bytes=0-", False, True),
    ("HOST:NAME?", False, True),              # a browser's header name, even without the space
])
def test_http_requests_and_headers_are_recognised(line, first, expected):
    assert http_like(line, first) is expected


def test_the_error_queue_is_16_deep_and_ends_in_an_overflow():
    queue = ErrorQueue()
    assert queue.pop() == (0, "No error")
    for k in range(20):
        queue.push(-100 - k, f"e{k}")
    assert len(queue) == 16
    popped = [queue.pop() for _ in range(16)]
    assert popped[:15] == [(-100 - k, f"e{k}") for k in range(15)]
    assert popped[15] == (-350, "Queue overflow; 5 errors lost (the queue holds 16: read SYST:ERR? sooner)")
    assert queue.pop() == (0, "No error")


def test_error_texts_double_their_quotes():
    assert ErrorQueue.format((-102, 'Syntax error; "x"')) == '-102,"Syntax error; ""x"""'

"""Plain numbers: what a person may type for a setting, and what is refused."""
import pytest

from zq4180_bench.numbers import plain_number

ACCEPTED = [
    ("5", 5.0), ("0", 0.0), ("-0", 0.0), ("+3", 3.0), (" 12.5 ", 12.5), ("1.", 1.0), (".5", 0.5),
    ("2.5e-3", 0.0025), ("1E3", 1000.0), ("5\n", 5.0), ("4294967.295", 4294967.295),
    ("4294967.2954", 4294967.2954),  # rounds to the field's last count
]

REFUSED = [
    # (text, words the message must hold)
    ("1_5", "not a plain number"), ("0x10", "not a plain number"), ("inf", "not a plain number"),
    ("-inf", "not a plain number"), ("nan", "not a plain number"), ("Infinity", "not a plain number"),
    ("１２", "not a plain number"), ("٣", "not a plain number"), ("--1", "not a plain number"),
    ("", "empty"), ("   ", "empty"), (".", "not a plain number"), ("1e", "not a plain number"),
    ("1 5", "not a plain number"), ("5V", "not a plain number"), ("1,5", "not a plain number"),
    ("e3", "not a plain number"), ("+-1", "not a plain number"),
    ("-1", "negative"), ("-0.001", "negative"),
    ("1e308", "too large"), ("1e400", "too large"), ("4294967.2955", "too large"), ("4294968", "too large"),
]


@pytest.mark.parametrize("text, value", ACCEPTED)
def test_plain_numbers_are_taken(text, value):
    assert plain_number(text, "--voltage", "volts") == value


@pytest.mark.parametrize("text, reason", REFUSED)
def test_anything_else_is_refused_naming_the_option_and_the_text(text, reason):
    with pytest.raises(ValueError) as info:
        plain_number(text, "--current", "amperes")
    message = str(info.value)
    assert message.startswith("--current: ")
    assert reason in message
    if text.strip():
        assert repr(text) in message


def test_only_text_is_taken():
    with pytest.raises(ValueError, match="as text"):
        plain_number(5.0, "voltage", "volts")


# -- every input of the zq4180 command --------------------------------------------------

ODD = ["1_5", "0x10", "inf", "nan", "1e308", "１２", "", "1,5", "-2"]

# the command line with {n} where the number goes; the option named in the refusal
OPTIONS = [
    (["set", "{port}", "--voltage", "{n}"], "--voltage"),
    (["set", "{port}", "--current", "{n}"], "--current"),
    (["set", "{port}", "--current-limit", "{n}"], "--current"),
    (["set", "{port}", "--ceiling", "{n}"], "--ceiling"),
    (["--max-voltage", "{n}", "set", "{port}", "--voltage", "1"], "--max-voltage"),
    (["set", "{port}", "--voltage", "1", "--max-current", "{n}"], "--max-current"),
    (["watch", "{port}", "--interval", "{n}"], "--interval"),
    (["log", "{port}", "--csv", "x.csv", "--interval", "{n}"], "--interval"),
    (["log", "{port}", "--csv", "x.csv", "--duration", "{n}"], "--duration"),
    (["ramp", "{port}", "--to", "{n}", "--rate", "1"], "--to"),
    (["ramp", "{port}", "--to", "1", "--rate", "{n}"], "--rate"),
    (["ramp", "{port}", "--to", "1", "--step", "{n}", "--dwell", "1"], "--step"),
    (["ramp", "{port}", "--to", "1", "--step", "0.1", "--dwell", "{n}"], "--dwell"),
    (["ramp", "{port}", "--to", "1", "--rate", "1", "--max-step", "{n}"], "--max-step"),
    (["sweep", "{port}", "--from", "{n}", "--to", "1", "--step", "0.1", "--current", "0.1"], "--from"),
    (["sweep", "{port}", "--from", "0", "--to", "{n}", "--step", "0.1", "--current", "0.1"], "--to"),
    (["sweep", "{port}", "--from", "0", "--to", "1", "--step", "{n}", "--current", "0.1"], "--step"),
    (["sweep", "{port}", "--from", "0", "--to", "1", "--step", "0.1", "--current", "{n}"], "--current"),
    (["sweep", "{port}", "--from", "0", "--to", "1", "--step", "0.1", "--current", "0.1", "--settle", "{n}"],
     "--settle"),
    (["run", "{port}", "seq.csv", "--interval", "{n}"], "--interval"),
]


@pytest.mark.parametrize("number", ODD)
@pytest.mark.parametrize("argv, option", OPTIONS, ids=lambda v: "-".join(v[:1] + v[-2:]) if isinstance(v, list)
                         else None)
def test_odd_numerals_in_options_are_refused_with_nothing_sent(cli, supply, isolated, argv, option, number):
    (isolated / "seq.csv").write_text("voltage,current,seconds\n1,0.1,0.1\n")
    status, out, err = cli(*[a.format(port=supply.port, n=number) for a in argv])
    assert status == 2, err
    assert f"argument {option}" in err and repr(number) in err or (number == "" and option in err)
    assert "Traceback" not in err and out == ""
    assert supply.requests == []


@pytest.mark.parametrize("argv", [["--sim", "１", "status"], ["run", "{port}", "seq.csv", "--repeat", "1_0"],
                                  ["log", "{port}", "--csv", "x.csv", "--count", "0x1"],
                                  ["log", "{port}", "--csv", "x.csv", "--count", "２"]])
def test_odd_counts_are_refused(cli, supply, isolated, argv):
    (isolated / "seq.csv").write_text("voltage,current,seconds\n1,0.1,0.1\n")
    status, _, err = cli(*[a.format(port=supply.port) for a in argv])
    assert status == 2 and "not a whole number" in err
    assert supply.requests == []


SEQUENCE_COLUMNS = {"voltage": 0, "current": 1, "seconds": 2, "ramp": 4}


@pytest.mark.parametrize("number", ODD)
@pytest.mark.parametrize("column", sorted(SEQUENCE_COLUMNS))
def test_odd_numerals_in_a_sequence_file_name_the_line(cli, supply, isolated, column, number):
    cells = ["1", "0.1", "0.1", "on", "1"]
    cells[SEQUENCE_COLUMNS[column]] = f'"{number}"' if "," in number else number
    path = isolated / "seq.csv"
    path.write_text("voltage,current,seconds,output,ramp\n1,0.1,0.1,on,\n# a comment\n" + ",".join(cells) + "\n")
    status, out, err = cli("run", supply.port, path)
    if column == "ramp" and number == "":
        assert status == 0          # an empty ramp cell is a step, not a number
        return
    assert status == 2 and err.startswith(f"{path}:4: {column}") and out == ""
    if number == "" and column != "ramp":
        assert "missing" in err or "empty" in err
    else:
        assert repr(number) in err
    assert supply.requests == []

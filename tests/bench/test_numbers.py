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

"""Every configuration entry for a supply counts, whichever way it was named; bad limits and names
are refused where the file is read."""
import os

import pytest

from .helpers import READS, words

pytestmark = pytest.mark.bench


def write(isolated, body):
    path = isolated / "bench.toml"
    path.write_text(body)
    return path


@pytest.fixture
def two_names(supply, isolated):
    """(real path, symbolic link) of the virtual supply's port: two names of one device."""
    link = isolated / "by-id-link"
    link.symlink_to(os.path.realpath(supply.port))
    return os.path.realpath(supply.port), str(link)


ENTRIES = """
[supplies.bench-a]
port = "{link}"
max_voltage = 12

[supplies.strict]
port = "{real}"
max_voltage = 5

[supplies.by-serial]
serial = "076787041"
max_current = 0.2
"""


@pytest.mark.parametrize("target", ["bench-a", "strict", "{link}", "{real}", "{port}"])
def test_every_matching_entry_counts_however_the_supply_is_named(supply, isolated, two_names, target):
    from zq4180_bench import LimitError, open_supply
    real, link = two_names
    path = write(isolated, ENTRIES.format(link=link, real=real))
    with open_supply(target.format(link=link, real=real, port=supply.port), config=path,
                     safe_end="never") as bench:
        assert bench.limits.voltage.value == 5 and "[supplies.strict] max_voltage" in bench.limits.voltage.source
        assert bench.limits.current.value == 0.2
        supply.clear_log()
        with pytest.raises(LimitError, match=r"over the limit 5\.000 V .*\[supplies\.strict\]"):
            bench.apply(voltage=10)
        with pytest.raises(LimitError, match=r"over the limit 0\.200 A"):
            bench.apply(current=0.5)
    assert set(words(supply)) <= set(READS)


@pytest.mark.parametrize("target", ["076787041", "serial-only", "with-port", "{real}"])
def test_opening_by_serial_number_merges_entries_by_port_too(supply, isolated, two_names, target):
    from zq4180_bench import open_supply
    real, link = two_names
    path = write(isolated, f'[supplies.with-port]\nport = "{link}"\nserial = "076787041"\nmax_current = 0.2\n'
                           f'[supplies.strict]\nport = "{real}"\nmax_voltage = 5\n'
                           f'[supplies.serial-only]\nserial = "076787041"\nmax_voltage = 4\n')
    with open_supply(target.format(real=real), config=path, safe_end="never") as bench:
        assert (bench.limits.voltage.value, bench.limits.current.value) == (4, 0.2)
        assert bench.port == (real if target == "{real}" else link)


def test_two_entries_expecting_different_serial_numbers_refuse_to_open(supply, isolated, two_names):
    from zq4180_bench import ConfigError, open_supply
    real, link = two_names
    path = write(isolated, f'[supplies.a]\nport = "{link}"\nserial = "076787041"\n'
                           f'[supplies.b]\nport = "{real}"\nserial = "111111111"\n')
    for target in ("a", "b", link, real, "076787041"):
        with pytest.raises(ConfigError) as caught:
            open_supply(target, config=path, safe_end="never")
        assert "[supplies.a]" in str(caught.value) and "[supplies.b]" in str(caught.value)
        assert "'076787041'" in str(caught.value) and "'111111111'" in str(caught.value)
    assert supply.requests == []


# two URLs; whether they name one port
URLS = [
    ("rfc2217://localhost:7000", "rfc2217://localhost:7000", True),
    ("rfc2217://localhost:7000", "RFC2217://LocalHost:7000?ign_set_control", True),
    ("rfc2217://localhost:7000?logging=debug", "rfc2217://localhost:7000/?ign_set_control&timeout=1", True),
    ("rfc2217://localhost:7000", "rfc2217://localhost:7001", False),
    ("rfc2217://localhost:7000", "rfc2217://127.0.0.2:7000", False),
    ("rfc2217://localhost:7000", "socket://localhost:7000", False),
    ("rfc2217://[::1]:7000", "rfc2217://[::1]:7000?ign_set_control", True),
]


@pytest.mark.parametrize("configured, given, same", URLS)
def test_urls_match_by_scheme_host_and_port(isolated, configured, given, same):
    from zq4180_bench import plan_supply
    path = write(isolated, f'[supplies.remote]\nport = "{configured}"\nmax_voltage = 3\n')
    planned = plan_supply(given, config=path)
    assert planned.port == given and not planned.connected
    assert (planned.limits.voltage is not None and planned.limits.voltage.value == 3) is same
    if same:
        assert planned.name == "remote" and plan_supply("remote", config=path).port == configured


# a limit in the file; the reason given
BAD_LIMITS = [
    ("nan", "must be a finite number of volts, got nan"),
    ("inf", "must be a finite number of volts, got inf"),
    ("-inf", "must be a finite number of volts, got -inf"),
    ("-1", "must be 0 or more, got -1"),
    ("-0.5", "must be 0 or more, got -0.5"),
    ("1e10", "1e10 is too large for the wire (at most 4294967.295 volts)"),
    ("4294967.296", "4294967.296 is too large for the wire"),
    ('"5"', "must be a number of volts, got '5'"),
    ("true", "must be a number of volts, got True"),
]


@pytest.mark.parametrize("value, reason", BAD_LIMITS)
def test_a_bad_limit_in_the_file_is_refused_naming_file_table_and_key(isolated, value, reason):
    from zq4180_bench import ConfigError, load_config
    path = write(isolated, f"[supplies.bench]\nmax_voltage = {value}\n")
    with pytest.raises(ConfigError) as caught:
        load_config(path)
    text = str(caught.value)
    assert text.startswith(f"{path}: [supplies.bench] max_voltage: ")
    assert reason.replace("1e10", "10000000000.0") in text or reason in text


@pytest.mark.parametrize("name, ok", [("bench-a", True), ("a.b_c", True), ("bench\n", False), ("\nbench", False),
                                      ("-bench", False), ("bench a", False), ("", False), ("b\u00e9", False)])
def test_names_are_checked_as_whole_strings(isolated, name, ok):
    from zq4180_bench import ConfigError, load_config
    from zq4180_bench.config import NAME_RE
    assert bool(NAME_RE.match(name)) is ok and bool(NAME_RE.fullmatch(name)) is ok
    quoted = name.replace("\n", "\\n")
    path = write(isolated, f'[supplies."{quoted}"]\nmax_voltage = 1\n')
    if ok:
        assert name in load_config(path).supplies
    else:
        with pytest.raises(ConfigError, match="a supply's name may hold only"):
            load_config(path)

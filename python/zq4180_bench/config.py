"""The configuration file: named supplies with their ports, serial numbers and limits.

Looked for in this order: ``--config FILE``, ``$ZQ4180_CONFIG``, ``./zq4180.toml``,
then ``zq4180.toml`` in the user's configuration directory::

    [supplies.bench-a]
    port = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1ABC-if00-port0"
    serial = "076787041"
    max_voltage = 12.0
    max_current = 1.0
"""

from __future__ import annotations

import math
import os
import re
import tomllib
import urllib.parse
from dataclasses import dataclass, field
from pathlib import Path
from typing import Mapping

from .limits import MAX_MILLI, Limit, Limits, fits_wire

FILE_NAME = "zq4180.toml"
#: a supply's name, as a whole string (``\Z``: a trailing newline does not pass, as it would with ``$``)
NAME_RE = re.compile(r"\A[A-Za-z0-9][A-Za-z0-9._-]*\Z")
SUPPLY_KEYS = ("port", "serial", "max_voltage", "max_current")


class ConfigError(Exception):
    """A configuration file that cannot be used; the text names file and line, or table and key."""


@dataclass(frozen=True)
class SupplyEntry:
    name: str
    port: str | None = None
    serial: str | None = None
    max_voltage: float | None = None
    max_current: float | None = None
    source: str = ""         # "FILE [supplies.NAME]"

    def limits(self) -> Limits:
        return Limits(
            None if self.max_voltage is None else Limit(self.max_voltage, f"{self.source} max_voltage"),
            None if self.max_current is None else Limit(self.max_current, f"{self.source} max_current"))


@dataclass(frozen=True)
class Config:
    path: Path | None = None
    supplies: dict[str, SupplyEntry] = field(default_factory=dict)

    def by_name(self, name: str) -> SupplyEntry | None:
        return self.supplies.get(name)

    def by_serial(self, serial: str) -> list[SupplyEntry]:
        return [e for e in self.supplies.values() if e.serial is not None and e.serial == serial]

    def by_port(self, port: str) -> list[SupplyEntry]:
        """Entries whose port is the same device (symbolic links resolved) or the same
        URL (scheme, host and port, whatever their case and query options)."""
        want = same_port_key(port)
        return [e for e in self.supplies.values() if e.port is not None and same_port_key(e.port) == want]


def same_port_key(port: str) -> str:
    """What two names of one port share: the real path of a device, or a URL's scheme, host and port."""
    if "://" in port:
        try:
            parts = urllib.parse.urlsplit(port)
            host, number = parts.hostname or "", parts.port
        except ValueError:      # a malformed port number: compare the text
            return port.lower()
        if ":" in host:
            host = f"[{host}]"
        return f"{parts.scheme.lower()}://{host.lower()}:{number}"
    try:
        return os.path.realpath(port)
    except (OSError, ValueError):
        return port


def find_config_file(path: str | os.PathLike | None = None, env: dict | None = None) -> Path | None:
    """The file to read: an explicit one must exist; the others are used when present."""
    environ: Mapping[str, str] = os.environ if env is None else env
    if path is not None:
        p = Path(path)
        if not p.is_file():
            raise ConfigError(f"{p}: {'a folder, not a' if p.is_dir() else 'no such'} configuration file")
        return p
    if environ.get("ZQ4180_CONFIG"):
        p = Path(environ["ZQ4180_CONFIG"])
        if not p.is_file():
            raise ConfigError(f"{p}: no such configuration file (from ZQ4180_CONFIG)")
        return p
    local = Path(FILE_NAME)
    if local.is_file():
        return local
    try:
        import platformdirs
    except ImportError:  # a minimal install: no user configuration directory
        return None
    user = Path(platformdirs.user_config_dir("zq4180")) / FILE_NAME
    return user if user.is_file() else None


def load_config(path: str | os.PathLike | None = None, env: dict | None = None) -> Config:
    """Read the configuration file (an empty configuration when there is none)."""
    p = find_config_file(path, env)
    if p is None:
        return Config()
    try:
        text = p.read_bytes().decode("utf-8")
    except OSError as exc:
        raise ConfigError(f"{p}: cannot read: {exc.strerror or exc}") from None
    except UnicodeDecodeError:
        raise ConfigError(f"{p}: not UTF-8 text") from None
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        raise ConfigError(_syntax_error(p, exc, text)) from None
    return parse_config(data, p)


def _syntax_error(path: Path, exc: tomllib.TOMLDecodeError, text: str) -> str:
    message = str(exc)
    m = re.search(r"\(at line (\d+), column (\d+)\)", message)
    if m:
        reason = message[:m.start()].strip()
        return f"{path}:{m.group(1)}: {reason} (column {m.group(2)})"
    m = re.search(r"\(at end of document\)", message)
    if m:
        lines = max(1, len(text.splitlines()))
        return f"{path}:{lines}: {message[:m.start()].strip()} (at end of file)"
    return f"{path}: {message}"


def parse_config(data: dict, path: Path | None = None) -> Config:
    where = str(path) if path is not None else "configuration"
    for key in data:
        if key != "supplies":
            raise ConfigError(f"{where}: unknown key {key!r} (the file holds [supplies.NAME] tables)")
    tables = data.get("supplies", {})
    if not isinstance(tables, dict):
        raise ConfigError(f"{where}: 'supplies' must be a table of [supplies.NAME] tables")
    supplies: dict[str, SupplyEntry] = {}
    for name, table in tables.items():
        title = f"[supplies.{name}]"
        if not isinstance(table, dict):
            raise ConfigError(f"{where}: supplies.{name} must be a table ({title})")
        if not NAME_RE.fullmatch(name):
            raise ConfigError(f"{where}: {title}: a supply's name may hold only letters, digits, "
                              f"'.', '_' and '-' (it is used in URLs)")
        for key in table:
            if key not in SUPPLY_KEYS:
                raise ConfigError(f"{where}: {title}: unknown key {key!r} "
                                  f"(known: {', '.join(SUPPLY_KEYS)})")
        values: dict = {}
        for key in ("port", "serial"):
            if key in table:
                value = table[key]
                if not isinstance(value, str) or not value.strip():
                    raise ConfigError(f"{where}: {title}: {key} must be a non-empty string, got {value!r}")
                values[key] = value
        for key, unit in (("max_voltage", "volts"), ("max_current", "amperes")):
            if key in table:
                reason = _limit_problem(table[key], unit)
                if reason is not None:
                    raise ConfigError(f"{where}: {title} {key}: {reason}")
                values[key] = float(table[key])
        supplies[name] = SupplyEntry(name=name, source=f"{where} {title}", **values)
    return Config(path=path, supplies=supplies)


def _limit_problem(value, unit: str) -> str | None:
    """Why a configured limit cannot be used, or None."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return f"must be a number of {unit}, got {value!r}"
    if not math.isfinite(value):
        return f"must be a finite number of {unit}, got {value!r}"
    if value < 0:
        return f"must be 0 or more, got {value!r}"
    if not fits_wire(value):
        return f"{value!r} is too large for the wire (at most {MAX_MILLI / 1000:.3f} {unit})"
    return None

"""Opening a supply by port, URL, configured name or serial number, with every matching
configuration entry's limits (the stricter wins), and the reason when it does not open."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Callable, Mapping

from .config import Config, ConfigError, SupplyEntry, load_config
from .errors import OpenError
from .limits import Limits

if TYPE_CHECKING:
    from .link import Link
    from .supply import Supply


def resolve_target(target: str | None, config: Config, env: dict | None = None) -> tuple[str, SupplyEntry | None]:
    """(port, configuration entry) for a port, URL, configured name or serial number."""
    port, entry, _ = matching_entries(target, config, env)
    return port, entry


def matching_entries(target: str | None, config: Config,
                     env: dict | None = None) -> tuple[str, SupplyEntry | None, list[SupplyEntry]]:
    """(port, the entry the target names, every entry for the same supply).

    An entry counts when it matches by name, by the port's real path (a URL: by scheme,
    host and port) or by serial number, and so on from each entry found. ConfigError when
    two of them expect different serial numbers."""
    environ: Mapping[str, str] = os.environ if env is None else env
    if target is None or target == "":
        target = environ.get("ZQ4180_PORT") or None
        if target is None:
            raise OpenError("no PORT given and ZQ4180_PORT is not set (see zq4180 list)")
    named = config.by_name(target)
    by_serial = [] if named is not None else config.by_serial(target)
    seeds = [named] if named is not None else by_serial or config.by_port(target)
    entries = _closure(config, seeds, None if (named is not None or by_serial) else target)
    if named is not None:
        port = named.port or next((e.port for e in entries if e.port), None)
        if port is None:
            raise OpenError(f"{named.source} has no port")
    elif by_serial:
        port = next((e.port for e in by_serial if e.port), None) or next((e.port for e in entries if e.port), None)
        if port is None:
            raise OpenError(f"serial number {target} is {by_serial[0].source}, which has no port")
    else:
        port = target
    entries = _closure(config, entries, port)
    _check_serials(entries, port)
    return port, named or (by_serial[0] if by_serial else None), entries


def _closure(config: Config, seeds: list[SupplyEntry], port: str | None) -> list[SupplyEntry]:
    found: list[SupplyEntry] = []
    todo = list(seeds) + (config.by_port(port) if port is not None else [])
    while todo:
        e = todo.pop(0)
        if e in found:
            continue
        found.append(e)
        if e.port is not None:
            todo += config.by_port(e.port)
        if e.serial is not None:
            todo += config.by_serial(e.serial)
    return found


def _check_serials(entries: list[SupplyEntry], port: str) -> None:
    with_serial = [e for e in entries if e.serial is not None]
    for e in with_serial[1:]:
        if e.serial != with_serial[0].serial:
            first = with_serial[0]
            raise ConfigError(f"{first.source} expects serial number {first.serial!r} and {e.source} expects "
                              f"{e.serial!r} for the same supply ({port}): correct the configuration")


def merge_by_serial(supply: "Link", config: Config, serial: str | None) -> None:
    """At the first open: the limits of entries that name the serial number read (and of
    entries without a serial number that name their port)."""
    if not serial:
        return
    entries = [e for e in _closure(config, config.by_serial(serial), None) if e.serial in (None, serial)]
    for e in entries:
        supply.limits = supply.limits.merged(e.limits())
        if supply.name is None:
            supply.name = e.name


def plan_supply(target: str | None = None, *, limits: Limits | None = None,
                config: Config | str | os.PathLike | None = None, safe_end: str = "always",
                env: dict | None = None, driver_factory: Callable[[str], Any] | None = None) -> "Supply":
    """The :class:`Supply` that :func:`open_supply` would open, not yet connected: the limits
    of every matching entry merged; those that match the serial number read are merged
    when it first opens."""
    from .supply import Supply
    if not isinstance(config, Config):
        config = load_config(config, env)
    port, entry, entries = matching_entries(target, config, env)
    merged = limits or Limits()
    for e in entries:
        merged = merged.merged(e.limits())
    names = list(dict.fromkeys(e.name for e in entries))
    supply = Supply(port, name=entry.name if entry else (names[0] if len(names) == 1 else None),
                    limits=merged, safe_end=safe_end, expected_serial=next((e.serial for e in entries if e.serial),
                                                                           None),
                    driver_factory=driver_factory)
    supply.config = config
    return supply


def open_supply(target: str | None = None, *, limits: Limits | None = None,
                config: Config | str | os.PathLike | None = None, safe_end: str = "always",
                env: dict | None = None, driver_factory: Callable[[str], Any] | None = None) -> "Supply":
    """Open a supply by port, ``rfc2217://`` URL, configured name or serial number.

    Limits: the stricter of ``limits`` and those of every configuration entry for the
    supply, however it was named: by name, by the port's real path (a URL by scheme, host
    and port), or by serial number (given, configured or read at open). Two entries that
    expect different serial numbers: ConfigError. Returns a connected :class:`Supply`, a
    context manager whose exit runs the safe end as ``safe_end`` says.
    """
    supply = plan_supply(target, limits=limits, config=config, safe_end=safe_end, env=env,
                         driver_factory=driver_factory)
    supply.connect()
    return supply


def failed_open_reason(port: str, printed: list[str],
                       before_diagnosis: Callable[[], None] | None = None) -> str:
    """The reason alone: "no such port ...", "busy: held by NAME (PID n) ...", "silence: ...",
    "not this kind of supply: ...", "does not open: ..."."""
    text = " ".join(printed)
    if "://" not in port and not os.path.exists(port):
        return "no such port (see zq4180 list)"
    if "already opened" in text:
        return f"busy: {_holders_text(port)}"
    if "Cannot open serial port" in text:
        reason = text.split("Cannot open serial port", 1)[1].strip()
        return f"does not open: {reason}" if reason else "does not open"
    if before_diagnosis is None:
        return "no valid identity reply (silent, or not this kind of supply)"
    before_diagnosis()
    try:
        from zq4180_doctor.checks import diagnose
        for result in diagnose(port):
            if result.status == "FAIL":
                prefix = {"model": "not this kind of supply: ", "holders": "busy: "}.get(result.name, "")
                return prefix + result.text
    except Exception:
        pass
    return f"no valid identity reply (silent, or not this kind of supply; zq4180-doctor {port} tells more)"


def _holders_text(port: str) -> str:
    try:
        from zq4180_doctor import checks
        holders = checks.port_holders(port)
        if holders:
            return "; ".join(h.description + (f" ({h.advice})" if h.kind == "bridge" else "")
                             for h in holders)
    except Exception:
        pass
    return f"another process holds it (zq4180-doctor {port} names it)"

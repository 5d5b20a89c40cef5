"""Who can reach the IOC: the interfaces its servers listen on, the settings a client on this
machine needs, and the access-security file."""

from __future__ import annotations

import ipaddress
import os
import tempfile
from dataclasses import dataclass

CA_INTF, PVA_INTF = "EPICS_CAS_INTF_ADDR_LIST", "EPICS_PVAS_INTF_ADDR_LIST"
LOOPBACK = "127.0.0.1"

READBACK_ASG = "ZQ4180_READBACK"
#: readbacks are read-only to every client, whatever else a file allows
READBACK_RULES = f"""
ASG({READBACK_ASG}) {{
    RULE(1, READ)
}}
"""
#: setpoints and OFF writable, readbacks read-only: what the IOC loads unless told otherwise
DEFAULT_ACF = """\
# zq4180-ioc: clients may read every record and write the setpoints, OFF and ALL:OFF
ASG(DEFAULT) {
    RULE(1, READ)
    RULE(1, WRITE)
}
""" + READBACK_RULES
#: every record readable, none writable: what ``--read-only`` loads
READ_ONLY_ACF = """\
# zq4180-ioc --read-only: clients may read every record and write none
ASG(DEFAULT) {
    RULE(1, READ)
}
""" + READBACK_RULES

# server ports a client must share when they are not EPICS's defaults
_CA_PORTS = ("EPICS_CA_SERVER_PORT", "EPICS_CA_REPEATER_PORT")
_PVA_PORTS = (("EPICS_PVA_SERVER_PORT", "EPICS_PVAS_SERVER_PORT"),
              ("EPICS_PVA_BROADCAST_PORT", "EPICS_PVAS_BROADCAST_PORT"))


def is_loopback(address: str) -> bool:
    host = address.strip().strip("[]").rsplit("%", 1)[0]
    if ":" in host and host.count(":") == 1:      # 127.0.0.1:5064
        host = host.split(":", 1)[0]
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return host == "localhost"


@dataclass(frozen=True)
class Listening:
    """Where Channel Access and pvAccess listen, and where that choice came from."""
    ca: tuple[str, ...]
    pva: tuple[str, ...]
    source: str                  # "loopback" (the default), "--interface" or "environment"
    notes: tuple[str, ...] = ()  # what stderr names about it

    @property
    def loopback_only(self) -> bool:
        return all(is_loopback(a) for a in self.ca + self.pva)

    def environment(self, env: dict[str, str]) -> dict[str, str]:
        """The variables EPICS reads at start, for the servers to listen where chosen (beacons too,
        when only loopback is served)."""
        out = {CA_INTF: " ".join(self.ca), PVA_INTF: " ".join(self.pva)}
        if self.loopback_only:
            for name, value in (("EPICS_CAS_AUTO_BEACON_ADDR_LIST", "NO"), ("EPICS_CAS_BEACON_ADDR_LIST", LOOPBACK),
                                ("EPICS_PVAS_AUTO_BEACON_ADDR_LIST", "NO"),
                                ("EPICS_PVAS_BEACON_ADDR_LIST", LOOPBACK)):
                if name not in env:
                    out[name] = value
        return out

    def warning(self) -> str | None:
        if self.loopback_only:
            return None
        beyond = sorted({a for a in self.ca + self.pva if not is_loopback(a)})
        return (f"warning: serving beyond loopback ({', '.join(beyond)}): anyone who reaches this machine can "
                f"read every record and, unless --read-only or --access-security says otherwise, change "
                f"setpoints and switch outputs")

    def client_settings(self, env: dict[str, str]) -> list[str]:
        """What a client on this machine needs in its environment (a default caget searches the
        LAN broadcast, which a loopback-only server never hears)."""
        ca_host = _client_host(self.ca)
        pva_host = _client_host(self.pva)
        ca = [f"EPICS_CA_ADDR_LIST={ca_host}", "EPICS_CA_AUTO_ADDR_LIST=NO"]
        ca += [f"{name}={env[name]}" for name in _CA_PORTS if env.get(name)]
        pva = [f"EPICS_PVA_ADDR_LIST={pva_host}", "EPICS_PVA_AUTO_ADDR_LIST=NO"]
        for client, server in _PVA_PORTS:
            value = env.get(server) or env.get(client)
            if value:
                pva.append(f"{client}={value}")
        return [" ".join(ca), " ".join(pva)]


def _client_host(addresses: tuple[str, ...]) -> str:
    for a in addresses:
        if is_loopback(a):
            return a
    first = addresses[0] if addresses else LOOPBACK
    return LOOPBACK if first.split(":")[0] in ("0.0.0.0", "", "[::]", "::") else first


def _address(entry: str) -> ipaddress.IPv4Address | ipaddress.IPv6Address:
    """The IP address of ``ADDR``, ``ADDR:PORT`` or ``[ADDR]:PORT``; ValueError otherwise."""
    host, port = entry, ""
    if entry.startswith("["):
        host, bracket, rest = entry[1:].partition("]")
        if not bracket or (rest and not rest.startswith(":")):
            raise ValueError(entry)
        port = rest[1:]
    elif entry.count(":") == 1:
        host, port = entry.split(":")
    if port and not (port.isdigit() and 0 < int(port) < 65536):
        raise ValueError(entry)
    return ipaddress.ip_address(host)


def _check_addresses(entries, what: str, pva_only: bool) -> None:
    """An address EPICS cannot parse is not skipped safely: Channel Access then listens on every
    interface, pvAccess on none. Only IP addresses (IPv4 for Channel Access) are taken."""
    for entry in entries:
        try:
            address = _address(entry)
        except ValueError:
            address = None
        if address is None or (address.version == 6 and not pva_only):
            need = "an IP address" if pva_only else "an IPv4 address (Channel Access serves IPv4 only)"
            raise ValueError(f"{what}: {entry!r} is not {need}, e.g. 127.0.0.1 or 192.168.1.5 "
                             f"(an address EPICS cannot use would make it serve on every interface)")


def choose(interfaces: list[str], env: dict[str, str]) -> Listening:
    """``--interface`` addresses (for both protocols); else the EPICS variables already in the
    environment (one given alone leaves the other protocol on loopback); else loopback.
    ValueError for anything but IP addresses."""
    if interfaces:
        for a in interfaces:
            if not a.strip() or any(c.isspace() for c in a):
                raise ValueError(f"--interface {a!r} is not one address")
            _check_addresses([a], f"--interface {a}", pva_only=False)
        notes = []
        for name in (CA_INTF, PVA_INTF):
            if env.get(name):
                notes.append(f"--interface replaces {name}={env[name]} from the environment")
        return Listening(tuple(interfaces), tuple(interfaces), "--interface", tuple(notes))
    ca, pva = env.get(CA_INTF, "").split(), env.get(PVA_INTF, "").split()
    _check_addresses(ca, f"{CA_INTF} (from the environment)", pva_only=False)
    _check_addresses(pva, f"{PVA_INTF} (from the environment)", pva_only=True)
    if ca or pva:
        notes = []
        for name, given in ((CA_INTF, ca), (PVA_INTF, pva)):
            if given:
                notes.append(f"listening where {name}={' '.join(given)} (from the environment) says")
            else:
                notes.append(f"{name} is not set: that protocol stays on {LOOPBACK}")
        return Listening(tuple(ca or [LOOPBACK]), tuple(pva or [LOOPBACK]), "environment", tuple(notes))
    return Listening((LOOPBACK,), (LOOPBACK,), "loopback")


def access_security_text(path: str | None, read_only: bool) -> str:
    """The access-security rules to load: the built-in ones, or ``path``'s with the readbacks' group
    added when the file does not define it. ValueError when ``path`` cannot be read."""
    if read_only:
        return READ_ONLY_ACF
    if path is None:
        return DEFAULT_ACF
    if os.path.isdir(path):
        raise ValueError(f"--access-security {path}: is a directory")
    try:
        with open(path, encoding="utf-8") as file:
            text = file.read()
    except OSError as exc:
        raise ValueError(f"--access-security {path}: {exc.strerror or exc}") from None
    except UnicodeDecodeError:
        raise ValueError(f"--access-security {path}: not a text file") from None
    if f"ASG({READBACK_ASG})" not in "".join(text.split()):
        text = text.rstrip("\n") + "\n" + READBACK_RULES
    return text


def write_temporary(text: str) -> str:
    fd, temp = tempfile.mkstemp(prefix="zq4180-ioc-", suffix=".acf")
    with os.fdopen(fd, "w") as file:
        file.write(text)
    return temp

"""Where the server listens and who may connect: loopback unless told otherwise."""

from __future__ import annotations

import ipaddress
import socket

DEFAULT_LISTEN = "127.0.0.1:5025"


class ListenError(ValueError):
    pass


def parse_listen(text: str) -> tuple[str, int]:
    """``HOST:PORT`` or ``[V6]:PORT`` (port 0..65535; 0: each supply on a free port)."""
    host, sep, port = text.rpartition(":")
    if not sep or not host:
        raise ListenError(f"--listen takes HOST:PORT (e.g. 127.0.0.1:5025), got {text!r}")
    if host.startswith("["):
        if not host.endswith("]"):
            raise ListenError(f"--listen: {text!r}: an IPv6 address goes in brackets, e.g. [::1]:5025")
        host = host[1:-1]
    elif ":" in host:
        raise ListenError(f"--listen: {text!r}: put an IPv6 address in brackets, e.g. [::1]:5025")
    if not port.isdigit() or not 0 <= int(port) <= 65535:
        raise ListenError(f"--listen: {port!r} is not a TCP port (0..65535)")
    return host, int(port)


def parse_cidr(text: str):
    try:
        return ipaddress.ip_network(text, strict=False)
    except ValueError:
        raise ListenError(f"--allow-from takes an address or network (192.168.1.0/24, ::1), got {text!r}") \
            from None


def resolved(host: str) -> list[str]:
    try:
        infos = socket.getaddrinfo(host, None, type=socket.SOCK_STREAM)
    except socket.gaierror as exc:
        raise ListenError(f"--listen: cannot resolve {host!r}: {exc.strerror}") from None
    return sorted({str(info[4][0]) for info in infos})


def is_loopback(host: str) -> bool:
    """True when every address the host stands for is a loopback one."""
    addresses = resolved(host)
    return bool(addresses) and all(ipaddress.ip_address(a.split("%")[0]).is_loopback for a in addresses)


def reachable_addresses(host: str) -> list[str]:
    """The addresses, other than loopback ones, on which other machines reach a server bound to ``host``."""
    addresses = resolved(host)
    wildcard = any(ipaddress.ip_address(a.split("%")[0]).is_unspecified for a in addresses)
    if not wildcard:
        return [a for a in addresses if not ipaddress.ip_address(a.split("%")[0]).is_loopback]
    found: set[str] = set()
    try:
        import ifaddr   # the panel extra's; without it the host name's addresses
        for adapter in ifaddr.get_adapters():
            for ip in adapter.ips:
                found.add(ip.ip if isinstance(ip.ip, str) else ip.ip[0])
    except ImportError:
        try:
            found.update(socket.gethostbyname_ex(socket.gethostname())[2])
        except OSError:
            pass
    v6 = any(":" in a for a in addresses)
    out = []
    for a in sorted(found):
        address = ipaddress.ip_address(a.split("%")[0])
        if address.is_loopback or address.is_link_local or (address.version == 6 and not v6):
            continue
        out.append(a)
    return out


def client_host(host: str) -> str:
    """The host a client on this machine opens: a wildcard bind is reached on loopback."""
    if host in ("0.0.0.0", ""):
        return "127.0.0.1"
    if host == "::":
        return "[::1]"
    return f"[{host}]" if ":" in host else host


def resource(host: str, port: int) -> str:
    return f"TCPIP0::{client_host(host)}::{port}::SOCKET"

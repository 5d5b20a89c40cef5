"""Where the panel listens, and the addresses it prints."""

from __future__ import annotations

import socket


def listen(host: str, port: int) -> socket.socket:
    from .access import bind_is_wildcard
    bare = host.strip("[]")
    if bind_is_wildcard(bare) and ":" in bare:
        return socket.create_server((bare, port), family=socket.AF_INET6, dualstack_ipv6=True, backlog=128)
    infos = socket.getaddrinfo(bare or "0.0.0.0", port, type=socket.SOCK_STREAM)
    infos.sort(key=lambda info: info[0] != socket.AF_INET)   # IPv4 first for names like localhost
    family, _, _, _, address = infos[0]
    return socket.create_server(address[:2], family=family, backlog=128)


def browser_host(host: str) -> str:
    """The host for the first line: one a browser can open (a wildcard bind is reached on loopback)."""
    from .access import bind_is_wildcard, host_literal
    bare = host.strip("[]")
    if bind_is_wildcard(bare):
        return "[::1]" if ":" in bare else "127.0.0.1"
    return host_literal(host)


def other_addresses(host: str) -> list[str]:
    """The machine's names and addresses, other than loopback ones, that a wildcard bind serves
    (IPv4 only for 0.0.0.0; link-local IPv6 addresses need a zone and are left out)."""
    import ipaddress

    from .access import LOOPBACK_HOSTS, is_loopback, machine_names_and_addresses
    out = []
    for name in sorted(machine_names_and_addresses()):
        if name in LOOPBACK_HOSTS or name.startswith("localhost") or is_loopback(name):
            continue
        try:
            ip = ipaddress.ip_address(name.strip("[]"))
        except ValueError:
            out.append(name)
            continue
        if ip.is_link_local or ip.is_unspecified or (ip.version == 6 and ":" not in host):
            continue
        out.append(name)
    return out

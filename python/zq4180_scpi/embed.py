"""SCPI beside another front end that already owns the ports (the panel's ``--scpi``): the same
listeners and commands, on the workers that front end runs, on a thread of their own."""

from __future__ import annotations

from typing import Any, Callable, Iterable

from .access import ListenError, is_loopback, parse_listen, reachable_addresses
from .runner import Background
from .station import Station


def listen_address(text: str, *, allow_remote: bool, option: str = "--scpi",
                   remote_option: str = "--allow-remote-control") -> tuple[str, int]:
    """``HOST:PORT`` checked as ``zq4180-scpi --listen`` checks it; beyond loopback only with
    ``allow_remote``. ListenError (a ValueError) with the reason otherwise."""
    try:
        host, port = parse_listen(text)
    except ListenError as exc:
        raise ListenError(str(exc).replace("--listen", option)) from None
    if not is_loopback(host) and not allow_remote:
        raise ListenError(f"{option} {text} is reachable from other machines: add {remote_option}, or "
                          "serve SCPI on 127.0.0.1")
    return host, port


def serve_beside(workers: Iterable[tuple[str, Any]], host: str, port: int, *, read_only: bool = False,
                 say: Callable[[str], None] | None = None) -> Background:
    """Start SCPI listeners for ``(name, worker)`` pairs; the started runner, whose ``lines`` are
    ``NAME TCPIP0::HOST::PORT::SOCKET``. BindError (an OSError) when a port cannot be bound."""
    stations = [Station(name, worker.supply, read_only=read_only, worker=worker) for name, worker in workers]
    runner = Background(stations, host, port)
    runner.lines = runner.start()
    if say is not None and not is_loopback(host):
        others = reachable_addresses(host)
        say(f"warning: SCPI on {host}: anyone who reaches this machine on these ports can drive the supplies"
            + (f" (from {', '.join(others)})" if others else ""))
    return runner

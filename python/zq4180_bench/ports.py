"""Serial ports on this machine, and what answers on them."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class PortInfo:
    device: str
    description: str
    usb_id: str          # "0403:6001", or "" for a port that is not a USB adapter

    @property
    def usb(self) -> bool:
        return bool(self.usb_id)


def list_ports() -> list[PortInfo]:
    """Every serial port pySerial finds (``serial.tools.list_ports``)."""
    from serial.tools import list_ports as lp
    found = []
    for p in sorted(lp.comports(), key=lambda p: p.device):
        usb = f"{p.vid:04x}:{p.pid:04x}" if p.vid is not None and p.pid is not None else ""
        desc = p.description if p.description and p.description != "n/a" else ""
        found.append(PortInfo(p.device, desc, usb))
    return found


@dataclass(frozen=True)
class Probe:
    port: str
    identity: dict | None      # model, SN, soft_version, address
    problem: str | None        # why not, when identity is None

    def text(self) -> str:
        if self.identity is None:
            return self.problem or "no answer"
        from .readings import identity_text
        return identity_text(self.identity)


def probe(port: str) -> Probe:
    """Ask the identity at ``port`` (sends only the identity request; opening resets some boards)."""
    from .supply import Supply
    supply = Supply(port, safe_end="never")
    try:
        supply.connect()
    except Exception as exc:  # OpenError and anything odd: the reason is the answer
        return Probe(port, None, supply.open_reason or _short(str(exc), port))
    finally:
        supply.close()
    return Probe(port, supply.identity, None)


def _short(text: str, port: str) -> str:
    for prefix in (f"{port}: ", f"{port} "):
        if text.startswith(prefix):
            return text[len(prefix):]
    return text

"""Fault injection: the kinds, their parameters, arming them and what they do to a reply."""

from __future__ import annotations

import threading
from dataclasses import dataclass, field

from .frames import FRAME_LEN, SYNC

FAULTS = ("no_reply", "bad_sync", "bad_checksum", "noise", "split", "late", "unplug", "ignore")
# what an ignored setting leaves as it was
_SETTINGS = ("remote", "output_on", "voltage_max_mv", "voltage_set_mv", "current_limit_ma", "address")
FAULT_PARAMS = {
    "bad_sync": {"sync": 0x55},
    "noise": {"noise": b"\x55\x00\xff"},
    "split": {"split_at": FRAME_LEN // 2, "gap": 0.1},
    "late": {"delay": 0.5},
    "unplug": {"replug_after": None},
}


@dataclass
class Fault:
    """An armed fault: applies to the next ``remaining`` replies (None: until cleared)."""
    kind: str
    remaining: int | None = 1
    command: int | None = None
    params: dict = field(default_factory=dict)

    def matches(self, word: int) -> bool:
        return self.command is None or self.command == word


class FaultInjection:
    """The armed faults of a :class:`~zq4180_sim.VirtualSupply`, oldest first.

    Mixed into the supply, whose ``_lock`` guards ``_faults``.
    """

    _lock: threading.RLock
    _faults: list[Fault]

    def inject(self, kind: str, count: int | None = 1, command: int | None = None, **params) -> Fault:
        """Arm a fault for the next ``count`` replies (None: until cleared),
        to any command word or only to ``command``.

        Kinds and their parameters (defaults): no_reply; bad_sync (sync=0x55);
        bad_checksum; noise (noise=b"\\x55\\x00\\xff", sent before the reply);
        split (split_at=13, gap=0.1 s); late (delay=0.5 s before the reply starts);
        unplug (replug_after=None: seconds until a new pty appears, None: never);
        ignore (the setting is acknowledged as usual and changes nothing).
        """
        if kind not in FAULTS:
            raise ValueError(f"unknown fault {kind!r}; choose from {', '.join(FAULTS)}")
        if count is not None and (isinstance(count, bool) or not isinstance(count, int) or count < 1):
            raise ValueError("count must be a positive integer or None")
        if command is not None and not (isinstance(command, int) and 0 <= command <= 255):
            raise ValueError("command must be a command word 0..255")
        allowed = FAULT_PARAMS.get(kind, {})
        unknown = set(params) - set(allowed)
        if unknown:
            raise ValueError(f"fault {kind!r} takes no parameter {', '.join(sorted(unknown))}")
        merged = {**allowed, **params}
        _check_fault_params(kind, merged)
        fault = Fault(kind, count, command, merged)
        with self._lock:
            self._faults.append(fault)
        return fault

    def clear_faults(self) -> None:
        with self._lock:
            self._faults.clear()

    @property
    def faults(self) -> list[Fault]:
        with self._lock:
            return list(self._faults)

    def _take_fault(self, word: int) -> Fault | None:
        with self._lock:
            for fault in self._faults:
                if fault.matches(word):
                    if fault.remaining is not None:
                        fault.remaining -= 1
                        if fault.remaining == 0:
                            self._faults.remove(fault)
                    return fault
        return None


def _reply_segments(fault: Fault | None, reply: bytes | None) -> list[tuple[float, bytes]]:
    """What goes on the line for ``reply``: (delay before it in seconds, bytes) pieces,
    none for silence. An ``unplug`` fault is the server's to handle, not this."""
    segments = [(0.0, reply)] if reply is not None else []
    kind = fault.kind if fault else None
    if kind == "no_reply":
        segments = []
    elif kind == "bad_sync":
        bad = bytearray(reply)
        bad[0] = fault.params["sync"]
        bad[-1] = sum(bad[:-1]) & 0xFF  # only the sync byte is wrong
        segments = [(0.0, bytes(bad))]
    elif kind == "bad_checksum":
        segments = [(0.0, reply[:-1] + bytes([(reply[-1] + 1) & 0xFF]))]
    elif kind == "noise":
        segments = [(0.0, fault.params["noise"] + reply)]
    elif kind == "split":
        at = fault.params["split_at"]
        segments = [(0.0, reply[:at]), (fault.params["gap"], reply[at:])]
    elif kind == "late":
        segments = [(fault.params["delay"], reply)]
    return segments


def _check_fault_params(kind: str, params: dict) -> None:
    if kind == "bad_sync" and not (isinstance(params["sync"], int) and 0 <= params["sync"] <= 255
                                   and params["sync"] != SYNC):
        raise ValueError("sync must be a byte value other than 0xAA")
    if kind == "noise" and not (isinstance(params["noise"], (bytes, bytearray)) and params["noise"]):
        raise ValueError("noise must be non-empty bytes")
    if kind == "noise":
        params["noise"] = bytes(params["noise"])
    if kind == "split" and not (isinstance(params["split_at"], int) and 0 < params["split_at"] < FRAME_LEN):
        raise ValueError("split_at must be 1..25")
    for name in ("gap", "delay"):
        if name in params and not (isinstance(params[name], (int, float)) and params[name] >= 0):
            raise ValueError(f"{name} must be a non-negative number of seconds")
    replug = params.get("replug_after")
    if replug is not None and not (isinstance(replug, (int, float)) and replug >= 0):
        raise ValueError("replug_after must be None or a non-negative number of seconds")

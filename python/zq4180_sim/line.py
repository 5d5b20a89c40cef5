"""The serial line as the server sees it: 4800 baud timing and frames cut from the byte stream."""

from __future__ import annotations

import select
import threading
import time

from .frames import FRAME_LEN, SYNC, frame_ok

BAUD = 4800
BYTE_TIME = 10 / BAUD              # 8N1: start + 8 data + stop bits
FRAME_TIME = FRAME_LEN * BYTE_TIME  # 54.17 ms
FRAME_GAP = 0.2                    # silence that ends a partial frame


def _next_frame(buf: bytearray, stamps: list[float]) -> tuple[bytes | None, float]:
    """Take the next good frame off the front of buf.

    Resynchronisation: bytes ahead of a sync byte are dropped; a 26-byte candidate
    whose checksum fails loses its first byte and the search starts again.
    """
    while buf:
        start = buf.find(SYNC)
        if start < 0:
            start = len(buf)
        if start:
            del buf[:start]
            del stamps[:start]
            continue
        if len(buf) < FRAME_LEN:
            break
        candidate = bytes(buf[:FRAME_LEN])
        if frame_ok(candidate):
            first = stamps[0]
            del buf[:FRAME_LEN]
            del stamps[:FRAME_LEN]
            return candidate, first
        del buf[:1]
        del stamps[:1]
    return None, 0.0


def _sleep_until(halt: threading.Event, deadline: float) -> bool:
    """Sleep until the monotonic deadline; False if halted meanwhile."""
    left = deadline - time.monotonic()
    if left > 0:
        return not halt.wait(left)
    return not halt.is_set()


def _readable(fd: int) -> bool:
    if fd < 0:
        return False
    p = select.poll()
    p.register(fd, select.POLLIN)
    return any(ev & select.POLLIN for _, ev in p.poll(0))

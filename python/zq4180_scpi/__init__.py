"""SCPI on raw TCP sockets for zq4100-series supplies (``zq4180-scpi``).

Each supply answers on a port of its own, like a LAN power supply
(``TCPIP0::HOST::PORT::SOCKET``). Every command goes through the bench
library's one owner of the port (:class:`zq4180_bench.Worker`), so the limits,
the safe order, the late-reply guard and the confirmed off hold for SCPI
clients as for the ``zq4180`` command.

Condition registers (``STATus:...:CONDition?``), from the latest status read:

- operation: bit 8 (256) constant voltage, bit 10 (1024) constant current, both 0 with the output off;
- questionable: bit 1 (2) current (constant current), bit 4 (16) temperature alarm,
  bit 9 (512) the supply does not answer or its port is lost.
"""

from .server import Listener, http_like
from .session import Session
from .station import Station

__all__ = ["Listener", "Session", "Station", "http_like"]

"""``zq4180-doctor PORT``: why did ``ZQ4180(PORT).open()`` return False?

Walks the same path as ``open`` (the port exists, may be opened, no process
holds it, it opens at 4800 8N1, the supply answers the identity request with a
valid frame, the model code is accepted) and says at each step what it found
and what to do. Exit status 0 only when ``open`` would succeed::

    $ zq4180-doctor /dev/ttyUSB0
    $ zq4180-doctor rfc2217://lab-server:2217?ign_set_control

    $ zq4180-doctor --address 6 /dev/ttyUSB0   # as an object that learned address 6

From Python, :func:`diagnose` yields one :class:`Result` per check, and
:func:`port_holders` names the processes holding a port (a bridge, the
front panel, a ``zq4180`` command, another program) with advice for each.
The frames are built here, so the doctor needs neither the driver nor the
virtual supply to run.
"""

from .checks import CHECKS, Result, diagnose
from .holders import Holder, port_holders

__all__ = ["CHECKS", "Holder", "Result", "diagnose", "port_holders"]

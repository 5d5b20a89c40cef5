"""What several test folders share."""
import os
import signal

import pytest

# No test may look for EPICS servers beyond this machine: a Channel Access or pvAccess client
# left to its defaults searches the LAN's broadcast address.
os.environ.update({"EPICS_CA_AUTO_ADDR_LIST": "NO", "EPICS_CA_ADDR_LIST": "127.0.0.1",
                   "EPICS_PVA_AUTO_ADDR_LIST": "NO", "EPICS_PVA_ADDR_LIST": "127.0.0.1"})

# Many tests press Ctrl-C, in this process or in programs they start.  A shell starts its
# background jobs (`pytest &` in a script, as CI runs the other interpreters) with SIGINT
# ignored, Python then keeps it ignored, and every program started from here inherits that:
# put Python's own handler in force, as at a terminal.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def virtual_supplies():
    """start(address=1, **kwargs) -> a started VirtualSupply, stopped after the test."""
    from zq4180_sim import VirtualSupply
    started = []

    def start(address=1, **kwargs):
        supply = VirtualSupply(address, **kwargs).start()
        started.append(supply)
        return supply

    yield start
    for supply in started:
        supply.stop()

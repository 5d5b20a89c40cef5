"""The driver under faults, threads and Ctrl-C, against unpaced virtual supplies."""
import pytest

import zq4180
from zq4180_sim import VirtualSupply

from .helpers import ADDRESS, LOAD_OHMS, close_quietly


@pytest.fixture
def supply():
    with VirtualSupply(ADDRESS, pacing=False, load_ohms=LOAD_OHMS) as sup:
        yield sup


@pytest.fixture
def driver(supply, capsys):
    drv = zq4180.ZQ4180(supply.port)
    assert drv.open() is True
    capsys.readouterr()
    yield drv
    close_quietly(drv)

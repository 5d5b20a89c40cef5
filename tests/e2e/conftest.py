"""The driver against virtual supplies through real ptys, pySerial and lsof."""
import pytest

from zq4180_sim import VirtualSupply

from .helpers import ADDRESS, LOAD_OHMS, zq4180


@pytest.fixture
def make_supply():
    """VirtualSupply(**kwargs), started, unpaced unless asked; stopped afterwards."""
    started = []

    def make(address=ADDRESS, pacing=False, load_ohms=LOAD_OHMS, **fields):
        supply = VirtualSupply(address, pacing=pacing, load_ohms=load_ohms, **fields).start()
        started.append(supply)
        return supply

    yield make
    for supply in started:
        supply.stop()


@pytest.fixture
def supply(make_supply):
    return make_supply()


@pytest.fixture
def driver(supply, capsys):
    drv = zq4180.ZQ4180(supply.port)
    assert drv.open() is True
    capsys.readouterr()
    yield drv
    _close(drv)


def _close(drv):
    ser = getattr(drv, "ser", None)
    if ser is not None:
        getattr(ser, "wrapped", ser).close()

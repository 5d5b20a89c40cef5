"""The driver against virtual supplies through real ptys, pySerial and lsof."""
import pytest


from .helpers import ADDRESS, LOAD_OHMS, zq4180


@pytest.fixture
def make_supply(virtual_supplies):
    """VirtualSupply(**kwargs), started, unpaced unless asked; stopped afterwards."""
    def make(address=ADDRESS, pacing=False, load_ohms=LOAD_OHMS, **fields):
        return virtual_supplies(address, pacing=pacing, load_ohms=load_ohms, **fields)
    return make


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

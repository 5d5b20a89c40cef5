"""What several test folders share."""
import pytest


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

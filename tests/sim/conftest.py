import pytest
import serial

from zq4180_sim import VirtualSupply


@pytest.fixture
def supply():
    with VirtualSupply(1, pacing=False, load_ohms=10) as sup:
        yield sup


@pytest.fixture
def line(supply):
    ser = serial.Serial(supply.port, 4800, timeout=1)
    yield ser
    ser.close()


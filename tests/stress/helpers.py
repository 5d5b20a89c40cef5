"""Shared by the stress tests."""
ADDRESS = 7       # not 255, so a reply from the wrong supply state would show
LOAD_OHMS = 10.0


def expected_status(supply):
    """What read_dev_status must report for the supply's present state."""
    return supply.state.read_out()


def close_quietly(drv):
    ser = getattr(drv, "ser", None)
    if ser is not None:
        try:
            getattr(ser, "wrapped", ser).close()
        except OSError:
            pass

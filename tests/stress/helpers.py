"""Shared by the stress tests."""
ADDRESS = 7       # not 255, so a reply from the wrong supply state would show
LOAD_OHMS = 10.0


def expected_status(supply):
    """What read_dev_status must report for the supply's present state."""
    s = supply.state.snapshot()
    return {
        "current_real": s["current_ma"] / 1000.0,
        "voltage_real": s["voltage_mv"] / 1000.0,
        "current_set": s["current_limit_ma"] / 1000.0,
        "voltage_max_set": s["voltage_max_mv"] / 1000.0,
        "voltage_set": s["voltage_set_mv"] / 1000.0,
        "out_status": "on" if s["output_on"] else "off",
        "beyond_temp": s["over_temperature"],
        "out_mode": {1: "CV", 2: "CC"}.get(s["mode"], "XX"),
        "fan_speed": s["fan_speed"],
        "work_mode": "remote" if s["remote"] else "local",
    }


def close_quietly(drv):
    ser = getattr(drv, "ser", None)
    if ser is not None:
        try:
            getattr(ser, "wrapped", ser).close()
        except OSError:
            pass

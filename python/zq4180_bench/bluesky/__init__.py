"""bluesky devices for zq4100-series supplies (ophyd-async 0.21.x; the ``bluesky`` extra).

- :class:`ZQ4180Supply` drives a supply in this process through the bench library
  (port, ``rfc2217://`` URL, configured name, serial number, or ``"sim"`` for a
  virtual supply).
- ``ZQ4180Epics`` reaches one supply served by ``zq4180-ioc`` over Channel Access.
- :func:`output_off_at_end` wraps a plan so that its supplies end with the output
  off (confirmed), however the plan ends. ``stop()``, disconnecting and the end
  of the process never switch an output off.

::

    from bluesky import RunEngine
    from bluesky.plans import scan
    from ophyd_async.core import init_devices
    from zq4180_bench.bluesky import ZQ4180Supply, output_off_at_end

    RE = RunEngine()
    with init_devices():
        psu = ZQ4180Supply("sim", max_voltage=10)
    RE(output_off_at_end(scan([psu], psu, 0, 5, 11), psu))
"""

try:
    import bluesky as _bluesky  # noqa: F401
    import ophyd_async as _ophyd_async  # noqa: F401
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("the bluesky devices need ophyd-async and bluesky: pip install 'zq4180[bluesky]'") from exc

from .plans import OutputMayBeOn, output_off_at_end, switch_off
from .supply_device import Control, Output, Regulation, ZQ4180Supply

__all__ = ["Control", "Output", "OutputMayBeOn", "Regulation", "ZQ4180Epics", "ZQ4180Supply",
           "output_off_at_end", "switch_off"]


def __getattr__(name: str):
    if name == "ZQ4180Epics":      # its Channel Access backend loads only when asked for
        from .epics_device import ZQ4180Epics
        globals()[name] = ZQ4180Epics
        return ZQ4180Epics
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

"""A front panel in the browser for zq4100-series supplies: ``zq4180-panel``.

One page for one supply or a whole bench: live readings beside the setpoints, setpoint
fields, an output switch, a ramp, a chart of the last minutes with events marked, and the
session's CSV, plus a JSON API for scripts. It stands on the bench library
(``zq4180_bench``) for every rule that protects hardware, and on NiceGUI for the page.
Install with the ``panel`` extra: ``pip install '.[panel]'``.
"""

__version__ = "1.0.0"

#!/usr/bin/env python3
"""A QCoDeS station with a zq4100-series supply: an I-V sweep into a database.

    python3 examples/qcodes_sweep.py                       # a virtual supply with a 10-ohm load
    python3 examples/qcodes_sweep.py --supply /dev/ttyUSB0 --stop 2 --db iv.db

The station comes from examples/qcodes_station.yaml (limits 5 V and 0.5 A, a
ramped voltage, a 0.3 A current limit). The sweep switches the output on and,
as a QCoDeS instrument leaves a supply as it is, switches it off at the end
through the bench library's confirmed off (also after an error or Ctrl-C).
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path

from qcodes.dataset import do1d, initialise_or_create_database_at, load_or_create_experiment
from qcodes.station import Station

HERE = Path(__file__).resolve().parent


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--supply", help="port, URL, configured name or serial number (default: the YAML's)")
    parser.add_argument("--stop", type=float, default=2.0, help="last voltage of the sweep (default 2 V)")
    parser.add_argument("--points", type=int, default=9, help="points of the sweep (default 9)")
    parser.add_argument("--db", default="zq4180_iv.db", help="QCoDeS database file (default zq4180_iv.db)")
    args = parser.parse_args(argv)

    station = Station(config_file=str(HERE / "qcodes_station.yaml"))
    psu = station.load_instrument("psu", **({"supply": args.supply} if args.supply else {}))
    initialise_or_create_database_at(args.db)
    load_or_create_experiment("iv_curve", sample_name="load")
    try:
        psu.voltage(0.0)
        psu.output("on")
        dataset, *_ = do1d(psu.voltage, 0.0, args.stop, args.points, 0.05,
                           psu.current_measured, psu.regulation, do_plot=False)
    finally:
        result = psu.off()              # the confirmed off, whatever happened
        print(f"psu: {result.message()}")
        psu.close()
    data = dataset.get_parameter_data()["psu_current_measured"]
    for volts, amps in zip(data["psu_voltage"], data["psu_current_measured"]):
        print(f"{volts:6.3f} V  {amps:6.3f} A")
    print(f"dataset {dataset.run_id} in {args.db}")
    return 0 if result.confirmed else 1


if __name__ == "__main__":
    sys.exit(main())

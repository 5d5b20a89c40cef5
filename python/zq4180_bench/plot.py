"""The I-V plot of a sweep: current against measured voltage, CC points marked."""

from __future__ import annotations

from pathlib import Path
from typing import Sequence

SUFFIXES = (".png", ".svg", ".pdf")


class PlotUnavailable(RuntimeError):
    pass


def check_plot_path(path: str) -> None:
    if Path(path).suffix.lower() not in SUFFIXES:
        raise ValueError(f"--plot {path}: the file name must end in .png, .svg or .pdf")


def plot_sweep(points: Sequence, path: str, *, title: str = "") -> None:
    """Write the plot to ``path`` (PNG, SVG or PDF by its suffix)."""
    check_plot_path(path)
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise PlotUnavailable("--plot needs matplotlib: pip install 'zq4180[plot]'") from None
    cv = [(p.reading.voltage_V, p.reading.current_A) for p in points if p.reading.regulation != "CC"]
    cc = [(p.reading.voltage_V, p.reading.current_A) for p in points if p.reading.regulation == "CC"]
    fig, ax = plt.subplots(figsize=(7, 4.5), dpi=120)
    try:
        all_points = [(p.reading.voltage_V, p.reading.current_A) for p in points]
        if all_points:
            ax.plot(*zip(*all_points), color="#1f77b4", linewidth=1.5, zorder=1)
        if cv:
            ax.scatter(*zip(*cv), s=18, color="#1f77b4", label="CV", zorder=2)
        if cc:
            ax.scatter(*zip(*cc), s=40, marker="s", color="#d62728", label="CC (current limit)", zorder=3)
        ax.set_xlabel("measured voltage (V)")
        ax.set_ylabel("current (A)")
        ax.set_title(title or "I-V sweep")
        ax.grid(True, alpha=0.3)
        if cv or cc:
            ax.legend(loc="upper left")
        fig.tight_layout()
        fig.savefig(path)
    finally:
        plt.close(fig)

"""Draws the throughput chart (MB/s per workload per contender) from bench/compare.py's JSON.

    .venv-bench/bin/python bench/plot.py figures.json [-o docs/benchmark.png]
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt  # noqa: E402

MB = 1_000_000
COLOURS = {
    "velmora": "#c0392b",
    "etree": "#2e86c1",
    "expat": "#7f8c8d",
    "json": "#95a5a6",
    "lxml": "#27ae60",
    "xmltodict": "#8e44ad",
}
DEFAULT_OUT = Path(__file__).resolve().parent.parent / "docs" / "benchmark.png"


def throughputs(figures: dict) -> tuple[list[str], list[str], dict[str, list[float | None]]]:
    names = list(figures["meta"]["contenders"])
    rows = figures["workloads"]
    labels = [r["label"] for r in rows]
    series: dict[str, list[float | None]] = {n: [] for n in names}
    for r in rows:
        for n in names:
            o = r["outcomes"].get(n, {})
            series[n].append(r["bytes"] / MB / o["median"] if o.get("status") == "ok" else None)
    return labels, names, series


def draw(figures: dict, out: Path) -> None:
    labels, names, series = throughputs(figures)
    height = 0.8 / len(names)
    fig, ax = plt.subplots(figsize=(11, 0.45 * len(labels) * len(names) / 3 + 2))
    for i, name in enumerate(names):
        ys = [row + (i - (len(names) - 1) / 2) * height for row in range(len(labels))]
        values = series[name]
        ax.barh(
            [y for y, v in zip(ys, values) if v is not None],
            [v for v in values if v is not None],
            height=height,
            color=COLOURS.get(name),
            label=name,
        )
        for y, v in zip(ys, values):
            if v is None:  # failed, skipped or not available: mark the slot instead of leaving a gap
                ax.text(0.0, y, f"  {name}: no figure", va="center", fontsize=6, color="#555",
                        transform=ax.get_yaxis_transform())
    ax.set_yticks(range(len(labels)), labels)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("throughput, MB/s of XML text (log scale; higher is better)")
    meta = figures["meta"]
    load = meta.get("load_average_start")
    ax.set_title(
        f"velmora.parse and alternatives — {meta['mode']} run, Python {meta['versions']['python']}, "
        f"{meta['machine'].split(',')[0]}, {meta['machine'].split(',')[1].strip()}"
        + (f", load average {load:.1f}" if load is not None else "")
    )
    ax.grid(axis="x", which="both", alpha=0.3)
    ax.legend(loc="lower right", fontsize=8)
    fig.tight_layout()
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out, dpi=110)
    plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("figures", help="JSON file written by bench/compare.py --json")
    parser.add_argument("-o", "--output", default=str(DEFAULT_OUT), help=f"PNG file (default {os.path.relpath(DEFAULT_OUT)})")
    args = parser.parse_args(argv)
    with open(args.figures, encoding="utf-8") as f:
        figures = json.load(f)
    draw(figures, Path(args.output))
    print(f"chart written to {args.output}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())

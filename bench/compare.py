"""Benchmark of velmora.parse against the alternatives a Python program might pick.

All contenders are timed in this one process, round-robin over repetitions so that noise hits
each of them alike; deep chains run in child processes (see measure.isolated_chain). Prints
tables on stdout, progress on stderr, and saves every figure with --json.

    PYTHONPATH=build .venv-bench/bin/python bench/compare.py [--quick] [--json out.json]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import subprocess
import sys
import time
import xml.parsers.expat
from dataclasses import dataclass
from importlib import metadata
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import contenders  # noqa: E402  (imports velmora; fails early with a clear message if missing)
import report  # noqa: E402
from contenders import NAMES, Unavailable, prepare  # noqa: E402
from measure import isolated_chain, memory_profile, round_robin  # noqa: E402
from workloads import MAIN, REAL_WORLD, Workload, chain, chain_json, flat_records, utf8_len  # noqa: E402

MB = 1_000_000


@dataclass(frozen=True)
class Plan:
    size: int  # bytes of each main workload
    deep_size: int  # bytes of the depth-1000 workload, smaller: a walk that re-reads each element's content pays depth x size
    mix_size: int  # bytes of each real-world document
    large_mb: int
    reps: int
    budget: float  # seconds one contender may spend on one workload's repetitions
    memory_size: int
    scaling_mb: tuple[float, ...]
    depths: tuple[int, ...]
    depth_reps: int
    depth_budget: float  # seconds per contender per depth, enforced in the child process


FULL = Plan(4 * MB, 1 * MB, 2 * MB, 64, 7, 10.0, 1 * MB, (1, 4, 16, 64), (10**3, 10**4, 10**5, 10**6), 3, 20.0)
QUICK = Plan(MB // 4, MB // 16, MB // 8, 4, 3, 2.0, MB // 8, (0.25, 1, 4), (10**3, 10**4, 10**5), 2, 5.0)


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def time_workload(workload: Workload, names: list[str], plan: Plan) -> dict[str, Any]:
    calls, outcomes = {}, {}
    for name in names:
        try:
            calls[name] = prepare(name, workload)
        except Unavailable as exc:
            outcomes[name] = {"status": "unavailable", "reason": str(exc)}
    start = time.perf_counter()
    outcomes.update(round_robin(calls, plan.reps, plan.budget))
    log(f"  {workload.name:<20} {workload.nbytes / MB:8.2f} MB  {time.perf_counter() - start:6.1f} s")
    return {"label": workload.name, "bytes": workload.nbytes, "outcomes": {n: outcomes[n] for n in names}}


def mix_summary(rows: list[dict[str, Any]], names: list[str]) -> dict[str, Any]:
    """The real-world documents as one workload: total bytes over the sum of medians."""
    outcomes: dict[str, Any] = {}
    for name in names:
        parts = [r["outcomes"][name] for r in rows]
        if all(o.get("status") == "ok" for o in parts):
            outcomes[name] = {"status": "ok", "median": sum(o["median"] for o in parts), "times": []}
        else:
            outcomes[name] = {"status": "failed", "error": "fails on part of the mix"}
    return {"label": "mix (all)", "bytes": sum(r["bytes"] for r in rows), "outcomes": outcomes}


def predicted_over_budget(history: list[tuple[int, float]], depth: int, budget: float) -> bool:
    """Extrapolates a contender's time to `depth` from its earlier depths (assumes quadratic growth
    until two points give the real exponent)."""
    if not history:
        return False
    (d1, t1) = history[-1]
    exponent = 2.0
    if len(history) >= 2:
        (d0, t0) = history[-2]
        if t0 > 0 and t1 > 0 and d1 != d0:
            exponent = min(max(math.log(t1 / t0) / math.log(d1 / d0), 1.0), 2.5)
    return t1 * (depth / d1) ** exponent > budget


def depth_scaling(names: list[str], plan: Plan) -> list[dict[str, Any]]:
    rows = []
    history: dict[str, list[tuple[int, float]]] = {n: [] for n in names}
    given_up: dict[str, dict[str, Any]] = {}
    for depth in plan.depths:
        outcomes = {}
        start = time.perf_counter()
        for name in names:
            if name in given_up:  # failed or over budget at a smaller depth: deeper is no better
                outcomes[name] = given_up[name]
                continue
            if predicted_over_budget(history[name], depth, plan.depth_budget):
                outcomes[name] = {"status": "skipped", "reason": f"over budget (predicted above {plan.depth_budget:.0f} s)"}
            else:
                outcomes[name] = isolated_chain(name, depth, plan.depth_reps, plan.depth_budget)
            o = outcomes[name]
            if o["status"] == "ok":
                history[name].append((depth, o["median"]))
            elif o["status"] in ("failed", "skipped"):
                given_up[name] = o
        log(f"  chain depth {depth:<9} {time.perf_counter() - start:6.1f} s")
        rows.append({"label": f"depth {depth:,}", "depth": depth, "bytes": utf8_len(chain(depth)), "outcomes": outcomes})
    return rows


def versions() -> dict[str, str]:
    found = {"python": platform.python_version(), "velmora": contenders.velmora.__file__}
    for dist in ("lxml", "xmltodict"):
        try:
            found[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            found[dist] = "not installed"
    found["expat"] = xml.parsers.expat.EXPAT_VERSION
    try:  # which sources velmora was built from (a checkout with local edits shows "-dirty")
        found["checkout"] = subprocess.run(
            ["git", "describe", "--always", "--dirty"], capture_output=True, text=True, timeout=10,
            cwd=os.path.dirname(os.path.abspath(__file__)), check=True,
        ).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        found["checkout"] = "unknown"
    return found


def check_chain_json() -> None:
    """The hand-written JSON of a chain must be velmora's own result for it."""
    try:
        got = contenders.velmora.parse(chain(5))
    except BaseException as exc:
        if contenders.is_fatal(exc):
            raise
        log(f"warning: velmora cannot convert a chain yet ({contenders.describe_failure(exc)})")
        return
    if got != json.loads(chain_json(5)):
        sys.exit(f"error: velmora's result for a chain differs from the benchmark's JSON text: {got!r}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes and few repetitions")
    parser.add_argument("--json", metavar="FILE", help="save every figure to FILE")
    parser.add_argument("--only", metavar="NAMES", help="comma-separated contenders (default: all)")
    args = parser.parse_args(argv)
    plan = QUICK if args.quick else FULL
    names = args.only.split(",") if args.only else list(NAMES)
    if "velmora" not in names:
        names.insert(0, "velmora")

    began = time.perf_counter()
    meta: dict[str, Any] = {
        "mode": "quick" if args.quick else "full",
        "contenders": {n: contenders.DESCRIPTIONS[n] for n in names},
        "versions": versions(),
        "machine": f"{platform.machine()}, {os.cpu_count()} cores, {platform.platform()}",
        "date": time.strftime("%Y-%m-%d %H:%M:%S"),
        # Other work on the machine slows every contender; round-robin keeps the ratios fair, but
        # absolute figures from a busy machine are low.
        "load_average_start": os.getloadavg()[0],
        "plan": plan.__dict__,
    }
    print("velmora benchmark —", meta["mode"], "run,", meta["date"])
    for key, value in meta["versions"].items():
        print(f"  {key}: {value}")
    print(f"  machine: {meta['machine']}, load average {meta['load_average_start']:.2f}")
    for n in names:
        print(f"  {n:<10} {contenders.DESCRIPTIONS[n]}")
    check_chain_json()

    log("workloads:")
    rows = []
    for wname, make in MAIN.items():
        size = plan.deep_size if wname == "nest-1000" else plan.size
        rows.append(time_workload(Workload(wname, make(size)), names, plan))
    mix_rows = [time_workload(Workload(wname, make(plan.mix_size)), names, plan) for wname, make in REAL_WORLD.items()]
    large = Workload(f"large ({plan.large_mb} MB)", flat_records(plan.large_mb * MB))
    large_row = time_workload(large, names, plan)
    del large

    log("nesting depth (child processes):")
    depth_rows = depth_scaling(names, plan)
    deep_rows = [dict(r, label=f"nest-{r['depth']}") for r in depth_rows if r["depth"] == 10**5]

    log("scaling with size:")
    size_rows = []
    for mb in plan.scaling_mb:
        if mb == plan.large_mb:
            row = dict(large_row)
        else:
            row = time_workload(Workload(f"flat-records {mb:g} MB", flat_records(int(mb * MB))), names, plan)
        size_rows.append(dict(row, label=f"{mb:g} MB", mb=row["bytes"] / MB))

    log("memory (tracemalloc):")
    mem_rows = []
    for wname, make in {**MAIN, **REAL_WORLD}.items():
        workload = Workload(wname, make(plan.memory_size // (4 if wname == "nest-1000" else 1)))
        outcomes = {}
        for name in names:
            try:
                outcomes[name] = memory_profile(prepare(name, workload))
            except Unavailable as exc:
                outcomes[name] = {"status": "unavailable", "reason": str(exc)}
        mem_rows.append({"label": wname, "bytes": workload.nbytes, "outcomes": outcomes})

    table_rows = rows + deep_rows + mix_rows + [mix_summary(mix_rows, names), large_row]
    print()
    print(report.throughput_tables(table_rows, names))
    print()
    print(report.memory_table(mem_rows, names))
    print("  (tracemalloc sees only the interpreter's allocators: native parser buffers are not in the peak)")
    print()
    print(report.scaling_table("Scaling with size, flat records", size_rows, names, "MB", "mb"))
    print()
    print(report.scaling_table("Scaling with nesting depth, one chain", depth_rows, names, "level", "depth"))
    why = report.notes(table_rows + mem_rows + size_rows + depth_rows, names)
    if why:
        print("\nNot measured:\n" + why)
    elapsed = time.perf_counter() - began
    meta["load_average_end"] = os.getloadavg()[0]
    print(f"\ntotal run time: {elapsed:.0f} s, load average at the end {meta['load_average_end']:.2f}")

    if args.json:
        meta["run_seconds"] = elapsed
        figures = {
            "meta": meta,
            "workloads": table_rows,
            "memory": mem_rows,
            "scaling_size": size_rows,
            "scaling_depth": depth_rows,
        }
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(figures, f, indent=1)
        log(f"figures saved to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Timing and memory measurement of prepared contenders.

Outcomes are plain dicts (they go straight into the JSON file):
  {"status": "ok", "times": [...], "median": s, "best": s, "faults": [...], "faults_at_best": n}
  {"status": "failed", "error": "..."}
  {"status": "unavailable" | "skipped", "reason": "..."}
"""

from __future__ import annotations

import gc
import json
import os
import random
import resource
import signal
import statistics
import subprocess
import sys
import time
import tracemalloc
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

from contenders import describe_failure, is_fatal

Outcome = dict[str, Any]


def ok(times: list[float], faults: list[int]) -> Outcome:
    """`faults`: the page faults each timed call took, by the same index as its time."""
    best = min(range(len(times)), key=times.__getitem__)
    return {"status": "ok", "times": times, "median": statistics.median(times), "best": times[best],
            "faults": faults, "faults_at_best": faults[best]}


def page_faults() -> int:
    """This process's page faults so far (minor ones: memory the kernel hands out fresh)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


@dataclass(frozen=True)
class OnFreshInput:
    """A contender that `round_robin` times on a new input for every call, made before the clock
    starts: a parser may leave something behind in the object it was given (CPython keeps the
    UTF-8 form it was asked for inside a `str`), and a caller converts each document once.
    Called as a plain contender, it makes its input and runs on it."""

    make_input: Callable[[], Any]
    run: Callable[[Any], object]

    def __call__(self) -> object:
        return self.run(self.make_input())


def round_robin(calls: dict[str, Callable[[], object]], reps: int, budget: float) -> dict[str, Outcome]:
    """Times every call `reps` times, one of each per round, in an order shuffled every round.

    The order is drawn anew each round (from a fixed seed, so that two runs time the same
    orders): with the order only rotated, each contender always followed the same one, and what
    that one left behind moved its time. One build measured in two slots of a run differed by up
    to 15%, always in favour of the slot after the other; shuffled, by 0 to 3%.

    Charged alike: the cyclic collector is off for every contender while it is timed (a parser
    that pauses it itself, or whose objects happen to trigger a collection in its own loop,
    gains or loses nothing), and each timed call runs right after an untimed call of the same
    contender whose result was freed, so every contender meets memory in the state its own tree
    leaves (not fresh pages after a small tree, not a big tree's freed blocks). What a result
    costs the collector afterwards is measured apart (`collection_cost`). The page faults of each
    timed call are counted too: where the freed tree gave its memory back to the system, the call
    takes it fresh, a fault a page, and on a big tree that is a large part of its time, so two
    contenders compare fairly only at like counts.

    A contender whose first call shows that `reps` calls would exceed `budget` seconds gets fewer
    rounds (at least one). A call that raises is recorded as a failure and not repeated. An
    `OnFreshInput` contender gets a new input for each call, the timed one included.
    """
    names = list(calls)
    times: dict[str, list[float]] = {n: [] for n in names}
    faults: dict[str, list[int]] = {n: [] for n in names}
    allowed = dict.fromkeys(names, reps)
    failed: dict[str, str] = {}
    was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        for rnd in range(reps):
            order = names[:]
            random.Random(rnd).shuffle(order)
            for name in order:
                if name in failed or len(times[name]) >= allowed[name]:
                    continue
                call = calls[name]
                try:
                    result = call()  # untimed: sets the memory state
                    del result
                    # An OnFreshInput contender's input is made before the clock starts.
                    run, args = (call.run, (call.make_input(),)) if isinstance(call, OnFreshInput) else (call, ())
                    faults_before = page_faults()
                    start = time.perf_counter()
                    result = run(*args)
                    elapsed = time.perf_counter() - start
                    faulted = page_faults() - faults_before
                    del args
                except BaseException as exc:
                    if is_fatal(exc):
                        raise
                    failed[name] = describe_failure(exc)
                    continue
                del result  # freeing the tree is not part of the call
                times[name].append(elapsed)
                faults[name].append(faulted)
                if rnd == 0:
                    allowed[name] = max(1, min(reps, int(budget / max(2 * elapsed, 1e-9))))
    finally:
        if was_enabled:
            gc.enable()
    return {n: {"status": "failed", "error": failed[n]} if n in failed else ok(times[n], faults[n]) for n in names}


def collection_cost(call: Callable[[], object], reps: int = 3) -> float | None:
    """Seconds one full collection takes over a live result of `call`, less one without it: what
    the result's containers cost the cyclic collector each time a full collection meets them."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        best_with, best_without = float("inf"), float("inf")
        for _ in range(reps):
            try:
                result = call()
            except BaseException as exc:
                if is_fatal(exc):
                    raise
                return None
            gc.collect()  # the first collection also moves the result to the oldest generation
            start = time.perf_counter()
            gc.collect()
            best_with = min(best_with, time.perf_counter() - start)
            del result
            gc.collect()
            start = time.perf_counter()
            gc.collect()
            best_without = min(best_without, time.perf_counter() - start)
        return max(best_with - best_without, 0.0)
    finally:
        if was_enabled:
            gc.enable()


def tree_bytes(tree: object) -> int | None:
    """Memory held by a returned tree: `sys.getsizeof` of every object reachable, each counted once.

    Handles dict/list/str trees and ElementTree elements; `None` for trees it cannot see into
    (lxml keeps its nodes outside Python objects).
    """
    if tree is None:
        return 0
    if type(tree).__module__.startswith("lxml"):
        return None
    seen: set[int] = set()
    total = 0
    stack: list[object] = [tree]
    while stack:
        obj = stack.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        total += sys.getsizeof(obj)
        if isinstance(obj, dict):
            stack.extend(obj.keys())
            stack.extend(obj.values())
        elif isinstance(obj, list):
            stack.extend(obj)
        elif isinstance(obj, ElementTree.Element):
            stack.extend(x for x in (obj.tag, obj.text, obj.tail) if x is not None)
            if len(obj.keys()):  # reading .attrib on an element without attributes would create a dict
                stack.append(obj.attrib)
            stack.extend(list(obj))
    return total


def memory_profile(call: Callable[[], object]) -> Outcome:
    """Peak of traced allocations during one call, what stays traced after it, and the tree size.

    tracemalloc sees only the interpreter's allocators: native buffers of a parser (its own C/C++
    heap use) are not counted in the peak.
    """
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        try:
            result = call()
        except BaseException as exc:
            if is_fatal(exc):
                raise
            return {"status": "failed", "error": describe_failure(exc)}
        current, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return {
        "status": "ok",
        "peak_bytes": peak - before,
        "retained_bytes": current - before,
        "tree_bytes": tree_bytes(result),
    }


ISOLATED = Path(__file__).with_name("isolated.py")


def isolated_chain(contender: str, depth: int, reps: int, budget: float) -> Outcome:
    """Times one contender on a single chain `depth` deep in a child process.

    Deep documents can exhaust a native stack or run for a very long time; a child keeps either
    from taking the harness down. The child is stopped when it outlives the budget.
    """
    cmd = [sys.executable, str(ISOLATED), contender, str(depth), str(reps), str(budget)]
    start = time.perf_counter()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=budget + 15, env=os.environ.copy())
    except subprocess.TimeoutExpired:
        return {"status": "skipped", "reason": f"over budget (stopped after {time.perf_counter() - start:.0f} s)"}
    if proc.returncode < 0:
        sig = signal.Signals(-proc.returncode).name
        return {"status": "failed", "error": f"crashed ({sig})"}
    if proc.returncode != 0:
        tail = proc.stderr.strip().splitlines()[-1:] or ["no output"]
        return {"status": "failed", "error": f"exit {proc.returncode}: {tail[0][:80]}"}
    return json.loads(proc.stdout)

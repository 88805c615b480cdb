"""velmora.parse against its peers and against the cost of building the same tree, in one process.

    PYTHONPATH=build:python .venv/bin/python bench/fair.py [--before BUILD_DIR] [--rounds N]
        [--size BYTES] [--only NAME,...] [--workloads NAME,...] [--json FILE]

Contenders: `velmora` (the module on the path), `before` (the `velmora` extension of another
build folder, loaded side by side under its own module object, with `--before`), the floors
`json.loads`, `orjson.loads` and `marshal.loads` of the very tree velmora returns (its JSON text,
its marshal form; `orjson-bytes` is orjson given that JSON text as UTF-8 bytes, as read from a
file), `rebuild` (in a test build: that tree made anew through the C API from a compact program
of it read in order, every dict, list and value str new and the keys shared: the cost of its
objects with next to nothing else), the XML peers `lxml.etree.fromstring`,
`ElementTree.fromstring`, `xmltodict.parse`, and expat with no handlers (tokenizing alone).

Every call is given a new copy of its input, made before the clock starts: ElementTree, expat
and orjson ask a str for its UTF-8 form, which CPython then keeps inside that str, so a later
call on the same object (its own, or another parser's) would find a text already encoded, which
a caller converting freshly decoded text never does. Every workload is timed round-robin: each round calls every contender once, in an order shuffled
every round (from a fixed seed); the cyclic collector is off for every contender while it is timed, and each timed
call follows an untimed call of the same contender whose result was freed (measure.round_robin).
The cost of one full collection over each contender's live result is reported in its own table.
So are the page faults of each timed call at its best time: a call that takes its memory fresh
from the system pays for every page of its tree, which moves its time far more than any code of
its own, so compare times only where the counts are alike.
`before` is loaded after velmora, and on this machine a build loaded second has run up to 17%
slower in the median (less in the best round) whichever build it was: compare two builds with
their roles swapped as well (`PYTHONPATH=OTHER_BUILD:python ... --before build`).

The real-world mix is the XML files found on this machine under /usr/share and /etc, read once
into memory, kept when velmora, ElementTree and lxml all accept them; one call converts them all
in turn. An encoding declaration is dropped from the text (lxml refuses one in a `str`).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import pathlib
import platform
import re
import statistics
import sys
import time
import tracemalloc
from typing import Any, Callable

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import ab  # noqa: E402
import contenders  # noqa: E402
import workloads  # noqa: E402
from contenders import Unavailable, fresh_copy, is_fatal  # noqa: E402
from measure import OnFreshInput, collection_cost, round_robin, tree_bytes  # noqa: E402

MB = 1_000_000
# The figure reported per contender: the best round, since on a shared machine other work only
# ever adds time ("median" is in the JSON file too).
FIGURE = "best"
PEERS = ("json", "orjson", "orjson-bytes", "marshal", "rebuild", "lxml", "etree", "xmltodict", "expat")


def generated(size: int) -> dict[str, list[str]]:
    return {
        "flat-records": [workloads.flat_records(size)],
        "text, several scripts": [workloads.text_heavy(size)],
        "text, ASCII paragraphs": [workloads.paragraphs(size)],
        "text, one Greek letter each": [workloads.paragraphs(size, greek=True)],
        "entity-refs": [workloads.entity_heavy(size)],
        "namespaced": [workloads.namespaced(size)],
        "repeated-siblings": [workloads.repeated_siblings(size)],
        "chains 10 deep": [workloads.chains(10)(size)],
        "chains 100 deep": [workloads.chains(100)(size)],
        "chains 1000 deep": [workloads.chains(1000)(size)],
        "small messages, one call each": workloads.small_messages(size // 4),
    }


_ENCODING_DECL = re.compile(r"""(<\?xml[^>]*?)\s+encoding\s*=\s*(["'])[^"']*\2""")


def real_world_files(roots: tuple[str, ...] = ("/usr/share", "/etc")) -> tuple[list[str], int]:
    """Texts of the XML files under `roots` that velmora, ElementTree and lxml all accept, and the
    number of packages (top folders below the root) they come from."""
    import xml.etree.ElementTree as ElementTree

    import velmora
    from velmora_tools.quiet import fd2_discarded

    lxml_etree = contenders.lxml_etree
    texts, folders = [], set()
    for root in roots:
        for dirpath, _dirs, files in os.walk(root):
            for file in sorted(files):
                if not file.endswith((".xml", ".svg", ".xsd", ".xsl", ".ui", ".rng", ".policy")):
                    continue
                path = os.path.join(dirpath, file)
                try:
                    if os.path.islink(path) or os.path.getsize(path) > 20 * MB:
                        continue
                    with open(path, "rb") as f:
                        text = f.read().decode("utf-8")
                except (OSError, UnicodeDecodeError):
                    continue
                text = _ENCODING_DECL.sub(r"\1", text, count=1)
                try:
                    with fd2_discarded():  # the failure reports of files that are left out
                        velmora.parse(text)
                    ElementTree.fromstring(text)
                    if lxml_etree is not None:
                        lxml_etree.fromstring(text)
                except BaseException as exc:
                    if is_fatal(exc):
                        raise
                    continue
                texts.append(text)
                folders.add(os.path.relpath(dirpath, root).split(os.sep)[0])
    return texts, len(folders)


def prepare_all(name: str, docs: list[str], velmora_module: Any) -> OnFreshInput:
    """One call converting every document in turn, each on a new copy of its input."""
    if name in ("velmora", "before"):
        inputs, runs = list(docs), [velmora_module.parse] * len(docs)
    else:
        prepared = [contenders.prepare_input(name, workloads.Workload(name, t)) for t in docs]
        inputs, runs = [given for given, _ in prepared], [run for _, run in prepared]
    if len(docs) == 1:
        run = runs[0]
        return OnFreshInput(lambda: fresh_copy(inputs[0]), run)
    return OnFreshInput(lambda: [fresh_copy(given) for given in inputs],
                        lambda given: [run(one) for run, one in zip(runs, given)])


def memory(parse: Callable[[str], object], text: str) -> dict[str, Any]:
    """Traced peak during one call against the returned tree, and the argument's size around it,
    on a fresh copy of the text (no UTF-8 form cached in it by earlier calls)."""
    text = (text + " ")[:-1]
    size_before = sys.getsizeof(text)
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        result = parse(text)
        peak = tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()
    return {"peak": peak, "tree": tree_bytes(result), "arg_before": size_before, "arg_after": sys.getsizeof(text)}


def collector_on(call: Callable[[], object], calls: int = 10) -> dict[str, float]:
    """The collector left on while `calls` results are kept, each in a small list of its own, as
    a program that keeps its results would run (it makes some container of its own now and then:
    a collection that a call put off runs at the next one): seconds per call in all, and the
    collections that ran (counted and timed through gc.callbacks) per call."""
    spent = {"collections": 0, "seconds": 0.0}
    started: list[float] = []

    def watch(phase: str, _info: dict) -> None:
        if phase == "start":
            started.append(time.perf_counter())
        else:
            spent["collections"] += 1
            spent["seconds"] += time.perf_counter() - started.pop()

    kept = []
    gc.collect()
    gc.enable()
    gc.callbacks.append(watch)
    try:
        begin = time.perf_counter()
        for _ in range(calls):
            kept.append([call()])
        total = time.perf_counter() - begin
    finally:
        gc.callbacks.remove(watch)
    del kept
    gc.collect()
    return {"per_call": total / calls, "collections": spent["collections"] / calls, "gc_per_call": spent["seconds"] / calls}


def fmt_ratio(peer: dict[str, Any], mine: dict[str, Any]) -> str:
    if peer.get("status") != "ok" or mine.get("status") != "ok":
        return "fails" if peer.get("status") == "failed" else "-"
    return f"{peer[FIGURE] / mine[FIGURE]:.2f}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", metavar="BUILD_DIR", help="also time the velmora of this build folder")
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--size", type=int, default=2 * MB, help="bytes of each generated document")
    parser.add_argument("--budget", type=float, default=30.0, help="seconds per contender per workload")
    parser.add_argument("--only", help="contenders besides velmora (default: all)")
    parser.add_argument("--workloads", help="comma-separated parts of workload names, e.g. text,chains (default: all)")
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args(argv)

    import velmora

    modules = {"velmora": velmora}
    if args.before:
        modules["before"] = ab.load(args.before)
    peers = [p for p in PEERS if not args.only or p in args.only.split(",")]
    names = list(modules) + peers

    docs = generated(args.size)
    if not args.workloads or "real-world mix" in args.workloads:
        texts, packages = real_world_files()
        docs["real-world mix"] = texts
        mix_note = f"{len(texts)} files from {packages} folders, {sum(len(t.encode()) for t in texts) / MB:.1f} MB"
    else:
        mix_note = "not run"
    if args.workloads:
        wanted = [w.strip() for w in args.workloads.split(",") if w.strip()]
        docs = {k: v for k, v in docs.items() if any(w in k for w in wanted)}

    print(f"fair benchmark, {time.strftime('%Y-%m-%d %H:%M:%S')}, CPython {platform.python_version()}, "
          f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}, {args.rounds} rounds")
    print(f"real-world mix: {mix_note}")
    rows = []
    for label, texts in docs.items():
        nbytes = sum(len(t.encode()) for t in texts)
        calls, outcomes = {}, {}
        for name in names:
            try:
                calls[name] = prepare_all(name, texts, modules.get(name))
            except Unavailable as exc:
                outcomes[name] = {"status": "unavailable", "reason": str(exc)}
        if "before" in calls:
            same = calls["velmora"]() == calls["before"]()
            assert same, f"{label}: the two builds give different results"
        began = time.perf_counter()
        outcomes.update(round_robin(calls, args.rounds, args.budget))
        gc_costs = {n: collection_cost(c) for n, c in calls.items() if outcomes[n].get("status") == "ok"}
        row: dict[str, Any] = {"label": label, "bytes": nbytes, "outcomes": outcomes, "collection": gc_costs}
        row["collector_on"] = {n: collector_on(calls[n]) for n in calls if n in ("velmora", "before", "json", "etree")}
        if len(texts) == 1:
            row["memory"] = {n: memory(m.parse, texts[0]) for n, m in modules.items()}
        rows.append(row)
        print(f"  {label:<28} {nbytes / MB:6.2f} MB  {time.perf_counter() - began:5.1f} s", file=sys.stderr, flush=True)

    width = max(len(r["label"]) for r in rows)
    print(f"\n{FIGURE.title()} ms per call of {args.rounds} rounds (collector off for all while timed)")
    print(f"{'workload':<{width}}  {'MB':>5}  " + "  ".join(f"{n:>9}" for n in names))
    for r in rows:
        cells = []
        for n in names:
            o = r["outcomes"].get(n, {})
            cells.append(f"{o[FIGURE] * 1e3:9.2f}" if o.get("status") == "ok" else f"{o.get('status', '-')[:9]:>9}")
        print(f"{r['label']:<{width}}  {r['bytes'] / MB:5.2f}  " + "  ".join(cells))

    print("\nPeer time / velmora time (below 1: the peer is faster)")
    others = [n for n in names if n != "velmora"]
    print(f"{'workload':<{width}}  " + "  ".join(f"{n:>9}" for n in others))
    for r in rows:
        mine = r["outcomes"]["velmora"]
        print(f"{r['label']:<{width}}  " + "  ".join(f"{fmt_ratio(r['outcomes'].get(n, {}), mine):>9}" for n in others))

    print("\nPage faults in the timed call at its best time, thousands (fresh memory the call took page by page)")
    print(f"{'workload':<{width}}  " + "  ".join(f"{n:>9}" for n in names))
    for r in rows:
        faults = {n: o["faults_at_best"] for n, o in r["outcomes"].items() if o.get("status") == "ok"}
        cells = [f"{faults[n] / 1e3:9.1f}" if n in faults else f"{'-':>9}" for n in names]
        print(f"{r['label']:<{width}}  " + "  ".join(cells))

    print("\nOne full collection over the live result, ms (not in the times above)")
    print(f"{'workload':<{width}}  " + "  ".join(f"{n:>9}" for n in names))
    for r in rows:
        cells = [f"{r['collection'][n] * 1e3:9.2f}" if r["collection"].get(n) is not None else f"{'-':>9}" for n in names]
        print(f"{r['label']:<{width}}  " + "  ".join(cells))

    print("\nCollector on, 10 results kept (each in a list): ms per call in all / collections per call / ms of collection per call")
    for r in rows:
        cells = [f"{n}: {c['per_call'] * 1e3:.2f} / {c['collections']:.1f} / {c['gc_per_call'] * 1e3:.2f}"
                 for n, c in r.get("collector_on", {}).items()]
        print(f"{r['label']:<{width}}  " + "   ".join(cells))

    print("\nMemory of one call: traced peak / returned tree; sys.getsizeof of the argument before -> after")
    for r in rows:
        for n, m in r.get("memory", {}).items():
            ratio = m["peak"] / m["tree"] if m["tree"] else float("nan")
            print(f"{r['label']:<{width}}  {n:<8} {m['peak'] / MB:7.2f} MB / {m['tree'] / MB:7.2f} MB = {ratio:5.3f}"
                  f"   argument {m['arg_before']:,} -> {m['arg_after']:,} bytes")
    print(f"\nload average at the end {os.getloadavg()[0]:.2f}")

    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump({"names": names, "rows": rows, "mix": mix_note}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())

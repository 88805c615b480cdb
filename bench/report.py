"""Human-readable tables of the benchmark's figures (the same dicts that go into the JSON file)."""

from __future__ import annotations

from typing import Any, Iterable

MB = 1_000_000


def mb_per_s(nbytes: int, outcome: dict[str, Any]) -> float | None:
    if outcome.get("status") != "ok":
        return None
    return nbytes / MB / outcome["median"]


def _short(outcome: dict[str, Any]) -> str:
    status = outcome.get("status")
    if status == "failed":
        return "fails"
    if status == "skipped":
        return "skipped"
    return "n/a"


def _fmt_time(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.1f} us"
    return f"{seconds * 1e9:.0f} ns"


def _fmt_bytes(n: int | None) -> str:
    if n is None:
        return "n/a"
    for unit, size in (("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if abs(n) >= size:
            return f"{n / size:.1f} {unit}"
    return f"{n} B"


def _table(title: str, header: list[str], rows: Iterable[list[str]]) -> str:
    rows = list(rows)
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    line = lambda r: "  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths)))
    out = [title, line(header), line(["-" * w for w in widths])]
    out += [line(r) for r in rows]
    return "\n".join(out)


def notes(rows: list[dict[str, Any]], names: list[str]) -> str:
    """Why each failing, skipped or unavailable cell is so, listed once."""
    seen: dict[str, list[str]] = {}
    for row in rows:
        for name in names:
            o = row["outcomes"].get(name, {})
            if o.get("status") in ("failed", "skipped", "unavailable"):
                why = o.get("error") or o.get("reason", "")
                labels = seen.setdefault(f"{name}: {o['status']}: {why}", [])
                if row["label"] not in labels:
                    labels.append(row["label"])
    return "\n".join(f"  {k}  [{', '.join(v)}]" for k, v in seen.items())


def throughput_tables(rows: list[dict[str, Any]], names: list[str]) -> str:
    timing = _table(
        "Median time per call",
        ["workload", "size", *names],
        (
            [r["label"], _fmt_bytes(r["bytes"])]
            + [_fmt_time(o["median"]) if o.get("status") == "ok" else _short(o) for o in (r["outcomes"].get(n, {}) for n in names)]
            for r in rows
        ),
    )
    speed = _table(
        "Throughput, MB/s of XML text (1 MB = 10^6 bytes of UTF-8)",
        ["workload", *names],
        (
            [r["label"]]
            + [f"{v:.1f}" if (v := mb_per_s(r["bytes"], r["outcomes"].get(n, {}))) is not None else _short(r["outcomes"].get(n, {})) for n in names]
            for r in rows
        ),
    )
    peers = [n for n in names if n != "velmora"]
    ratio_rows = []
    for r in rows:
        v = r["outcomes"].get("velmora", {})
        cells = [r["label"]]
        for n in peers:
            p = r["outcomes"].get(n, {})
            if v.get("status") == "ok" and p.get("status") == "ok":
                cells.append(f"{p['median'] / v['median']:.2f}x")
            else:
                cells.append("-")
        ratio_rows.append(cells)
    ratios = _table("Peer time / velmora time (above 1: velmora is faster)", ["workload", *peers], ratio_rows)
    return "\n\n".join([timing, speed, ratios])


def memory_table(rows: list[dict[str, Any]], names: list[str]) -> str:
    def cell(o: dict[str, Any]) -> str:
        if o.get("status") != "ok":
            return _short(o)
        return f"{_fmt_bytes(o['peak_bytes'])} / {_fmt_bytes(o['tree_bytes'])}"

    return _table(
        "Memory: traced peak during one call / bytes held by the returned tree (sys.getsizeof, by id)",
        ["workload", "size", *names],
        ([r["label"], _fmt_bytes(r["bytes"])] + [cell(r["outcomes"].get(n, {})) for n in names] for r in rows),
    )


def scaling_table(title: str, rows: list[dict[str, Any]], names: list[str], unit: str, per: str) -> str:
    """Time per `unit`; each row carries the count of units in `per`."""

    def cell(o: dict[str, Any], count: float) -> str:
        if o.get("status") != "ok":
            return _short(o)
        return _fmt_time(o["median"] / count)

    return _table(
        f"{title} (time per {unit})",
        ["case", *names],
        ([r["label"]] + [cell(r["outcomes"].get(n, {}), r[per]) for n in names] for r in rows),
    )

"""Peak resident memory of `velmora_tools.iterparse` over documents larger than memory should
need: a file of flat records (`--gb`, default 2) and a file holding one item of `--item-mb`
megabytes (default 100) among small ones. Each file is generated in --dir (default /tmp),
streamed in a fresh process that only counts the items, and deleted afterwards. Printed per
file: its size, the items, the time, the peak resident memory of that process (VmHWM); for
comparison, the peak of a process that only imports the package, and the peak of `parse_file`
over the file with the large item (almost all of it is that item's tree, which any reader must
build to hand the item out).

    PYTHONPATH=build:python nice .venv/bin/python bench/stream_memory.py --gb 2 --item-mb 100
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads  # noqa: E402

CHILD = """
import sys, time
from velmora_tools import iterparse
def peak_mb():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
if sys.argv[1] == "-":
    print(0, 0.0, peak_mb())
elif sys.argv[2] == "whole":
    from velmora_tools import parse_file
    start = time.perf_counter()
    tree = parse_file(sys.argv[1])
    print(0, time.perf_counter() - start, peak_mb())
else:
    start = time.perf_counter()
    count = sum(1 for _ in iterparse(sys.argv[1], int(sys.argv[2])))
    print(count, time.perf_counter() - start, peak_mb())
"""


def write_records(path: pathlib.Path, total: int) -> None:
    block = workloads.flat_records(8_000_000)
    body = block[block.index("\n") + 1 : block.rindex("</records>")].encode("utf-8")  # records only
    with open(path, "wb") as file:
        file.write(b"<records>\n")
        written = 0
        while written < total:
            file.write(body)
            written += len(body)
        file.write(b"</records>\n")


def write_big_item(path: pathlib.Path, item_bytes: int) -> None:
    piece = "".join(f'<part n="{i}"><v>{workloads.WORDS[i % len(workloads.WORDS)]}</v></part>' for i in range(2000))
    piece_bytes = piece.encode("utf-8")
    small = b"<item><v>small</v></item>\n" * 1000
    with open(path, "wb") as file:
        file.write(b"<root>\n" + small + b"<item>")
        written = 0
        while written < item_bytes:
            file.write(piece_bytes)
            written += len(piece_bytes)
        file.write(b"</item>\n" + small + b"</root>\n")


def stream(path: str, depth: int | str) -> tuple[int, float, float]:
    out = subprocess.run([sys.executable, "-c", CHILD, path, str(depth)], capture_output=True, text=True,
                         check=True).stdout.split()
    return int(out[0]), float(out[1]), float(out[2])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--gb", type=float, default=2)
    parser.add_argument("--item-mb", type=float, default=100)
    parser.add_argument("--dir", default=tempfile.gettempdir())
    args = parser.parse_args()
    _, _, baseline = stream("-", 1)
    print(f"a process that imports velmora_tools: peak {baseline:.0f} MB")
    print(f"{'file':32} {'size MB':>9} {'items':>10} {'seconds':>8} {'peak RSS MB':>12}")
    cases = [("flat records", write_records, int(args.gb * 1e9)),
             (f"one {args.item_mb:g} MB item", write_big_item, int(args.item_mb * 1e6))]
    for name, write, size in cases:
        handle, raw = tempfile.mkstemp(suffix=".xml", dir=args.dir)
        os.close(handle)
        path = pathlib.Path(raw)
        try:
            write(path, size)
            items, seconds, peak = stream(str(path), 2)
            print(f"{name:32} {path.stat().st_size / 1e6:9.0f} {items:10d} {seconds:8.1f} {peak:12.0f}")
            if write is write_big_item:  # what the item's own tree takes: parse_file of the file
                _, seconds, peak = stream(str(path), "whole")
                print(f"{'  the same, parse_file':32} {'':9} {'':10} {seconds:8.1f} {peak:12.0f}")
        finally:
            path.unlink(missing_ok=True)


if __name__ == "__main__":
    main()

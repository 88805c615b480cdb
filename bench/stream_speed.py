"""Items per second of `velmora_tools.iterparse` against `velmora.parse` of the same document
held in memory, measured in one run, alternating rounds (flat records and a news feed from
bench/workloads.py). For parse, items per second is the number of items at the depth divided by
the time of one whole parse of a freshly decoded `str` (not timed: the decoding, and freeing the
tree); iterparse reads the document as chunks of bytes from memory, and its time includes
decoding each item and freeing it after use.

    PYTHONPATH=build:python .venv/bin/python bench/stream_speed.py --mb 32 --rounds 5
"""

from __future__ import annotations

import argparse
import pathlib
import statistics
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import velmora  # noqa: E402
import workloads  # noqa: E402
from velmora_tools import iterparse  # noqa: E402
from velmora_tools.stream import CHUNK_BYTES  # noqa: E402

# workload, generator, depth of its items
CASES = [("flat records", workloads.flat_records, 2), ("news feed", workloads.feed, 2)]


def chunks(data: bytes):
    view = memoryview(data)
    for at in range(0, len(view), CHUNK_BYTES):
        yield view[at:at + CHUNK_BYTES]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=float, default=32)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    print(f"{'workload':14} {'items':>9} {'parse items/s':>14} {'iterparse items/s':>18} {'ratio':>6}")
    for name, make, depth in CASES:
        text = make(int(args.mb * 1e6))
        data = text.encode("utf-8")
        whole, streamed = [], []
        count = 0
        for _ in range(args.rounds):
            text = data.decode("utf-8")  # fresh, as read: parse makes its UTF-8 form itself
            start = time.perf_counter()
            tree = velmora.parse(text)
            whole.append(time.perf_counter() - start)
            del tree
            start = time.perf_counter()
            count = 0
            for _ in iterparse(chunks(data), depth):
                count += 1
            streamed.append(time.perf_counter() - start)
        parse_rate = count / statistics.median(whole)
        stream_rate = count / statistics.median(streamed)
        print(f"{name:14} {count:9d} {parse_rate:14,.0f} {stream_rate:18,.0f} {stream_rate / parse_rate:6.2f}")


if __name__ == "__main__":
    main()

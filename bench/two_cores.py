"""The machine's own bound on converting a folder with two processes: the ceiling of parse_many
and of `velmora --jobs 2`.

Makes the folder of bench/many_files.py, splits its files into two halves, and times the same
conversion work over each half in a process forked for it: each half alone, then both halves at
once, each on its own process. Each process times its own work (from its first file to its
last), so forking and the interpreter's start are not counted: what is left is how much slower
each conversion runs when both cores are busy (shared caches, memory bandwidth, frequency, the
other programs on the machine). Two kinds of work:

- `parse`: `parse_file` of each file and `len` of the tree (the work of `parse_many(then=len)`);
- `json`: the command's work, `parse_file`, the JSON Lines of each file (`jsonout.dumps`) and
  writing them to a file of the temporary folder in chunks of about 4 MB.

Round-robin over `--rounds` rounds; it prints the best of each and, per round, the ratio
(both halves alone, one after the other) / (both at once): the speed-up two fully independent
processes reach, which nothing that shares the work can pass. The same in processor time shows
what the two cores cost each other when other programs take some of the wall time.

    PYTHONPATH=build:python .venv/bin/python bench/two_cores.py [--files 4000] [--rounds 5]
"""

from __future__ import annotations

import argparse
import gc
import os
import pathlib
import statistics
import struct
import sys
import tempfile
import time
from collections.abc import Callable, Sequence

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from many_files import make_folder  # noqa: E402

import velmora_tools  # noqa: E402
from velmora_tools import jsonout  # noqa: E402

_SECONDS = struct.Struct("=dd")  # wall, processor
_CHUNK_BYTES = 4 << 20


def parse_work(paths: Sequence[str], _sink: str) -> None:
    for path in paths:
        len(velmora_tools.parse_file(path))


def json_work(paths: Sequence[str], sink: str) -> None:
    with open(sink, "wb") as out:
        pending: list[bytes] = []
        size = 0
        for path in paths:
            line = b'{"path":' + jsonout.dumps(path) + b',"result":' + jsonout.dumps(velmora_tools.parse_file(path)) + b"}\n"
            pending.append(line)
            size += len(line)
            if size >= _CHUNK_BYTES:
                out.writelines(pending)
                pending, size = [], 0
        out.writelines(pending)


Work = Callable[[Sequence[str], str], None]


def start(work: Work, paths: Sequence[str], sink: str) -> tuple[int, int]:
    """A forked process doing `work`; it sends back the seconds its work took."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        status = 1
        try:
            gc.freeze()  # as a worker does: what came with the fork stays out of its collections
            began, cpu = time.perf_counter(), time.process_time()
            work(paths, sink)
            os.write(write_end, _SECONDS.pack(time.perf_counter() - began, time.process_time() - cpu))
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    return pid, read_end


def finish(process: tuple[int, int]) -> tuple[float, float]:
    """The wall and processor seconds of the process's work."""
    pid, read_end = process
    data = os.read(read_end, _SECONDS.size)
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    if status != 0 or len(data) != _SECONDS.size:
        raise RuntimeError("a timed process failed")
    wall, cpu = _SECONDS.unpack(data)
    return wall, cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=4000)
    parser.add_argument("--kb", type=float, default=12.0, help="size of each file in kB (default 12)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--work", choices=["parse", "json", "both"], default="both")
    args = parser.parse_args()
    works: dict[str, Work] = {"parse": parse_work, "json": json_work}
    if args.work != "both":
        works = {args.work: works[args.work]}

    with tempfile.TemporaryDirectory(prefix="velmora-cores-") as tmp:
        folder = pathlib.Path(tmp)
        paths = make_folder(folder, args.files, int(args.kb * 1000))
        # Halves of alternate files, so that each holds the same mix of documents.
        halves = paths[0::2], paths[1::2]
        sinks = str(folder / "a.jsonl"), str(folder / "b.jsonl")
        print(f"{args.files} files of {args.kb:g} kB, two halves; {os.cpu_count()} CPUs; {args.rounds} rounds; "
              f"load average before: {os.getloadavg()[0]:.2f}")
        for work in works.values():  # the files into the page cache, the code warm
            finish(start(work, paths, sinks[0]))
        for name, work in works.items():
            alone: list[tuple[tuple[float, float], ...]] = []
            together: list[tuple[tuple[float, float], ...]] = []
            for _ in range(args.rounds):
                alone.append(tuple(finish(start(work, half, sink)) for half, sink in zip(halves, sinks)))
                both = [start(work, half, sink) for half, sink in zip(halves, sinks)]
                together.append(tuple(finish(process) for process in both))
            print(f"{name}:")
            for what, index in (("wall", 0), ("processor", 1)):
                # Per round: the halves one after the other against both at once (the later one).
                ceilings = [sum(a[index] for a in one) / max(t[index] for t in two) for one, two in zip(alone, together)]
                slowdowns = [statistics.mean(t[index] / a[index] for a, t in zip(one, two))
                             for one, two in zip(alone, together)]
                best_alone = min(sum(a[index] for a in one) for one in alone)
                best_together = min(max(t[index] for t in two) for two in together)
                print(f"  {what} time: both halves alone {best_alone:.3f} s, at once {best_together:.3f} s (best rounds)")
                print(f"    each process at once against alone: {statistics.median(slowdowns):.3f} times "
                      f"(rounds: {', '.join(f'{s:.3f}' for s in slowdowns)})")
                print(f"    ceiling of 2 against 1: {best_alone / best_together:.2f} best against best; median of "
                      f"rounds {statistics.median(ceilings):.2f} ({', '.join(f'{c:.2f}' for c in ceilings)})")
        print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()

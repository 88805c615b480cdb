"""Speed-up of converting a folder of small files on 2 worker processes against 1.

Generates `--files` documents of about `--kb` kilobytes each (a mix of the workloads in
bench/workloads.py) in a temporary folder, then times, round-robin over `--rounds` rounds, and
prints the best time of each and the speed-ups:

- `parse_many(paths, workers=1)`, which converts in this process, and `workers=2` (one worker
  forked, and this process converting whenever its next result is not back yet); every tree a
  worker converts comes back to this process, which rebuilds it from the worker's marshal
  bytes, and that costs it most of a parse: the speed-up is capped well below 2 on 2 cores;
- the same with `then=len`: the workers reduce each tree to a number, and only that comes back;
- the `velmora` command with `--jobs 1` and `--jobs 2`, JSON Lines written to a file (as
  `velmora folder > out.jsonl`; `--sink /dev/null` to drop them): the workers also write the
  JSON text, which the kernel copies to the output.

The command's time includes the interpreter's start, its imports and its end (about 0.05 s, with
its modules' bytecode cached as an installed package has it),
which do not shrink with workers: `--files` sets how much work there is to share. That fixed
part is timed too (the command on an empty folder), and with it the speed-up that perfect
sharing of the rest would give.

Besides wall time it prints the CPU time of the run (this process, its workers, the command and
its workers) and CPU/wall, the number of cores kept busy: on a machine shared with other work,
the wall-time speed-up falls but CPU/wall still shows whether the work was spread.

    PYTHONPATH=build:python .venv/bin/python bench/many_files.py
"""

from __future__ import annotations

import argparse
import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads  # noqa: E402

import velmora_tools  # noqa: E402

KINDS = [workloads.flat_records, workloads.feed, workloads.config, workloads.soap, workloads.office,
         workloads.namespaced, workloads.entity_heavy]


def make_folder(folder: pathlib.Path, files: int, size: int) -> list[str]:
    paths = []
    for i in range(files):
        path = folder / f"{i // 1000:03}" / f"doc{i:05}.xml"
        path.parent.mkdir(exist_ok=True)
        path.write_text(KINDS[i % len(KINDS)](size, seed=i), encoding="utf-8")
        paths.append(str(path))
    return paths


def cpu_seconds() -> float:
    """CPU time of this process and of its children waited for (worker processes, commands)."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=4000)
    parser.add_argument("--kb", type=float, default=12.0, help="size of each file in kB (default 12)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--sink", help="where the command writes (default: a file in the temporary folder)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="velmora-many-") as tmp:
        folder = pathlib.Path(tmp)
        paths = make_folder(folder, args.files, int(args.kb * 1000))
        total = sum(os.path.getsize(p) for p in paths) / 1e6
        print(f"{args.files} files, {total:.1f} MB in all; {os.cpu_count()} CPUs; best of {args.rounds} rounds")
        # The command reads its modules' bytecode from a cache, as an installed package does (pip
        # compiles it), rather than compiling them at every start.
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), PYTHONPYCACHEPREFIX=str(folder / "pycache"))
        env.pop("PYTHONDONTWRITEBYTECODE", None)

        def api(workers: int) -> Callable[[], None]:
            def go() -> None:
                for _path, result in velmora_tools.parse_many(paths, workers=workers):
                    assert isinstance(result, dict)
            return go

        def api_then(workers: int) -> Callable[[], None]:
            def go() -> None:
                for _path, result in velmora_tools.parse_many(paths, workers=workers, then=len):
                    assert isinstance(result, int)
            return go

        def command(jobs: int) -> Callable[[], None]:
            def go() -> None:
                with open(args.sink or folder / "out.jsonl", "wb") as sink:
                    subprocess.run([sys.executable, "-m", "velmora_tools", str(folder), "--jobs", str(jobs)],
                                   stdout=sink, check=True, env=env)
            return go

        empty = folder / "empty"
        empty.mkdir()

        def fixed() -> None:
            subprocess.run([sys.executable, "-m", "velmora_tools", str(empty)], check=True, env=env)

        contenders = {
            "parse_many, workers=1": api(1),
            f"parse_many, workers={args.workers}": api(args.workers),
            "velmora --jobs 1": command(1),
            f"velmora --jobs {args.workers}": command(args.workers),
            "then=len, workers=1": api_then(1),
            f"then=len, workers={args.workers}": api_then(args.workers),
            "velmora, empty folder": fixed,
        }
        fixed()  # writes the bytecode cache
        best = {name: float("inf") for name in contenders}
        cpu = {name: 0.0 for name in contenders}
        print(f"load average before: {os.getloadavg()[0]:.2f}")
        for _ in range(args.rounds):
            for name, go in contenders.items():
                before = cpu_seconds()
                start = time.perf_counter()
                go()
                seconds = time.perf_counter() - start
                if seconds < best[name]:
                    best[name], cpu[name] = seconds, cpu_seconds() - before
        print(f"load average after: {os.getloadavg()[0]:.2f} (other programs on the machine count here)")
        print(f"{'':<24} {'wall':>9} {'':>11} {'CPU s':>7} {'CPU/wall':>9}")
        for name, seconds in best.items():
            print(f"{name:<24} {seconds:7.3f} s  {total / seconds:6.1f} MB/s {cpu[name]:7.3f} {cpu[name] / seconds:9.2f}")
        names = list(best)
        print(f"speed-up of parse_many, whole trees back: {best[names[0]] / best[names[1]]:.2f}")
        print(f"speed-up of parse_many, then=len: {best[names[4]] / best[names[5]]:.2f} (target: at least 1.8)")
        print(f"speed-up of the command: {best[names[2]] / best[names[3]]:.2f}")
        start_and_end, one = best[names[6]], best[names[2]]
        print(f"the command's own start and end: {start_and_end:.3f} s; with the rest shared perfectly "
              f"the speed-up would be {one / (start_and_end + (one - start_and_end) / args.workers):.2f}")


if __name__ == "__main__":
    main()

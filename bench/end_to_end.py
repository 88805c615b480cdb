"""Time of the `velmora` command on one large file against the time `velmora.parse` takes in it.

Generates a document of flat records (bench/workloads.py, `--mb` megabytes, kept in `--dir` for
the next run), then runs the command `--rounds` times, each time in a fresh process writing to a
new file, and prints per run: the wall time of the whole process (start-up, reading, decoding,
parsing, JSON writing, exit), the time spent inside `velmora.parse` in that same process (the
command's own parse call is timed), and their ratio. The command runs as its console script
does (`velmora_tools.cli.console`). The ratio is what matters on a busy machine:
both figures come from the same run.

    PYTHONPATH=build:python .venv/bin/python bench/end_to_end.py --mb 339
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads  # noqa: E402

CHILD = """
import json, sys, time
import velmora
report_path = sys.argv[1]
parse = velmora.parse
def timed(text):
    start = time.perf_counter()
    try:
        return parse(text)
    finally:
        with open(report_path, "w") as report:  # now: the command may end without exit handlers
            json.dump({"parse": time.perf_counter() - start}, report)
velmora.parse = timed
from velmora_tools import cli
sys.argv[1:] = sys.argv[2:]
cli.console()
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=float, default=339.0, help="document size in MB (default 339)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "velmora-bench"))
    parser.add_argument("--out", help="output file (default: a new file in --dir each run)")
    parser.add_argument("cli_args", nargs="*", help="extra arguments for the command (after --)")
    args = parser.parse_args()

    folder = pathlib.Path(args.dir)
    folder.mkdir(parents=True, exist_ok=True)
    source = folder / f"records-{args.mb:g}MB.xml"
    if not source.exists():
        start = time.perf_counter()
        source.write_text(workloads.flat_records(int(args.mb * 1e6)), encoding="utf-8")
        print(f"generated {source} in {time.perf_counter() - start:.1f} s")
    size = source.stat().st_size
    print(f"input: {source} ({size / 1e6:.0f} MB); command: velmora {source.name} {' '.join(args.cli_args)}")
    try:
        import orjson  # noqa: F401
        writer = "orjson"
    except ImportError:
        writer = "json (orjson not installed)"
    print(f"JSON writer: {writer}")
    print(f"{'run':>4} {'wall s':>8} {'parse s':>8} {'wall/parse':>11}  output MB")
    ratios = []
    for run in range(1, args.rounds + 1):
        out = pathlib.Path(args.out) if args.out else folder / "out.json"
        if out.exists() and not args.out:
            out.unlink()  # a new file each time, as a user's first conversion writes
        report = folder / "spent.json"
        with open(out, "wb") as stdout:
            start = time.perf_counter()
            proc = subprocess.run([sys.executable, "-c", CHILD, str(report), str(source), *args.cli_args],
                                  stdout=stdout, check=True)
            wall = time.perf_counter() - start
        spent = json.loads(report.read_text())
        ratios.append(wall / spent["parse"])
        written = out.stat().st_size / 1e6 if out.is_file() else float("nan")
        print(f"{run:>4} {wall:>8.2f} {spent['parse']:>8.2f} {ratios[-1]:>11.2f}  {written:.0f}")
        del proc
    print(f"median wall/parse: {statistics.median(ratios):.2f} (target: at most 1.5)")


if __name__ == "__main__":
    main()

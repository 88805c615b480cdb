#!/usr/bin/env python3
"""Long differential fuzzing of velmora.parse against the reference conversion.

Generates well-formed documents and mutations of them (tests/python/xmlgen.py) and checks, for
each, that parse returns a dict or raises PanicException with one text argument (nothing else),
that results (key order included) and messages equal the reference's, and that the process
survives. Cases run in batches, each in a child process, so a crash or a hang is detected and its
input recovered by replaying the batch's generator. Every input that ever failed is appended to
tests/python/regressions.jsonl (or --regressions), which the differential tests replay.

  PYTHONPATH=build .venv/bin/python tools/fuzz_parse.py --seconds 3600 [--seed N] [--jobs 2]
  PYTHONPATH=build .venv/bin/python tools/fuzz_parse.py --cases 5000 --seed 1

Exit status 1 when any case failed. The module's failure reports go to the children's descriptor 2,
which is captured; a crashed child's last lines of it are printed with the crash.
"""
import argparse
import json
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))

import xmlgen  # noqa: E402

BATCH_TIMEOUT = 300  # seconds for one batch: far beyond any real batch, so a hang is reported


def batch_seed(seed, index):
    return seed * 1_000_003 + index


# -- child: runs one batch ---------------------------------------------------------------------

def load_target(target):
    module, _, name = target.partition(":")
    return getattr(__import__(module), name)


def check(convert, reference, xml):
    """None when the case passes, else a description of what went wrong."""
    import differential

    try:
        result = convert(xml)
    except BaseException as e:  # PanicException derives from BaseException
        if type(e).__name__ != "PanicException" or len(e.args) != 1 or not isinstance(e.args[0], str):
            return f"raised {type(e).__module__}.{type(e).__qualname__}{e.args!r}"
        mine = ("panic", e.args[0])
    else:
        if type(result) is not dict:
            return f"returned a {type(result).__name__}, not a dict"
        mine = ("ok", differential.ordered(result))
    ref = differential.outcome(reference, xml)
    if mine != ref:
        return f"parse: {mine!r}\nreference: {ref!r}"
    return None


def run_batch(args):
    import faulthandler

    import _velmora_test

    faulthandler.enable()
    convert = load_target(args.target)
    gen = xmlgen.Generator(args.batch_seed)
    out = sys.stdout
    for index in range(args.count):
        xml = gen.case()
        out.write(f"{index}\n")  # the parent replays the generator up to this index after a crash
        out.flush()
        problem = check(convert, _velmora_test.reference_parse, xml)
        if problem:
            out.write(json.dumps({"index": index, "problem": problem}) + "\n")
    out.write("done\n")
    out.flush()


# -- parent: runs batches in children and records failures --------------------------------------

def replay(seed, index):
    gen = xmlgen.Generator(seed)
    for _ in range(index):
        gen.case()
    return gen.case()


def start_batch(args, seed, count):
    cmd = [sys.executable, __file__, "--worker", "--batch-seed", str(seed), "--count", str(count),
           "--target", args.target]
    # Files rather than pipes: a child never blocks on output while the parent waits for another.
    out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
    proc = subprocess.Popen(cmd, stdout=out, stderr=err)
    proc.outputs = out, err
    return proc


def read_and_close(file):
    file.seek(0)
    text = file.read().decode("utf-8", "replace")
    file.close()
    return text


def finish_batch(proc, seed):
    """Waits for a child; returns (cases run, list of failures as (input, kind, detail))."""
    try:
        proc.wait(timeout=BATCH_TIMEOUT)
        hung = False
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        hung = True
    out, err = (read_and_close(f) for f in proc.outputs)
    failures, last, done = [], -1, False
    for line in out.split("\n"):
        if line == "done":
            done = True
        elif line.isdigit():
            last = int(line)
        elif line.startswith("{"):
            item = json.loads(line)
            failures.append((replay(seed, item["index"]), "difference", item["problem"]))
    if not done:
        if hung:
            kind = "hang"
        elif proc.returncode < 0:
            kind = f"crash ({signal.Signals(-proc.returncode).name})"
        else:
            kind = f"crash (exit status {proc.returncode})"
        tail = "\n".join(err.splitlines()[-15:])
        if last < 0:
            raise SystemExit(f"a batch child failed before its first case: {kind}\n{tail}")
        failures.append((replay(seed, last), kind, tail))
    return last + 1, failures


def record(path, xml, kind):
    with open(path, "a", encoding="utf-8") as f:
        f.write(json.dumps({"input": xml, "found": kind}) + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=60, help="stop starting batches after this")
    ap.add_argument("--cases", type=int, default=None, help="stop after this many cases")
    ap.add_argument("--seed", type=int, default=int.from_bytes(os.urandom(4), "little"))
    ap.add_argument("--batch", type=int, default=1000, help="cases per child process")
    ap.add_argument("--jobs", type=int, default=1, help="children run at once")
    ap.add_argument("--regressions", default=str(ROOT / "tests" / "python" / "regressions.jsonl"))
    ap.add_argument("--target", default="velmora:parse", help="MODULE:FUNCTION checked against the reference")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--batch-seed", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--count", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        return run_batch(args)

    deadline = time.monotonic() + args.seconds
    started = cases = found = 0
    running = []

    def budget_left():
        if args.cases is not None:
            return args.cases - started * args.batch
        return args.batch if time.monotonic() < deadline else 0

    while True:
        while len(running) < args.jobs and budget_left() > 0:
            seed = batch_seed(args.seed, started)
            running.append((start_batch(args, seed, min(args.batch, budget_left())), seed))
            started += 1
        if not running:
            break
        proc, seed = running.pop(0)
        ran, failures = finish_batch(proc, seed)
        cases += ran
        for xml, kind, detail in failures:
            found += 1
            print(f"{kind}: input {xml!r}\n  {detail}", flush=True)
            record(args.regressions, xml, kind)
    print(f"seed {args.seed}: {cases} cases, {found} failures", flush=True)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Long differential fuzzing of velmora.parse against the reference conversion.

Generates well-formed documents and mutations of them, checks that parse returns a dict or
raises PanicException (nothing else), that the process survives, and that results and messages
equal the reference's. Inputs that ever differ are appended to tests/python/regressions.jsonl.

  PYTHONPATH=build .venv/bin/python tools/fuzz_parse.py --seconds 3600 [--seed N]
(the module's failure reports go to descriptor 2; run with 2>/dev/null to keep the terminal quiet)
"""
import argparse
import json
import os
import pathlib
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))

import differential  # noqa: E402
import xmlgen  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--seed", type=int, default=int.from_bytes(os.urandom(4), "little"))
    args = ap.parse_args()
    gen = xmlgen.Generator(args.seed)
    deadline = time.monotonic() + args.seconds
    cases = found = 0
    while time.monotonic() < deadline:
        for _ in range(200):
            xml = gen.case()
            cases += 1
            diff = differential.differs(xml)
            if diff:
                found += 1
                print(diff, file=sys.stdout, flush=True)
                with open(ROOT / "tests" / "python" / "regressions.jsonl", "a", encoding="utf-8") as f:
                    f.write(json.dumps({"input": xml}, ensure_ascii=False) + "\n")
    print(f"seed {args.seed}: {cases} cases, {found} differences", flush=True)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())

"""Child process of the benchmark: times one contender on one deep chain and prints the outcome.

Usage: isolated.py CONTENDER DEPTH REPS BUDGET_SECONDS  (prints one JSON object on stdout)
"""

from __future__ import annotations

import json
import sys

from contenders import Unavailable, prepare
from measure import round_robin
from workloads import Workload, chain, chain_json


def main() -> None:
    contender, depth, reps, budget = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
    workload = Workload(f"chain-{depth}", chain(depth), chain_json(depth))
    try:
        call = prepare(contender, workload)
    except Unavailable as exc:
        outcome = {"status": "unavailable", "reason": str(exc)}
    else:
        outcome = round_robin({contender: call}, reps, budget)[contender]
    json.dump(outcome, sys.stdout)


if __name__ == "__main__":
    main()

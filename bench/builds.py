"""This build of QuilletDB next to another, on compare.py's workloads.

Each round runs compare.py's QuilletDB workloads once with each build, in
fresh processes, alternating which goes first; the table shows the median
over the rounds of each build's figure and of their ratio within the round.

    python bench/builds.py --baseline DIR [--n 100000] [--rounds 5]

DIR holds the other build's _quilletdb module; this build is the one on
PYTHONPATH.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def one_run(pythonpath: str, n: int) -> dict:
    env = dict(os.environ, PYTHONPATH=pythonpath)
    out = subprocess.run([sys.executable, os.path.join(HERE, "compare.py"), "--only", "QuilletDB", "--runs", "1",
                          "--n", str(n), "--json"], env=env, check=True, capture_output=True, text=True).stdout
    return {w: stores["QuilletDB"] for w, stores in json.loads(out)[0].items()}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--baseline", required=True)
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    ours_path = os.environ.get("PYTHONPATH", "")
    rounds = []
    for r in range(args.rounds):
        order = [("this", ours_path), ("baseline", args.baseline)]
        if r % 2:
            order.reverse()
        rounds.append({name: one_run(path, args.n) for name, path in order})
        print(f"round {r + 1}/{args.rounds} done", file=sys.stderr)
    print("| workload | baseline ops/s | this build ops/s | this / baseline |")
    print("|---|---:|---:|---:|")
    for workload in rounds[0]["this"]:
        base = statistics.median(r["baseline"][workload] for r in rounds)
        this = statistics.median(r["this"][workload] for r in rounds)
        ratio = statistics.median(r["this"][workload] / r["baseline"][workload] for r in rounds)
        print(f"| {workload} | {base:,.0f} | {this:,.0f} | {ratio:.2f} |")


if __name__ == "__main__":
    main()

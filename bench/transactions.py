"""Transactions: the rate of an insert in one transaction (this build, and
another build given with --baseline for a before/after), what rollback costs
next to commit, and the resident memory of one transaction of many small
records.

    python bench/transactions.py                       # 100,000 documents, 5 runs
    python bench/transactions.py --baseline DIR        # DIR holds another _quilletdb build
    python bench/transactions.py --memory 10000000     # one transaction of 10M records
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

CHILD = r"""
import json, resource, shutil, sys, tempfile, time
import _quilletdb

def document(i):
    return {"name": f"user{i}", "age": i % 90, "score": i * 0.5, "tags": ["a", "b"], "active": True}

job, n = sys.argv[1], int(sys.argv[2])
path = tempfile.mkdtemp(prefix="quillet-tx-")
db = _quilletdb.open(path)
out = {}
if job == "rates":
    docs = [document(i) for i in range(n)]
    keys = [f"key{i:08d}" for i in range(n)]
    s = db.set
    start = time.perf_counter()
    db.begin()
    for k, d in zip(keys, docs):
        s("docs", k, d)
    db.commit()
    out["commit"] = n / (time.perf_counter() - start)
    start = time.perf_counter()
    db.begin()
    for k, d in zip(keys, docs):
        s("other", k, d)
    mid = time.perf_counter()
    if hasattr(db, "rollback"):
        db.rollback()
        end = time.perf_counter()
        out["rollback"] = n / (end - start)
        out["rollback_call_ms"] = (end - mid) * 1000
else:
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    db.begin()
    s = db.set
    for i in range(n):
        s("small", f"k{i}", i)
    with open("/proc/self/statm") as statm:
        out["rss_before_commit_mb"] = int(statm.read().split()[1]) * resource.getpagesize() / 2**20
    db.commit()
    out["rss_before_mb"] = before / 1024
    out["rss_peak_mb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    out["log_mb"] = __import__("os").path.getsize(f"{path}/small.qdb") / 2**20
db.close()
shutil.rmtree(path)
print(json.dumps(out))
"""


def run(module_dir: str | None, job: str, n: int) -> dict:
    env = dict(os.environ)
    if module_dir:
        env["PYTHONPATH"] = module_dir
    done = subprocess.run([sys.executable, "-c", CHILD, job, str(n)], env=env, capture_output=True, text=True,
                          check=True)
    return json.loads(done.stdout)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--baseline", default=None, help="a directory holding another _quilletdb build")
    ap.add_argument("--memory", type=int, default=0, help="records in the memory run (0: skip it)")
    args = ap.parse_args()
    builds = {"this build": None}
    if args.baseline:
        builds["baseline"] = args.baseline
    for label, module_dir in builds.items():
        runs = [run(module_dir, "rates", args.n) for _ in range(args.runs)]
        line = f"{label}: insert in one transaction {statistics.median(r['commit'] for r in runs):,.0f}/s"
        if "rollback" in runs[0]:
            line += (f"; begin + sets + rollback {statistics.median(r['rollback'] for r in runs):,.0f}/s,"
                     f" the rollback call {statistics.median(r['rollback_call_ms'] for r in runs):.1f} ms")
        print(line)
    if args.memory:
        r = run(None, "memory", args.memory)
        print(f"one transaction of {args.memory:,} small records: RSS {r['rss_before_commit_mb']:.0f} MB before"
              f" commit, peak {r['rss_peak_mb']:.0f} MB (at start {r['rss_before_mb']:.0f} MB), log {r['log_mb']:.0f} MB")


if __name__ == "__main__":
    main()

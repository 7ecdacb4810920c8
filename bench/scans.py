"""Ordered scans through a collection view, next to keys() and sqlite3.

    python bench/scans.py [--n 200000] [--limit 100]

Per key: a full scan `v.keys()` and `v.items()` against `db.keys()` (which
builds a sorted list) and a loop of `db.get`; a range scan of `limit` keys
from a random start (`v.keys(start=...)`, stopped after `limit`) against
sqlite3 `SELECT k FROM docs WHERE k >= ? ORDER BY k LIMIT n` on an indexed
table. Best of three.
"""

from __future__ import annotations

import argparse
import itertools
import os
import pickle
import random
import sqlite3
import tempfile
import time

import _quilletdb


def best(f, repeat=3):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        f()
        times.append(time.perf_counter() - started)
    return min(times)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--limit", type=int, default=100)
    ap.add_argument("--ranges", type=int, default=2_000)
    args = ap.parse_args()
    rng = random.Random(1)
    keys = [f"user{i:08d}" for i in range(args.n)]
    starts = [rng.choice(keys) for _ in range(args.ranges)]
    with tempfile.TemporaryDirectory() as path:
        db = _quilletdb.open(os.path.join(path, "q"))
        for k in keys:
            db.set("docs", k, {"name": k, "age": 3})
        view = db["docs"]
        conn = sqlite3.connect(os.path.join(path, "s.sqlite"))
        conn.execute("CREATE TABLE docs (k TEXT PRIMARY KEY, v BLOB)")
        conn.executemany("INSERT INTO docs VALUES (?, ?)", ((k, pickle.dumps({"name": k, "age": 3})) for k in keys))
        conn.commit()

        rows = [
            ("db.keys(c), sorted list", best(lambda: db.keys("docs")) / args.n),
            ("view.keys(), streamed", best(lambda: sum(1 for _ in view.keys())) / args.n),
            ("view.items(), streamed", best(lambda: sum(1 for _ in view.items())) / args.n),
            ("db.get of every key", best(lambda: [db.get("docs", k) for k in keys]) / args.n),
            ("sqlite3 SELECT k ORDER BY k", best(lambda: conn.execute("SELECT k FROM docs ORDER BY k").fetchall()) / args.n),
        ]
        per_range = args.ranges * args.limit
        rows += [
            (f"view.keys(start=s), first {args.limit}",
             best(lambda: [list(itertools.islice(view.keys(start=s), args.limit)) for s in starts]) / per_range),
            (f"sqlite3 WHERE k >= ? LIMIT {args.limit}",
             best(lambda: [conn.execute("SELECT k FROM docs WHERE k >= ? ORDER BY k LIMIT ?", (s, args.limit)).fetchall()
                           for s in starts]) / per_range),
        ]
        print(f"{args.n:,} keys; range scans of {args.limit} keys from {args.ranges:,} random starts\n")
        print("| scan | ns per key |\n|---|---:|")
        for label, seconds in rows:
            print(f"| {label} | {seconds * 1e9:,.0f} |")
        db.close()
        conn.close()


if __name__ == "__main__":
    main()

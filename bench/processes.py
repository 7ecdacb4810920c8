"""Several processes on one store: QuilletDB next to sqlite3 (WAL) and LMDB.

Two workloads, each store opened separately by every process:
  W. 4 processes writing disjoint keys, one call each: aggregate writes/s
  R. 1 writer and 3 readers: the readers' aggregate gets/s of keys already
     written, while the writer keeps writing

Every store hands its writes to the OS without syncing (sqlite3 with
synchronous=OFF, LMDB with sync=False), as in compare.py; the peers pay for
pickling. Median of the runs.

    python bench/processes.py [--n 50000] [--seconds 3] [--runs 3]
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import pickle
import random
import sqlite3
import statistics
import tempfile
import time

import _quilletdb

try:
    import lmdb
except ImportError:  # reported in the table
    lmdb = None


def document(i: int) -> dict:
    return {"name": f"user{i}", "age": i % 90, "score": i * 0.5, "tags": ["a", "b"], "active": True}


class Quillet:
    name = "QuilletDB"

    def __init__(self, path):
        self.db = _quilletdb.open(path)

    def put(self, key, doc):
        self.db.set("docs", key, doc)

    def get(self, key):
        return self.db.get("docs", key)

    def close(self):
        self.db.close()


class Sqlite:
    name = "sqlite3 (WAL)"

    def __init__(self, path):
        self.conn = sqlite3.connect(os.path.join(path, "db.sqlite"), timeout=60, isolation_level=None)
        self.conn.execute("PRAGMA journal_mode=WAL")
        self.conn.execute("PRAGMA synchronous=OFF")
        self.conn.execute("CREATE TABLE IF NOT EXISTS docs (k TEXT PRIMARY KEY, v BLOB)")

    def put(self, key, doc):
        self.conn.execute("INSERT OR REPLACE INTO docs VALUES (?, ?)", (key, pickle.dumps(doc, 5)))

    def get(self, key):
        row = self.conn.execute("SELECT v FROM docs WHERE k = ?", (key,)).fetchone()
        return pickle.loads(row[0])

    def close(self):
        self.conn.close()


class Lmdb:
    name = "LMDB"

    def __init__(self, path):
        self.env = lmdb.open(path, map_size=8 << 30, sync=False, metasync=False)

    def put(self, key, doc):
        with self.env.begin(write=True) as txn:
            txn.put(key.encode(), pickle.dumps(doc, 5))

    def get(self, key):
        with self.env.begin() as txn:
            return pickle.loads(txn.get(key.encode()))

    def close(self):
        self.env.close()


STORES = [Quillet, Sqlite] + ([Lmdb] if lmdb else [])


def writer(store_class, path, index, n, start, done):
    store = store_class(path)
    start.wait()
    for i in range(n):
        store.put(f"w{index}-{i}", document(i))
    done.value = time.perf_counter()
    store.close()


def reader(store_class, path, n, seconds, start, count):
    store = store_class(path)
    rng = random.Random(os.getpid())
    start.wait()
    reads = 0
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline:
        for _ in range(100):
            store.get(f"w0-{rng.randrange(n)}")
        reads += 100
    count.value = reads
    store.close()


def writing(store_class, n):
    """W: aggregate writes per second of 4 processes."""
    ctx = multiprocessing.get_context("spawn")
    with tempfile.TemporaryDirectory() as path:
        store_class(path).close()
        start = ctx.Barrier(5)
        done = [ctx.Value("d", 0.0) for _ in range(4)]
        procs = [ctx.Process(target=writer, args=(store_class, path, w, n, start, done[w])) for w in range(4)]
        for p in procs:
            p.start()
        start.wait()
        began = time.perf_counter()
        for p in procs:
            p.join()
        return 4 * n / (max(d.value for d in done) - began)


def reading(store_class, n, seconds):
    """R: aggregate gets per second of 3 readers while one process writes."""
    ctx = multiprocessing.get_context("spawn")
    with tempfile.TemporaryDirectory() as path:
        store = store_class(path)
        for i in range(n):
            store.put(f"w0-{i}", document(i))
        store.close()
        start = ctx.Barrier(4)
        counts = [ctx.Value("q", 0) for _ in range(3)]
        procs = [ctx.Process(target=reader, args=(store_class, path, n, seconds, start, counts[r])) for r in range(3)]
        for p in procs:
            p.start()
        # The writer is this process: it writes new keys until the readers stop.
        store = store_class(path)
        start.wait()
        i = 0
        while any(p.is_alive() for p in procs):
            store.put(f"new-{i}", document(i))
            i += 1
        store.close()
        for p in procs:
            p.join()
        return sum(c.value for c in counts) / seconds


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=50_000)
    ap.add_argument("--seconds", type=float, default=3)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    print(f"{args.n:,} keys per writer, median of {args.runs} runs")
    print("| workload | store | ops/s | vs QuilletDB |\n|---|---|---:|---:|")
    for label, measure in (("W. 4 processes writing", lambda s: writing(s, args.n)),
                           ("R. 3 readers beside 1 writer", lambda s: reading(s, args.n, args.seconds))):
        ratios: dict[str, list[float]] = {}
        rates: dict[str, list[float]] = {}
        for _ in range(args.runs):
            run = {s.name: measure(s) for s in STORES}
            for name, rate in run.items():
                rates.setdefault(name, []).append(rate)
                ratios.setdefault(name, []).append(rate / run["QuilletDB"])
        for name in rates:
            print(f"| {label} | {name} | {statistics.median(rates[name]):,.0f} | {statistics.median(ratios[name]):.2f}x |")
    if lmdb is None:
        print("LMDB not installed (pip install lmdb)")


if __name__ == "__main__":
    main()

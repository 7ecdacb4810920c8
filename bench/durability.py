"""Durable writes: rates with every acknowledged write on stable storage.

    python bench/durability.py [--n 300] [--dir DIR]

- the floor: one os.write of a small record followed by os.fdatasync;
- set with open(sync=True), and a small transaction (3 sets, commit, sync);
- sqlite3 with journal_mode=WAL and synchronous=FULL: one INSERT OR REPLACE
  per transaction, and 3 per transaction;
- LMDB with sync=True (when the lmdb package is installed): one put per
  transaction, and 3 per transaction.
All in DIR (default: a temporary directory, so the same disk for each).
"""

from __future__ import annotations

import argparse
import json
import os
import sqlite3
import tempfile
import time

import _quilletdb

DOC = {"name": "user1", "age": 42, "score": 1.5, "tags": ["a", "b"], "active": True}


def rate(fn, n: int) -> float:
    """Calls per second of fn(i) over n calls."""
    start = time.perf_counter()
    for i in range(n):
        fn(i)
    return n / (time.perf_counter() - start)


def floor(base: str, n: int) -> float:
    fd = os.open(os.path.join(base, "floor.log"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    record = b"x" * 64

    def write(_: int) -> None:
        os.write(fd, record)
        os.fdatasync(fd)

    try:
        return rate(write, n)
    finally:
        os.close(fd)


def quillet(base: str, n: int) -> tuple[float, float]:
    db = _quilletdb.open(os.path.join(base, "quillet"), sync=True)

    def one_set(i: int) -> None:
        db.set("users", f"k{i % 1000}", DOC)

    def small_commit(i: int) -> None:
        db.begin()
        for j in range(3):
            db.set("users", f"t{(3 * i + j) % 1000}", DOC)
        db.commit()
        db.sync()  # the commit's own sync belongs to the transaction journal

    result = rate(one_set, n), rate(small_commit, n)
    db.close()
    return result


def sqlite(base: str, n: int) -> tuple[float, float]:
    con = sqlite3.connect(os.path.join(base, "bench.sqlite"), isolation_level=None)
    con.execute("PRAGMA journal_mode=WAL")
    con.execute("PRAGMA synchronous=FULL")
    con.execute("CREATE TABLE IF NOT EXISTS users (k TEXT PRIMARY KEY, v TEXT)")
    value = json.dumps(DOC)

    def one_set(i: int) -> None:
        con.execute("INSERT OR REPLACE INTO users VALUES (?, ?)", (f"k{i % 1000}", value))

    def small_commit(i: int) -> None:
        con.execute("BEGIN")
        for j in range(3):
            con.execute("INSERT OR REPLACE INTO users VALUES (?, ?)", (f"t{(3 * i + j) % 1000}", value))
        con.execute("COMMIT")

    result = rate(one_set, n), rate(small_commit, n)
    con.close()
    return result


def lmdb_rates(base: str, n: int) -> tuple[float, float] | None:
    try:
        import lmdb
    except ImportError:
        return None
    env = lmdb.open(os.path.join(base, "lmdb"), map_size=1 << 30, sync=True)
    value = json.dumps(DOC).encode()

    def one_set(i: int) -> None:
        with env.begin(write=True) as txn:
            txn.put(f"k{i % 1000}".encode(), value)

    def small_commit(i: int) -> None:
        with env.begin(write=True) as txn:
            for j in range(3):
                txn.put(f"t{(3 * i + j) % 1000}".encode(), value)

    result = rate(one_set, n), rate(small_commit, n)
    env.close()
    return result


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=300)
    parser.add_argument("--dir", default=None)
    args = parser.parse_args()
    base = tempfile.mkdtemp(prefix="quillet-durable-", dir=args.dir)
    print(f"directory: {base}, {args.n} calls each")
    print(f"{'':34} {'set/s':>9} {'commit(3)/s':>12}")
    print(f"{'write + fdatasync (the floor)':34} {floor(base, args.n):>9.0f} {'':>12}")
    rows = [("quilletdb sync=True", quillet(base, args.n)), ("sqlite3 WAL synchronous=FULL", sqlite(base, args.n))]
    lm = lmdb_rates(base, args.n)
    if lm is not None:
        rows.append(("LMDB sync=True", lm))
    for name, (sets, commits) in rows:
        print(f"{name:34} {sets:>9.0f} {commits:>12.0f}")


if __name__ == "__main__":
    main()

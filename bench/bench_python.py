"""Per-call cost of the module from Python, next to the alternatives.

For one small document, measured call by call from Python:
- get of a record written since the database was opened (served from memory),
- get after reopening (read from the file),
- set one call at a time, and set inside begin()/commit() (commit included),
next to a dict lookup, marshal.loads of the same document (the least any
store that keeps bytes must pay to hand back a dict), and sqlite3 in WAL mode
with synchronous=OFF doing the same work (documents kept as marshal bytes).
Then resolve over a three-link path, backlinks of a record with 100,000
incoming links, and two adversarial resolutions.

    python3 bench/bench_python.py            # full size
    python3 bench/bench_python.py --quick    # a smoke run

Every figure is the best of several repeats, in microseconds per call.
"""

from __future__ import annotations

import argparse
import gc
import marshal
import os
import shutil
import sqlite3
import sys
import tempfile
import time

import _quilletdb
from _quilletdb import Link

DOCUMENT = {
    "name": "Alice Example",
    "age": 31,
    "email": "alice@example.org",
    "score": 0.875,
    "active": True,
    "tags": ["admin", "editor", "beta"],
    "address": {"city": "Paris", "zip": "75001"},
}


def best_per_call(run, calls, repeats):
    """Smallest time per call over `repeats` runs of `run()`, which makes `calls` calls."""
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        gc.disable()
        start = time.perf_counter()
        run()
        elapsed = time.perf_counter() - start
        gc.enable()
        best = min(best, elapsed / calls)
    return best * 1e6


def quillet_figures(directory, keys, repeats):
    figures = {}
    db = _quilletdb.open(directory)
    for key in keys:
        db.set("docs", key, DOCUMENT)
    get = db.get

    def get_all():
        for key in keys:
            get("docs", key)

    figures["get, written since open"] = best_per_call(get_all, len(keys), repeats)

    def set_each():
        for key in keys:
            db.set("docs", key, DOCUMENT)

    figures["set, one call at a time"] = best_per_call(set_each, len(keys), repeats)

    def set_in_transaction():
        db.begin()
        for key in keys:
            db.set("docs", key, DOCUMENT)
        db.commit()

    figures["set inside a transaction"] = best_per_call(set_in_transaction, len(keys), repeats)
    del db, get
    db = _quilletdb.open(directory)
    get = db.get
    figures["get after reopening (file)"] = best_per_call(get_all, len(keys), repeats)
    return figures


def sqlite_figures(directory, keys, repeats):
    figures = {}
    path = os.path.join(directory, "bench.sqlite")

    def connect():
        connection = sqlite3.connect(path, isolation_level=None)
        connection.execute("PRAGMA journal_mode=WAL")
        connection.execute("PRAGMA synchronous=OFF")
        return connection

    connection = connect()
    connection.execute("CREATE TABLE IF NOT EXISTS docs (k TEXT PRIMARY KEY, v BLOB) WITHOUT ROWID")
    for key in keys:
        connection.execute("INSERT OR REPLACE INTO docs VALUES (?, ?)", (key, marshal.dumps(DOCUMENT)))

    def get_all():
        execute = connection.execute
        for key in keys:
            marshal.loads(execute("SELECT v FROM docs WHERE k = ?", (key,)).fetchone()[0])

    figures["get, written since open"] = best_per_call(get_all, len(keys), repeats)

    def set_each():
        execute = connection.execute
        for key in keys:
            execute("INSERT OR REPLACE INTO docs VALUES (?, ?)", (key, marshal.dumps(DOCUMENT)))

    figures["set, one call at a time"] = best_per_call(set_each, len(keys), repeats)

    def set_in_transaction():
        execute = connection.execute
        execute("BEGIN")
        for key in keys:
            execute("INSERT OR REPLACE INTO docs VALUES (?, ?)", (key, marshal.dumps(DOCUMENT)))
        execute("COMMIT")

    figures["set inside a transaction"] = best_per_call(set_in_transaction, len(keys), repeats)
    connection.close()
    connection = connect()
    figures["get after reopening (file)"] = best_per_call(get_all, len(keys), repeats)
    connection.close()
    return figures


def baseline_figures(keys, repeats):
    table = {key: DOCUMENT for key in keys}
    blob = marshal.dumps(DOCUMENT)

    def dict_access():
        for key in keys:
            table[key]

    def marshal_loads():
        loads = marshal.loads
        for _ in keys:
            loads(blob)

    return {
        "dict lookup": best_per_call(dict_access, len(keys), repeats),
        "marshal.loads of the document": best_per_call(marshal_loads, len(keys), repeats),
    }


def link_figures(directory, incoming, repeats):
    """resolve over three links, and backlinks of a much-linked record."""
    db = _quilletdb.open(directory)
    db.set("cities", "paris", {"name": "Paris"})
    db.set("addresses", "a1", {"city": Link("cities/paris")})
    db.set("users", "alice", {"address": Link("addresses/a1")})
    db.set("posts", "p1", {"author": Link("users/alice")})
    path = ["author", "address", "city", "name"]
    calls = 20_000

    def resolve_many():
        for _ in range(calls):
            db.resolve("posts", "p1", path)

    figures = {"resolve over a three-link path": (best_per_call(resolve_many, calls, repeats), "µs/call")}
    db.begin()
    db.set_many([("fans", str(i), {"idol": Link("stars/s1")}) for i in range(incoming)])
    db.commit()
    assert len(db.backlinks("stars", "s1")) == incoming

    def backlinks_once():
        db.backlinks("stars", "s1")

    per_call = best_per_call(backlinks_once, 1, repeats)
    figures[f"backlinks of a record with {incoming:,} incoming links"] = (per_call / 1000, "ms/call")
    return figures


def adversarial_figures(directory):
    """Resolutions whose naive cost would be far out of proportion to the input."""
    figures = {}
    db = _quilletdb.open(directory)
    old_limit = sys.getrecursionlimit()
    sys.setrecursionlimit(100_000)
    try:
        value = "bottom"
        for _ in range(9000):
            value = {"d": value}
        db.set("deep", "k", value)
    finally:
        sys.setrecursionlimit(old_limit)
    path = ["d"] * 300_000
    start = time.perf_counter()
    try:
        db.resolve("deep", "k", path)
    except RuntimeError:  # "field not found": the path goes on past the bottom
        pass
    figures["path of 300,000 segments into a record 9,000 deep"] = ((time.perf_counter() - start) * 1000, "ms")

    # f<i> links to the root itself through a key read from f<i+1>: each level
    # leads through the next one twice.
    root = {f"f{i}": Link(f"start/$self.f{i + 1}.key/f{i + 1}") for i in range(31)}
    root["f31"] = {"key": "r"}
    db.set("start", "r", root)
    start = time.perf_counter()
    result = db.resolve("start", "r", ["f0", "key"])
    assert result == "r", result
    figures["31 links whose $self. keys each lead through the next"] = ((time.perf_counter() - start) * 1000, "ms")
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, one repeat")
    args = parser.parse_args()
    keys = [f"user{i:06d}" for i in range(2_000 if args.quick else 50_000)]
    repeats = 1 if args.quick else 5
    incoming = 1_000 if args.quick else 100_000

    workdir = tempfile.mkdtemp(prefix="bench-python-")
    try:
        quillet = quillet_figures(os.path.join(workdir, "quillet"), keys, repeats)
        sqlite = sqlite_figures(workdir, keys, repeats)
        baselines = baseline_figures(keys, repeats)
        links = link_figures(os.path.join(workdir, "links"), incoming, repeats)
        adversarial = adversarial_figures(os.path.join(workdir, "adversarial"))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    print(f"Python {sys.version.split()[0]}, {len(keys):,} keys, best of {repeats}; µs per call")
    print(f"{'operation':32} {'QuilletDB':>10} {'sqlite3':>10} {'sqlite3/Q':>10}")
    for name, ours in quillet.items():
        theirs = sqlite[name]
        print(f"{name:32} {ours:10.2f} {theirs:10.2f} {theirs / ours:10.2f}")
    for name, figure in baselines.items():
        print(f"{name:32} {figure:10.2f}")
    print()
    for name, (figure, unit) in {**links, **adversarial}.items():
        print(f"{name:56} {figure:10.2f} {unit}")


if __name__ == "__main__":
    main()

"""Reopening a large collection with and without its key index file.

For each size: open time with the index file (`<name>.qdb-index`, written at
close) and without it (removed before the open), warm (file in the page
cache) and cold (the files' pages dropped first), the time the close that
writes the index takes, and the open after appending 1,000 records to an
indexed collection.

    PYTHONPATH=build/t:. python3 bench/reopen.py [--sizes 1000000,10000000] [--runs 3]

Cold: `echo 3 > /proc/sys/vm/drop_caches` when permitted; otherwise each
file's own pages are dropped with posix_fadvise(DONTNEED), which evicts the
clean pages of just those files (the report says which was used).
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import tempfile
import time

import _quilletdb

BATCH = 100_000


def fill(path: str, n: int) -> None:
    db = _quilletdb.open(path)
    for start in range(0, n, BATCH):
        db.set_many([("c", f"user:{i:08d}", i) for i in range(start, min(n, start + BATCH))])
    db.close()


def drop_cache(path: str) -> str:
    try:
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
        return "drop_caches"
    except OSError:
        pass
    for name in os.listdir(path):
        fd = os.open(os.path.join(path, name), os.O_RDONLY)
        try:
            os.fsync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)
    return "posix_fadvise(DONTNEED)"


COLD_BY = ["not measured"]


def timed_open(path: str, with_index: bool, cold: bool) -> float:
    index = os.path.join(path, "c.qdb-index")
    if not with_index and os.path.exists(index):
        os.remove(index)
    if cold:
        COLD_BY[0] = drop_cache(path)
    t0 = time.perf_counter()
    db = _quilletdb.open(path)
    db.get("c", "user:00000000")
    elapsed = time.perf_counter() - t0
    db.close()  # writes the index again when it was missing
    return elapsed


def timed_close(path: str) -> float:
    os.remove(os.path.join(path, "c.qdb-index"))
    db = _quilletdb.open(path)
    db.get("c", "user:00000000")
    t0 = time.perf_counter()
    db.close()
    return time.perf_counter() - t0


def append_then_open(path: str) -> float:
    db = _quilletdb.open(path)
    db.set_many([("c", f"late:{i}", i) for i in range(1000)])
    db.close()
    return timed_open(path, True, False)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1000000,10000000")
    parser.add_argument("--runs", type=int, default=3, help="runs per figure (sizes over 2M run once)")
    args = parser.parse_args()
    for n in (int(s) for s in args.sizes.split(",")):
        runs = 1 if n > 2_000_000 else args.runs
        path = tempfile.mkdtemp(prefix="quillet-reopen-")
        try:
            fill(path, n)
            log_mb = os.path.getsize(os.path.join(path, "c.qdb")) / 1e6
            timed_open(path, False, False)  # warms the cache, writes the index
            index_mb = os.path.getsize(os.path.join(path, "c.qdb-index")) / 1e6
            row = {}
            for label, with_index, cold in [
                ("scan, warm", False, False),
                ("index, warm", True, False),
                ("scan, cold", False, True),
                ("index, cold", True, True),
            ]:
                row[label] = statistics.median(timed_open(path, with_index, cold) for _ in range(runs))
            close = statistics.median(timed_close(path) for _ in range(runs))
            appended = statistics.median(append_then_open(path) for _ in range(runs))
            print(f"{n:,} records (log {log_mb:.0f} MB, index {index_mb:.0f} MB), median of {runs}:")
            for label, seconds in row.items():
                print(f"  open, {label}: {seconds * 1000:.0f} ms")
            print(f"  close writing the index: {close * 1000:.0f} ms")
            print(f"  open after appending 1,000 records (index, warm): {appended * 1000:.0f} ms")
        finally:
            shutil.rmtree(path)
    print(f"cold cache by: {COLD_BY[0]}")


if __name__ == "__main__":
    main()

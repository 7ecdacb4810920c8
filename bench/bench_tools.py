"""How long the quilletdb command's check, compact and stat take on a
1,000,000-record database (files in the page cache). Compact
syncs what it writes, so its wall time includes the device's.

The database has a history: posts are written, rewritten and deleted, most
of them link to a user and some to tags, so the backlink files hold adds and
removes; 1,000,000 records in all, about a third of them live. Timed through
the module functions the command calls.

    python3 bench/bench_tools.py                   # 1,000,000 records
    python3 bench/bench_tools.py --records 100000  # a smaller run
    python3 bench/bench_tools.py --quick           # a smoke run (20,000)
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import tempfile
import time

import _quilletdb
from _quilletdb import Link

BATCH = 10_000


def build(path: str, records: int, seed: int = 7) -> None:
    """Writes `records` records: users first, then posts with a history."""
    rng = random.Random(seed)
    users = max(1, records // 100)
    posts = max(1, records // 3)
    written = 0
    with _quilletdb.open(path) as db:
        db.begin()
        for i in range(users):
            db.set("users", f"user{i:07}", {"name": f"User {i}", "joined": 2000 + i % 25})
        written += users
        db.commit()
        while written < records:
            db.begin()
            batch = []
            for _ in range(min(BATCH, records - written)):
                key = f"post{rng.randrange(posts):08}"
                roll = rng.random()
                if roll < 0.1:
                    batch.append(("posts", key, _quilletdb.TOMBSTONE))
                    continue
                value = {"title": f"title {written}", "words": rng.randrange(10_000)}
                if roll < 0.85:
                    value["author"] = Link(f"users/user{rng.randrange(users):07}")
                if roll < 0.3:
                    value["tags"] = [Link(f"tags/t{rng.randrange(50)}"), Link(f"tags/t{rng.randrange(50)}")]
                batch.append(("posts", key, value))
            db.set_many(batch)
            written += len(batch)
            db.commit()


def size_of(path: str) -> int:
    return sum(os.path.getsize(os.path.join(path, name)) for name in os.listdir(path))


def timed(label: str, work):
    """Wall and CPU seconds of `work()`; on a busy machine the CPU time is
    what the operation itself costs."""
    start, cpu = time.perf_counter(), time.process_time()
    result = work()
    return label, time.perf_counter() - start, time.process_time() - cpu, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--quick", action="store_true", help="20,000 records")
    parser.add_argument("--dir", help="where to build the databases (default: a temporary directory)")
    args = parser.parse_args()
    records = 20_000 if args.quick else args.records

    base = tempfile.mkdtemp(prefix="quillet-bench-tools-", dir=args.dir)
    try:
        source = os.path.join(base, "source")
        out = os.path.join(base, "compacted")
        start = time.perf_counter()
        build(source, records)
        print(f"built {records:,} records in {time.perf_counter() - start:.1f} s: {size_of(source) / 2**20:.1f} MiB")

        stat = _quilletdb._stat(source)
        live = sum(c["live_keys"] for c in stat["collections"])
        on_file = sum(c["records"] for c in stat["collections"])
        assert on_file == records, (on_file, records)
        rows = [
            timed("stat", lambda: _quilletdb._stat(source)),
            timed("check", lambda: _quilletdb._check(source)),
            timed("compact", lambda: _quilletdb._compact(source, out)),
            timed("check of the copy", lambda: _quilletdb._check(out)),
        ]
        assert rows[1][3]["sound"] and rows[3][3]["sound"]
        compacted = rows[2][3]
        print(
            f"{live:,} live keys; compacted to {compacted['records_written']:,} records, "
            f"{compacted['backlink_entries']:,} backlink entries, {size_of(out) / 2**20:.1f} MiB"
        )
        print()
        print(f"{'operation':<20}{'seconds':>10}{'cpu seconds':>14}{'records/s':>14}")
        for label, seconds, cpu, _ in rows:
            count = compacted["records_written"] if label == "check of the copy" else records
            print(f"{label:<20}{seconds:>10.2f}{cpu:>14.2f}{count / seconds:>14,.0f}")
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()

"""Compaction in place: space reclaimed, throughput next to `cp`, and the
pauses a writer in another process sees while compactions run.

    PYTHONPATH=build/t:. python3 bench/compaction.py [--overwrites N] [--keys K]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import _quilletdb

# Writes one key after another until told to stop, and prints each write's
# start and duration (monotonic seconds, shared by every process).
WRITER = r"""
import sys, time, _quilletdb
db = _quilletdb.open(sys.argv[1])
stop = sys.argv[2]
out = []
import os
i = 0
while not os.path.exists(stop):
    t0 = time.monotonic()
    db.set("c", f"w{i % 100}", {"i": i})
    out.append((t0, time.monotonic() - t0))
    i += 1
db.close()
sys.stdout.write("\n".join(f"{a} {b}" for a, b in out))
"""


def percentile(sorted_values: list[float], p: float) -> float:
    return sorted_values[min(len(sorted_values) - 1, int(p * len(sorted_values)))]


def fill(db, overwrites: int, keys: int, base: int = 0) -> None:
    batch = []
    for i in range(overwrites):
        batch.append(("c", f"key{i % keys:05d}", {"n": base + i, "pad": "x" * 16}))
        if len(batch) == 10_000:
            db.set_many(batch)
            batch = []
    if batch:
        db.set_many(batch)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--overwrites", type=int, default=1_000_000)
    parser.add_argument("--keys", type=int, default=1_000)
    parser.add_argument("--rounds", type=int, default=5, help="compactions while the writer writes")
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="quillet-compaction-")
    try:
        path = os.path.join(root, "db")
        db = _quilletdb.open(path)
        fill(db, args.overwrites, args.keys)
        data = os.path.join(path, "c.qdb")
        before = os.path.getsize(data)

        t0 = time.perf_counter()
        subprocess.run(["cp", data, os.path.join(root, "copy")], check=True)
        cp_s = time.perf_counter() - t0
        os.remove(os.path.join(root, "copy"))
        t0 = time.perf_counter()
        report = db.compact("c")
        compact_s = time.perf_counter() - t0
        after = os.path.getsize(data)
        print(f"after {args.overwrites:,} overwrites of {args.keys:,} keys: {before:,} B -> {after:,} B")
        print(f"  (the live records: {report['bytes_after']:,} B, {db.count('c'):,} keys)")
        mb = before / 1e6
        print(f"throughput: compact {mb / compact_s:,.0f} MB/s of the old file; cp {mb / cp_s:,.0f} MB/s")

        stop = os.path.join(root, "stop")
        writer = subprocess.Popen(
            [sys.executable, "-c", WRITER, path, stop], stdout=subprocess.PIPE, text=True, env=os.environ
        )
        time.sleep(0.5)
        windows = []
        for r in range(args.rounds):
            fill(db, args.overwrites // args.rounds, args.keys, base=r)
            t0 = time.monotonic()
            db.compact("c")
            windows.append((t0, time.monotonic()))
        open(stop, "w").close()
        lines = writer.communicate()[0].split("\n")
        writes = [tuple(map(float, line.split())) for line in lines if line]
        during = sorted(d for start, d in writes if any(a <= start + d and start <= b for a, b in windows))
        outside = sorted(d for start, d in writes if not any(a <= start + d and start <= b for a, b in windows))
        ms = 1000
        print(
            f"writer in another process, {len(during):,} writes overlapping {args.rounds} compactions: "
            f"p50 {percentile(during, 0.5) * ms:.3f} ms, p99 {percentile(during, 0.99) * ms:.3f} ms, "
            f"max {during[-1] * ms:.3f} ms (outside compactions: p50 {percentile(outside, 0.5) * ms:.3f} ms, "
            f"max {outside[-1] * ms:.3f} ms)"
        )
        db.close()
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()

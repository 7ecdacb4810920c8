"""Several processes on one directory, each with its own Database.

Every worker owns a range of keys in "docs" whose values carry a version it
publishes (in shared memory) once `set` has returned, and writes, deletes and
relinks keys of "posts" that every worker shares. Between writes it reads
keys the others own: each read must return a version at least as new as the
one acknowledged before the read began. Values link to records of "users",
so the backlink logs of every process are exercised at once.

With `kill`, one worker is killed at a random moment, in the middle of a
write of up to 1 MiB if it lands there; the survivors must go on without
waiting more than a second for any call, and nothing acknowledged is lost.

Afterwards the directory is checked: every acknowledged version is there,
the backlinks of every user equal a recomputation from the live records, and
the command's `check` finds nothing.

    python tests/python/processes.py --workers 4 --seconds 30
    python tests/python/processes.py --workers 3 --seconds 20 --kill
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import random
import signal
import sys
import tempfile
import time

import _quilletdb
from _quilletdb import Link

KEYS_PER_WORKER = 50
SHARED_POSTS = 40
USERS = 12


def own_key(worker: int, i: int) -> str:
    return f"w{worker}-{i}"


def worker(path: str, index: int, workers: int, seconds: float, seed: int, big: bool, acked, stats, writing) -> None:
    rng = random.Random(seed * 1000 + index)
    db = _quilletdb.open(path)
    version = 0
    stale = 0
    slowest = 0.0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        started = time.monotonic()
        roll = rng.random()
        if roll < 0.4:
            i = rng.randrange(KEYS_PER_WORKER)
            version += 1
            writing[index] = i
            size = rng.choice([0, 100, 5000, 200_000, 1_000_000]) if big else rng.choice([0, 100])
            db.set("docs", own_key(index, i), {"v": version, "by": Link(f"users/u{rng.randrange(USERS)}"), "pad": b"x" * size})
            acked[index * KEYS_PER_WORKER + i] = version
        elif roll < 0.65:
            p = rng.randrange(SHARED_POSTS)
            post = f"p{p}"
            writing[index] = KEYS_PER_WORKER + p
            if rng.random() < 0.2:
                db.delete("posts", post)
            else:
                links = {f"l{j}": Link(f"users/u{rng.randrange(USERS)}") for j in range(rng.randrange(3))}
                db.set("posts", post, {"links": links, "by": index})
        else:
            other = rng.randrange(workers)
            i = rng.randrange(KEYS_PER_WORKER)
            before = acked[other * KEYS_PER_WORKER + i]
            try:
                got = db.get("docs", own_key(other, i))["v"]
            except KeyError:
                got = 0
            if got < before:
                stale += 1
        slowest = max(slowest, time.monotonic() - started)
    db.close()
    stats[index * 2] = stale
    stats[index * 2 + 1] = slowest


def links_of(value, path=""):
    """The (target collection, target key, source path) of every link in a value."""
    if isinstance(value, Link):
        collection, _, key = value.path.partition("/")
        found = [(collection, key.split("/")[0], path)] if key and not key.startswith("$") else []
        return found + links_of(value.local, path)
    if isinstance(value, dict):
        return [l for k, v in value.items() for l in links_of(v, f"{path}/{k}" if path else k)]
    if isinstance(value, list):
        return [l for i, v in enumerate(value) for l in links_of(v, f"{path}/{i}" if path else str(i))]
    return []


def verify(path: str, acked, workers: int, in_flight: set[str]) -> list[str]:
    """What is wrong with the directory after the workers stopped."""
    faults = []
    db = _quilletdb.open(path)
    for w in range(workers):
        for i in range(KEYS_PER_WORKER):
            want = acked[w * KEYS_PER_WORKER + i]
            if want == 0:
                continue
            try:
                got = db.get("docs", own_key(w, i))["v"]
            except KeyError:
                got = 0
            if got < want:
                faults.append(f"docs/{own_key(w, i)}: acknowledged version {want}, found {got}")
    expected: dict[str, set] = {}
    for collection in ("docs", "posts"):
        for key in db.keys(collection):
            for target_collection, target_key, source_path in links_of(db.get(collection, key)):
                expected.setdefault(target_key, set()).add((collection, key, source_path))
    for u in range(USERS):
        listed = {(b["source_collection"], b["source_key"], b["source_path"]) for b in db.backlinks("users", f"u{u}")}
        wanted = expected.get(f"u{u}", set())
        if {e for e in listed ^ wanted if e[1] not in in_flight}:
            faults.append(f"users/u{u}: backlinks {sorted(listed)} but the records call for {sorted(wanted)}")
    db.close()
    if not in_flight:
        report = _quilletdb._check(path)
        faults += [f"check: {problem}" for problem in report["problems"]]
    return faults


def run(workers: int, seconds: float, seed: int, base: str, kill: bool = False) -> dict:
    """Runs the workers and checks the directory; returns the figures."""
    context = multiprocessing.get_context("spawn")
    path = tempfile.mkdtemp(dir=base)
    acked = context.Array("q", workers * KEYS_PER_WORKER, lock=False)
    stats = context.Array("d", workers * 2, lock=False)
    writing = context.Array("q", workers, lock=False)  # what each worker writes now
    procs = [
        context.Process(target=worker, args=(path, w, workers, seconds, seed, kill, acked, stats, writing))
        for w in range(workers)
    ]
    for p in procs:
        p.start()
    in_flight: set[str] = set()
    victim = None
    if kill:
        time.sleep(random.Random(seed).uniform(0.2, seconds * 0.6))
        victim = 0
        os.kill(procs[victim].pid, signal.SIGKILL)
        # The record the victim was writing, whose backlinks may be half made.
        w = writing[victim]
        in_flight = {own_key(victim, w) if w < KEYS_PER_WORKER else f"p{w - KEYS_PER_WORKER}"}
    for p in procs:
        p.join()
    survivors = [w for w in range(workers) if w != victim]
    if any(procs[w].exitcode != 0 for w in survivors):
        raise AssertionError(f"a worker failed: {[p.exitcode for p in procs]}")
    faults = verify(path, acked, workers, in_flight)
    return {
        "faults": faults,
        "stale_reads": sum(int(stats[w * 2]) for w in survivors),
        "slowest_call": max(stats[w * 2 + 1] for w in survivors),
        "writes_acknowledged": sum(1 for v in acked if v),
    }


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--workers", type=int, default=4)
    ap.add_argument("--seconds", type=float, default=30)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--kill", action="store_true")
    ap.add_argument("--rounds", type=int, default=1)
    args = ap.parse_args()
    worst = 0.0
    for r in range(args.rounds):
        with tempfile.TemporaryDirectory() as base:
            result = run(args.workers, args.seconds, args.seed + r, base, args.kill)
        worst = max(worst, result["slowest_call"])
        print(f"round {r}: {result}")
        if result["faults"] or result["stale_reads"]:
            sys.exit(1)
    print(f"slowest call of any survivor: {worst:.3f} s")


if __name__ == "__main__":
    main()

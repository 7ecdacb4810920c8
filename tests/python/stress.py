"""Threads and several Database objects on one directory, under load.

Eight threads share three Database objects opened on the same directory. Each
thread owns its keys (so the final state is known) and mixes get, set, delete,
set_many, resolve, backlinks and transactions. The run checks that no thread
hangs, that memory stays flat once warm, and that after reopening every key
holds its owner's last write and the backlinks equal a recomputation.

    python tests/python/stress.py --seconds 60
"""

from __future__ import annotations

import argparse
import random
import tempfile
import threading
import time

import _quilletdb as q

THREADS = 8
DATABASES = 3
KEYS_PER_THREAD = 40


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * 4


def worker(index: int, db, seconds: float, final: dict, errors: list, lock_db: threading.Lock) -> None:
    rng = random.Random(index)
    mine = [f"t{index}-k{i}" for i in range(KEYS_PER_THREAD)]
    state: dict[str, object] = {}
    deadline = time.monotonic() + seconds
    n = 0
    try:
        while time.monotonic() < deadline:
            n += 1
            key = rng.choice(mine)
            roll = rng.random()
            if roll < 0.35:
                value = {"n": n, "owner": q.Link(f"users/u{rng.randrange(20)}"), "tags": [n, str(n)]}
                db.set("docs", key, value)
                state[key] = ("link", value["owner"].path, n)
            elif roll < 0.45:
                db.delete("docs", key)
                state[key] = None
            elif roll < 0.55:
                items = [("docs", k, {"n": n, "plain": True}) for k in rng.sample(mine, 3)]
                db.set_many(items)
                for _, k, _v in items:
                    state[k] = ("plain", n)
            elif roll < 0.6:
                # Transactions are per Database object, not per thread: serialise
                # them among the threads sharing this object.
                with lock_db:
                    db.begin()
                    for k in rng.sample(mine, 4):
                        db.set("docs", k, {"n": n, "plain": True})
                        state[k] = ("plain", n)
                    db.commit()
            elif roll < 0.8:
                try:
                    db.get("docs", key)
                except KeyError:
                    pass
            elif roll < 0.9:
                try:
                    db.resolve("docs", key, ["owner", "name"])
                except RuntimeError as e:
                    assert str(e) == "storage: key not found", str(e)
            else:
                db.backlinks("users", f"u{rng.randrange(20)}")
    except BaseException as e:  # reported to the main thread
        errors.append(repr(e))
    final[index] = state


def run(seconds: float, directory: str) -> dict:
    dbs = [q.open(directory) for _ in range(DATABASES)]
    for u in range(20):
        dbs[0].set("users", f"u{u}", {"name": f"user {u}"})
    locks = [threading.Lock() for _ in dbs]
    final: dict[int, dict] = {}
    errors: list[str] = []
    threads = [
        threading.Thread(target=worker, args=(i, dbs[i % DATABASES], seconds, final, errors, locks[i % DATABASES]))
        for i in range(THREADS)
    ]
    start_rss = None
    for t in threads:
        t.start()
    # Memory is sampled once the caches are warm and again at the end.
    time.sleep(seconds / 3)
    start_rss = rss_kib()
    for t in threads:
        t.join(timeout=seconds + 60)
    hung = [t.name for t in threads if t.is_alive()]
    end_rss = rss_kib()
    assert not hung, f"threads did not finish: {hung}"
    assert not errors, errors
    del dbs

    db = q.open(directory)
    expected_links: dict[str, list] = {}
    for state in final.values():
        for key, want in state.items():
            if want is None:
                try:
                    db.get("docs", key)
                except KeyError:
                    continue
                raise AssertionError(f"{key} should be deleted")
            got = db.get("docs", key)
            assert got["n"] == want[-1], (key, got, want)
            if want[0] == "link":
                assert got["owner"].path == want[1]
                expected_links.setdefault(want[1].split("/")[1], []).append(("docs", key, "owner"))
    for u in range(20):
        got = sorted((e["source_collection"], e["source_key"], e["source_path"]) for e in db.backlinks("users", f"u{u}"))
        assert got == sorted(expected_links.get(f"u{u}", [])), f"backlinks of u{u}"
    return {"rss_growth_kib": end_rss - start_rss, "threads": THREADS, "databases": DATABASES}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=60)
    args = ap.parse_args()
    result = run(args.seconds, tempfile.mkdtemp(prefix="quillet-stress-"))
    print(f"{result['threads']} threads on {result['databases']} Database objects for {args.seconds:.0f} s: "
          f"no crash, no hang, state verified; RSS growth after warm-up {result['rss_growth_kib']} KiB")


if __name__ == "__main__":
    main()

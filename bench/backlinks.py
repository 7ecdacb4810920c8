"""db.backlinks of a record with 100 incoming links, next to its floor: C
code building the same list of 100 three-entry dicts from strings that
already exist (bench/floor/backlinks_floor.cc, built with
-DQUILLET_BUILD_BENCH=ON into the same folder as the module).

    PYTHONPATH=build/rel python bench/backlinks.py
"""

from __future__ import annotations

import gc
import shutil
import statistics
import tempfile
import time

import _quillet_floor
import _quilletdb

USERS, POSTS = 1_000, 100_000


def per_call(fn, args, repeats=5) -> float:
    times = []
    for _ in range(repeats):
        gc.collect()
        gc.disable()
        start = time.perf_counter()
        for a in args:
            fn(a)
        times.append((time.perf_counter() - start) / len(args))
        gc.enable()
    return statistics.median(times)


def main() -> None:
    path = tempfile.mkdtemp(prefix="quillet-backlinks-")
    db = _quilletdb.open(path)
    db.begin()
    for u in range(USERS):
        db.set("users", f"u{u}", {"name": f"user{u}"})
    for p in range(POSTS):
        db.set("posts", f"p{p}", {"title": f"post {p}", "author": _quilletdb.Link(f"users/u{p % USERS}")})
    db.commit()
    users = [f"u{u}" for u in range(0, USERS, 3)]
    made = {u: [(e["source_collection"], e["source_key"], e["source_path"]) for e in db.backlinks("users", u)]
            for u in users}
    assert all(len(t) == POSTS // USERS for t in made.values())
    assert _quillet_floor.dicts(made[users[0]]) == db.backlinks("users", users[0])
    triples = [made[u] for u in users]

    ours = per_call(lambda u: db.backlinks("users", u), users)
    floor = per_call(_quillet_floor.dicts, triples)
    print(f"backlinks of a record with {POSTS // USERS} links: {ours * 1e6:.2f} us; "
          f"floor {floor * 1e6:.2f} us; ratio {ours / floor:.2f}x (target <= 1.25x)")
    del db
    shutil.rmtree(path, ignore_errors=True)


if __name__ == "__main__":
    main()

"""Kill test: a child writes a seeded sequence of operations and reports each
acknowledged call; the parent kills it with SIGKILL at a random moment, then
reopens the directory and checks that nothing acknowledged was lost.

Run as a script for a long run:  python tests/python/killtest.py --points 5000
"""

from __future__ import annotations

import argparse
import os
import random
import select
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field

import _quilletdb as q

COLLECTIONS = ["users", "posts", "tags"]
DELETE = "<delete>"  # a write that deletes the key
KEYS = [f"k{i}" for i in range(12)]


@dataclass
class Op:
    """One acknowledged unit: a single call, or a whole transaction."""

    kind: str  # "set", "delete", "set_many", "txn", "compact"
    writes: list = field(default_factory=list)  # [(collection, key, value or DELETE)]


def random_value(rng: random.Random):
    roll = rng.random()
    if roll < 0.15:
        return None
    if roll < 0.3:
        return rng.randint(-(2**40), 2**40)
    if roll < 0.4:
        # Now and then larger than a transaction's write buffer, and than a
        # torn tail that is not known to be the writer's own may be (64 KiB):
        # a kill inside such a record must still leave the log writable.
        return "x" * rng.choice([10, 1000, 60000, 10, 1000, 60000, 300_000, 1_000_000])
    links = {}
    for i in range(rng.randint(0, 3)):
        links[f"l{i}"] = q.Link(f"{rng.choice(COLLECTIONS)}/{rng.choice(KEYS)}")
    return {"n": rng.randint(0, 1000), "links": links, "list": [q.Link(f"users/{rng.choice(KEYS)}")]}


def plan(seed: int, count: int) -> list[Op]:
    rng = random.Random(seed)
    ops = []
    for _ in range(count):
        roll = rng.random()
        if roll < 0.55:
            ops.append(Op("set", [(rng.choice(COLLECTIONS), rng.choice(KEYS), random_value(rng))]))
        elif roll < 0.7:
            ops.append(Op("delete", [(rng.choice(COLLECTIONS), rng.choice(KEYS), DELETE)]))
        elif roll < 0.72:
            ops.append(Op("compact"))  # the whole directory, in place
        elif roll < 0.8:
            ops.append(Op("set_many", [(rng.choice(COLLECTIONS), rng.choice(KEYS), random_value(rng))
                                       for _ in range(rng.randint(1, 4))]))
        elif rng.random() < 0.95:
            ops.append(Op("txn", [(rng.choice(COLLECTIONS), rng.choice(KEYS),
                                   DELETE if rng.random() < 0.2 else random_value(rng))
                                  for _ in range(rng.randint(1, 30))]))
        else:
            # A transaction of a few megabytes, whose commit takes long
            # enough for kills to land inside it.
            ops.append(Op("txn", [(rng.choice(COLLECTIONS), rng.choice(KEYS),
                                   DELETE if rng.random() < 0.1 else {"pad": "p" * 2000, "v": random_value(rng)})
                                  for _ in range(1500)]))
    return ops


def run_child(directory: str, seed: int, count: int) -> None:
    db = q.open(directory)
    out = sys.stdout
    for i, op in enumerate(plan(seed, count)):
        if op.kind == "set":
            (c, k, v), = op.writes
            db.set(c, k, v)
        elif op.kind == "delete":
            (c, k, _), = op.writes
            db.delete(c, k)
        elif op.kind == "set_many":
            db.set_many(list(op.writes))
        elif op.kind == "compact":
            db.compact()
        else:
            db.begin()
            for c, k, v in op.writes:
                if v is DELETE:
                    db.delete(c, k)
                else:
                    db.set(c, k, v)
            db.commit()
        out.write(f"{i}\n")
        out.flush()
    out.write("done\n")
    out.flush()
    time.sleep(60)  # wait to be killed


def normalise(value):
    if isinstance(value, q.Link):
        return ("link", value.path, normalise(value.local))
    if isinstance(value, dict):
        return {k: normalise(v) for k, v in value.items()}
    if isinstance(value, list):
        return [normalise(v) for v in value]
    return value


def links_of(value, prefix=""):
    """(target collection, target key, source path) of every link, as the store extracts them."""
    found = []
    if isinstance(value, q.Link):
        parts = value.path.split("/")
        if len(parts) >= 2 and parts[0] and not parts[1].startswith("$"):
            found.append((parts[0], parts[1], prefix))
        for k, v in value.local.items():
            found += links_of(v, f"{prefix}/{k}" if prefix else k)
    elif isinstance(value, dict):
        for k, v in value.items():
            found += links_of(v, f"{prefix}/{k}" if prefix else k)
    elif isinstance(value, list):
        for i, v in enumerate(value):
            found += links_of(v, f"{prefix}/{i}" if prefix else str(i))
    return found


MISSING = "<missing>"


def check_point(directory: str, ops: list[Op], acked: int) -> None:
    """State after `acked` acknowledged ops, with op `acked` possibly in flight:
    a transaction in flight is there whole or not at all."""
    expected = {}
    for op in ops[:acked]:
        for c, k, v in op.writes:
            expected[(c, k)] = MISSING if v is DELETE else normalise(v)
    in_flight = {}
    landed = dict(expected)  # the state had the call in flight completed
    if acked < len(ops):
        for c, k, v in ops[acked].writes:
            in_flight.setdefault((c, k), []).append(MISSING if v is DELETE else normalise(v))
            landed[(c, k)] = MISSING if v is DELETE else normalise(v)
    if acked < len(ops) and ops[acked].kind == "txn":
        in_flight = {}

    db = q.open(directory)
    leftovers = [n for n in os.listdir(directory) if n.endswith(".compact-tmp")]
    assert not leftovers, f"a compaction's copy outlived the next open: {leftovers}"
    live = {}
    seen = {}
    for c in COLLECTIONS:
        for k in KEYS:
            try:
                got = normalise(db.get(c, k))
            except KeyError as e:
                assert e.args[0] == "key not found", e.args
                got = MISSING
            seen[(c, k)] = got
            allowed = [expected.get((c, k), MISSING), landed.get((c, k), MISSING)] + in_flight.get((c, k), [])
            assert got in allowed, f"{c}/{k}: got {got!r}, allowed {allowed!r} (acked {acked})"
            if got is not MISSING:
                live[(c, k)] = db.get(c, k)
    if not in_flight:
        before = all(seen[x] == expected.get(x, MISSING) for x in seen)
        after = all(seen[x] == landed.get(x, MISSING) for x in seen)
        assert before or after, f"a transaction landed in part (acked {acked})"

    # Backlinks equal a recomputation from the live records, except for the
    # sources written by the operation in flight.
    recomputed = {}
    for (c, k), value in live.items():
        for target_c, target_k, path in links_of(value):
            recomputed.setdefault((target_c, target_k), []).append((c, k, path))
    for target_c in COLLECTIONS:
        for target_k in KEYS:
            got = sorted((e["source_collection"], e["source_key"], e["source_path"])
                         for e in db.backlinks(target_c, target_k))
            want = sorted(recomputed.get((target_c, target_k), []))
            got_settled = [e for e in got if (e[0], e[1]) not in in_flight]
            want_settled = [e for e in want if (e[0], e[1]) not in in_flight]
            assert got_settled == want_settled, f"backlinks of {target_c}/{target_k} (acked {acked})"

    # The database accepts new writes.
    db.set("users", "after-kill", {"ok": True})
    assert db.get("users", "after-kill") == {"ok": True}
    del db


def kill_point(directory: str, seed: int, count: int, rng: random.Random) -> int:
    """Runs one child, kills it at a random moment; returns the acknowledged count."""
    child = subprocess.Popen(
        [sys.executable, __file__, "--child", directory, str(seed), str(count)],
        stdout=subprocess.PIPE,
        stdin=subprocess.DEVNULL,
    )
    target = rng.randint(0, count - 1)
    acked = 0
    buffered = b""
    deadline = time.monotonic() + 60
    assert child.stdout is not None
    fd = child.stdout.fileno()
    while acked < target and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 1.0)
        if not ready:
            continue
        chunk = os.read(fd, 4096)
        if not chunk:
            break
        buffered += chunk
        lines = buffered.split(b"\n")
        buffered = lines.pop()
        acked += sum(1 for line in lines if line and line != b"done")
    # A short random delay lands the kill inside the next call now and then.
    time.sleep(rng.random() * 0.001)
    child.send_signal(signal.SIGKILL)
    child.wait()
    # Acknowledgements written before the kill still count.
    rest = buffered + child.stdout.read()
    acked += sum(1 for line in rest.split(b"\n") if line and line != b"done")
    child.stdout.close()
    return acked


def run(points: int, seed: int, base: str, count: int = 300) -> int:
    rng = random.Random(seed)
    for point in range(points):
        directory = os.path.join(base, f"point-{point}")
        child_seed = rng.randrange(1 << 30)
        acked = kill_point(directory, child_seed, count, rng)
        check_point(directory, plan(child_seed, count), acked)
    return points


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        run_child(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--dir", default=None)
    args = parser.parse_args()
    import tempfile

    base = args.dir or tempfile.mkdtemp(prefix="quillet-kill-")
    started = time.monotonic()
    survived = run(args.points, args.seed, base)
    print(f"{survived} kill points survived in {time.monotonic() - started:.0f} s (seed {args.seed})")


if __name__ == "__main__":
    main()

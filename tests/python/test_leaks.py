"""No reference or memory leaks across a long run of mixed calls, errors included.

Two measures, each taken after a warm-up so that caches, free lists and the
database's own per-key state have reached their steady size:
- sys.getallocatedblocks(): the interpreter's count of live object blocks,
  which catches any Python object leaked by a call (one per call would add
  up to a million);
- the resident set size from /proc/self/statm, which also catches memory the
  C++ side never gives back.
"""
import gc
import os
import sys

import pytest

from _quilletdb import Link

CALLS_PER_ROUND = 14
ROUNDS = 1_000_000 // CALLS_PER_ROUND


def under_address_sanitizer():
    """ASan keeps freed memory in quarantine, so resident size means nothing there."""
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def expect(error_type, call, *args):
    try:
        call(*args)
    except error_type:
        return
    raise AssertionError(f"{call} did not raise {error_type.__name__}")


def mixed_calls(db, rounds):
    for i in range(rounds):
        key = f"k{i % 50}"
        db.set("c", key, {"n": i, "items": ["x", b"y", 1.5, None, True], "link": Link("c/k1", {"w": [i]})})
        db.get("c", key)
        expect(KeyError, db.get, "c", "missing")
        expect(TypeError, db.set, "c", key, (1, 2))
        expect(IndexError, db.set_many, [("c", "a", [1, {"b": 2}]), ("c", "b")])
        db.resolve("c", key, ["link", "n"])
        expect(RuntimeError, db.resolve, "c", "missing", [])
        expect(TypeError, db.resolve, "c", key, ["x", 1])
        db.backlinks("c", "k1")
        db.delete("c", "a")
        repr(Link("c/k", {"x": {"y": 1}}).local)
        expect(TypeError, db.get, 1)
        expect(OverflowError, db.set, "c", key, [2**64])
        if i % 1000 == 0:
            db.begin()
        elif i % 1000 == 500:
            db.commit()


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_a_million_mixed_calls_leave_memory_flat(db):
    mixed_calls(db, ROUNDS // 10)  # warm-up
    db.commit()
    gc.collect()
    blocks_before, rss_before = sys.getallocatedblocks(), resident_bytes()
    mixed_calls(db, ROUNDS)
    db.commit()
    gc.collect()
    blocks_growth = sys.getallocatedblocks() - blocks_before
    rss_growth = resident_bytes() - rss_before
    assert blocks_growth < 1000, blocks_growth
    if not under_address_sanitizer():
        assert rss_growth < 16 * 1024 * 1024, rss_growth

"""All-or-nothing transactions: rollback, the context manager, and what other
processes see while one commits."""

import os
import subprocess
import sys
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _quilletdb
from _quilletdb import Link


def test_rollback_discards_the_writes_and_the_context_manager_commits_or_rolls_back(db_path):
    db = _quilletdb.open(db_path)
    db.set("users", "a", {})
    db.begin()
    db.set("posts", "p", Link("users/a"))
    db.delete("users", "a")
    assert (db.count("posts"), db.count("users"), db.keys("posts")) == (1, 0, ["p"])
    db.rollback()
    assert (db.count("posts"), db.count("users"), db.backlinks("users", "a")) == (0, 1, [])

    with db.transaction() as same:
        assert same is db
        db.set("posts", "p", Link("users/a"))
    with pytest.raises(KeyboardInterrupt):
        with db.transaction():
            db.set("posts", "q", Link("users/a"))
            raise KeyboardInterrupt
    assert db.keys("posts") == ["p"]
    assert db.backlinks("users", "a") == [{"source_collection": "posts", "source_key": "p", "source_path": ""}]
    db.close()
    reopened = _quilletdb.open(db_path)
    assert reopened.keys("posts") == ["p"]
    assert [n for n in os.listdir(db_path) if n.startswith(".quillet-journal")] == []


# Writes inside a transaction, overwrites and deletes of a few keys among
# them, read back at once, as the transaction goes and after it commits.
@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.sampled_from("abcdefghij"), st.integers(-1, 99)), min_size=1, max_size=40))
def test_reads_inside_a_transaction_see_each_of_its_writes(tmp_path_factory, ops):
    db = _quilletdb.open(str(tmp_path_factory.mktemp("tx")))
    db.set("c", "a", -5)
    model = {"a": -5}
    db.begin()
    for key, value in ops:
        if value < 0:
            db.delete("c", key)
            model.pop(key, None)
        else:
            db.set("c", key, value)
            model[key] = value
        assert (db.get("c", key) if key in model else None) == model.get(key)
        assert db.count("c") == len(model)
    db.commit()
    assert {k: db.get("c", k) for k in db.keys("c")} == model


def test_a_transaction_larger_than_memory_spills_and_lands_whole(db_path):
    db = _quilletdb.open(db_path)
    pad = "x" * 4000
    with db.transaction():
        for i in range(6000):  # about 24 MB, past what a transaction keeps in memory
            db.set("big", f"k{i}", {"pad": pad, "i": i, "to": Link(f"users/u{i % 3}")})
        assert db.get("big", "k17")["i"] == 17  # read back from the journal
        assert os.path.getsize(os.path.join(db_path, "big.qdb")) == 0
    assert db.count("big") == 6000 and len(db.backlinks("users", "u1")) == 2000
    assert _quilletdb.open(db_path).get("big", "k5999")["i"] == 5999


READER = """
import sys, _quilletdb
db = _quilletdb.open(sys.argv[1])
torn = 0
polls = 0
while True:
    a = db.get("a", "n") if "n" in db["a"] else -1
    b = db.get("b", "n")["i"] if "n" in db["b"] else -1
    links = len(db.backlinks("t", "x"))
    polls += 1
    # Read in that order, a commit that landed in a is in b too.
    if b < a or links < a + 1:
        torn += 1
    if a >= int(sys.argv[2]):
        break
print(torn, polls)
"""


def test_a_reader_in_another_process_never_sees_half_a_transaction(db_path):
    db = _quilletdb.open(db_path)
    rounds = 150
    pad = b"p" * 200_000  # b's record takes a while to write after a's
    reader = subprocess.Popen([sys.executable, "-c", READER, db_path, str(rounds)], stdout=subprocess.PIPE,
                              env=os.environ, text=True)
    time.sleep(0.2)
    for i in range(rounds + 1):
        with db.transaction():
            db.set("a", "n", i)
            db.set("b", "n", {"i": i, "pad": pad})
            db.set("l", f"k{i}", Link("t/x"))
    out, _ = reader.communicate(timeout=120)
    torn, polls = map(int, out.split())
    assert polls > 0 and torn == 0

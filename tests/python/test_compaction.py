"""Compaction in place, while this and other processes use the directory."""

import os
import subprocess
import sys

import pytest

import _quilletdb
from _quilletdb import Link

WRITER = """
import sys, _quilletdb
from _quilletdb import Link
db = _quilletdb.open(sys.argv[1])
for i in range(int(sys.argv[2])):
    db.set("posts", f"p{i % 50}", {"n": i, "author": Link(f"users/u{i % 3}")})
db.close()
"""


def test_compaction_while_another_process_writes(db_path):
    db = _quilletdb.open(db_path)
    db.set("posts", "p0", {"n": -1, "author": Link("users/u2")})
    writer = subprocess.Popen([sys.executable, "-c", WRITER, db_path, "4000"], env=os.environ)
    compactions = 0
    while writer.poll() is None or compactions == 0:
        db.compact()
        compactions += 1
    assert writer.wait() == 0
    latest = {f"p{i % 50}": i for i in range(4000)}
    assert {k: db.get("posts", k)["n"] for k in db.keys("posts")} == latest
    for u in range(3):
        expected = sorted(k for k, n in latest.items() if n % 3 == u)
        assert sorted(b["source_key"] for b in db.backlinks("users", f"u{u}")) == expected
    db.close()
    assert _quilletdb._check(db_path)["sound"]


def test_compact_reclaims_and_every_database_follows(db_path):
    a = _quilletdb.open(db_path)
    b = _quilletdb.open(db_path)
    for i in range(200):
        a.set("c", "k", i)
    b.begin()
    b.set("c", "t", "buffered")
    report = a.compact("c")
    assert report["files"] == 1 and report["bytes_after"] * 50 < report["bytes_before"]
    assert os.path.getsize(os.path.join(db_path, "c.qdb")) == report["bytes_after"]
    b.commit()
    assert (a.get("c", "k"), a.get("c", "t"), b.get("c", "k")) == (199, "buffered", 199)


def test_autocompact_keeps_a_rewritten_key_small(db_path):
    db = _quilletdb.open(db_path, autocompact={"dead_share": 0.5, "min_bytes": 1000})
    for i in range(2000):
        db.set("c", "k", "x" * 20 + str(i))
    assert os.path.getsize(os.path.join(db_path, "c.qdb")) < 2000
    assert db.get("c", "k").endswith("1999")


@pytest.mark.parametrize(
    "value, error",
    [(1, TypeError), ({"dead_share": 0}, ValueError), ({"other": 1}, TypeError), ({"min_bytes": -1}, OverflowError)],
)
def test_autocompact_refuses_what_it_cannot_use(db_path, value, error):
    with pytest.raises(error):
        _quilletdb.open(db_path, autocompact=value)


def test_leftover_copy_goes_at_the_next_open_and_readonly_refuses(db_path):
    _quilletdb.open(db_path).set("c", "k", 1)
    leftover = os.path.join(db_path, "c.qdb.compact-tmp")
    open(leftover, "wb").write(b"half a copy")
    db = _quilletdb.open(db_path)
    assert not os.path.exists(leftover) and db.get("c", "k") == 1
    db.close()
    with pytest.raises(_quilletdb.ReadOnlyError):
        _quilletdb.open(db_path, readonly=True).compact()

"""Several processes and several Database objects on one directory."""

import os
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))

import _quilletdb  # noqa: E402
import processes  # noqa: E402
from _quilletdb import Link  # noqa: E402


def in_another_process(path, code):
    """Runs `code` with `db` open on `path` in a fresh interpreter."""
    script = f"import _quilletdb\nfrom _quilletdb import Link\ndb = _quilletdb.open({path!r})\n{code}\ndb.close()\n"
    subprocess.run([sys.executable, "-c", script], check=True, env=os.environ)


def test_every_call_sees_what_another_process_acknowledged(db_path):
    db = _quilletdb.open(db_path)
    db.set("c", "k", 1)
    db.set("users", "b", {})
    assert db.get("c", "k") == 1 and db.count("c") == 1
    in_another_process(db_path, 'db.set("c", "k", 2)\ndb.set("c", "k2", 3)\ndb.set("new", "x", Link("users/b"))')
    assert (db.get("c", "k"), db.count("c"), db.keys("c")) == (2, 2, ["k", "k2"])
    assert "new" in db.collections()
    assert db.backlinks("users", "b") == [{"source_collection": "new", "source_key": "x", "source_path": ""}]


def test_a_readonly_database_follows_what_writers_acknowledge(db_path):
    writer = _quilletdb.open(db_path)
    writer.set("c", "k", 1)
    writer.set("users", "u", {})
    reader = _quilletdb.open(db_path, readonly=True)
    assert (reader.get("c", "k"), reader.backlinks("users", "u")) == (1, [])
    # Another process overwrites, adds a collection, makes the first link to
    # users/u (whose backlink log no process had open) and compacts.
    in_another_process(db_path, 'db.set("c", "k", 2)\ndb.set("c", "k2", 3)\n'
                                'db.set("posts", "p", Link("users/u"))\ndb.compact()')
    assert (reader.get("c", "k"), reader.keys("c")) == (2, ["k", "k2"])
    assert "posts" in reader.collections() and repr(reader.get("posts", "p")) == repr(Link("users/u"))
    assert [b["source_key"] for b in reader.backlinks("users", "u")] == ["p"]
    writer.set("c", "k", 4)
    writer.set("posts", "p", None)
    assert (reader.get("c", "k"), reader.backlinks("users", "u")) == (4, [])


def test_backlinks_stay_exact_when_processes_relink_one_record(db_path):
    db = _quilletdb.open(db_path)
    for target in ("a", "b", "a", "b"):
        db.set("posts", "p1", {"author": Link(f"users/{target}")})
        other = "b" if target == "a" else "a"
        in_another_process(db_path, f'db.set("posts", "p1", {{"author": Link("users/{other}")}})')
    assert db.backlinks("users", "b") == []
    assert [b["source_key"] for b in db.backlinks("users", "a")] == ["p1"]
    db.close()
    assert _quilletdb._check(db_path)["sound"]


def test_nothing_is_appended_after_a_record_another_writer_left_unfinished(db_path):
    db = _quilletdb.open(db_path)
    db.set("c", "k0", 0)
    with open(os.path.join(db_path, "c.qdb"), "ab") as f:
        f.write(struct.pack("<I", 2) + b"zz" + struct.pack("<I", 40) + b"\x04")  # a record cut short
    for i in range(1, 6):
        db.set("c", f"k{i}", i)
    db.close()
    assert _quilletdb.open(db_path).keys("c") == [f"k{i}" for i in range(6)]


def test_four_processes_writing_and_reading(tmp_path):
    result = processes.run(workers=4, seconds=3, seed=11, base=str(tmp_path))
    assert result["faults"] == [] and result["stale_reads"] == 0
    assert result["writes_acknowledged"] > 0


def test_a_writer_killed_mid_record_loses_the_others_nothing(tmp_path):
    result = processes.run(workers=3, seconds=3, seed=5, base=str(tmp_path), kill=True)
    assert result["faults"] == [] and result["stale_reads"] == 0

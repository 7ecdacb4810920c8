"""Real write failures: a file-size limit (RLIMIT_FSIZE, SIGXFSZ ignored) makes
writes fail part-way. Each scenario runs in a child process so the limit never
touches the test runner; the child asserts and the parent checks the files.
"""

import os
import subprocess
import sys
import textwrap

import pytest

import _quilletdb as q

PRELUDE = textwrap.dedent(
    """
    import os, resource, signal, sys
    import _quilletdb as q
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    directory = sys.argv[1]

    def limit(size):
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, resource.RLIM_INFINITY))

    def unlimit():
        resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

    def fails(fn, *args):
        try:
            fn(*args)
        except RuntimeError as e:
            assert str(e) == "io: File too large (os error 27)", str(e)
            return
        raise AssertionError("expected a write failure")
    """
)


def run_child(tmp_path, body):
    directory = str(tmp_path / "db")
    script = PRELUDE + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script, directory], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return directory


def whole_records(path):
    """True when the .qdb file is a sequence of whole records."""
    data = open(path, "rb").read()
    pos = 0
    while pos < len(data):
        if pos + 4 > len(data):
            return False
        k = int.from_bytes(data[pos:pos + 4], "little")
        if pos + 8 + k > len(data):
            return False
        v = int.from_bytes(data[pos + 4 + k:pos + 8 + k], "little")
        pos += 8 + k + v
    return pos == len(data)


def recomputed_backlinks(db, collections, keys):
    found = {}
    for c in collections:
        for k in keys:
            try:
                value = db.get(c, k)
            except KeyError:
                continue
            if isinstance(value, dict):
                for field, v in value.items():
                    if isinstance(v, q.Link):
                        tc, tk = v.path.split("/")[:2]
                        found.setdefault((tc, tk), []).append((c, k, field))
    return found


def backlinks_as_tuples(db, collection, key):
    return [(e["source_collection"], e["source_key"], e["source_path"]) for e in db.backlinks(collection, key)]


def test_single_writes_fail_cleanly_and_resume(tmp_path):
    directory = run_child(
        tmp_path,
        """
        db = q.open(directory)
        db.set("c", "a", "x" * 100)
        size = os.path.getsize(os.path.join(directory, "c.qdb"))
        limit(size + 50)            # the next record is cut in the middle
        fails(db.set, "c", "b", "y" * 100)
        fails(db.set_many, [("c", "m1", 1), ("c", "m2", "z" * 200)])
        assert db.get("c", "m1") == 1   # the first item fit and stays written
        fails(db.delete, "c", "a" * 100)
        assert db.get("c", "a") == "x" * 100
        try:
            db.get("c", "b")
            raise AssertionError("a failed set must leave no trace")
        except KeyError:
            pass
        unlimit()
        db.set("c", "b", "after")
        """,
    )
    assert whole_records(os.path.join(directory, "c.qdb"))
    db = q.open(directory)
    assert db.get("c", "a") == "x" * 100
    assert db.get("c", "m1") == 1
    assert db.get("c", "b") == "after"
    with pytest.raises(KeyError):
        db.get("c", "m2")


def test_commit_failure_then_retry_applies_everything(tmp_path):
    directory = run_child(
        tmp_path,
        """
        db = q.open(directory)
        db.set("users", "u0", {"name": "zero"})
        db.begin()
        for i in range(200):
            db.set("posts", f"p{i}", {"author": q.Link(f"users/u{i % 3}"), "body": "b" * 500})
        # The buffered records reach the file as the buffer fills; now the
        # file may only grow a little: the commit's write-out fails part-way.
        posts = os.path.join(directory, "posts.qdb")
        limit(os.path.getsize(posts) + 700)
        fails(db.commit)
        assert db.backlinks("users", "u0") == []   # nothing applied yet
        unlimit()
        db.commit()
        assert len(db.backlinks("users", "u0")) == 67
        """,
    )
    assert whole_records(os.path.join(directory, "posts.qdb"))
    db = q.open(directory)
    recomputed = recomputed_backlinks(db, ["posts"], [f"p{i}" for i in range(200)])
    for user in ("u0", "u1", "u2"):
        assert sorted(backlinks_as_tuples(db, "users", user)) == sorted(recomputed[("users", user)])
    assert len(recomputed[("users", "u0")]) == 67


def test_failed_backlink_write_is_retried(tmp_path):
    directory = run_child(
        tmp_path,
        """
        db = q.open(directory)
        # Grow users.qbl well past posts.qdb: a hundred links added, then removed.
        db.set("posts", "p0", {f"f{i}": q.Link(f"users/x{i}") for i in range(100)})
        db.set("posts", "p0", {})
        qbl = os.path.join(directory, "users.qbl")
        qdb = os.path.join(directory, "posts.qdb")
        assert os.path.getsize(qbl) > os.path.getsize(qdb) + 1000
        limit(os.path.getsize(qbl) + 10)   # records still fit posts.qdb, not users.qbl
        db.set("posts", "p1", {"x": "no links, so no backlink record"})
        try:
            db.set("posts", "p2", {"author": q.Link("users/u1")})
        except RuntimeError as e:
            assert str(e) == "io: File too large (os error 27)", str(e)
        else:
            raise AssertionError("expected the backlink write to fail")
        assert db.get("posts", "p2")["author"].path == "users/u1"   # the record was written
        assert db.backlinks("users", "u1") == []
        unlimit()
        db.set("posts", "p3", {"author": q.Link("users/u1")})   # retries the queued add first
        assert [e["source_key"] for e in db.backlinks("users", "u1")] == ["p2", "p3"]
        """,
    )
    db = q.open(directory)
    assert [e["source_key"] for e in db.backlinks("users", "u1")] == ["p2", "p3"]

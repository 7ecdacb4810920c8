"""resolve, backlinks, begin and commit as Python sees them."""
import faulthandler
import sys

import pytest

import _quilletdb
from _quilletdb import TOMBSTONE, Link, Tombstone

from conftest import catch


@pytest.fixture
def people(db):
    db.set("addresses", "a1", {"city": "Paris", "zip": "75001"})
    db.set("users", "alice", {"name": "Alice", "address": Link("addresses/a1")})
    db.set("posts", "p1", {"title": "Hello", "author": Link("users/alice", {"role": "editor"})})
    return db


@pytest.mark.parametrize(
    "collection, key, path, expected",
    [
        ("users", "alice", ["address", "city"], "Paris"),
        ("users", "alice", ("address", "city"), "Paris"),
        ("users", "alice", ["address"], {"city": "Paris", "zip": "75001"}),
        ("posts", "p1", ["author", "address", "city"], "Paris"),
        ("posts", "p1", ["author", "role"], "editor"),  # a local value stands in for the field
        ("posts", "p1", ["author", "missing", "more"], None),
        ("users", "alice", ["address.city"], None),  # segments are never split
    ],
)
def test_resolve_follows_links(people, collection, key, path, expected):
    assert people.resolve(collection, key, path) == expected


def test_resolve_with_an_empty_path(people):
    whole = people.resolve("users", "alice", [])
    assert whole["name"] == "Alice" and whole["address"].path == "addresses/a1"
    people.set("shortcuts", "home", Link("users/alice/address"))
    assert people.resolve("shortcuts", "home", ()) == {"city": "Paris", "zip": "75001"}


def test_resolve_returns_tombstones_and_converted_values(db):
    db.set("c", "k", {"gone": [TOMBSTONE], "t": TOMBSTONE})
    assert isinstance(db.resolve("c", "k", ["t"]), Tombstone)
    assert isinstance(db.resolve("c", "k", ["t", "beyond"]), Tombstone)
    assert isinstance(db.resolve("c", "k", ["gone"])[0], Tombstone)


@pytest.mark.parametrize(
    "value, path, message",
    [
        ({"list": [1, 2]}, ["list", "0"], "field not found"),
        ({"n": 5}, ["n", "x"], "field not found"),
        (Link("nokey"), [], "invalid path: nokey"),
        ({"l": Link("c/$self.owner")}, ["l"], "invalid path: $self.owner resolved to Null, expected TEXT"),
        ({"owner": 5, "l": Link("c/$self.owner")}, ["l"], "invalid path: $self.owner resolved to Int(5), expected TEXT"),
        (Link("c/k"), [], "cyclic link detected"),
    ],
)
def test_resolve_errors_are_runtime_errors(db, value, path, message):
    db.set("c", "k", value)
    error = catch(lambda: db.resolve("c", "k", path))
    assert type(error) is _quilletdb.Error and error.args == (message,)


def test_resolve_of_a_missing_start_record(db):
    error = catch(lambda: db.resolve("users", "nobody", ["name"]))
    assert type(error) is _quilletdb.Error and str(error) == "storage: key not found"


def test_a_chain_of_32_links_resolves_and_33_do_not(db):
    db.set_many([("chain", str(i), Link(f"chain/{i + 1}")) for i in range(33)])
    db.set("chain", "33", "end")
    assert db.resolve("chain", "1", []) == "end"  # 32 links
    error = catch(lambda: db.resolve("chain", "0", []))  # 33 links
    assert type(error) is _quilletdb.Error and str(error) == "cyclic link detected"


def test_backlinks(people):
    assert people.backlinks("users", "alice") == [
        {"source_collection": "posts", "source_key": "p1", "source_path": "author"}
    ]
    entry = people.backlinks("users", "alice")[0]
    assert list(entry) == ["source_collection", "source_key", "source_path"]
    assert all(type(text) is str for text in entry.values())
    assert people.backlinks("users", "nobody-links-here") == []
    assert people.backlinks("users", "does-not-exist") == []


def test_backlinks_follow_rewrites_and_deletes(db):
    db.set("posts", "p1", {"refs": [Link("users/alice"), {"again": Link("users/alice")}]})
    db.set("posts", "p2", Link("users/alice"))
    paths = sorted((e["source_key"], e["source_path"]) for e in db.backlinks("users", "alice"))
    assert paths == [("p1", "refs/0"), ("p1", "refs/1/again"), ("p2", "")]
    db.set("posts", "p1", {"refs": []})
    db.delete("posts", "p2")
    assert db.backlinks("users", "alice") == []


def test_repeated_backlinks_follow_every_change_from_either_database(db_path):
    import random

    rng = random.Random(5)
    first, second = _quilletdb.open(db_path), _quilletdb.open(db_path)
    model = {}  # post -> the user it links to
    for step in range(300):
        writer = rng.choice((first, second))
        post, user = f"p{rng.randrange(20)}", f"u{rng.randrange(3)}"
        if rng.random() < 0.2:
            writer.delete("posts", post)
            model.pop(post, None)
        else:
            writer.set("posts", post, {"by": Link(f"users/{user}")})
            model[post] = user
        for reader in (first, second):
            for u in ("u0", "u1", "u2"):
                got = reader.backlinks("users", u)
                assert sorted(e["source_key"] for e in got) == sorted(p for p, t in model.items() if t == u)
        # Every call hands out new dicts: changing one changes no later result.
        if got:
            got[0]["source_key"] = "changed"
            assert reader.backlinks("users", "u2")[0]["source_key"] != "changed"
    first.close()
    second.close()


def test_transaction_visibility(db_path):
    db = _quilletdb.open(db_path)
    db.set("users", "alice", {"name": "Alice"})
    assert db.begin() is None
    db.set("posts", "p1", {"author": Link("users/alice")})
    db.set_many([("posts", "p2", {"author": Link("users/alice")})])
    # Records are seen at once ...
    assert db.get("posts", "p1")["author"].path == "users/alice"
    assert db.resolve("posts", "p2", ["author", "name"]) == "Alice"
    # ... backlinks only after commit.
    assert db.backlinks("users", "alice") == []
    assert db.commit() is None
    keys = [entry["source_key"] for entry in db.backlinks("users", "alice")]
    assert keys == ["p1", "p2"]
    del db
    again = _quilletdb.open(db_path)
    assert again.resolve("posts", "p1", ["author", "name"]) == "Alice"
    assert again.get("posts", "p2")["author"].path == "users/alice"
    assert [entry["source_key"] for entry in again.backlinks("users", "alice")] == ["p1", "p2"]


def test_commit_without_begin_and_begin_twice(db):
    assert db.commit() is None
    db.begin()
    db.begin()
    db.set("posts", "p", Link("users/u"))
    db.commit()
    assert len(db.backlinks("users", "u")) == 1


@pytest.fixture
def hang_guard():
    """A hang ends the run with a traceback instead of blocking it for good."""
    faulthandler.dump_traceback_later(300, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def test_long_path_into_a_deep_record(db, hang_guard):
    old_limit = sys.getrecursionlimit()
    sys.setrecursionlimit(100_000)
    try:
        value = "bottom"
        for _ in range(9000):
            value = {"d": value}
        db.set("deep", "k", value)
    finally:
        sys.setrecursionlimit(old_limit)
    assert db.resolve("deep", "k", ["d"] * 9000) == "bottom"
    error = catch(lambda: db.resolve("deep", "k", ["d"] * 300_000))
    assert type(error) is _quilletdb.Error and str(error) == "field not found"


def test_chained_self_keys_resolve(db, hang_guard):
    # f<i> is a link back to the root whose key is read through f<i+1>.
    root = {f"f{i}": Link(f"start/$self.f{i + 1}.key/f{i + 1}") for i in range(31)}
    root["f31"] = {"key": "r"}
    db.set("start", "r", root)
    assert db.resolve("start", "r", ["f0", "key"]) == "r"
    assert db.resolve("start", "r", ["f30", "key"]) == "r"

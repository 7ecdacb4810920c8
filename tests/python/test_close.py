"""The additions to Database: close() and the context manager, collections(),
keys() and count()."""

import os

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _quilletdb
from _quilletdb import Link

from conftest import catch

CLOSED_CALLS = {
    "get": lambda db: db.get("c", "k"),
    "set": lambda db: db.set("c", "k", 1),
    "set_many": lambda db: db.set_many([("c", "k", 1)]),
    "delete": lambda db: db.delete("c", "k"),
    "sync": lambda db: db.sync(),
    "resolve": lambda db: db.resolve("c", "k", ["x"]),
    "begin": lambda db: db.begin(),
    "commit": lambda db: db.commit(),
    "backlinks": lambda db: db.backlinks("c", "k"),
    "collections": lambda db: db.collections(),
    "keys": lambda db: db.keys("c"),
    "count": lambda db: db.count("c"),
    "__enter__": lambda db: db.__enter__(),
}


def open_files_under(path):
    """How many of this process's descriptors name a file under `path`."""
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}").startswith(path):
                count += 1
        except OSError:
            pass
    return count


@pytest.mark.parametrize("call", CLOSED_CALLS.values(), ids=CLOSED_CALLS.keys())
def test_every_method_of_a_closed_database_raises(db, call):
    db.set("c", "k", 1)
    assert db.close() is None
    error = catch(lambda: call(db))
    assert type(error) is _quilletdb.ClosedError and isinstance(error, RuntimeError)
    assert str(error) == "database is closed"


def test_repr_of_a_closed_database(db_path):
    db = _quilletdb.open(db_path)
    db.close()
    assert repr(db) == f'Database("{db_path}", closed=True)'


def test_closing_again_does_nothing(db):
    db.close()
    assert db.close() is None
    assert db.__exit__(None, None, None) is None


def test_close_closes_every_file_and_releases_the_locks(db_path):
    db = _quilletdb.open(db_path)
    db.set("posts", "p1", {"a": Link("users/alice")})
    db.keys("tags")
    assert open_files_under(db_path) > 0
    assert "in use" in str(catch(lambda: _quilletdb._repair(db_path)))
    db.close()
    assert open_files_under(db_path) == 0
    assert _quilletdb._repair(db_path)["backlink_files_rebuilt"] == 1


def test_close_writes_an_open_transaction_out_with_its_backlinks(db_path):
    db = _quilletdb.open(db_path)
    db.begin()
    db.set("posts", "p1", {"author": Link("users/alice")})
    db.set("posts", "p2", "x" * 100)
    db.close()
    again = _quilletdb.open(db_path)
    assert again.get("posts", "p2") == "x" * 100
    assert again.backlinks("users", "alice") == [
        {"source_collection": "posts", "source_key": "p1", "source_path": "author"}
    ]
    assert _quilletdb._check(db_path)["sound"]


def test_with_closes_on_exit_and_lets_an_exception_through(db_path):
    with _quilletdb.open(db_path) as db:
        db.set("c", "k", 1)
    assert str(catch(lambda: db.get("c", "k"))) == "database is closed"

    error = catch(lambda: exec_in_with(db_path))
    assert type(error) is ZeroDivisionError
    assert _quilletdb.open(db_path).get("c", "k") == 2


def exec_in_with(db_path):
    with _quilletdb.open(db_path) as db:
        db.begin()
        db.set("c", "k", 2)
        1 / 0


def test_exit_takes_exactly_three_arguments(db):
    assert type(catch(lambda: db.__exit__())) is TypeError
    db.set("c", "k", 1)  # still open after the refused call
    assert db.get("c", "k") == 1


def test_keys_and_count_of_a_new_collection_are_empty(db):
    assert db.collections() == []
    assert db.keys("c") == []
    assert db.count("c") == 0
    assert db.collections() == ["c"]


@pytest.mark.parametrize("call", [lambda db: db.keys(1), lambda db: db.count(None), lambda db: db.keys()])
def test_keys_and_count_bind_their_argument(db, call):
    assert type(catch(lambda: call(db))) is TypeError


# A random history over a few collections and keys, against a dict model.
operation = st.tuples(
    st.sampled_from(["set", "delete", "begin", "commit"]),
    st.sampled_from(["users", "posts", "tags", "é"]),
    st.sampled_from(["a", "b", "", "ключ", "z"]),
)


@settings(max_examples=60, deadline=None)
@given(st.lists(operation, max_size=40))
def test_collections_keys_and_count_follow_the_writes(tmp_path_factory, ops):
    path = str(tmp_path_factory.mktemp("db"))
    model: dict[str, set[str]] = {}
    db = _quilletdb.open(path)
    for op, collection, key in ops:
        if op == "set":
            db.set(collection, key, key)
            model.setdefault(collection, set()).add(key)
        elif op == "delete":
            db.delete(collection, key)
            model.setdefault(collection, set()).discard(key)
        elif op == "begin":
            db.begin()
        else:
            db.commit()
        if op in ("set", "delete"):
            assert db.keys(collection) == sorted(model[collection])
    for current in (db, None):
        if current is None:
            db.close()
            current = _quilletdb.open(path)
        assert current.collections() == sorted(model)
        for collection, keys in model.items():
            assert current.keys(collection) == sorted(keys)
            assert current.count(collection) == len(keys)
    current.close()


@pytest.mark.parametrize("sync", [False, True])
def test_both_sync_modes_keep_every_write(tmp_path, sync):
    db = _quilletdb.open(tmp_path, sync=sync)
    db.set_many([("c", "a", 1), ("c", "b", Link("c/a"))])
    db.set("d", "x", {"n": 2})
    db.delete("c", "a")
    db.sync()
    db.close()
    again = _quilletdb.open(tmp_path)
    assert (again.get("c", "b").path, again.get("d", "x")) == ("c/a", {"n": 2})
    assert "a" not in again.collection("c")
    assert again.backlinks("c", "a") == [{"source_collection": "c", "source_key": "b", "source_path": ""}]

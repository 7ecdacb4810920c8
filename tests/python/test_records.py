"""get, set, delete and set_many, and how storage errors reach Python."""
import os

import pytest

import _quilletdb
from _quilletdb import TOMBSTONE, Link

from conftest import catch, record

BAD_COLLECTION = "../outside"  # refused by the store with an io error


def assert_missing(db, collection, key):
    error = catch(lambda: db.get(collection, key))
    assert type(error) is KeyError
    assert error.args == ("key not found",)
    assert str(error) == "'key not found'"


def test_get_of_a_missing_key(db):
    db.set("c", "present", 1)
    assert_missing(db, "c", "absent")


def test_get_on_a_new_collection_creates_its_file(db, db_path):
    assert_missing(db, "fresh", "k")
    assert os.path.getsize(os.path.join(db_path, "fresh.qdb")) == 0


def test_set_then_get(db):
    assert db.set("c", "k", {"a": 1}) is None
    assert db.get("c", "k") == {"a": 1}
    db.set("c", "k", "replaced")
    assert db.get("c", "k") == "replaced"


def test_refused_value_leaves_the_old_one(db, db_path):
    db.set("c", "k", "old")
    size = os.path.getsize(os.path.join(db_path, "c.qdb"))
    error = catch(lambda: db.set("c", "k", (1, 2)))
    assert type(error) is TypeError and str(error) == "cannot convert tuple to a QuilletDB value"
    assert db.get("c", "k") == "old"
    assert os.path.getsize(os.path.join(db_path, "c.qdb")) == size


@pytest.mark.parametrize("delete", [lambda db: db.delete("c", "k"), lambda db: db.set("c", "k", TOMBSTONE)])
def test_delete(db, delete):
    db.set("c", "k", 1)
    assert delete(db) is None
    assert_missing(db, "c", "k")
    assert db.delete("c", "never") is None
    assert db.delete("c", "k") is None  # deleting twice is fine
    assert_missing(db, "c", "never")


def test_none_is_stored(db):
    db.set("c", "k", None)
    assert db.get("c", "k") is None


def test_values_survive_reopening(db_path):
    db = _quilletdb.open(db_path)
    db.set("c", "a", {"x": [1, 2.5, "t", b"b", None, True, Link("c/b", {"l": 1})]})
    db.set("c", "b", 2)
    db.delete("c", "b")
    del db
    again = _quilletdb.open(db_path)
    value = again.get("c", "a")
    assert value["x"][:6] == [1, 2.5, "t", b"b", None, True]
    assert value["x"][6].path == "c/b" and value["x"][6].local == {"l": 1}
    assert_missing(again, "c", "b")


def test_set_many_of_an_empty_list_writes_nothing(db, db_path):
    before = sorted(os.listdir(db_path))
    assert db.set_many([]) is None
    assert sorted(os.listdir(db_path)) == before


def test_set_many_writes_in_order(db):
    assert db.set_many([("c", "a", 1), ("c", "b", 2), ("c", "a", 3), ("d", "a", {"x": 1})]) is None
    assert (db.get("c", "a"), db.get("c", "b"), db.get("d", "a")) == (3, 2, {"x": 1})


class MyTuple(tuple):
    def __getitem__(self, index):
        raise AssertionError("elements are read from the tuple itself")


class MyList(list):
    def __iter__(self):
        raise AssertionError("items are read from the list itself")


def test_set_many_accepts_subclasses(db):
    db.set_many(MyList([MyTuple(("c", "k", 1))]))
    assert db.get("c", "k") == 1


def test_set_many_ignores_elements_after_the_third(db):
    db.set_many([("c", "k", 1, "ignored", object())])
    assert db.get("c", "k") == 1


@pytest.mark.parametrize(
    "bad_item, error_type, message",
    [
        (["c", "b", 2], TypeError, "set_many: expected list of (col, key, value) tuples"),
        ("cb2", TypeError, "set_many: expected list of (col, key, value) tuples"),
        (("c", "b"), IndexError, "tuple index out of range"),
        (("c",), IndexError, "tuple index out of range"),
        ((), IndexError, "tuple index out of range"),
        ((1, "b", 2), TypeError, "'int' object cannot be converted to 'PyString'"),
        (("c", b"b", 2), TypeError, "'bytes' object cannot be converted to 'PyString'"),
        (("c", "b", (2,)), TypeError, "cannot convert tuple to a QuilletDB value"),
        (("c", "b", 2**64), OverflowError, None),
        (("c", "\ud800", 2), UnicodeEncodeError, None),
    ],
)
def test_set_many_stops_at_the_first_bad_item(db, bad_item, error_type, message):
    error = catch(lambda: db.set_many([("c", "a", 1), bad_item, ("c", "z", 3)]))
    assert type(error) is error_type
    if message is not None:
        assert str(error) == message
    assert db.get("c", "a") == 1  # written before the failure, and kept
    assert_missing(db, "c", "b")
    assert_missing(db, "c", "z")  # never looked at


def test_set_many_two_element_tuple_writes_nothing(db):
    assert type(catch(lambda: db.set_many([("c", "k")]))) is IndexError
    assert_missing(db, "c", "k")


def test_storage_errors_of_writes_are_runtime_errors(db):
    calls = [
        lambda: db.set(BAD_COLLECTION, "k", 1),
        lambda: db.delete(BAD_COLLECTION, "k"),
        lambda: db.set_many([("c", "first", 1), (BAD_COLLECTION, "k", 1), ("c", "after", 1)]),
        lambda: db.backlinks(BAD_COLLECTION, "k"),
    ]
    for call in calls:
        error = catch(call)
        assert type(error) is _quilletdb.Error and isinstance(error, RuntimeError)
        assert len(error.args) == 1 and error.args[0].startswith("io: ")
    assert db.get("c", "first") == 1
    assert_missing(db, "c", "after")
    db.set("c", "still", "usable")
    assert db.get("c", "still") == "usable"


def test_storage_errors_of_get_are_key_errors(db_path):
    os.makedirs(db_path)
    with open(os.path.join(db_path, "broken.qdb"), "wb") as f:
        f.write(record(b"k", b"\x0d"))
    db = _quilletdb.open(db_path)
    error = catch(lambda: db.get("broken", "k"))
    # KeyErrors still, of classes that tell a damaged record from a missing one
    assert type(error) is _quilletdb.CorruptRecordError and error.args == ("codec: unknown type byte: 0x0D",)
    assert isinstance(error, KeyError) and isinstance(error, _quilletdb.CorruptionError)
    error = catch(lambda: db.get(BAD_COLLECTION, "k"))
    assert type(error) is _quilletdb.RecordReadError and error.args[0].startswith("io: ")
    assert isinstance(error, KeyError) and isinstance(error, _quilletdb.Error)
    # resolve reports the same failure as a RuntimeError
    error = catch(lambda: db.resolve("broken", "k", []))
    assert type(error) is _quilletdb.CorruptionError and str(error) == "storage: codec: unknown type byte: 0x0D"


def test_open_errors(tmp_path):
    error = catch(lambda: _quilletdb.open(str(tmp_path / "a\0b")))
    assert type(error) is _quilletdb.Error
    assert error.args == ("io: file name contained an unexpected NUL byte",)
    a_file = tmp_path / "file"
    a_file.write_text("")
    # The text goes on to name the directory.
    for path, os_error in ((a_file / "db", 20), (a_file, 17)):
        error = catch(lambda: _quilletdb.open(path))
        assert type(error) is _quilletdb.Error
        assert str(error) == f'io: {os.strerror(os_error)} (os error {os_error}): "{path}" is not a directory'


def test_unwritable_directory_gives_io_runtime_error(db_path):
    if os.geteuid() == 0:
        pytest.skip("permissions do not bind root")
    db = _quilletdb.open(db_path)
    os.chmod(db_path, 0o500)
    try:
        error = catch(lambda: db.set("new", "k", 1))
        assert type(error) is _quilletdb.Error and str(error).startswith("io: Permission denied")
    finally:
        os.chmod(db_path, 0o700)

"""Argument binding: every binding message, keyword calls and text signatures."""

import pytest

import _quilletdb
from _quilletdb import Link

from conftest import catch


def cases(db):
    return [
        # open()
        (lambda: _quilletdb.open(), "open() missing 1 required positional argument: 'path'"),
        (lambda: _quilletdb.open("a", "b"), "open() takes 1 positional arguments but 2 were given"),
        (lambda: _quilletdb.open(1), "argument 'path': 'int' object cannot be converted to 'PyString'"),
        (lambda: _quilletdb.open("x", False), "open() takes 1 positional arguments but 2 were given"),
        (lambda: _quilletdb.open("x", read_only=True), "open() got an unexpected keyword argument 'read_only'"),
        (lambda: _quilletdb.open("x", path="y"), "open() got multiple values for argument 'path'"),
        (lambda: _quilletdb.open(p="x"), "open() got an unexpected keyword argument 'p'"),
        # Link(...), called through the class and through __new__
        (lambda: Link(), "Link.__new__() missing 1 required positional argument: 'path'"),
        (lambda: Link(local={}), "Link.__new__() missing 1 required positional argument: 'path'"),
        (lambda: Link("a", None, 1), "Link.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: Link(1), "argument 'path': 'int' object cannot be converted to 'PyString'"),
        (lambda: Link("a", []), "argument 'local': 'list' object cannot be converted to 'PyDict'"),
        (lambda: Link("a", local=()), "argument 'local': 'tuple' object cannot be converted to 'PyDict'"),
        (lambda: Link("a", loc={}), "Link.__new__() got an unexpected keyword argument 'loc'"),
        (lambda: Link("a", path="b"), "Link.__new__() got multiple values for argument 'path'"),
        (lambda: Link.__new__(Link), "Link.__new__() missing 1 required positional argument: 'path'"),
        (lambda: Link.__new__(Link, "a", {}, 3), "Link.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: Link.__new__(Link, "a", x=1), "Link.__new__() got an unexpected keyword argument 'x'"),
        # Database methods
        (lambda: db.get(), "Database.get() missing 2 required positional arguments: 'collection' and 'key'"),
        (lambda: db.get("c"), "Database.get() missing 1 required positional argument: 'key'"),
        (lambda: db.get(key="k"), "Database.get() missing 1 required positional argument: 'collection'"),
        (lambda: db.get(1), "Database.get() missing 1 required positional argument: 'key'"),
        (lambda: db.get("c", "k", "x"), "Database.get() takes 2 positional arguments but 3 were given"),
        (lambda: db.get(1, "k"), "argument 'collection': 'int' object cannot be converted to 'PyString'"),
        (lambda: db.get("c", b"k"), "argument 'key': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: db.get("c", "k", value=1), "Database.get() got an unexpected keyword argument 'value'"),
        (lambda: db.get("c", collection="d"), "Database.get() got multiple values for argument 'collection'"),
        (
            lambda: db.set(),
            "Database.set() missing 3 required positional arguments: 'collection', 'key', and 'value'",
        ),
        (lambda: db.set(key="k"), "Database.set() missing 2 required positional arguments: 'collection' and 'value'"),
        (lambda: db.set("c", "k", 1, 2), "Database.set() takes 3 positional arguments but 4 were given"),
        (lambda: db.set(None, "k", 1), "argument 'collection': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: db.delete("c"), "Database.delete() missing 1 required positional argument: 'key'"),
        (lambda: db.delete("c", 1.5), "argument 'key': 'float' object cannot be converted to 'PyString'"),
        (lambda: db.set_many(), "Database.set_many() missing 1 required positional argument: 'ops'"),
        (lambda: db.set_many([], []), "Database.set_many() takes 1 positional arguments but 2 were given"),
        (lambda: db.set_many((("c", "k", 1),)), "argument 'ops': 'tuple' object cannot be converted to 'PyList'"),
        (lambda: db.set_many(ops=None), "argument 'ops': 'NoneType' object cannot be converted to 'PyList'"),
        (lambda: db.set_many(op=[]), "Database.set_many() got an unexpected keyword argument 'op'"),
        (
            lambda: db.resolve("c"),
            "Database.resolve() missing 2 required positional arguments: 'key' and 'path'",
        ),
        (lambda: db.resolve("c", "k", [], 1), "Database.resolve() takes 3 positional arguments but 4 were given"),
        (lambda: db.resolve("c", "k", "address"), "argument 'path': Can't extract `str` to `Vec`"),
        (lambda: db.resolve("c", "k", 5), "argument 'path': 'int' object cannot be converted to 'Sequence'"),
        (lambda: db.resolve("c", "k", {"a": 1}), "argument 'path': 'dict' object cannot be converted to 'Sequence'"),
        (lambda: db.resolve("c", "k", {"a"}), "argument 'path': 'set' object cannot be converted to 'Sequence'"),
        (lambda: db.resolve("c", "k", ["a", 1]), "argument 'path': 'int' object cannot be converted to 'PyString'"),
        (lambda: db.resolve("c", "k", (b"a",)), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: db.resolve(1, "k", "a"), "argument 'collection': 'int' object cannot be converted to 'PyString'"),
        (lambda: db.backlinks("c"), "Database.backlinks() missing 1 required positional argument: 'key'"),
        (lambda: db.backlinks(collection=1, key="k"), "argument 'collection': 'int' object cannot be converted to 'PyString'"),
    ]


def test_binding_messages(db):
    for call, message in cases(db):
        error = catch(call)
        assert type(error) is TypeError, message
        assert str(error) == message


class LenRaises:
    def __getitem__(self, index):
        return "a"

    def __len__(self):
        raise TypeError("no length here")


class ItemRaises:
    def __getitem__(self, index):
        raise KeyError(index)

    def __len__(self):
        return 1


class Segments:
    """A sequence that is neither a list nor a tuple."""

    def __getitem__(self, index):
        return ["a", "b"][index]

    def __len__(self):
        return 2


def test_path_sequence_errors(db):
    # A TypeError of the sequence's own is reworded with the parameter name ...
    error = catch(lambda: db.resolve("c", "k", LenRaises()))
    assert type(error) is TypeError and str(error) == "argument 'path': no length here"
    # ... any other error passes through as it is.
    error = catch(lambda: db.resolve("c", "k", ItemRaises()))
    assert type(error) is KeyError and error.args == (0,)


def test_path_accepts_any_sequence(db):
    db.set("c", "k", {"a": {"b": 7}})
    assert db.resolve("c", "k", Segments()) == 7
    assert db.resolve("c", "k", ("a", "b")) == 7
    assert db.resolve("c", "k", path=["a", "b"]) == 7


def test_unicode_errors_pass_through_unchanged(db):
    error = catch(lambda: db.get("\ud800", "k"))
    assert type(error) is UnicodeEncodeError
    error = catch(lambda: Link("\udfff"))
    assert type(error) is UnicodeEncodeError
    error = catch(lambda: db.resolve("c", "k", ["\ud800"]))
    assert type(error) is UnicodeEncodeError


def test_keyword_calls(db):
    assert db.set(collection="c", key="k", value={"a": 1}) is None
    assert db.set(value=2, key="k2", collection="c") is None
    assert db.get(key="k", collection="c") == {"a": 1}
    assert db.set_many(ops=[("c", "k3", 3)]) is None
    assert db.get("c", key="k3") == 3
    assert db.delete(collection="c", key="k3") is None
    link = Link(local={"x": 1}, path="c/k")
    assert (link.path, link.local) == ("c/k", {"x": 1})
    assert Link.__new__(Link, path="c/k").path == "c/k"
    assert db.backlinks(key="k", collection="c") == []


@pytest.mark.parametrize("method", ["begin", "commit"])
def test_no_argument_methods_use_the_interpreter_error(db, method):
    for call in (lambda: getattr(db, method)(1), lambda: getattr(db, method)(x=1)):
        error = catch(call)
        assert type(error) is TypeError
        assert f"{method}() takes no" in str(error)


@pytest.mark.parametrize(
    "function, signature",
    [
        (_quilletdb.open, "(path, *, readonly=False, sync=False, autocompact=None)"),
        (_quilletdb.Database.get, "($self, collection, key)"),
        (_quilletdb.Database.set, "($self, collection, key, value)"),
        (_quilletdb.Database.set_many, "($self, ops)"),
        (_quilletdb.Database.delete, "($self, collection, key)"),
        (_quilletdb.Database.resolve, "($self, collection, key, path)"),
        (_quilletdb.Database.begin, "($self)"),
        (_quilletdb.Database.commit, "($self)"),
        (_quilletdb.Database.backlinks, "($self, collection, key)"),
        (Link, "(path, local=None)"),
    ],
)
def test_text_signatures_and_documentation(function, signature):
    assert function.__text_signature__ == signature
    assert function.__doc__

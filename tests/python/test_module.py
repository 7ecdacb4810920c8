"""The module, its three classes, their reprs and the module's lifecycle."""
import copy
import importlib
import pickle
import pydoc
import os
import sys
import weakref

import pytest

import _quilletdb
from _quilletdb import TOMBSTONE, Database, Link, Tombstone

from conftest import catch


def test_members_in_order():
    # Names with a leading underscore are the quilletdb command's support API.
    public = [name for name in vars(_quilletdb) if not name.startswith("_")]
    assert public == ["Tombstone", "Link", "Database", "Transaction", "open", "TOMBSTONE", *ERRORS, "CollectionView",
                      "CollectionIterator"]
    assert "Database" in _quilletdb.__doc__
    assert type(TOMBSTONE) is Tombstone


ERRORS = ["Error", "CorruptionError", "ReadOnlyError", "ClosedError", "RecordReadError", "CorruptRecordError"]


def test_error_classes_extend_the_classes_raised_before():
    error, corruption = _quilletdb.Error, _quilletdb.CorruptionError
    assert error.__bases__ == (RuntimeError,)
    for name in ERRORS[1:4]:
        assert getattr(_quilletdb, name).__bases__ == (error,)
    assert _quilletdb.RecordReadError.__bases__ == (KeyError, error)
    assert _quilletdb.CorruptRecordError.__bases__ == (KeyError, corruption)
    assert all(getattr(_quilletdb, name).__module__ == "_quilletdb" for name in ERRORS)


@pytest.mark.parametrize("cls, name", [(Tombstone, "Tombstone"), (Link, "Link"), (Database, "Database")])
def test_classes_live_in_their_module_with_documentation(cls, name):
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == "_quilletdb"
    assert repr(cls) == f"<class '_quilletdb.{name}'>"
    assert cls.__bases__ == (object,)
    assert cls.__doc__


def test_links_and_tombstones_pickle_and_copy():
    link = Link("c/k#x", {"n": [1, {"t": TOMBSTONE}]})
    for copied in (pickle.loads(pickle.dumps(link)), copy.deepcopy(link), copy.copy(link)):
        assert type(copied) is Link and copied is not link
        assert copied.path == link.path and repr(copied.local) == repr(link.local)
    assert repr(copy.deepcopy(Link("c/k"))) == "Link(\"c/k\")"
    assert pickle.loads(pickle.dumps(TOMBSTONE)) is TOMBSTONE


def test_help_shows_the_interface():
    text = pydoc.render_doc(_quilletdb, renderer=pydoc.plaintext)
    for name in ("class Database", "class Link", "open(path, *, readonly=False, sync=False, autocompact=None)", "set_many(",
                 "class CorruptionError"):
        assert name in text


@pytest.mark.parametrize("cls", [Tombstone, Link, Database])
def test_classes_cannot_be_subclassed(cls):
    error = catch(lambda: type("Sub", (cls,), {}))
    assert type(error) is TypeError
    assert "is not an acceptable base type" in str(error)


def instances(db):
    return [TOMBSTONE, Link("c/k"), db]


def test_no_instance_dict_and_no_weak_references(db):
    for obj in instances(db):
        assert type(catch(lambda: setattr(obj, "extra", 1))) is AttributeError
        assert not hasattr(obj, "__dict__")
        assert type(catch(lambda: weakref.ref(obj))) is TypeError


def test_identity_comparison_and_hash(db):
    first, second = Link("c/k"), Link("c/k")
    assert first != second and not first == second
    assert first == first
    assert hash(first) == object.__hash__(first)
    assert type(catch(lambda: first < second)) is TypeError
    db.set("c", "k", [TOMBSTONE])
    stored = db.get("c", "k")[0]
    assert isinstance(stored, Tombstone)
    assert stored is not TOMBSTONE and stored != TOMBSTONE
    assert TOMBSTONE == TOMBSTONE


@pytest.mark.parametrize("cls, args", [(Database, ()), (Database, ("x",)), (Tombstone, ()), (Tombstone, (1,))])
def test_no_constructor(cls, args):
    error = catch(lambda: cls(*args))
    assert type(error) is TypeError
    assert str(error) == f"No constructor defined for {cls.__name__}"


def test_tombstone_repr_and_truth():
    assert repr(TOMBSTONE) == "TOMBSTONE"
    assert bool(TOMBSTONE) is False
    assert not TOMBSTONE


def test_link_attributes_are_read_only_and_fresh():
    link = Link("c/k", {"a": [1, {"b": None}]})
    for attribute in ("path", "local"):
        assert type(catch(lambda: setattr(link, attribute, "x"))) is AttributeError
        assert type(catch(lambda: delattr(link, attribute))) is AttributeError
    local = link.local
    assert local == {"a": [1, {"b": None}]}
    local["a"].append(2)
    local["new"] = 1
    assert link.local == {"a": [1, {"b": None}]}
    assert link.local is not link.local
    assert Link("c/k").local == {} and Link("c/k", None).local == {}


@pytest.mark.parametrize(
    "path, quoted",
    [
        ("c/k", '"c/k"'),
        ('a"b', '"a\\"b"'),
        ("a\\b", '"a\\\\b"'),
        ("it's", '"it\'s"'),
        ("\0\t\r\n", '"\\0\\t\\r\\n"'),
        ("\x01\x7f", '"\\u{1}\\u{7f}"'),
        ("a\u200bb", '"a\\u{200b}b"'),  # a format character
        ("\u0378", '"\\u{378}"'),  # unassigned
        ("é ✓ 😀 e\u0301", '"é ✓ 😀 e\u0301"'),  # printable, combining marks stay
    ],
)
def test_reprs_quote_the_path(tmp_path, monkeypatch, path, quoted):
    assert repr(Link(path)) == f"Link({quoted})"
    assert repr(Link(path, {"x": 1})) == f"Link({quoted}, local={{...}})"
    if "\0" not in path:
        monkeypatch.chdir(tmp_path)
        assert repr(_quilletdb.open(path)) == f"Database({quoted})"


def test_database_repr_shows_the_path_as_given(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert repr(_quilletdb.open("rel/./db")) == 'Database("rel/./db")'


def test_second_initialisation_returns_the_same_module():
    saved = sys.modules.pop("_quilletdb")
    try:
        again = importlib.import_module("_quilletdb")
        assert again is saved
        assert again.Link is Link and again.TOMBSTONE is TOMBSTONE
    finally:
        sys.modules["_quilletdb"] = saved


def test_sub_interpreter_is_refused(tmp_path):
    subinterpreters = pytest.importorskip("_xxsubinterpreters")
    result = tmp_path / "result.txt"
    module_dir = os.path.dirname(_quilletdb.__file__)
    script = f"""
import sys
sys.path.insert(0, {module_dir!r})
try:
    import _quilletdb
    outcome = "imported"
except ImportError as error:
    outcome = "ImportError: " + str(error)
with open({str(result)!r}, "w") as f:
    f.write(outcome)
"""
    # From 3.12 on a sub-interpreter is isolated unless asked otherwise, and
    # the import system refuses the module before its own check can run.
    legacy = {"isolated": False} if sys.version_info >= (3, 12) else {}
    interpreter = subinterpreters.create(**legacy)
    try:
        subinterpreters.run_string(interpreter, script)
    finally:
        subinterpreters.destroy(interpreter)
    outcome = result.read_text()
    assert outcome.startswith("ImportError: ")
    assert "sub-interpreters are not supported" in outcome
    # The main interpreter's module is untouched.
    assert sys.modules["_quilletdb"].TOMBSTONE is TOMBSTONE

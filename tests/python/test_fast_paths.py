"""Values of every shape read back the same whichever way they are converted.

Common shapes are encoded and decoded without building an intermediate value
tree; everything else takes the general conversion. Both must agree, so the
shapes here straddle the boundary between them.
"""

import pytest

import _quilletdb as q


class Key(str):
    pass


def nested(depth, leaf):
    value = leaf
    for i in range(depth):
        value = {"d": value, "i": i} if i % 2 else [value, i]
    return value


def plain(value):
    """Comparable form: Links and Tombstones by their content."""
    if isinstance(value, q.Link):
        return ("Link", value.path, plain(value.local))
    if isinstance(value, q.Tombstone):
        return ("Tombstone",)
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, list):
        return [plain(v) for v in value]
    return value


SHAPES = {
    "link between keys": {"a": 1, "owner": q.Link("users/u1"), "b": [q.Link("x/y"), 2], "c": "end"},
    "link with locals": {"l": q.Link("users/u1", {"role": "admin", "deep": {"x": [1]}}), "after": True},
    "top-level link": q.Link("users/u2"),
    "tombstones inside": [q.TOMBSTONE, {"t": q.TOMBSTONE}],
    "scalars": [None, True, False, 0, -1, 2**63 - 1, -(2**63), 1.5, float("inf"), "", "é😀", b"", b"\x00\xff"],
    "str subclass keys": {Key("a"): 1, "b": {Key("c"): [1]}},
    "int subclass": [True.__class__(1), 3],
    "empty containers": {"l": [], "d": {}, "nested": [[], [{}]]},
    "long list": list(range(200)),
    "big dict": {f"k{i}": i for i in range(300)},
    "depth 31": nested(31, "leaf"),
    "depth 32": nested(32, "leaf"),
    "depth 33": nested(33, q.Link("a/b")),
    "depth 200": nested(200, 1),
}


@pytest.mark.parametrize("name", list(SHAPES))
def test_round_trip(db, name):
    value = SHAPES[name]
    db.set("c", name, value)
    assert plain(db.get("c", name)) == plain(value)
    db.set_many([("c", name + "/many", value)])
    assert plain(db.get("c", name + "/many")) == plain(value)


def test_links_found_whichever_way_the_value_was_encoded(db):
    db.set("posts", "fast", {"a": 1, "owner": q.Link("users/u1"), "list": [q.Link("users/u1")]})
    db.set("posts", "general", {Key("owner"): q.Link("users/u1")})
    db.set("posts", "local", {"owner": q.Link("users/u1", {"why": "x"})})
    got = sorted((e["source_key"], e["source_path"]) for e in db.backlinks("users", "u1"))
    assert got == [("fast", "list/0"), ("fast", "owner"), ("general", "owner"), ("local", "owner")]
    # Replacing a value whose links were found the fast way removes them.
    db.set("posts", "fast", {"a": 2})
    got = sorted((e["source_key"], e["source_path"]) for e in db.backlinks("users", "u1"))
    assert got == [("general", "owner"), ("local", "owner")]


@pytest.mark.parametrize(
    "value, error, text",
    [
        (2**63, OverflowError, None),
        ({"a": [1, (2,)]}, TypeError, "cannot convert tuple to a QuilletDB value"),
        ({1: "x"}, TypeError, "'int' object cannot be converted to 'PyString'"),
        (["\ud800"], UnicodeEncodeError, None),
    ],
)
def test_refusals_are_the_general_ones(db, value, error, text):
    with pytest.raises(error) as info:
        db.set("c", "k", value)
    if text is not None:
        assert str(info.value) == text
    with pytest.raises(KeyError):
        db.get("c", "k")


def test_replacing_a_value_removes_its_links_however_it_is_known(db_path):
    db = q.open(str(db_path))
    db.set("posts", "on-file", {"l": q.Link("users/u2")})
    del db
    db = q.open(str(db_path))
    # Values written since open hold no links yet: the ones they replace are
    # known to hold none, but a value still on file must be read.
    db.set("posts", "plain", {"x": 1})
    db.set("posts", "on-file", {"x": 2})
    assert db.backlinks("users", "u2") == []
    db.set("posts", "plain", {"l": q.Link("users/u3")})
    db.set("posts", "plain", {"x": 3})
    assert db.backlinks("users", "u3") == []

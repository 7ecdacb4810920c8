"""Conversion between Python objects and stored values, both ways."""
import array
import collections
import datetime
import decimal
import enum
import math
import os
import struct
import sys
import threading
from unittest import mock

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _quilletdb
from _quilletdb import TOMBSTONE, Link, Tombstone

from conftest import catch, record

MAX_NESTING = 10000
TOO_DEEP = f"value nested deeper than the limit of {MAX_NESTING} levels"


def round_trip(db, value):
    db.set("c", "k", value)
    return db.get("c", "k")


@pytest.mark.parametrize(
    "value",
    [
        None,
        True,
        False,
        0,
        1,
        -(2**63),
        2**63 - 1,
        1.5,
        -0.0,
        math.inf,
        -math.inf,
        "",
        "text",
        "é ✓ 😀 \0",
        b"",
        b"\x00\xff",
        [],
        [1, [2, [3, []]]],
        {},
        {"a": [1, {"b": None}]},
        {"": {"": ""}},
    ],
    ids=repr,
)
def test_round_trip_keeps_value_and_type(db, value):
    back = round_trip(db, value)
    assert back == value
    assert type(back) is type(value)
    if isinstance(value, float):
        assert math.copysign(1, back) == math.copysign(1, value)


def test_bool_is_not_int(db):
    db.set_many([("c", "t", True), ("c", "one", 1)])
    assert db.get("c", "t") is True
    one = db.get("c", "one")
    assert one == 1 and type(one) is int


def test_nan_round_trips(db):
    assert math.isnan(round_trip(db, math.nan))


class Colour(enum.IntEnum):
    RED = 7


class MyFloat(float):
    pass


class MyStr(str):
    pass


class MyBytes(bytes):
    pass


class MyList(list):
    pass


class MyDict(dict):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [
        (Colour.RED, 7),
        (MyFloat(2.5), 2.5),
        (MyStr("s"), "s"),
        (MyBytes(b"b"), b"b"),
        (MyList([1, MyStr("x")]), [1, "x"]),
        (MyDict(a=1), {"a": 1}),
        (collections.OrderedDict(a=1), {"a": 1}),
        (collections.defaultdict(list, a=[1]), {"a": [1]}),
    ],
    ids=repr,
)
def test_subclasses_come_back_as_the_base_type(db, value, expected):
    back = round_trip(db, value)
    assert back == expected
    assert type(back) is type(expected)


class Plain:
    pass


@pytest.mark.parametrize(
    "value, name",
    [
        ((1, 2), "tuple"),
        ({1}, "set"),
        (frozenset(), "frozenset"),
        (bytearray(b"x"), "bytearray"),
        (memoryview(b"x"), "memoryview"),
        (1j, "complex"),
        (datetime.date(2020, 1, 1), "date"),
        (datetime.datetime(2020, 1, 1), "datetime"),
        (decimal.Decimal(1), "Decimal"),
        (array.array("b"), "array"),
        (range(3), "range"),
        (Plain(), "Plain"),
        (Plain, "type"),
        (len, "builtin_function_or_method"),
        ([1, (2,)], "tuple"),
        ({"a": {"b": [None, {1}]}}, "set"),
        (Link("c/k", {"x": 1}).local | {"y": object()}, "object"),
    ],
    ids=repr,
)
def test_refused_values_name_their_type(db, value, name):
    db.set("c", "k", "old")
    error = catch(lambda: db.set("c", "k", value))
    assert type(error) is TypeError
    assert str(error) == f"cannot convert {name} to a QuilletDB value"
    assert db.get("c", "k") == "old"


@pytest.mark.parametrize("number", [2**63, -(2**63) - 1, 10**30])
def test_int_out_of_range_is_overflow_error(db, number):
    db.set("c", "k", "old")
    assert type(catch(lambda: db.set("c", "k", number))) is OverflowError
    assert type(catch(lambda: db.set("c", "k", [0, {"n": number}]))) is OverflowError
    assert db.get("c", "k") == "old"


@pytest.mark.parametrize("value", ["\ud800", ["ok", "\udc00"], {"\ud800": 1}])
def test_lone_surrogates_are_unicode_encode_error(db, value):
    assert type(catch(lambda: db.set("c", "k", value))) is UnicodeEncodeError


def test_dict_keys_must_be_text(db):
    for value in ({1: "a"}, {"a": {b"k": 1}}):
        error = catch(lambda: db.set("c", "k", value))
        assert type(error) is TypeError
        assert str(error) in (
            "'int' object cannot be converted to 'PyString'",
            "'bytes' object cannot be converted to 'PyString'",
        )
    # Raised by the conversion, so not reworded with the parameter name.
    error = catch(lambda: Link("c/k", {1: "a"}))
    assert type(error) is TypeError and str(error) == "'int' object cannot be converted to 'PyString'"
    error = catch(lambda: Link("c/k", {"a": (1,)}))
    assert type(error) is TypeError and str(error) == "cannot convert tuple to a QuilletDB value"


def test_tombstone_inside_a_value_comes_back_as_a_new_instance(db):
    back = round_trip(db, [TOMBSTONE, {"t": TOMBSTONE}])
    for item in (back[0], back[1]["t"]):
        assert isinstance(item, Tombstone) and item is not TOMBSTONE
    assert back[0] is not back[1]["t"]


def test_links_round_trip_with_their_local_values(db):
    local = {"role": "author", "tags": [1, b"x", None, {"deep": [Link("x/y")]}]}
    back = round_trip(db, {"author": Link("users/alice", local), "plain": Link("users/bob")})
    author = back["author"]
    assert type(author) is Link
    assert author.path == "users/alice"
    assert author.local["role"] == "author"
    assert author.local["tags"][:3] == [1, b"x", None]
    assert author.local["tags"][3]["deep"][0].path == "x/y"
    assert back["plain"].local == {}
    link = Link("users/alice", local)
    assert comparable(round_trip(db, link)) == comparable(link)


class ClaimsToBeALink:
    __class__ = Link  # isinstance(obj, Link) is now True


class ClaimsToBeATombstone:
    @property
    def __class__(self):
        raise AssertionError("the conversion must not look at __class__")


def test_objects_claiming_a_class_are_refused(db):
    fake = ClaimsToBeALink()
    assert isinstance(fake, Link)
    cases = [
        (fake, "ClaimsToBeALink"),
        (ClaimsToBeATombstone(), "ClaimsToBeATombstone"),
        (mock.Mock(spec=Link), "Mock"),
        (mock.NonCallableMagicMock(spec=Tombstone), "NonCallableMagicMock"),
    ]
    for value, name in cases:
        error = catch(lambda: db.set("c", "k", value))
        assert type(error) is TypeError
        assert str(error) == f"cannot convert {name} to a QuilletDB value"


class LyingName(type):
    @property
    def __name__(cls):
        raise AssertionError("the type name is read from the type object")


class Odd(metaclass=LyingName):
    pass


def test_type_names_are_read_from_the_type_object(db):
    assert str(catch(lambda: db.set("c", "k", Odd()))) == "cannot convert Odd to a QuilletDB value"
    assert str(catch(lambda: db.get(Odd(), "k"))) == (
        "argument 'collection': 'Odd' object cannot be converted to 'PyString'"
    )


class SameText(str):
    """Equal only to itself, so a dict can hold several keys with one text."""

    def __eq__(self, other):
        return self is other

    def __hash__(self):
        return id(self)


def test_maps_keep_insertion_order(db):
    value = {"zebra": 1, "apple": 2, "mango": {"y": 1, "b": 2}}
    back = round_trip(db, value)
    assert list(back) == ["zebra", "apple", "mango"]
    assert list(back["mango"]) == ["y", "b"]
    link = Link("c/k", {"z": 1, "a": 2})
    assert list(link.local) == ["z", "a"]


def test_keys_with_the_same_text_keep_first_position_and_last_value(db):
    value = {SameText("a"): 1, "b": 2, SameText("a"): 3, "a": 4, "c": 5}
    assert len(value) == 5
    back = round_trip(db, value)
    assert back == {"a": 4, "b": 2, "c": 5}
    assert list(back) == ["a", "b", "c"]


def nested_list(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


def nested_dict(depth):
    value = {}
    for _ in range(depth - 1):
        value = {"k": value}
    return value


def depth_of(value):
    """The depth of a nested_list or nested_dict, measured without recursion
    (comparing deep values with == would hit the interpreter's own limit)."""
    depth = 1
    while value:
        value = value[0] if isinstance(value, list) else value["k"]
        depth += 1
    return depth


@pytest.fixture
def high_recursion_limit():
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(1_000_000)
    yield
    sys.setrecursionlimit(old)


def test_nesting_up_to_the_limit_is_stored(db, high_recursion_limit):
    for make in (nested_list, nested_dict):
        value = make(MAX_NESTING)
        db.set("c", "deep", value)
        assert depth_of(db.get("c", "deep")) == MAX_NESTING


@pytest.mark.parametrize("depth", [MAX_NESTING + 1, 1_000_000])
def test_deeper_nesting_is_recursion_error(db, high_recursion_limit, depth):
    for make in (nested_list, nested_dict):
        value = make(depth)
        error = catch(lambda: db.set("c", "k", value))
        assert type(error) is RecursionError and str(error) == TOO_DEEP
        error = catch(lambda: Link("c/k", {"x": value}))
        assert type(error) is RecursionError


def test_default_recursion_limit_guards_conversion(db):
    assert sys.getrecursionlimit() < 5000
    error = catch(lambda: db.set("c", "k", nested_list(5000)))
    assert type(error) is RecursionError
    assert "while converting a value" in str(error)


def test_recursion_limit_bounds_the_nesting_depth_alone(db):
    """The caller's own frames do not count: a value as deep as the limit fits."""
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(200)
    try:
        db.set("c", "fits", nested_list(200))
        too_deep = catch(lambda: db.set("c", "k", nested_dict(201)))
        back = db.get("c", "fits")
        sys.setrecursionlimit(199)
        read_too_deep = catch(lambda: db.get("c", "fits"))
    finally:
        sys.setrecursionlimit(old)
    assert depth_of(back) == 200
    for error in (too_deep, read_too_deep):
        assert type(error) is RecursionError
        assert str(error) == "maximum recursion depth exceeded while converting a value"


def test_deep_stored_values_read_back_guarded(db, high_recursion_limit):
    db.set("c", "deep", nested_list(5000))
    sys.setrecursionlimit(1000)
    assert type(catch(lambda: db.get("c", "deep"))) is RecursionError
    sys.setrecursionlimit(1_000_000)
    back = db.get("c", "deep")
    assert type(back) is list and depth_of(back) == 5000


def test_self_containing_values_are_recursion_error(db, high_recursion_limit):
    cyclic_list = []
    cyclic_list.append(cyclic_list)
    cyclic_dict = {}
    cyclic_dict["self"] = [cyclic_dict]
    for value in (cyclic_list, cyclic_dict):
        assert type(catch(lambda: db.set("c", "k", value))) is RecursionError
        assert type(catch(lambda: db.set_many([("c", "k", value)]))) is RecursionError
        assert type(catch(lambda: Link("c/k", {"v": value}))) is RecursionError
    sys.setrecursionlimit(1000)
    assert type(catch(lambda: db.set("c", "k", cyclic_list))) is RecursionError


def test_dates_and_times_come_back_as_ints(db_path):
    os.makedirs(db_path)
    with open(os.path.join(db_path, "raw.qdb"), "wb") as f:
        f.write(record(b"date", b"\x09" + struct.pack("<I", 2**32 - 1)))
        f.write(record(b"time", b"\x0a" + struct.pack("<I", 43200)))
        f.write(record(b"datetime", b"\x0b" + struct.pack("<Q", 2**64 - 1)))
        f.write(record(b"nested", b"\x07" + struct.pack("<I", 1) + b"\x09" + struct.pack("<I", 0)))
    db = _quilletdb.open(db_path)
    assert db.get("raw", "date") == 2**32 - 1
    assert db.get("raw", "time") == 43200
    assert db.get("raw", "datetime") == 2**64 - 1
    assert db.get("raw", "nested") == [0]
    assert type(db.get("raw", "datetime")) is int


# Values a caller can store, and how to compare what comes back.
scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**63 - 1)
    | st.floats(allow_nan=True)
    | st.text()
    | st.binary()
    | st.just(TOMBSTONE)
)


# A link whose target collection holds NUL is refused before writing (no file
# can carry that name), so the stored values leave NUL out of the collection.
link_paths = st.text().filter(lambda path: "\0" not in path.partition("/")[0] or "/" not in path)


def with_links(children):
    return st.builds(Link, link_paths, st.dictionaries(st.text(), children, max_size=4))


values = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=5)
    | st.dictionaries(st.text(), children, max_size=5)
    | with_links(children),
    max_leaves=30,
)


def comparable(value):
    """A plain structure that compares equal exactly when the stored values agree."""
    if isinstance(value, Tombstone):
        return ("tombstone",)
    if isinstance(value, Link):
        return ("link", value.path, comparable(value.local))
    if isinstance(value, float):
        return ("float", "nan" if math.isnan(value) else value, math.copysign(1, value))
    if isinstance(value, list):
        return ("list", [comparable(item) for item in value])
    if isinstance(value, dict):
        return ("dict", [(key, comparable(item)) for key, item in value.items()])
    return (type(value).__name__, value)


@settings(max_examples=300, deadline=None)
@given(value=values)
def test_stored_values_read_back_equal(tmp_path_factory, value):
    db = _quilletdb.open(str(tmp_path_factory.mktemp("prop")))
    db.set_many([("c", "k", [value])])
    db.set("c", "single", [value])
    assert comparable(db.get("c", "k")) == comparable([value])
    assert comparable(db.get("c", "single")) == comparable([value])


def test_deepest_values_convert_on_a_small_thread_stack(db, high_recursion_limit):
    """Conversion walks nesting on the heap, so depth does not need C stack."""
    outcome = []
    # The deep values are freed on the main thread: the interpreter frees
    # nested containers recursively, and from 3.13 its own guard on that
    # recursion allows more levels than a 256 KiB stack holds.
    deep_values = []

    def convert_deep():
        try:
            deep_values.extend([nested_list(MAX_NESTING), nested_dict(MAX_NESTING + 1)])
            db.set("c", "deep", deep_values[0])
            deep_values.append(db.get("c", "deep"))
            outcome.append(depth_of(deep_values[-1]))
            outcome.append(type(catch(lambda: db.set("c", "k", deep_values[1]))))
        except BaseException as error:  # noqa: BLE001 - reported below
            outcome.append(error)

    old_size = threading.stack_size(256 * 1024)
    try:
        thread = threading.Thread(target=convert_deep)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old_size)
    assert outcome == [MAX_NESTING, RecursionError]

"""Collection views: the mapping protocol against a dict, and ordered scans."""
import itertools
import random

from hypothesis import given, settings
from hypothesis import strategies as st

import _quilletdb

from conftest import catch

KEYS = st.text(alphabet="ab\u00e9\U0001f600", max_size=3)
OPS = st.lists(st.tuples(st.sampled_from(["set", "del", "get"]), KEYS, st.integers(-1000, 1000)), max_size=30)


@settings(max_examples=40, deadline=None)
@given(ops=OPS)
def test_a_view_behaves_like_a_dict(tmp_path_factory, ops):
    db = _quilletdb.open(str(tmp_path_factory.mktemp("db")))
    view, model = db["c"], {}
    for op, key, value in ops:
        if op == "set":
            view[key] = model[key] = value
        elif op == "del" and key in model:
            del view[key], model[key]
        elif op == "del":
            error = catch(lambda: view.__delitem__(key))
            assert type(error) is KeyError and error.args == ("key not found",)
        else:
            assert view.get(key, "absent") == model.get(key, "absent")
            assert (key in view) == (key in model)
    assert len(view) == len(model)
    assert list(view) == sorted(model)
    assert list(view.items()) == sorted(model.items())
    assert list(view.values()) == [model[k] for k in sorted(model)]
    for prefix, start, stop in [("a", None, None), (None, "b", None), (None, None, "b"), ("a", "ab", "b")]:
        expected = [k for k in sorted(model) if k.startswith(prefix or "") and k >= (start or "")
                    and (stop is None or k < stop)]
        assert list(view.keys(prefix=prefix, start=start, stop=stop)) == expected


def test_views_read_and_write_the_database(db):
    users = db.collection("users")
    assert users is not db["users"] and users.name == "users" and users.database is db
    users["alice"] = {"n": 1}
    assert db.get("users", "alice") == {"n": 1} and users["alice"] == {"n": 1}
    error = catch(lambda: users["bob"])
    assert type(error) is KeyError and error.args == ("key not found",)
    scan = users.items()
    assert scan.__length_hint__() == 1
    del users["alice"]
    assert list(scan) == []  # a key deleted after the snapshot is skipped
    assert type(catch(lambda: users[1])) is TypeError
    assert repr(users) == f"<CollectionView 'users' of {db!r}>"
    db.close()
    assert type(catch(lambda: users["alice"])) is _quilletdb.ClosedError


def test_scans_of_many_keys_come_in_order(db):
    # Past the first few hundred keys a scan orders the rest in larger steps.
    keys = [f"k{i:05d}" for i in random.Random(3).sample(range(20_000), 6_000)]
    db.set_many([("c", k, None) for k in keys])
    view = db["c"]
    assert list(view.keys()) == sorted(keys)
    start = sorted(keys)[1000]
    assert list(itertools.islice(view.keys(start=start), 2_000)) == sorted(keys)[1000:3000]

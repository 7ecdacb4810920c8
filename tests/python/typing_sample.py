"""A program using the whole API; `mypy --strict` must accept it as it is.

The function at the end holds calls the stubs must reject: each carries a
`type: ignore` that --strict (warn_unused_ignores) reports if it stops being
needed.
"""
from __future__ import annotations

import tempfile
from typing import TYPE_CHECKING

import pathlib

import _quilletdb
import quilletdb
from _quilletdb import TOMBSTONE, Database, Link, Tombstone

if TYPE_CHECKING:
    from _quilletdb import StoredValue  # exists only in the stubs


def describe(value: StoredValue) -> str:
    if isinstance(value, Tombstone):
        return "deleted"
    if isinstance(value, Link):
        return f"link to {value.path} with {len(value.local)} local values"
    return repr(value)


def main(directory: str) -> None:
    db: Database = _quilletdb.open(directory)
    scores: list[int] = [1, 2, 3]
    profile: dict[str, object] = {"name": "Alice"}
    db.set("users", "alice", {"name": "Alice", "scores": scores, "raw": b"\x00", "ratio": 0.5, "admin": False})
    db.set("users", "bob", None)
    db.set("profiles", "alice", profile)
    db.set("posts", "p1", {"author": Link("users/alice", {"role": "editor"}), "gone": TOMBSTONE})
    db.set_many([("posts", "p2", Link("users/bob")), ("posts", "p3", [1, "two", None])])
    db.delete("users", "bob")
    db.begin()
    db.set("addresses", "a1", {"city": "Paris"})
    db.commit()
    with db.transaction() as same:
        same.set("addresses", "a2", {"city": "Oslo"})
    db.begin()
    db.rollback()

    user = db.get("users", "alice")
    name: str = user["name"]
    city = db.resolve("posts", "p1", ["author", "name"])
    also = db.resolve("posts", "p1", ("author",))
    for entry in db.backlinks("users", "alice"):
        source: str = entry["source_collection"] + "/" + entry["source_key"] + "#" + entry["source_path"]
        print(source)
    link = Link(path="users/alice")
    local: dict[str, StoredValue] = link.local
    print(name, city, describe(also), link.path, local, repr(db), bool(TOMBSTONE))
    db.close()
    package_api(pathlib.Path(directory))


def package_api(directory: pathlib.Path) -> None:
    with quilletdb.open(directory) as db:
        users: quilletdb.CollectionView = db.collection("users")
        users["carol"] = {"name": "Carol"}
        del users["carol"]
        first: list[str] = list(users.keys(prefix="a", stop="b"))
        pairs: list[tuple[str, object]] = list(db["users"].items())
        print(first, pairs, len(users), "alice" in users, users.get("nobody", 0))
    reader = quilletdb.open(directory, readonly=True)
    try:
        reader.set("users", "x", 1)
    except quilletdb.ReadOnlyError as error:
        print(type(error).__name__)
    except (quilletdb.CorruptionError, quilletdb.ClosedError, quilletdb.Error):
        raise


def rejected(db: Database) -> None:
    db.set("c", "k", (1, 2))  # type: ignore[arg-type]
    db.set("c", "k", {1: "a"})  # type: ignore[dict-item]
    db.get("c", 1)  # type: ignore[arg-type]
    db.resolve("c", "k", 5)  # type: ignore[arg-type]
    db.set_many((("c", "k", 1),))  # type: ignore[arg-type]
    db.begin(1)  # type: ignore[call-arg]
    Link(1)  # type: ignore[arg-type]
    Link("c/k", [])  # type: ignore[arg-type]
    _quilletdb.open(1)  # type: ignore[arg-type]
    Link("c/k").path = "x"  # type: ignore[misc]


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as directory:
        main(directory)

"""QuilletDB: an embedded document store with links and backlinks.

    import quilletdb

    with quilletdb.open("data") as db:
        users = db.collection("users")           # or db["users"]
        users["alice"] = {"name": "Alice"}
        db.set("posts", "p1", {"author": quilletdb.Link("users/alice")})
        db.resolve("posts", "p1", ["author", "name"])   # 'Alice'
        for key, value in users.items(prefix="a"):
            ...

The classes and functions are those of the `_quilletdb` extension module,
re-exported as they are (no wrapper on the hot path): `open`, `Database`,
`Link`, `Tombstone`, `TOMBSTONE`, `CollectionView`, and the exceptions
`Error` (a RuntimeError) with `CorruptionError`, `ReadOnlyError`,
`ClosedError`, and the KeyErrors of `Database.get` (`RecordReadError`,
`CorruptRecordError`). The `quilletdb` command lives in `quilletdb.cli`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from _quilletdb import (
    TOMBSTONE as TOMBSTONE,
    ClosedError as ClosedError,
    CollectionIterator as CollectionIterator,
    CollectionView as CollectionView,
    CorruptionError as CorruptionError,
    CorruptRecordError as CorruptRecordError,
    Database as Database,
    Error as Error,
    Link as Link,
    ReadOnlyError as ReadOnlyError,
    RecordReadError as RecordReadError,
    Tombstone as Tombstone,
    Transaction as Transaction,
    open as open,
)

if TYPE_CHECKING:
    from _quilletdb import StoredValue as StoredValue

__version__ = "0.1.0"

__all__ = [
    "TOMBSTONE",
    "ClosedError",
    "CollectionIterator",
    "CollectionView",
    "CorruptRecordError",
    "CorruptionError",
    "Database",
    "Error",
    "Link",
    "ReadOnlyError",
    "RecordReadError",
    "Tombstone",
    "Transaction",
    "open",
]


def __getattr__(name: str) -> Any:
    # The command's entry point, kept importable as quilletdb.main without
    # loading argparse on every `import quilletdb`.
    if name == "main":
        from quilletdb.cli import main

        return main
    raise AttributeError(f"module 'quilletdb' has no attribute {name!r}")

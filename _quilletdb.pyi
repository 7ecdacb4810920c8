"""Type stubs for _quilletdb, an embedded document store.

Values
------
`set`, `set_many` and `Link(local=...)` accept None, bool, int (signed
64-bit; others raise OverflowError), float, str, bytes, list, dict with str
keys, `Link` and `Tombstone`, nested to at most 10,000 levels (deeper or
self-containing data raises RecursionError). Subclasses of int, float, str,
bytes, list and dict are stored as their base type. Anything else, tuples and
sets included, raises TypeError.

`get` and `resolve` return the same kinds of objects (a stored date, time or
date-time comes back as an int). Dicts keep their insertion order: a dict read
back has its keys in the order they were written. When two keys of one dict
have the same text (str subclasses overriding equality), the stored map holds
the text once, at the first key's position, with the last key's value.

Errors
------
- binding (wrong argument count, names or types): TypeError;
- storage failures: Error (a RuntimeError) with the store's text ("io: ...",
  "codec: ..."), or its subclasses CorruptionError (a damaged file),
  ReadOnlyError (a write on a read-only open) and ClosedError (a call after
  close()); `get` raises KeyError instead: exactly KeyError("key not found")
  for a missing record, RecordReadError or CorruptRecordError (KeyErrors and
  Errors both) when the record cannot be read;
- `resolve`: Error ("storage: ...", "invalid path: ...",
  "cyclic link detected", "field not found");
- a call made on a Database from inside another call on it by the same
  thread (for example from a finalizer): Error.
"""

import os

from types import TracebackType
from typing import Any, Callable, Final, Iterator, Sequence, TypeAlias, TypedDict, TypeVar, final

# What the store can hold, as Python sees it after reading. A name of the
# stubs only: import it under `if TYPE_CHECKING:`.
StoredValue: TypeAlias = (
    None | bool | int | float | str | bytes | Link | Tombstone | list[StoredValue] | dict[str, StoredValue]
)

# What a write accepts. Containers are typed loosely (list and dict being
# invariant, list[int] would not pass as list[StoredValue]); their items are
# checked when the call runs.
_T = TypeVar("_T")

_Storable: TypeAlias = None | bool | int | float | str | bytes | Link | Tombstone | list[Any] | dict[str, Any]

@final
class Tombstone:
    """The deletion marker. Not constructible; false in a boolean context.

    Storing it deletes a record. Read back inside a value it is a new
    instance each time: test with isinstance, not with `is TOMBSTONE`.
    """

    def __bool__(self) -> bool: ...
    def __reduce__(self) -> tuple[Callable[[], Tombstone], tuple[()]]: ...

@final
class Link:
    """A link to the record `collection/key` (optionally followed by field
    names), carrying local values of its own. Compares by identity."""

    def __new__(cls, path: str, local: dict[str, Any] | None = None) -> Link: ...
    @property
    def path(self) -> str: ...
    @property
    def local(self) -> dict[str, StoredValue]:
        """A new dict on every access; changing it does not change the link."""
    def __reduce__(self) -> tuple[type[Link], tuple[str, dict[str, StoredValue] | None]]: ...

@final
class Database:
    """An open database directory; made by `open`. Safe to share between
    threads: every call holds the database's lock."""

    def get(self, collection: str, key: str) -> Any:
        """The record's value (a StoredValue); KeyError when it does not exist."""
    def set(self, collection: str, key: str, value: _Storable) -> None: ...
    def set_many(self, ops: list[tuple[str, str, _Storable]]) -> None:
        """Writes (collection, key, value) items in order; stops at the first
        failing item, keeping the items written before it."""
    def delete(self, collection: str, key: str) -> None: ...
    def resolve(self, collection: str, key: str, path: Sequence[str]) -> Any:
        """The value at `path` (a list of field names, never a single str),
        following links across records; a StoredValue."""
    def begin(self) -> None:
        """Starts a transaction: its writes reach no file and no other
        Database before commit; reads of this Database see them at once."""
    def commit(self) -> None:
        """Lands the transaction whole (records and backlinks, visible to
        every Database at once, surviving a crash). On failure nothing of
        it is written and the transaction stays open."""
    def rollback(self) -> None:
        """Discards the open transaction's writes."""
    def transaction(self) -> Transaction:
        """`with db.transaction():` begins, commits when the block ends
        normally, rolls back when it raises."""
    def sync(self) -> None:
        """Puts everything written so far on stable storage, in either sync
        mode; records buffered by an open transaction go out at commit."""
    def backlinks(self, collection: str, key: str) -> list[dict[str, str]]:
        """One dict per incoming link, with the keys source_collection,
        source_key and source_path."""

    # Additions beyond the specified methods.
    def close(self) -> None:
        """Writes out every buffer, applies queued backlink updates (an open
        transaction's too) and closes every file. Afterwards every method
        raises RuntimeError("database is closed"); closing again does
        nothing. Raises RuntimeError when writing out fails (the database is
        closed all the same)."""
    def __enter__(self) -> Database: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Closes the database; an exception that ended the block goes on."""
    def compact(self, collection: str | None = None) -> dict[str, int]:
        """Rewrites the collection (every one when None) in place with only
        the latest record of each live key, and its backlink file with only
        the entries it lists. This and every other Database on the directory,
        in any process, keep reading and writing meanwhile: a writer waits
        only for the final switch of each file (copying what was appended
        during the copy, a sync and a rename). Costs a read of the file and a
        write of its live data; needs that much free disk space. Returns
        {"files": ..., "bytes_before": ..., "bytes_after": ...}."""
    def collections(self) -> list[str]:
        """The names of the registered collections, sorted."""
    def keys(self, collection: str) -> list[str]:
        """The live keys of a collection, sorted. Like get, opens the
        collection (creating its empty file) on first use."""
    def count(self, collection: str) -> int:
        """The number of live keys of a collection."""
    def collection(self, name: str) -> CollectionView:
        """A mapping view of one collection (also `db[name]`)."""
    def __getitem__(self, name: str, /) -> CollectionView: ...

@final
class Transaction:
    """What Database.transaction() gives."""

    def __enter__(self) -> Database: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...

@final
class CollectionView:
    """One collection as a mapping of str keys to values. Scans take a sorted
    snapshot of the matching keys and turn them into str (and read their
    values) one at a time."""

    @property
    def name(self) -> str: ...
    @property
    def database(self) -> Database: ...
    def __getitem__(self, key: str, /) -> Any: ...
    def __setitem__(self, key: str, value: _Storable, /) -> None: ...
    def __delitem__(self, key: str, /) -> None:
        """KeyError("key not found") when the key does not exist."""
    def __contains__(self, key: object, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> CollectionIterator[str]: ...
    def get(self, key: str, default: Any = None) -> Any: ...
    def keys(self, *, prefix: str | None = None, start: str | None = None, stop: str | None = None) -> CollectionIterator[str]:
        """Live keys in order: starting with `prefix`, >= `start`, < `stop`."""
    def values(
        self, *, prefix: str | None = None, start: str | None = None, stop: str | None = None
    ) -> CollectionIterator[Any]: ...
    def items(
        self, *, prefix: str | None = None, start: str | None = None, stop: str | None = None
    ) -> CollectionIterator[tuple[str, Any]]: ...

@final
class CollectionIterator(Iterator[_T]):
    def __next__(self) -> _T: ...
    def __length_hint__(self) -> int: ...

class Error(RuntimeError):
    """A failure of the store; its single argument is the store's text."""

class CorruptionError(Error): ...
class ReadOnlyError(Error): ...
class ClosedError(Error): ...
class RecordReadError(KeyError, Error): ...
class CorruptRecordError(KeyError, CorruptionError): ...

def open(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    *,
    readonly: bool = False,
    sync: bool = False,
    autocompact: bool | dict[str, float] | None = None,
) -> Database:
    """Opens the database directory `path`, creating it when missing. With
    readonly=True nothing is created or written: the directory must exist and
    writes raise ReadOnlyError. With sync=True, set, delete, set_many and
    commit return only once what they wrote is on stable storage.
    autocompact (off by default): True or a dict
    {"dead_share": 0.5, "min_bytes": 64 << 20} lets a collection compact
    itself after a write (inside that call) once its file holds min_bytes and
    that share of the records read or written since it was opened are
    overwritten or deleted ones."""

def _tombstone() -> Tombstone: ...

TOMBSTONE: Final[Tombstone]

# The quilletdb command's support API (python -m quilletdb). Each function
# opens the directory itself: read-only, except _repair and _compact's output.
# Failures raise RuntimeError with a one-line message. `progress` is called as
# progress(done, total) now and then; `notice` and `write` with one str. An
# exception raised by a callback stops the work and propagates.

class _CollectionStat(TypedDict):
    name: str
    live_keys: int
    records: int
    file_bytes: int
    live_bytes: int
    tail_bytes: int
    dead_share: float

class _BacklinkFileStat(TypedDict):
    name: str
    records: int
    live_entries: int
    file_bytes: int
    tail_bytes: int

class _Stat(TypedDict):
    collections: list[_CollectionStat]
    backlink_files: list[_BacklinkFileStat]

class _CheckReport(TypedDict):
    sound: bool
    problems: list[tuple[str, int | None, str]]  # (file, offset, message)
    problems_omitted: int
    files: int
    records: int
    live_keys: int
    backlink_records: int
    backlink_entries: int
    side_files: list[str]  # what repair removed, kept beside the logs (not a problem)

class _RepairReport(TypedDict):
    tails_cut: int
    tail_bytes_cut: int
    backlink_files_rebuilt: int
    backlink_entries_added: int
    backlink_entries_dropped: int
    damaged_stretches: int  # removed, other than the torn tail of an interrupted write
    damaged_bytes: int
    side_files: list[str]

class _CompactReport(TypedDict):
    collections: int
    records_read: int
    records_written: int
    backlink_entries: int
    bytes_read: int
    bytes_written: int
    skipped: list[tuple[str, int, int]]  # (file, offset, size) of damage left out

class _DumpReport(TypedDict):
    records: int
    skipped: list[tuple[str, int, int]]

_Progress: TypeAlias = Callable[[int, int], object] | None

def _stat(path: str) -> _Stat: ...
def _check(path: str, progress: _Progress = None) -> _CheckReport: ...
def _repair(
    path: str, notice: Callable[[str], object] | None = None, progress: _Progress = None, dry_run: bool = False
) -> _RepairReport: ...
def _compact(path: str, out: str, progress: _Progress = None, skip_damaged: bool = False) -> _CompactReport: ...
def _dump_records(
    path: str,
    collection: str | None,
    write: Callable[[str], object],
    progress: _Progress = None,
    skip_damaged: bool = False,
) -> _DumpReport: ...
def _get(path: str, collection: str, key: str) -> str:
    """The record's value as one line of JSON."""
def _resolve(path: str, collection: str, key: str, fields: Sequence[str]) -> str: ...
def _backlinks(path: str, collection: str, key: str) -> list[dict[str, str]]: ...
def _links(path: str, progress: _Progress = None) -> list[tuple[str, str, str, str, str]]:
    """Every link of every live record: (source collection, source key, source path, target collection, target key)."""

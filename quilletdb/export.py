"""Export of a database to tables that data tools read: Parquet or JSON Lines.

    quilletdb.export.export("data", "data-export", "parquet")

writes, into a new (or empty) directory:

- `collections/<name>.parquet` (or `.jsonl`) for every collection: one row per
  live record, in key order (a collection without one has no table), with the columns `key` and `value` (the record's
  value in the JSON encoding of `quilletdb dump`, as text). When every value
  of a collection is a map of scalars (null, bool, int, float, text) and each
  field holds one type throughout, there is also one typed column per field,
  named `value.<field>`, null where a record lacks the field.
- `links.parquet` (or `.jsonl`): one row per link held by a live record, with
  `source_collection`, `source_key`, `source_path`, `target_collection` and
  `target_key`. Joined on the target, it gives every record's backlinks.

The JSON Lines files hold the same tables, one object per row. Parquet needs
pyarrow (`pip install "quilletdb[arrow]"`); JSON Lines needs nothing more.
The records and the links are read through two read-only opens, so on a
database that another program is writing they may differ by what it wrote
in between.
"""

from __future__ import annotations

import json
import os
import shutil
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator

import _quilletdb

FORMATS = ("parquet", "jsonl")
ARROW_HINT = 'the parquet format needs pyarrow: pip install "quilletdb[arrow]"'
LINK_COLUMNS = ("source_collection", "source_key", "source_path", "target_collection", "target_key")
TYPED_PREFIX = "value."

Progress = Callable[[int, int], object] | None
Row = dict[str, Any]


class MissingDependency(Exception):
    """A package the asked-for format needs is not installed; the text says how to get it."""


class ExportError(Exception):
    """The export could not be done; the text says why, on one line."""


@dataclass
class Report:
    collections: int = 0
    records: int = 0
    links: int = 0
    files: list[str] = field(default_factory=list)


def export(path: str, out: str, format: str = "parquet", progress: Progress = None) -> Report:
    """Writes the tables of the database at `path` into the directory `out`,
    which must not exist yet (its parent must) or be empty. What was written
    is removed again when the export fails."""
    if format not in FORMATS:
        raise ValueError(f"unknown format {format!r}: choose one of {', '.join(FORMATS)}")
    write_table = parquet_writer() if format == "parquet" else write_jsonl
    created = prepare_output(out)
    report = Report()
    try:
        tables_dir = os.path.join(out, "collections")
        os.mkdir(tables_dir)

        def finish(name: str, rows: list[Row]) -> None:
            target = os.path.join(tables_dir, f"{name}.{format}")
            write_table(target, record_columns(rows), rows)
            report.files.append(target)
            report.collections += 1
            report.records += len(rows)

        group_records(path, finish, progress)
        links = [dict(zip(LINK_COLUMNS, row)) for row in _quilletdb._links(path, progress)]
        target = os.path.join(out, f"links.{format}")
        write_table(target, {name: str for name in LINK_COLUMNS}, links)
        report.files.append(target)
        report.links = len(links)
    except BaseException:
        remove_output(out, created)
        raise
    return report


# ---------------------------------------------------------------------------
# Records


def group_records(path: str, finish: Callable[[str, list[Row]], None], progress: Progress) -> None:
    """Reads every live record through the dump and calls finish(collection,
    rows) once per collection, rows in key order. The dump lists collections
    in sorted order, so one collection's rows are in memory at a time."""
    current: list[Any] = [None, []]

    def take(chunk: str) -> None:
        for collection, key, value_text in dump_lines(chunk):
            if collection != current[0]:
                if current[0] is not None:
                    finish(current[0], current[1])
                current[0], current[1] = collection, []
            current[1].append({"key": key, "value": value_text})

    _quilletdb._dump_records(path, None, take, progress)
    if current[0] is not None:
        finish(current[0], current[1])


_decoder = json.JSONDecoder()
_ENVELOPE = ('{"collection":', ',"key":', ',"value":')


def dump_lines(chunk: str) -> Iterator[tuple[str, str, str]]:
    """(collection, key, value as JSON text) of each dump line in `chunk`. The
    value's text is kept as the dump wrote it rather than parsed and
    written again, so floats keep their exact spelling."""
    for line in chunk.splitlines():
        if not line.startswith(_ENVELOPE[0]) or not line.endswith("}"):
            raise ExportError(f"unexpected dump line: {line[:80]}")
        collection, at = _decoder.raw_decode(line, len(_ENVELOPE[0]))
        if not line.startswith(_ENVELOPE[1], at):
            raise ExportError(f"unexpected dump line: {line[:80]}")
        key, at = _decoder.raw_decode(line, at + len(_ENVELOPE[1]))
        if not line.startswith(_ENVELOPE[2], at):
            raise ExportError(f"unexpected dump line: {line[:80]}")
        yield collection, key, line[at + len(_ENVELOPE[2]) : -1]


def as_flat_map(value: Any) -> dict[str, Any] | None:
    """The fields of a value that is a map of scalars, or None. A map with a
    "$" key comes wrapped as {"$map": {...}}; other "$" objects are tagged
    values (bytes, links, dates, non-finite floats), not maps."""
    if not isinstance(value, dict):
        return None
    if any(name.startswith("$") for name in value):
        if len(value) != 1 or not isinstance(value.get("$map"), dict):
            return None
        value = value["$map"]
    fields: dict[str, Any] = value
    if any(isinstance(item, (dict, list)) for item in fields.values()):
        return None
    return fields


def record_columns(rows: list[Row]) -> dict[str, type]:
    """The columns of a collection's table, adding the typed fields to the
    rows when the collection has them (see the module's text)."""
    columns: dict[str, type] = {"key": str, "value": str}
    maps = [as_flat_map(json.loads(row["value"])) for row in rows]
    if not rows or any(fields is None for fields in maps):
        return columns
    typed: dict[str, type] = {}
    for fields in maps:
        assert fields is not None
        for name, item in fields.items():
            if item is not None and typed.setdefault(name, type(item)) is not type(item):
                return columns
    for row, fields in zip(rows, maps):
        assert fields is not None
        for name in typed:
            row[TYPED_PREFIX + name] = fields.get(name)
    columns.update((TYPED_PREFIX + name, kind) for name, kind in typed.items())
    return columns


# ---------------------------------------------------------------------------
# Writers: write(target, columns, rows) with columns mapping names to the
# Python type of their values (str, int, float, bool); None is null.


def write_jsonl(target: str, columns: dict[str, type], rows: list[Row]) -> None:
    with open(target, "w", encoding="utf-8", newline="\n") as f:
        for row in rows:
            f.write(json.dumps({name: row.get(name) for name in columns}, ensure_ascii=False) + "\n")


def parquet_writer() -> Callable[[str, dict[str, type], list[Row]], None]:
    try:
        import pyarrow as pa  # type: ignore[import-untyped, import-not-found, unused-ignore]
        import pyarrow.parquet as pq  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise MissingDependency(ARROW_HINT) from None
    arrow_types = {str: pa.string(), int: pa.int64(), float: pa.float64(), bool: pa.bool_()}

    def write_parquet(target: str, columns: dict[str, type], rows: list[Row]) -> None:
        table = pa.table(
            {name: pa.array([row.get(name) for row in rows], arrow_types[kind]) for name, kind in columns.items()}
        )
        pq.write_table(table, target)

    return write_parquet


# ---------------------------------------------------------------------------
# The output directory


def prepare_output(out: str) -> bool:
    """Creates `out` (True) or accepts it empty (False)."""
    try:
        os.mkdir(out)
        return True
    except FileExistsError:
        if not os.path.isdir(out) or os.listdir(out):
            raise ExportError(f"{out} exists and is not an empty directory") from None
        return False
    except FileNotFoundError:
        raise ExportError(f"the parent directory of {out} does not exist") from None


def remove_output(out: str, created: bool) -> None:
    if created:
        shutil.rmtree(out, ignore_errors=True)
        return
    for name in os.listdir(out):
        target = os.path.join(out, name)
        if os.path.isdir(target):
            shutil.rmtree(target, ignore_errors=True)
        else:
            os.remove(target)

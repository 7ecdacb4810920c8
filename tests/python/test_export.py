"""`quilletdb export`: the tables read back by DuckDB (Parquet) and by json
(JSON Lines) must give every record's value and, joined over the links
table, every record's backlinks."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

import _quilletdb
from _quilletdb import Link

REPO = pathlib.Path(__file__).resolve().parent.parent.parent
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(_quilletdb.__file__), str(REPO)]))

USERS = {
    "alice": {"name": "Alice", "age": 31, "score": 2.5, "admin": True},
    "bob": {"name": "Bob", "age": 40, "admin": False},  # no score: null there
    "$carol": {"$name": "Carol", "age": None},  # a "$" field: the map comes wrapped
}


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("export") / "db")
    with _quilletdb.open(path) as db:
        for key, value in USERS.items():
            db.set("users", key, value)
        db.set("posts", "p1", {"author": Link("users/alice"), "tags": ["a", Link("users/bob", {"via": Link("misc/n")})]})
        db.set("posts", "p2", {"author": Link("users/alice"), "ghost": Link("users/nobody")})
        db.set("posts", "gone", {"author": Link("users/bob")})
        db.delete("posts", "gone")
        db.set("misc", "n", 1)
        db.set("misc", "f", {"x": 1})  # not every value a map: no typed columns
        db.set("users", "alice", Link("misc/n"))  # the backlinks follow the rewrite
        db.set("users", "alice", USERS["alice"])
    return path


def export(path, out, fmt, env=ENV):
    return subprocess.run(
        [sys.executable, "-m", "quilletdb", "export", path, str(out), "--format", fmt],
        env=env, capture_output=True, text=True, timeout=300,
    )


def expected_backlinks(path):
    """(collection, key) -> sorted backlinks, for every record of the database."""
    with _quilletdb.open(path, readonly=True) as db:
        return {
            (c, k): sorted((b["source_collection"], b["source_key"], b["source_path"]) for b in db.backlinks(c, k))
            for c in db.collections()
            for k in db.keys(c)
        }


def check_records(path, rows):
    """rows: (collection, key, value text, typed fields) of every exported record."""
    assert sorted((c, k) for c, k, _, _ in rows) == sorted(expected_backlinks(path))
    for collection, key, value, typed in rows:
        assert value == _quilletdb._get(path, collection, key)
        if collection == "users":
            assert typed == {f"value.{field}": USERS[key].get(field) for field in ("name", "age", "score", "admin", "$name")}
        else:
            assert typed == {}


def test_parquet_export_read_by_duckdb(data, tmp_path):
    duckdb = pytest.importorskip("duckdb", reason="the parquet check reads with duckdb: pip install '.[test]'")
    pytest.importorskip("pyarrow", reason="the parquet export needs pyarrow: pip install '.[test]'")
    out = tmp_path / "out"
    result = export(data, out, "parquet")
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"exported 7 records of 3 collections and 5 links as parquet into {out}\n"

    con = duckdb.connect()
    tables = f"read_parquet('{out}/collections/*.parquet', filename = true, union_by_name = true)"
    records = con.sql(f"SELECT regexp_extract(filename, '([^/]+)\\.parquet$', 1) AS collection, * EXCLUDE (filename) FROM {tables}")
    columns = records.columns
    check_records(data, [
        (row[0], row[1], row[2], {name: value for name, value in zip(columns[3:], row[3:]) if row[0] == "users"})
        for row in records.fetchall()
    ])
    assert dict(con.sql(f"DESCRIBE SELECT * FROM '{out}/collections/users.parquet'").fetchall()[i][:2] for i in range(7)) == {
        "key": "VARCHAR", "value": "VARCHAR", "value.name": "VARCHAR", "value.age": "BIGINT",
        "value.score": "DOUBLE", "value.admin": "BOOLEAN", "value.$name": "VARCHAR",
    }
    joined = con.sql(f"""
        SELECT r.collection, r.key, l.source_collection, l.source_key, l.source_path
        FROM records r JOIN '{out}/links.parquet' l ON l.target_collection = r.collection AND l.target_key = r.key
    """).fetchall()
    by_record = {record: [] for record in expected_backlinks(data)}
    for collection, key, *source in joined:
        by_record[(collection, key)].append(tuple(source))
    assert {record: sorted(sources) for record, sources in by_record.items()} == expected_backlinks(data)


def test_jsonl_export_read_by_json(data, tmp_path):
    out = tmp_path / "out"
    assert export(data, out, "jsonl").returncode == 0
    rows = []
    for table in sorted((out / "collections").iterdir()):
        for line in table.read_text(encoding="utf-8").splitlines():
            row = json.loads(line)
            typed = {name: value for name, value in row.items() if name not in ("key", "value")}
            rows.append((table.stem, row["key"], row["value"], typed))
    check_records(data, rows)
    links = [json.loads(line) for line in (out / "links.jsonl").read_text(encoding="utf-8").splitlines()]
    by_record = {record: [] for record in expected_backlinks(data)}
    for link in links:
        target = (link["target_collection"], link["target_key"])
        if target in by_record:
            by_record[target].append((link["source_collection"], link["source_key"], link["source_path"]))
    assert {record: sorted(sources) for record, sources in by_record.items()} == expected_backlinks(data)
    assert ("posts", "p2", "ghost", "users", "nobody") in [tuple(link.values()) for link in links]


def test_parquet_without_pyarrow_says_how_to_get_it(data, tmp_path):
    blocker = tmp_path / "blocker" / "pyarrow"
    blocker.mkdir(parents=True)
    (blocker / "__init__.py").write_text("raise ImportError('blocked for the test')\n")
    env = dict(ENV, PYTHONPATH=os.pathsep.join([str(blocker.parent), ENV["PYTHONPATH"]]))
    result = export(data, tmp_path / "out", "parquet", env=env)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == 'quilletdb: the parquet format needs pyarrow: pip install "quilletdb[arrow]"\n'
    assert not (tmp_path / "out").exists()

"""The quilletdb command, driven as a user drives it: in a subprocess, looking
at its exit status, its output and the files it leaves."""

import base64
import json
import math
import os
import pathlib
import pty
import re
import struct
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _quilletdb
from _quilletdb import TOMBSTONE, Link, Tombstone


REPO = pathlib.Path(__file__).resolve().parent.parent.parent
MODULE_DIR = os.path.dirname(_quilletdb.__file__)
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, str(REPO)]))
TIMEOUT = 300  # guards against a hang only


def quilletdb(*args, **kwargs):
    result = subprocess.run(
        [sys.executable, "-m", "quilletdb", *args], env=ENV, capture_output=True, timeout=TIMEOUT, **kwargs
    )
    assert b"Traceback" not in result.stderr, result.stderr.decode()
    result.out = result.stdout.decode()
    result.err = result.stderr.decode()
    return result


def failed_with(result, message):
    """The command failed with exactly one line on stderr holding `message`."""
    assert result.returncode == 1, (result.out, result.err)
    lines = result.err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("quilletdb: "), result.err
    assert message in lines[0], lines[0]
    return True


def snapshot(path):
    return {p.name: p.read_bytes() for p in pathlib.Path(path).iterdir() if p.is_file()}


def checked(path):
    result = quilletdb("check", path)
    return result.returncode, result.out


@pytest.fixture
def blog(tmp_path):
    path = str(tmp_path / "blog")
    with _quilletdb.open(path) as db:
        db.set("users", "alice", {"name": "Alice", "tags": ["x"]})
        db.set("users", "bobby", {"name": "Bobby"})
        # Four records of one size: both user keys have five letters.
        for i in range(3):
            db.set("posts", f"p{i}", {"title": f"post {i}", "author": Link("users/alice")})
        db.set("posts", "p3", {"title": "post 3", "author": Link("users/bobby")})
    return path


# ---------------------------------------------------------------------------
# Reading


def test_stat_prints_the_report_as_json_or_a_table(blog):
    with _quilletdb.open(blog) as db:
        db.set("posts", "p0", {"title": "again", "author": Link("users/alice")})
    result = quilletdb("stat", "--json", blog)
    assert result.returncode == 0
    stat = json.loads(result.out)
    posts, users = stat["collections"]
    assert (posts["name"], posts["live_keys"], posts["records"]) == ("posts", 4, 5)
    assert posts["file_bytes"] == os.path.getsize(os.path.join(blog, "posts.qdb"))
    assert 0 < posts["dead_share"] < 1 and users["dead_share"] == 0
    log_size = os.path.getsize(os.path.join(blog, "users.qbl"))
    assert stat["backlink_files"] == [
        {"name": "users", "records": 4, "live_entries": 4, "file_bytes": log_size, "tail_bytes": 0}
    ]
    table = quilletdb("stat", blog)
    assert table.returncode == 0 and table.err == ""
    assert table.out.splitlines()[0].split()[:3] == ["collection", "live", "keys"]


def test_get_backlinks_and_resolve_print_json(blog):
    assert json.loads(quilletdb("get", blog, "users", "alice").out) == {"name": "Alice", "tags": ["x"]}
    lines = quilletdb("backlinks", blog, "users", "alice").out.splitlines()
    assert [json.loads(line)["source_key"] for line in lines] == ["p0", "p1", "p2"]
    assert quilletdb("resolve", blog, "posts", "p3", "author", "name").out == '"Bobby"\n'
    assert quilletdb("backlinks", blog, "users", "nobody").out == ""


def test_reading_commands_change_nothing(blog):
    # A torn record that an ordinary open would cut off.
    with open(os.path.join(blog, "posts.qdb"), "ab") as f:
        f.write(b"\x05\x00\x00\x00ab")
    before = snapshot(blog)
    for args in (["stat"], ["dump"], ["check"], ["get", "posts", "p0"], ["get", "ghosts", "k"],
                 ["backlinks", "ghosts", "k"], ["resolve", "posts", "p0", "author", "name"]):
        quilletdb(args[0], blog, *args[1:])
    assert snapshot(blog) == before


# The documented dump encoding, read back.
def from_json(v):
    if isinstance(v, list):
        return [from_json(x) for x in v]
    if not isinstance(v, dict):
        return ("float", "nan" if math.isnan(v) else repr(v)) if isinstance(v, float) else v
    if set(v) == {"$map"}:
        return {k: from_json(x) for k, x in v["$map"].items()}
    if set(v) == {"$bytes"}:
        return base64.b64decode(v["$bytes"], validate=True)
    if set(v) == {"$link", "local"}:
        return ("link", v["$link"], from_json(v["local"]))
    if set(v) == {"$tombstone"}:
        return ("tombstone",)
    if set(v) == {"$float"}:
        return ("float", {"NaN": "nan", "inf": "inf", "-inf": "-inf"}[v["$float"]])
    for tag in ("$date", "$time", "$datetime"):
        if set(v) == {tag}:
            return (tag, v[tag])
    assert not any(k.startswith("$") for k in v), v
    return {k: from_json(x) for k, x in v.items()}


# What the module returns, in the same terms.
def normal(v):
    if isinstance(v, Link):
        return ("link", v.path, normal(v.local))
    if isinstance(v, Tombstone):
        return ("tombstone",)
    if isinstance(v, float):
        return ("float", "nan" if math.isnan(v) else repr(v))
    if isinstance(v, list):
        return [normal(x) for x in v]
    if isinstance(v, dict):
        return {k: normal(x) for k, x in v.items()}
    return v


keys = st.text(max_size=6) | st.sampled_from(["$link", "$bytes", "$map", "local", "$"])
scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**63 - 1)
    | st.floats(allow_nan=True, allow_infinity=True)
    | st.text(max_size=12)
    | st.binary(max_size=12)
)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner | st.just(TOMBSTONE), max_size=4)
    | st.dictionaries(keys, inner, max_size=4)
    | st.builds(Link, st.sampled_from(["users/alice", "posts/p1/title", "x", "$self"]), st.dictionaries(keys, inner, max_size=2)),
    max_leaves=12,
)


@settings(max_examples=15, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.tuples(st.text(max_size=5), values), max_size=12))
def test_dump_reads_back_as_every_value_the_module_returns(tmp_path_factory, items):
    path = str(tmp_path_factory.mktemp("db"))
    with _quilletdb.open(path) as db:
        for key, value in items:
            db.set("c", key, value)
        expected = {key: normal(db.get("c", key)) for key in db.keys("c")}
    result = quilletdb("dump", path)
    assert result.returncode == 0
    # JSON Lines end at "\n" only; splitlines() would also cut at U+0085 and the like.
    lines = [json.loads(line) for line in result.out.split("\n")[:-1]]
    assert [line["key"] for line in lines] == sorted(expected)
    assert {line["key"]: from_json(line["value"]) for line in lines} == expected
    assert all(line["collection"] == "c" for line in lines)


def test_dump_into_a_closed_pipe_is_quiet(tmp_path):
    path = str(tmp_path / "db")
    with _quilletdb.open(path) as db:
        db.set_many([("c", f"k{i:06}", "x" * 100) for i in range(20000)])
    process = subprocess.Popen(
        [sys.executable, "-m", "quilletdb", "dump", path], env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    assert json.loads(process.stdout.readline())["key"] == "k000000"
    process.stdout.close()
    assert process.wait(timeout=TIMEOUT) == 0
    assert process.stderr.read() == b""


# ---------------------------------------------------------------------------
# check


def patch(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def posts_record(blog, i):
    """Offset of post p{i}: the four post records have the same size."""
    return os.path.getsize(os.path.join(blog, "posts.qdb")) // 4 * i


def test_check_passes_a_sound_database_and_changes_nothing(blog):
    before = snapshot(blog)
    status, out = checked(blog)
    assert status == 0
    assert out == "sound: 6 records (6 live) and 4 backlink records in 3 files\n"
    assert snapshot(blog) == before


@pytest.mark.parametrize(
    "damage, expected",
    [
        # A flipped type byte inside p1's value.
        (lambda b: patch(f"{b}/posts.qdb", posts_record(b, 1) + 10, b"\x0E"), "posts.qdb at offset {p1}: the value of key \"p1\" is damaged: unknown type byte: 0x0E"),
        # A backlink file that disagrees with the records.
        (lambda b: patch(f"{b}/users.qbl", 5, b"bob  "), "users.qbl: key \"alice\": the link from \"posts\" \"p0\" at \"author\" is not listed"),
    ],
    ids=["flipped-type-byte", "backlinks-disagree"],
)
def test_check_reports_planted_damage_with_file_and_offset(blog, damage, expected):
    offsets = {"p1": posts_record(blog, 1), "p2": posts_record(blog, 2)}
    damage(blog)
    before = snapshot(blog)
    status, out = checked(blog)
    assert status == 1
    assert expected.format(**offsets) in out.splitlines(), out
    assert re.fullmatch(r"\d+ problems? found in 6 records \(\d live\) and 4 backlink records in 3 files", out.splitlines()[-1])
    assert snapshot(blog) == before


def test_an_invalid_key_makes_reading_commands_name_the_file_and_offset(blog):
    p2 = posts_record(blog, 2)
    patch(f"{blog}/posts.qdb", p2 + 4, b"\xff")
    for args in (["get", blog, "users", "alice"], ["resolve", blog, "posts", "p0", "title"]):
        assert failed_with(quilletdb(*args), f"posts.qdb: io: invalid utf8 key in {blog}/posts.qdb at offset {p2}")
    assert failed_with(quilletdb("dump", blog), f"posts.qdb at offset {p2}: ")


# ---------------------------------------------------------------------------
# repair


def backlink_record_size(target_key, source_collection, source_key, source_path):
    return 17 + len(target_key) + len(source_collection) + len(source_key) + len(source_path)


def test_repair_mends_a_kill_between_a_record_and_its_backlink_records(blog):
    # The last write moved p3's link from bobby to alice; the process died
    # after the record but before its remove and add records reached users.qbl.
    with _quilletdb.open(blog) as db:
        db.set("posts", "p3", {"title": "post 3", "author": Link("users/alice")})
    log = pathlib.Path(blog, "users.qbl").read_bytes()
    lost = 2 * backlink_record_size("alice", "posts", "p3", "author")
    pathlib.Path(blog, "users.qbl").write_bytes(log[: len(log) - lost])
    # And a torn record longer than any open cuts by itself.
    with open(os.path.join(blog, "posts.qdb"), "ab") as f:
        f.write(struct.pack("<I", 2) + b"p9" + struct.pack("<I", 100000) + b"\x04" + b"x" * 70000)

    result = quilletdb("repair", blog)
    assert result.returncode == 0, result.err
    lines = result.out.splitlines()
    assert lines[0].startswith("posts.qdb: dropping the incomplete last record (70011 bytes from offset ")
    assert lines[1] == "users.qbl: rebuilding with 4 entries, adding 1 missing, dropping 1 that no record holds"
    assert lines[2:] == ["repaired: 1 incomplete records cut (70011 bytes), 1 backlink files rebuilt (1 entries added, 1 dropped)"]


def test_repair_refuses_while_the_database_is_open(blog):
    log = pathlib.Path(blog, "users.qbl")
    log.write_bytes(log.read_bytes()[:-10])
    db = _quilletdb.open(blog)
    assert failed_with(quilletdb("repair", blog), "posts.qdb is in use by another open database")
    db.close()
    assert quilletdb("repair", blog).returncode == 0


def test_repair_moves_a_damaged_record_to_a_side_file_and_says_so(blog):
    p1, p2 = posts_record(blog, 1), posts_record(blog, 2)
    patch(f"{blog}/posts.qdb", p1 + 10, b"\x0E")
    damaged = pathlib.Path(blog, "posts.qdb").read_bytes()[p1:p2]
    # A dry run says the same, changes nothing, and fails as the repair will.
    before = snapshot(blog)
    dry = quilletdb("repair", "--dry-run", blog)
    assert failed_with(dry, f"would be kept in posts.qdb.damaged-{p1}")
    assert snapshot(blog) == before
    result = quilletdb("repair", blog)
    assert failed_with(result, f"are kept in posts.qdb.damaged-{p1}")
    assert result.out.splitlines()[0] == dry.out.splitlines()[0]
    assert pathlib.Path(blog, f"posts.qdb.damaged-{p1}").read_bytes() == damaged
    status, out = checked(blog)
    assert status == 0 and f"posts.qdb.damaged-{p1}: bytes repair removed" in out, out


# ---------------------------------------------------------------------------
# compact


@pytest.mark.parametrize("command", ["dump", "compact"])
def test_skip_damaged_carries_on_past_a_damaged_record_and_fails_saying_so(blog, tmp_path, command):
    out = [str(tmp_path / "out")] if command == "compact" else []
    assert quilletdb(command, "--skip-damaged", blog, *out).returncode == 0
    out = [str(tmp_path / "out2")] if command == "compact" else []
    p1, size = posts_record(blog, 1), posts_record(blog, 1)
    patch(f"{blog}/posts.qdb", p1 + 4, b"\xff")
    refused = quilletdb(command, blog, *out)
    assert failed_with(refused, f"posts.qdb at offset {p1}: the key is not valid UTF-8 ({size} damaged bytes); "
                                f"{command} --skip-damaged carries on past them")
    assert refused.out == ""
    skipped = quilletdb(command, "--skip-damaged", blog, *out)
    assert failed_with(skipped, f"skipped {size} damaged bytes of posts.qdb at offset {p1}")
    if command == "dump":
        assert [json.loads(line)["key"] for line in skipped.out.splitlines()] == ["p0", "p2", "p3", "alice", "bobby"]
    else:
        assert checked(out[0])[0] == 0



def test_compact_says_what_it_wrote(blog, tmp_path):
    out = str(tmp_path / "out")
    with _quilletdb.open(blog) as db:
        db.delete("posts", "p3")
    result = quilletdb("compact", blog, out)
    assert result.returncode == 0, result.err
    assert re.fullmatch(rf"compacted 7 records into 5 and 3 backlink entries: \d+ B -> \d+ B in {re.escape(out)}\n", result.out)
    assert checked(out)[0] == 0


def test_compact_in_place_reclaims_overwrites(blog):
    with _quilletdb.open(blog) as db:
        for i in range(50):
            db.set("users", "alice", {"n": i})
    before = os.path.getsize(f"{blog}/users.qdb")
    result = quilletdb("compact", blog)
    assert re.fullmatch(r"compacted 3 files in place: \S+ K?i?B -> \S+ K?i?B\n", result.out), result.out
    assert os.path.getsize(f"{blog}/users.qdb") < before / 10


def test_compact_refuses_a_directory_that_is_not_empty(blog, tmp_path):
    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "x").write_text("x")
    assert failed_with(quilletdb("compact", blog, str(tmp_path / "full")), "is not empty")
    assert failed_with(quilletdb("compact", blog, str(tmp_path / "no" / "parent")), "cannot create")


# ---------------------------------------------------------------------------
# Bad input, usage and the terminal


@pytest.mark.parametrize(
    "args",
    [["stat"], ["dump"], ["get", "c", "k"], ["backlinks", "c", "k"], ["resolve", "c", "k", "f"], ["check"], ["repair"], ["compact", "/tmp/never-made"]],
    ids=lambda a: a[0],
)
def test_a_missing_directory_is_one_line_for_every_command(tmp_path, args):
    missing = str(tmp_path / "missing")
    result = quilletdb(args[0], missing, *args[1:])
    assert failed_with(result, f"cannot open the database {missing}: No such file or directory")
    assert not os.path.exists(missing)


@pytest.mark.parametrize(
    "args, message",
    [
        (["get", "{db}", "ghosts", "k"], 'unknown collection "ghosts"'),
        (["dump", "{db}", "ghosts"], 'unknown collection "ghosts"'),
        (["backlinks", "{db}", "ghosts", "k"], 'unknown collection "ghosts"'),
        (["resolve", "{db}", "ghosts", "k", "f"], 'unknown collection "ghosts"'),
        (["get", "{db}", "users", "carol"], 'no record "carol" in collection "users"'),
        (["resolve", "{db}", "users", "carol", "name"], "storage: key not found"),
        (["get", "{db}/posts.qdb", "c", "k"], "Not a directory"),
    ],
)
def test_bad_input_is_one_line(blog, args, message):
    assert failed_with(quilletdb(*[a.format(db=blog) for a in args]), message)


def test_usage_errors_exit_with_two(blog):
    for args in ([], ["frobnicate", blog], ["get", blog], ["compact"]):
        result = quilletdb(*args)
        assert result.returncode == 2 and result.out == ""
        assert "usage: quilletdb" in result.err


def test_progress_shows_on_a_terminal_only(blog):
    plain = quilletdb("check", blog)
    assert plain.returncode == 0 and plain.err == ""
    controller, terminal = pty.openpty()
    try:
        result = subprocess.run(
            [sys.executable, "-m", "quilletdb", "check", blog], env=ENV, stdout=subprocess.PIPE, stderr=terminal, timeout=TIMEOUT
        )
        os.close(terminal)
        terminal = None
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        if terminal is not None:
            os.close(terminal)
        os.close(controller)
    assert result.returncode == 0
    assert b"check [" in shown and b"100.0%" in shown
    assert result.stdout.decode() == plain.out


def test_tool_failures_raise_the_module_errors_by_kind(blog, tmp_path):
    import _quilletdb

    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "x").write_text("x")
    with pytest.raises(_quilletdb.Error, match="is not empty"):
        _quilletdb._compact(blog, str(tmp_path / "full"))
    with pytest.raises(_quilletdb.Error) as missing:
        _quilletdb._get(blog, "users", "carol")
    assert not isinstance(missing.value, KeyError)
    damaged = tmp_path / "damaged"
    damaged.mkdir()
    (damaged / "c.qdb").write_bytes(struct.pack("<I", 1) + b"k" + struct.pack("<I", 1) + b"\x0e")
    with pytest.raises(_quilletdb.CorruptionError, match="c.qdb at offset 0: unknown type byte: 0x0E"):
        _quilletdb._compact(str(damaged), str(tmp_path / "out"))

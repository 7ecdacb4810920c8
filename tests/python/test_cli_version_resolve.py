"""The command's --version, and resolve with no field."""
import json
import os
import subprocess
import sys

import _quilletdb
import quilletdb
from _quilletdb import Link

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PATH = os.pathsep.join([os.path.dirname(_quilletdb.__file__), ROOT])


def run(*args):
    env = dict(os.environ, PYTHONPATH=PATH)
    return subprocess.run([sys.executable, "-m", "quilletdb", *args], capture_output=True, text=True, env=env)


def test_version():
    result = run("--version")
    assert result.returncode == 0 and result.stdout == f"quilletdb {quilletdb.__version__}\n"


def test_resolve_without_fields_prints_the_followed_record(db_path):
    with _quilletdb.open(db_path) as db:
        db.set("users", "alice", {"name": "Alice"})
        db.set("refs", "a", Link("users/alice"))
    result = run("resolve", db_path, "refs", "a")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {"name": "Alice"}

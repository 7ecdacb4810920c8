"""The example programs run and print what they promise."""
import os
import pathlib
import subprocess
import sys

import pytest

import _quilletdb

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent.parent / "examples"


def run_example(name, *args, cwd):
    script = EXAMPLES / name
    if not script.exists():
        pytest.skip(f"{script} not found")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(_quilletdb.__file__))
    result = subprocess.run(
        [sys.executable, str(script), *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_demo_keeps_its_records_between_runs(tmp_path):
    first = run_example("demo.py", cwd=tmp_path)
    assert "books/dune: Dune by Frank Herbert (1965), tags sf, classic" in first
    assert "books/draft: key not found" in first
    assert "run 1 time(s) on demo-db" in first
    assert (tmp_path / "demo-db" / "books.qdb").exists()
    second = run_example("demo.py", cwd=tmp_path)
    assert "run 2 time(s) on demo-db" in second


def test_links_example(tmp_path):
    output = run_example("links.py", str(tmp_path / "db"), cwd=tmp_path)
    assert "inside the transaction, backlinks of users/alice: []" in output
    assert "p2: 'Re: Hello' by Bob from London" in output
    assert "p3: 'Guest post' by Alice (guest editor) from Paris" in output
    assert "users/alice is linked from posts/p3 (author)" in output
    assert "posts replying to p1: ['p2']" in output

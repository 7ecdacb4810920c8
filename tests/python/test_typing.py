"""The type stubs: mypy --strict accepts the sample program, the stubs match
the module as built, and the sample runs."""
import os
import pathlib
import subprocess
import sys

import pytest

import _quilletdb

HERE = pathlib.Path(__file__).resolve().parent
STUBS_DIR = HERE.parent.parent
SAMPLE = HERE / "typing_sample.py"

pytestmark = pytest.mark.skipif(not (STUBS_DIR / "_quilletdb.pyi").exists(), reason="stubs not found")


def run(args, cwd, **env):
    environment = dict(os.environ, **env)
    return subprocess.run(args, cwd=cwd, env=environment, capture_output=True, text=True, timeout=600)


def module_dir():
    return os.path.dirname(_quilletdb.__file__)


def test_mypy_strict_accepts_the_sample(tmp_path):
    pytest.importorskip("mypy")
    result = run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path), str(SAMPLE)],
        cwd=tmp_path,
        MYPYPATH=str(STUBS_DIR),
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_match_the_module(tmp_path):
    pytest.importorskip("mypy.stubtest")
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("_quilletdb.StoredValue\n")  # a name of the stubs only
    result = run(
        [sys.executable, "-m", "mypy.stubtest", "_quilletdb", "--allowlist", str(allowlist)],
        cwd=tmp_path,
        MYPYPATH=str(STUBS_DIR),
        PYTHONPATH=module_dir(),
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_sample_runs(tmp_path):
    result = run([sys.executable, str(SAMPLE)], cwd=tmp_path, PYTHONPATH=os.pathsep.join([module_dir(), str(STUBS_DIR)]))
    assert result.returncode == 0, result.stderr
    assert "posts/p1#author" in result.stdout and "ReadOnlyError" in result.stdout

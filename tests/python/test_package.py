"""The public package and the additions around the interface: path types and
read-only opens, the error classes, MemoryError, interrupts, typing."""
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import sysconfig
import textwrap
import time

import pytest

import _quilletdb
import quilletdb

from conftest import catch

HERE = pathlib.Path(__file__).resolve().parent


def test_the_package_re_exports_the_module():
    for name in quilletdb.__all__:
        assert getattr(quilletdb, name) is getattr(_quilletdb, name)
    assert callable(quilletdb.main)


@pytest.mark.parametrize("kind", [str, pathlib.Path, os.fsencode])
def test_open_takes_str_bytes_and_path_objects(tmp_path, kind):
    with quilletdb.open(kind(str(tmp_path / "db"))) as db:
        db.set("c", "k", 1)
        assert repr(db) == f'Database("{tmp_path / "db"}")'
    assert quilletdb.open(tmp_path / "db").get("c", "k") == 1


def test_read_only_open_creates_and_writes_nothing(tmp_path):
    missing = tmp_path / "missing"
    error = catch(lambda: quilletdb.open(missing, readonly=True))
    assert type(error) is quilletdb.Error and str(error).endswith(f'"{missing}"')
    assert not missing.exists()
    with quilletdb.open(tmp_path / "db") as db:
        db.set("c", "k", {"a": 1})
    before = {p.name: p.read_bytes() for p in (tmp_path / "db").iterdir()}
    db = quilletdb.open(tmp_path / "db", readonly=True)
    assert db.get("c", "k") == {"a": 1} and db.collection("c").get("k") == {"a": 1}
    assert type(catch(lambda: db.get("other", "k"))) is KeyError
    for write in (lambda: db.set("c", "k", 2), lambda: db.delete("c", "k"), lambda: db.set_many([("c", "x", 1)])):
        error = catch(write)
        assert type(error) is quilletdb.ReadOnlyError and "read-only" in str(error)
    db.close()
    assert {p.name: p.read_bytes() for p in (tmp_path / "db").iterdir()} == before


def run_child(code, *args):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=300)


def test_an_allocation_failure_in_the_store_is_a_memory_error(db_path):
    if "asan" in _quilletdb.__file__ or os.environ.get("ASAN_OPTIONS"):
        pytest.skip("address limits do not apply under the address sanitizer")
    result = run_child(
        """
        import resource, sys, _quilletdb
        with _quilletdb.open(sys.argv[1]) as db:
            db.set("c", "k", b"x" * (256 << 20))
        db = _quilletdb.open(sys.argv[1])
        size = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), resource.RLIM_INFINITY))
        try:
            db.get("c", "k")
        except MemoryError:
            print("MemoryError")
        """,
        db_path,
    )
    assert result.stdout == "MemoryError\n", result.stderr


@pytest.fixture
def interrupt_soon():
    """SIGINT's effect (KeyboardInterrupt) 50 ms from now, from a real signal:
    a call that holds the GIL throughout lets no Python thread run."""

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


def test_ctrl_c_stops_a_long_set_many_part_way(db, interrupt_soon):
    started = time.monotonic()
    error = catch(lambda: db.set_many([("c", "k", 1)] * 20_000_000))
    assert type(error) is KeyboardInterrupt and time.monotonic() - started < 5
    assert db.get("c", "k") == 1  # the items before the interrupt stay written
    db.set("c", "after", 2)
    assert db.count("c") == 2


def installed_python_env():
    """The environment of a plain `python`: no PYTHONPATH, no MYPYPATH."""
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}


def test_mypy_finds_the_installed_types(tmp_path):
    pytest.importorskip("mypy")
    env = installed_python_env()
    found = subprocess.run([sys.executable, "-c", "import quilletdb, os; print(os.path.dirname(quilletdb.__file__))"],
                           cwd=tmp_path, env=env, capture_output=True, text=True)
    if found.returncode != 0:
        pytest.skip("quilletdb is not installed (a dev build): `pip install .` first")
    if not (pathlib.Path(found.stdout.strip()) / "py.typed").exists():
        pytest.skip("the installed quilletdb predates its typed package: reinstall it")
    sample = tmp_path / "sample.py"
    shutil.copy(HERE / "typing_sample.py", sample)
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir",
                             str(tmp_path / "cache"), str(sample)], cwd=tmp_path, env=env, capture_output=True,
                            text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


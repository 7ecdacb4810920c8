"""Threads, and calls that come back into a Database in the middle of a call."""
import contextlib
import faulthandler
import gc
import random
import sys
import threading
import time

import pytest

from _quilletdb import Link

from conftest import catch

REENTRANT = "Database is already in use by this thread (a re-entrant call, for example from a finalizer)"

# Before 3.12 the collector runs at the allocation that crosses its threshold,
# so garbage left pending before a call is finalized inside it, while this
# thread holds the database lock: the finalizer's own call is refused. From
# 3.12 on the collector runs only between bytecodes, and a call runs no Python
# code while it holds the lock, so the finalizer runs after the call returns
# and its own call succeeds.
FINALIZERS_RUN_INSIDE_CALLS = sys.version_info < (3, 12)
FINALIZER_OUTCOME = REENTRANT if FINALIZERS_RUN_INSIDE_CALLS else "returned"


@pytest.fixture(autouse=True)
def hang_guard():
    """Ends the process with a traceback instead of letting a deadlock hang the run."""
    faulthandler.dump_traceback_later(120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def run_ops(db, thread_id, rounds, model):
    """Random get/set/delete/set_many on keys of this thread only, checked as it goes."""
    rng = random.Random(thread_id)
    keys = [f"t{thread_id}-{i}" for i in range(12)]
    for step in range(rounds):
        key = rng.choice(keys)
        action = rng.randrange(4)
        if action == 0:
            if key in model:
                assert comparable(db.get("shared", key)) == comparable(model[key])
            else:
                assert type(catch(lambda: db.get("shared", key))) is KeyError
        elif action == 1:
            value = {"thread": thread_id, "step": step, "link": Link(f"shared/{rng.choice(keys)}")}
            db.set("shared", key, value)
            model[key] = value
        elif action == 2:
            db.delete("shared", key)
            model.pop(key, None)
        else:
            batch = [("shared", rng.choice(keys), [thread_id, step, i]) for i in range(3)]
            db.set_many(batch)
            for _, batch_key, value in batch:
                model[batch_key] = value


def comparable(value):
    if isinstance(value, dict):
        return {k: (v.path if isinstance(v, Link) else v) for k, v in value.items()}
    return value


def test_threads_end_in_the_serial_state_of_each_key(db):
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as possible
    models = [{} for _ in range(8)]
    errors = []

    def worker(thread_id):
        try:
            run_ops(db, thread_id, 1500, models[thread_id])
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert errors == []
    for thread_id, model in enumerate(models):
        for i in range(12):
            key = f"t{thread_id}-{i}"
            if key in model:
                assert comparable(db.get("shared", key)) == comparable(model[key])
            else:
                assert type(catch(lambda: db.get("shared", key))) is KeyError
    # Backlinks agree with the records that are left.
    for thread_id, model in enumerate(models):
        for i in range(12):
            key = f"t{thread_id}-{i}"
            sources = sorted(entry["source_key"] for entry in db.backlinks("shared", key))
            expected = sorted(
                k for k, v in model.items() if isinstance(v, dict) and v["link"].path == f"shared/{key}"
            )
            assert sources == expected


@contextlib.contextmanager
def collection_pending():
    """Leaves garbage waiting with the collector armed to run at the next allocation.

    Inside the block the collector is disabled; the garbage made there is
    collected after `arm()` is called, at the first container allocated
    (inside the database call that the tests place there) before 3.12, at
    the next bytecode boundary from 3.12 on. Leaving the block collects what
    is left, so the finalizers have run by then.
    """
    gc.collect()
    old_threshold = gc.get_threshold()
    gc.disable()

    def arm():
        gc.set_threshold(1)
        gc.enable()

    try:
        yield arm
    finally:
        gc.set_threshold(*old_threshold)
        gc.enable()
        gc.collect()


class CallsBack:
    """Garbage (it refers to itself) whose finalizer calls into the database."""

    def __init__(self, call, outcomes):
        self.me = self
        self.call = call
        self.outcomes = outcomes

    def __del__(self):
        try:
            self.call()
            self.outcomes.append("returned")
        except RuntimeError as error:
            self.outcomes.append(str(error))


@pytest.mark.parametrize(
    "call_back, writes_other",
    [
        (lambda db: db.get("c", "k"), False),
        (lambda db: db.set("c", "other", 1), True),
        (lambda db: db.set_many([("c", "other", 1)]), True),
        (lambda db: repr(db), False),
        (lambda db: db.begin(), False),
    ],
)
def test_finalizer_calling_back_during_set_many_is_refused_inside_it(db, call_back, writes_other):
    db.set("c", "k", "before")
    outcomes = []
    # A lone surrogate makes the conversion (inside the lock) create an
    # exception object, which lets the collector run the finalizer there.
    ops = [("c", "k", "written"), ("c", "bad", "\ud800")]
    with collection_pending() as arm:
        CallsBack(lambda: call_back(db), outcomes)
        arm()
        try:
            db.set_many(ops)
        except UnicodeEncodeError:
            outcomes.append("set_many failed")
    assert sorted(outcomes) == sorted([FINALIZER_OUTCOME, "set_many failed"])
    assert db.get("c", "k") == "written"
    if writes_other and not FINALIZERS_RUN_INSIDE_CALLS:
        assert db.get("c", "other") == 1
    else:
        assert type(catch(lambda: db.get("c", "other"))) is KeyError
    db.set("c", "after", 1)  # the database stays usable
    assert db.get("c", "after") == 1


def test_finalizer_calling_back_during_resolve_is_refused_inside_it(db):
    db.set("c", "k", {"list": [1, 2], "dict": {"a": 1}})
    outcomes = []
    path = []  # made before arming: nothing may be allocated before the call
    with collection_pending() as arm:
        CallsBack(lambda: db.get("c", "k"), outcomes)
        arm()
        value = db.resolve("c", "k", path)  # converts the result inside the lock
    assert outcomes == [FINALIZER_OUTCOME]
    assert value == {"list": [1, 2], "dict": {"a": 1}}


@pytest.mark.skipif(
    not FINALIZERS_RUN_INSIDE_CALLS,
    reason="from 3.12 no Python code runs while a call holds the database lock, so no other thread can find it taken",
)
def test_a_waiting_thread_releases_the_interpreter_lock(db):
    """Thread B calls while thread A holds the database lock and sleeps in a finalizer.

    B must wait for the database lock without holding the interpreter lock, or
    A could never wake up to release it.
    """
    db.set("c", "k", "value")
    in_finalizer = threading.Event()
    reader_ready = threading.Event()
    reader_result = []

    def reader():
        reader_ready.set()
        in_finalizer.wait(30)
        started = time.monotonic()
        reader_result.append(db.get("c", "k"))
        reader_result.append(time.monotonic() - started)

    class SleepsWhileHoldingTheLock:
        def __init__(self):
            self.me = self

        def __del__(self):
            in_finalizer.set()
            time.sleep(0.5)

    thread = threading.Thread(target=reader)
    thread.start()
    reader_ready.wait(30)
    time.sleep(0.1)  # let the reader block on the event
    ops = [("c", "bad", "\ud800")]
    with collection_pending() as arm:
        SleepsWhileHoldingTheLock()
        arm()
        try:
            db.set_many(ops)
        except UnicodeEncodeError:
            pass
    thread.join(30)
    assert not thread.is_alive()
    value, waited = reader_result
    assert value == "value"
    assert waited > 0.2  # the reader really did wait for the finalizer to finish

import struct

import pytest

import _quilletdb


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "db")


@pytest.fixture
def db(db_path):
    return _quilletdb.open(db_path)


def record(key: bytes, value: bytes) -> bytes:
    """One raw record of a collection file: key and encoded value, each length-prefixed."""
    return struct.pack("<I", len(key)) + key + struct.pack("<I", len(value)) + value


def catch(call):
    """Runs `call` and returns the exception it raised (failing when it raised none)."""
    try:
        call()
    except BaseException as error:  # noqa: BLE001 - the tests look at any exception
        return error
    pytest.fail("no exception was raised")

#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are the byte strings of the core's unit tests (value encodings,
collection records, backlink log records) plus a few damaged variants, so the
fuzzer starts from inputs that reach deep into each format.
"""
import random
import struct
from pathlib import Path

ROOT = Path(__file__).resolve().parent / "corpus"


def u32(n):
    return struct.pack("<I", n)


def text(s, type_byte=0x04):
    b = s.encode() if isinstance(s, str) else s
    return bytes([type_byte]) + u32(len(b)) + b


def map_body(entries):
    out = u32(len(entries))
    for key, value in entries:
        k = key.encode()
        out += u32(len(k)) + k + value
    return out


def link(path, local=()):
    return text(path, 0x05) + map_body(local)


def array(items):
    return b"\x07" + u32(len(items)) + b"".join(items)


NULL = b"\x00"
TOMBSTONE = b"\x0c"
TRUE = b"\x01\x01"


def integer(n):
    return b"\x02" + struct.pack("<q", n)


VALUES = {
    "null": NULL,
    "tombstone": TOMBSTONE,
    "true": TRUE,
    "bool-lenient": b"\x01\x02",
    "int-minus-one": integer(-1),
    "float-one": b"\x03" + struct.pack("<d", 1.0),
    "text-abc": text("abc"),
    "text-empty": text(""),
    "text-escapes": text('a"\\\t\r\n\x00\u0301\u200b\U0001f600'),
    "date": b"\x09" + u32(19000),
    "time": b"\x0a" + u32(3600),
    "datetime": b"\x0b" + b"\xff" * 8,
    "blob": b"\x06" + u32(2) + b"\x01\xff",
    "array": array([integer(1), NULL]),
    "link": link("a/b"),
    "link-local": link("users/$self.owner/address", [("city", text("Paris")), ("to", link("x/y"))]),
    "map": b"\x08" + map_body([("x", b"\x01\x00")]),
    "map-repeated-key": b"\x08" + map_body([("a", integer(1)), ("b", NULL), ("a", integer(2))]),
    "nested": b"\x08" + map_body([("list", array([NULL, link("tags/red")])), ("m", b"\x08" + map_body([]))]),
    "deep-arrays": b"\x07\x01\x00\x00\x00" * 200 + NULL,
    "deep-maps": (b"\x08" + u32(1) + u32(1) + b"k") * 100 + NULL,
    "trailing-bytes": NULL + b"\x01\x02\x03",
    # failures
    "empty": b"",
    "unknown-0d": b"\x0d",
    "unknown-ff": b"\xff",
    "text-short": bytes.fromhex("04 05 00 00 00 61 62"),
    "text-bad-utf8": bytes.fromhex("04 01 00 00 00 ff"),
    "text-overlong": bytes.fromhex("04 02 00 00 00 c0 80"),
    "text-surrogate": bytes.fromhex("04 03 00 00 00 ed a0 80"),
    "link-no-map": bytes.fromhex("05 03 00 00 00 61 2f 62"),
    "array-third-bad": bytes.fromhex("07 03 00 00 00 00 00 0d"),
    "map-bad-key": bytes.fromhex("08 01 00 00 00 01 00 00 00 ff 00"),
    "array-huge-count": bytes.fromhex("07 ff ff ff ff"),
    "map-huge-count": bytes.fromhex("08 ff ff ff ff"),
}


def qdb_record(key, value):
    k = key.encode() if isinstance(key, str) else key
    return u32(len(k)) + k + u32(len(value)) + value


COLLECTIONS = {
    "empty": b"",
    "two-records": qdb_record("x", integer(7)) + qdb_record("y", NULL),
    "overwrite": qdb_record("k", integer(1)) + qdb_record("k", text("second")),
    "delete-and-set": qdb_record("k", integer(1)) + qdb_record("k", TOMBSTONE) + qdb_record("k", TRUE),
    "tombstone-only": qdb_record("gone", TOMBSTONE),
    "empty-key": qdb_record("", VALUES["nested"]),
    "every-value": b"".join(qdb_record(name, v) for name, v in VALUES.items() if v),
    "empty-and-bad-values": qdb_record("empty", b"") + qdb_record("bad", b"\x0d") + qdb_record("ok", integer(5)),
    "torn-value": qdb_record("a", integer(1)) + qdb_record("b", text("q" * 100))[:-40],
    "torn-header": qdb_record("a", integer(1)) + u32(3) + b"ab",
    "invalid-utf8-key": qdb_record("ok", NULL) + qdb_record(b"\xff", NULL),
    "value-longer-than-record": u32(1) + b"k" + u32(2) + integer(5),
}


def qbl_record(op, target, collection, key, path):
    out = bytes([op])
    for s in (target, collection, key, path):
        b = s.encode() if isinstance(s, str) else s
        out += u32(len(b)) + b
    return out


ALICE = ("alice", "posts", "p1", "author")
BACKLINKS = {
    "empty": b"",
    "one-add": qbl_record(1, *ALICE),
    "add-twice-remove": qbl_record(1, *ALICE) + qbl_record(1, *ALICE) + qbl_record(2, *ALICE),
    "several-targets": qbl_record(1, *ALICE)
    + qbl_record(1, "bob", "posts", "p2", "tags/1")
    + qbl_record(1, "alice", "comments", "c1", "")
    + qbl_record(2, "alice", "posts", "p1", "author")
    + qbl_record(1, "", "x", "", "a/b"),
    "remove-absent": qbl_record(2, "nobody", "posts", "p1", "author"),
    "unknown-ops": qbl_record(0, *ALICE) + qbl_record(3, *ALICE) + qbl_record(255, *ALICE) + qbl_record(1, *ALICE),
    "torn-after-op": qbl_record(1, *ALICE) + b"\x01",
    "torn-in-string": qbl_record(1, *ALICE) + qbl_record(1, *ALICE)[:-3],
    "invalid-utf8": qbl_record(1, "alice", b"\xff", "p1", "author"),
    "huge-length": b"\x01" + u32(0xFFFFFFF0),
}


def write(target, seeds):
    directory = ROOT / target
    directory.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (directory / name).write_bytes(data)


def main():
    write("decode", VALUES)
    write("collection", COLLECTIONS)
    write("backlinks", BACKLINKS)
    # The resolver target reads its input as a stream of choices: any bytes
    # make a data set, so a few fixed pseudo-random strings seed it.
    rng = random.Random(20260)
    write("resolver", {f"random-{i:02d}": bytes(rng.randrange(256) for _ in range(rng.choice([64, 256, 1024])))
                       for i in range(16)})


if __name__ == "__main__":
    main()

"""QuilletDB next to the stores a Python user would pick instead.

Every store gets the same Python documents; stores that keep bytes pay for
pickling them (faster than json for these documents). Every store hands its
writes to the OS without syncing. Each run measures every store in turn; the
table shows the median over the runs of each figure and of its ratio to
QuilletDB taken within the same run.

    python bench/compare.py                # full size, 5 runs
    python bench/compare.py --n 100000 --runs 3
"""

from __future__ import annotations

import argparse
import gc
import os
import pickle
import platform
import random
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

import _quilletdb

PEERS_MISSING: dict[str, str] = {}

try:
    import lmdb
except ImportError as e:  # reported, never silently dropped
    lmdb = None
    PEERS_MISSING["lmdb"] = str(e)
try:
    import plyvel
except ImportError as e:
    plyvel = None
    PEERS_MISSING["leveldb (plyvel)"] = str(e)
try:
    import rocksdict
except ImportError as e:
    rocksdict = None
    PEERS_MISSING["rocksdb (rocksdict)"] = str(e)
try:
    import diskcache
except ImportError as e:
    diskcache = None
    PEERS_MISSING["diskcache"] = str(e)
try:
    import tinydb
except ImportError as e:
    tinydb = None
    PEERS_MISSING["tinydb"] = str(e)


def document(i: int) -> dict:
    return {"name": f"user{i}", "age": i % 90, "score": i * 0.5, "tags": ["a", "b"], "active": True}


def dumps(doc) -> bytes:
    return pickle.dumps(doc, protocol=pickle.HIGHEST_PROTOCOL)


loads = pickle.loads


# ---------------------------------------------------------------- the stores


class Quillet:
    name = "QuilletDB"

    def __init__(self, path):
        self.path = path
        self.db = _quilletdb.open(path)

    def reopen(self):
        del self.db
        gc.collect()
        self.db = _quilletdb.open(self.path)

    def put_each(self, keys, docs):
        s = self.db.set
        for k, d in zip(keys, docs):
            s("docs", k, d)

    def put_batch(self, keys, docs):
        db = self.db
        db.begin()
        s = db.set
        for k, d in zip(keys, docs):
            s("docs", k, d)
        db.commit()

    def put_many(self, keys, docs):
        self.db.set_many([("docs", k, d) for k, d in zip(keys, docs)])

    def get_each(self, keys):
        g = self.db.get
        for k in keys:
            g("docs", k)

    def put_posts(self, posts):
        db = self.db
        db.begin()
        for pid, uid, doc in posts:
            doc = dict(doc)
            doc["author"] = _quilletdb.Link(f"users/{uid}")
            db.set("posts", pid, doc)
        db.commit()

    def put_users(self, users):
        self.put_batch_to("users", users)

    def put_batch_to(self, collection, items):
        db = self.db
        db.begin()
        for k, d in items:
            db.set(collection, k, d)
        db.commit()

    def backlinks(self, uid):
        return len(self.db.backlinks("users", uid))

    def resolve(self, pid):
        return self.db.resolve("posts", pid, ["author", "name"])

    def close(self):
        del self.db


class Sqlite:
    name = "sqlite3"

    def __init__(self, path):
        os.makedirs(path, exist_ok=True)
        self.file = os.path.join(path, "db.sqlite")
        self._connect()
        self.conn.executescript(
            "CREATE TABLE IF NOT EXISTS docs(coll TEXT, key TEXT, doc BLOB, PRIMARY KEY(coll, key)) WITHOUT ROWID;"
            "CREATE TABLE IF NOT EXISTS links(src_coll TEXT, src_key TEXT, path TEXT, dst_coll TEXT, dst_key TEXT);"
            "CREATE INDEX IF NOT EXISTS links_dst ON links(dst_coll, dst_key);"
            "CREATE INDEX IF NOT EXISTS links_src ON links(src_coll, src_key);"
        )

    def _connect(self):
        self.conn = sqlite3.connect(self.file, isolation_level=None)
        self.conn.execute("PRAGMA journal_mode=WAL")
        self.conn.execute("PRAGMA synchronous=OFF")

    def reopen(self):
        self.conn.close()
        self._connect()

    def put_each(self, keys, docs):
        ex = self.conn.execute
        for k, d in zip(keys, docs):
            ex("INSERT OR REPLACE INTO docs VALUES('docs', ?, ?)", (k, dumps(d)))

    def put_batch(self, keys, docs):
        c = self.conn
        c.execute("BEGIN")
        ex = c.execute
        for k, d in zip(keys, docs):
            ex("INSERT OR REPLACE INTO docs VALUES('docs', ?, ?)", (k, dumps(d)))
        c.execute("COMMIT")

    def put_many(self, keys, docs):
        c = self.conn
        c.execute("BEGIN")
        c.executemany("INSERT OR REPLACE INTO docs VALUES('docs', ?, ?)", ((k, dumps(d)) for k, d in zip(keys, docs)))
        c.execute("COMMIT")

    def get_each(self, keys):
        ex = self.conn.execute
        for k in keys:
            loads(ex("SELECT doc FROM docs WHERE coll='docs' AND key=?", (k,)).fetchone()[0])

    def put_users(self, users):
        c = self.conn
        c.execute("BEGIN")
        for k, d in users:
            c.execute("INSERT OR REPLACE INTO docs VALUES('users', ?, ?)", (k, dumps(d)))
        c.execute("COMMIT")

    def put_posts(self, posts):
        c = self.conn
        c.execute("BEGIN")
        for pid, uid, doc in posts:
            doc = dict(doc)
            doc["author"] = f"users/{uid}"
            c.execute("INSERT OR REPLACE INTO docs VALUES('posts', ?, ?)", (pid, dumps(doc)))
            c.execute("DELETE FROM links WHERE src_coll='posts' AND src_key=?", (pid,))
            c.execute("INSERT INTO links VALUES('posts', ?, 'author', 'users', ?)", (pid, uid))
        c.execute("COMMIT")

    def backlinks(self, uid):
        return len(self.conn.execute(
            "SELECT src_coll, src_key, path FROM links WHERE dst_coll='users' AND dst_key=?", (uid,)).fetchall())

    def resolve(self, pid):
        ex = self.conn.execute
        post = loads(ex("SELECT doc FROM docs WHERE coll='posts' AND key=?", (pid,)).fetchone()[0])
        coll, key = post["author"].split("/", 1)
        return loads(ex("SELECT doc FROM docs WHERE coll=? AND key=?", (coll, key)).fetchone()[0])["name"]

    def close(self):
        self.conn.close()


class KVStore:
    """Shared shape of the ordered key-value stores: documents under
    "<collection>/<key>", backlinks as empty values under
    "bl/<target>/<source>" found by a prefix scan."""

    def put_each(self, keys, docs):
        put = self._put
        for k, d in zip(keys, docs):
            put(b"docs/" + k.encode(), dumps(d))

    def get_each(self, keys):
        get = self._get
        for k in keys:
            loads(get(b"docs/" + k.encode()))

    def put_users(self, users):
        self.put_pairs([(b"users/" + k.encode(), dumps(d)) for k, d in users])

    def put_posts(self, posts):
        pairs = []
        for pid, uid, doc in posts:
            doc = dict(doc)
            doc["author"] = f"users/{uid}"
            pairs.append((b"posts/" + pid.encode(), dumps(doc)))
            pairs.append((f"bl/users/{uid}/posts/{pid}/author".encode(), b""))
        self.put_pairs(pairs)

    def resolve(self, pid):
        post = loads(self._get(b"posts/" + pid.encode()))
        return loads(self._get(post["author"].encode()))["name"]

    def put_batch(self, keys, docs):
        self.put_pairs([(b"docs/" + k.encode(), dumps(d)) for k, d in zip(keys, docs)])

    put_many = put_batch


class Lmdb(KVStore):
    name = "LMDB"

    def __init__(self, path):
        self.path = path
        self._open()

    def _open(self):
        self.env = lmdb.open(self.path, map_size=8 << 30, sync=False, metasync=False, writemap=False)

    def reopen(self):
        self.env.close()
        self._open()

    def _put(self, k, v):
        with self.env.begin(write=True) as txn:
            txn.put(k, v)

    def _get(self, k):
        with self.env.begin(buffers=False) as txn:
            return txn.get(k)

    def get_each(self, keys):
        with self.env.begin() as txn:
            get = txn.get
            for k in keys:
                loads(get(b"docs/" + k.encode()))

    def put_pairs(self, pairs):
        with self.env.begin(write=True) as txn:
            for k, v in pairs:
                txn.put(k, v)

    def backlinks(self, uid):
        prefix = f"bl/users/{uid}/".encode()
        n = 0
        with self.env.begin() as txn:
            cur = txn.cursor()
            if cur.set_range(prefix):
                for k in cur.iternext(values=False):
                    if not k.startswith(prefix):
                        break
                    n += 1
        return n

    def close(self):
        self.env.close()


class LevelDB(KVStore):
    name = "LevelDB"

    def __init__(self, path):
        self.path = path
        self.db = plyvel.DB(path, create_if_missing=True)
        self._put = self.db.put
        self._get = self.db.get

    def reopen(self):
        self.db.close()
        self.__init__(self.path)

    def put_pairs(self, pairs):
        with self.db.write_batch() as wb:
            for k, v in pairs:
                wb.put(k, v)

    def backlinks(self, uid):
        return sum(1 for _ in self.db.iterator(prefix=f"bl/users/{uid}/".encode(), include_value=False))

    def close(self):
        self.db.close()


class RocksDB(KVStore):
    name = "RocksDB"

    def __init__(self, path):
        self.path = path
        self.db = rocksdict.Rdict(path, options=rocksdict.Options(raw_mode=True))
        self._put = self.db.put
        self._get = self.db.get

    def reopen(self):
        self.db.close()
        self.__init__(self.path)

    def put_pairs(self, pairs):
        wb = rocksdict.WriteBatch(raw_mode=True)
        for k, v in pairs:
            wb.put(k, v)
        self.db.write(wb)

    def backlinks(self, uid):
        prefix = f"bl/users/{uid}/".encode()
        n = 0
        it = self.db.iter()
        it.seek(prefix)
        while it.valid():
            if not it.key().startswith(prefix):
                break
            n += 1
            it.next()
        return n

    def close(self):
        self.db.close()


class DiskCache(KVStore):
    """diskcache has no prefix scan: backlinks are kept as a list per target."""

    name = "diskcache"

    def __init__(self, path):
        self.path = path
        self.cache = diskcache.Cache(path)

    def reopen(self):
        self.cache.close()
        self.cache = diskcache.Cache(self.path)

    def _put(self, k, v):
        self.cache.set(k, v)

    def _get(self, k):
        return self.cache.get(k)

    def put_pairs(self, pairs):
        with self.cache.transact():
            for k, v in pairs:
                self.cache.set(k, v)

    def put_posts(self, posts):
        lists: dict[bytes, list] = {}
        with self.cache.transact():
            for pid, uid, doc in posts:
                doc = dict(doc)
                doc["author"] = f"users/{uid}"
                self.cache.set(b"posts/" + pid.encode(), dumps(doc))
                lists.setdefault(f"bl/users/{uid}".encode(), []).append(("posts", pid, "author"))
            for k, v in lists.items():
                self.cache.set(k, dumps(v))

    def backlinks(self, uid):
        return len(loads(self.cache.get(f"bl/users/{uid}".encode())))

    def close(self):
        self.cache.close()


class TinyDB:
    name = "TinyDB"

    def __init__(self, path):
        os.makedirs(path, exist_ok=True)
        self.file = os.path.join(path, "db.json")
        self.db = tinydb.TinyDB(self.file)
        self.q = tinydb.Query()

    def reopen(self):
        self.db.close()
        self.db = tinydb.TinyDB(self.file)

    def put_each(self, keys, docs):
        t = self.db.table("docs")
        for k, d in zip(keys, docs):
            t.upsert(tinydb.table.Document(d, doc_id=int(k[1:]) + 1))

    def put_batch(self, keys, docs):
        self.db.table("docs").insert_multiple(
            tinydb.table.Document(d, doc_id=int(k[1:]) + 1) for k, d in zip(keys, docs))

    put_many = put_batch

    def get_each(self, keys):
        t = self.db.table("docs")
        for k in keys:
            t.get(doc_id=int(k[1:]) + 1)

    def close(self):
        self.db.close()


ONLY: set[str] = set()  # --only: the stores to run (all when empty)


def stores(small: bool):
    found = [Quillet, Sqlite]
    for cls, mod in ((Lmdb, lmdb), (LevelDB, plyvel), (RocksDB, rocksdict), (DiskCache, diskcache)):
        if mod is not None:
            found.append(cls)
    if small and tinydb is not None:
        found.append(TinyDB)
    return [cls for cls in found if not ONLY or cls.name in ONLY]


# ---------------------------------------------------------------- workloads


def timed(fn, *args):
    gc.collect()
    gc.disable()
    try:
        t = time.perf_counter()
        fn(*args)
        return time.perf_counter() - t
    finally:
        gc.enable()


def run_once(n: int, base: str, small_n: int) -> dict:
    """One run: {workload: {store: ops per second}}."""
    results: dict[str, dict[str, float]] = {}
    keys = [f"k{i}" for i in range(n)]
    docs = [document(i) for i in range(n)]
    rng = random.Random(7)
    sample = rng.sample(keys, min(n, 200_000))

    def record(workload, store, ops, seconds):
        results.setdefault(workload, {})[store] = ops / seconds

    for cls in stores(small=False):
        for mode in ("put_each", "put_batch", "put_many"):
            if mode == "put_many" and cls not in (Quillet, Sqlite):
                continue
            d = os.path.join(base, f"{cls.name}-{mode}")
            s = cls(d)
            secs = timed(getattr(s, mode), keys, docs)
            label = {"put_each": "1. insert, one call each",
                     "put_batch": "2. insert, one transaction/batch",
                     "put_many": "2b. insert, set_many/executemany"}[mode]
            record(label, cls.name, n, secs)
            if mode == "put_each":
                record("3a. get, written since open", cls.name, len(sample), timed(s.get_each, sample))
                s.reopen()
                record("3b. get, after reopen", cls.name, len(sample), timed(s.get_each, sample))
            s.close()
            del s
            shutil.rmtree(d, ignore_errors=True)

    # 5. links: 100,000 posts linking to 1,000 users.
    posts_n = min(100_000, n)
    users = [(f"u{i}", document(i)) for i in range(1000)]
    posts = [(f"p{i}", f"u{i % 1000}", {"title": f"post {i}"}) for i in range(posts_n)]
    probe_users = [f"u{rng.randrange(1000)}" for _ in range(2000)]
    probe_posts = [f"p{rng.randrange(posts_n)}" for _ in range(50_000)]
    for cls in stores(small=False):
        d = os.path.join(base, f"{cls.name}-links")
        s = cls(d)
        s.put_users(users)
        record("5a. store 100k linked posts", cls.name, posts_n, timed(s.put_posts, posts))
        record("5b. backlinks of a user (100 each)", cls.name, len(probe_users),
               timed(lambda: [s.backlinks(u) for u in probe_users]))
        record("5c. resolve post->author->name", cls.name, len(probe_posts),
               timed(lambda: [s.resolve(p) for p in probe_posts]))
        s.close()
        del s
        shutil.rmtree(d, ignore_errors=True)

    # Small sizes, with TinyDB.
    skeys, sdocs = keys[:small_n], docs[:small_n]
    for cls in stores(small=True):
        d = os.path.join(base, f"{cls.name}-small")
        s = cls(d)
        record(f"S1. insert {small_n}, one call each", cls.name, small_n, timed(s.put_each, skeys, sdocs))
        record(f"S3. get of {small_n}", cls.name, small_n, timed(s.get_each, skeys))
        s.close()
        del s
        shutil.rmtree(d, ignore_errors=True)
    return results


# ---------------------------------------------------------------- reporting


def machine() -> str:
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}, Python {platform.python_version()}"


def summarise(runs: list[dict]) -> list[tuple[str, str, float, float]]:
    rows = []
    for workload in runs[0]:
        for store in runs[0][workload]:
            ops = statistics.median(r[workload][store] for r in runs)
            ratio = statistics.median(r[workload][store] / r[workload]["QuilletDB"] for r in runs)
            rows.append((workload, store, ops, ratio))
    return rows


def table(rows) -> str:
    out = ["| workload | store | ops/s | vs QuilletDB |", "|---|---|---:|---:|"]
    for workload, store, ops, ratio in rows:
        out.append(f"| {workload} | {store} | {ops:,.0f} | {ratio:.2f}x |")
    return "\n".join(out)


def chart(rows, path: str) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no chart written")
        return
    workloads = list(dict.fromkeys(r[0] for r in rows))
    store_names = list(dict.fromkeys(r[1] for r in rows))
    fig, ax = plt.subplots(figsize=(12, 6))
    width = 0.8 / len(store_names)
    for i, store in enumerate(store_names):
        values = []
        for w in workloads:
            match = [r[3] for r in rows if r[0] == w and r[1] == store]
            values.append(match[0] if match else 0)
        ax.bar([x + i * width for x in range(len(workloads))], values, width, label=store)
    ax.set_xticks([x + 0.4 - width / 2 for x in range(len(workloads))])
    ax.set_xticklabels([w.split(".")[0] for w in workloads])
    ax.set_ylabel("throughput relative to QuilletDB (higher is faster)")
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.legend()
    ax.set_title("Median throughput relative to QuilletDB")
    fig.tight_layout()
    fig.savefig(path, dpi=100)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--small", type=int, default=2_000)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--dir", default=None)
    ap.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "results"))
    ap.add_argument("--only", action="append", default=[], help="run only this store (repeatable)")
    ap.add_argument("--json", action="store_true", help="print the runs as JSON and nothing else")
    args = ap.parse_args()
    ONLY.update(args.only)
    base = args.dir or tempfile.mkdtemp(prefix="quillet-bench-")
    for name, why in PEERS_MISSING.items():
        print(f"peer not installed: {name}: {why}")
    runs = []
    for i in range(args.runs):
        runs.append(run_once(args.n, base, args.small))
        print(f"run {i + 1}/{args.runs} done", file=sys.stderr)
    if args.json:
        import json

        print(json.dumps(runs))
        shutil.rmtree(base, ignore_errors=True)
        return
    rows = summarise(runs)
    text = table(rows)
    print(text)
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "compare.md"), "w") as f:
        f.write(f"Machine: {machine()}\n\nN = {args.n:,}, median of {args.runs} runs\n\n{text}\n")
        for name, why in PEERS_MISSING.items():
            f.write(f"\nPeer not installed: {name}: {why}\n")
    chart(rows, os.path.join(args.out, "compare.png"))
    shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()

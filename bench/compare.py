"""Corvid against the stores Python users pick instead, side by side.

    python bench/compare.py [--n 200000] [--repeat 5]      the comparison table
    python bench/compare.py --scale                          cost as the store grows

Corvid runs four ways: the low-level module (_corvid) and the corvid package
at each durability level (corvid.open(..., durability=...)). Every store runs
in its own subprocess; the repetitions are interleaved store by store, and
each figure is the median of the repetitions. Raw numbers go to
bench/results*.json, the chart to docs/compare.png.
"""
import argparse
import json
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
VALUE = bytes(random.Random(3).getrandbits(8) for _ in range(100))
VALUE2 = VALUE[::-1]

CONFIG = {
    "corvid": "_corvid.Corvid(path, cache_size=N); the log's 8 KiB buffer, never syncs; "
    "read-cold reopens with cache_size=1000 and clear_cache(); no batch write call: its batch "
    "lines are its per-call rates",
    "corvid-buffered": "corvid.open(path, cache_size=N, durability=BUFFERED): the log's 8 KiB "
    "buffer, never syncs",
    "corvid-flush": "corvid.open(..., durability=FLUSH), the default: the log entry written out "
    "(one write(2)) in every call, no sync",
    "corvid-sync": "corvid.open(..., durability=SYNC): as flush, and an fdatasync of the log in "
    "every call; at N = {sync_n:,}",
    "corvid (all levels)": "per call db[k] = v and del db[k] in a for loop, db.get(k), "
    "db.get_many(100 keys); batches one put_many(all N pairs) and one delete_many(N/2 keys); "
    "read-cold reopens with cache_size=1000; released without close() (which persists), so "
    "that reopen without persist replays the log",
    "lmdb": "lmdb.open(map_size=64 GiB, sync=False, metasync=False), run with writemap=True "
    "(commits written into the shared map) and writemap=False, each figure the better of the "
    "two; no sync; per call one transaction per put/get/delete, "
    "get_many one read transaction per 100 keys; batches one write transaction",
    "leveldb": "plyvel.DB(create_if_missing=True, bloom_filter_bits=10, lru_cache_size=64 MiB), "
    "sync=False (the default: log written per put, not synced); batches one WriteBatch",
    "rocksdb": "rocksdict.Rdict(path, Options(raw_mode=True)) with optimize_for_point_lookup("
    "64 MiB cache); WAL on, no sync per write; get_many one multi-get per 100 keys; batches one "
    "WriteBatch",
    "diskcache": "diskcache.Cache(path, size_limit=1 TiB, eviction_policy='none') (SQLite "
    "underneath: WAL, synchronous=NORMAL, its defaults); batches one transact()",
    "sqlite": "sqlite3, one table (k TEXT PRIMARY KEY, v BLOB) WITHOUT ROWID, "
    "journal_mode=WAL, synchronous=OFF, cache_size=64 MiB, mmap_size=256 MiB; autocommit per "
    "call, get_many one SELECT ... IN (100 keys); batches one transaction with executemany",
    "dbm": "dbm.dumb (the only dbm backend this interpreter has); no batch mode",
}
# The ways Corvid runs, in the table's order, and what each is called there.
CORVIDS = ["corvid", "corvid-buffered", "corvid-flush", "corvid-sync"]
LABELS = {"corvid": "_corvid", "corvid-buffered": "buffered", "corvid-flush": "flush",
          "corvid-sync": "sync *"}
# Stores too slow to run at full size within the time budget run at
# --slow-n keys instead, which only flatters them (smaller is faster).
SLOW = {"diskcache", "dbm"}
# An fsync per write: run at --sync-n keys.
SYNCED = {"corvid-sync"}
PER_CALL = ["fill", "overwrite", "read-hot", "read-cold", "read-missing", "get_many", "delete"]
BATCH = ["fill (batch)", "overwrite (batch)", "delete (batch)"]
BATCH_STORES = {"lmdb", "leveldb", "rocksdb", "diskcache", "sqlite", "corvid-buffered",
                "corvid-flush", "corvid-sync"}


# ---------------------------------------------------------------- adapters --


class Corvid:
    def __init__(self, path, n, cold=False):
        from _corvid import Corvid as C

        self.db = C(path, cache_size=1000 if cold else max(n, 1000))
        if cold:
            self.db.clear_cache()
        self.put = self.db.set_bytes
        self.get = self.db.get_bytes
        self.delete = self.db.delete
        self.get_many = self.db.get_many

    def key(self, k):
        return k

    def persist(self):
        self.db.persist()

    def vacuum(self):
        self.db.vacuum()

    def close(self):
        del self.db, self.put, self.get, self.delete, self.get_many


class Package:
    """The corvid package as a program uses it: db[k] = v, db.get(k), del db[k]."""

    durability = "flush"

    def __init__(self, path, n, cold=False):
        import corvid

        self.db = corvid.open(path, cache_size=1000 if cold else max(n, 1000),
                              durability=self.durability)
        self.get = self.db.get
        self.get_many = self.db.get_many

    def key(self, k):
        return k

    def put(self, k, v):
        self.db[k] = v

    def delete(self, k):
        del self.db[k]

    # The timed write loops use the statements themselves, not a call each.
    def put_each(self, keys, value):
        db = self.db
        for k in keys:
            db[k] = value

    def delete_each(self, keys):
        db = self.db
        for k in keys:
            del db[k]

    def put_batch(self, items):
        self.db.put_many(items)

    def delete_batch(self, keys):
        self.db.delete_many(keys)

    def persist(self):
        self.db.persist()

    def vacuum(self):
        self.db.vacuum()

    def close(self):
        # Released, not closed: close() persists, and reopen without persist
        # must find the log as the writes left it (the release flushes it).
        del self.db, self.get, self.get_many


class PackageBuffered(Package):
    durability = "buffered"


class PackageSync(Package):
    durability = "sync"


class Lmdb:
    WRITEMAP = True

    def __init__(self, path, n, cold=False):
        import lmdb

        # writemap: a commit writes its pages into the shared map instead of
        # write(2)ing copies; what was committed is in the page cache either way.
        self.env = lmdb.open(path, map_size=64 << 30, sync=False, metasync=False,
                             writemap=self.WRITEMAP)
        self.path = path

    def key(self, k):
        return k.encode()

    def put(self, k, v):
        with self.env.begin(write=True) as txn:
            txn.put(k, v)

    def get(self, k):
        with self.env.begin() as txn:
            return txn.get(k)

    def delete(self, k):
        with self.env.begin(write=True) as txn:
            return txn.delete(k)

    def get_many(self, keys):
        with self.env.begin() as txn:
            return [(k, txn.get(k)) for k in keys]

    def put_batch(self, items):
        with self.env.begin(write=True) as txn:
            for k, v in items:
                txn.put(k, v)

    def delete_batch(self, keys):
        with self.env.begin(write=True) as txn:
            for k in keys:
                txn.delete(k)

    def persist(self):
        self.env.sync(True)

    def vacuum(self):
        tmp = self.path + "-compact"
        os.makedirs(tmp, exist_ok=True)
        self.env.copy(tmp, compact=True)

    def close(self):
        self.env.close()


class Bound:
    """An adapter whose put, get and delete are the store's own methods."""

    def bind(self, db, put, get, delete):
        self.db, self.put, self.get, self.delete = db, put, get, delete

    def key(self, k):
        return k.encode()

    def close(self):
        self.db.close()
        del self.put, self.get, self.delete


class LevelDB(Bound):
    def __init__(self, path, n, cold=False):
        import plyvel

        # The speed options of LevelDB's own performance notes: a Bloom
        # filter per table and a block cache that holds the data set.
        db = plyvel.DB(path, create_if_missing=True, bloom_filter_bits=10,
                       lru_cache_size=64 << 20)
        self.bind(db, db.put, db.get, db.delete)

    def get_many(self, keys):
        get = self.db.get
        return [(k, get(k)) for k in keys]

    def put_batch(self, items):
        with self.db.write_batch() as wb:
            for k, v in items:
                wb.put(k, v)

    def delete_batch(self, keys):
        with self.db.write_batch() as wb:
            for k in keys:
                wb.delete(k)

    def persist(self):
        pass  # LevelDB has no flush call: its log is written on every put

    def vacuum(self):
        self.db.compact_range()


class RocksDB(Bound):
    def __init__(self, path, n, cold=False):
        from rocksdict import Options, Rdict

        # raw_mode stores the bytes as given (no type tag per key and value);
        # optimize_for_point_lookup adds Bloom filters and a 64 MiB block cache.
        options = Options(raw_mode=True)
        options.optimize_for_point_lookup(64)
        db = Rdict(path, options)
        self.bind(db, db.put, db.get, db.delete)

    def get_many(self, keys):
        return list(zip(keys, self.db.get(keys)))

    def put_batch(self, items):
        from rocksdict import WriteBatch

        wb = WriteBatch(raw_mode=True)
        for k, v in items:
            wb.put(k, v)
        self.db.write(wb)

    def delete_batch(self, keys):
        from rocksdict import WriteBatch

        wb = WriteBatch(raw_mode=True)
        for k in keys:
            wb.delete(k)
        self.db.write(wb)

    def persist(self):
        self.db.flush()

    def vacuum(self):
        self.db.compact_range(None, None)


class DiskCache(Bound):
    def __init__(self, path, n, cold=False):
        import diskcache

        # No eviction: nothing to cull, so a set does not look for victims.
        db = diskcache.Cache(path, size_limit=1 << 40, eviction_policy="none")
        self.bind(db, db.set, db.get, db.delete)

    def key(self, k):
        return k

    def get_many(self, keys):
        get = self.db.get
        return [(k, get(k)) for k in keys]

    def put_batch(self, items):
        db = self.db
        with db.transact():
            for k, v in items:
                db.set(k, v)

    def delete_batch(self, keys):
        db = self.db
        with db.transact():
            for k in keys:
                db.delete(k)

    def persist(self):
        pass

    def vacuum(self):
        pass


class Sqlite:
    def __init__(self, path, n, cold=False):
        import sqlite3

        os.makedirs(path, exist_ok=True)
        self.db = sqlite3.connect(os.path.join(path, "db.sqlite"), isolation_level=None)
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=OFF")
        self.db.execute("PRAGMA cache_size=-65536")  # KiB: 64 MiB
        self.db.execute("PRAGMA mmap_size=268435456")
        self.db.execute(
            "CREATE TABLE IF NOT EXISTS kv (k TEXT PRIMARY KEY, v BLOB) WITHOUT ROWID"
        )
        self.ex = self.db.execute

    def key(self, k):
        return k

    def put(self, k, v):
        self.ex("INSERT OR REPLACE INTO kv VALUES (?, ?)", (k, v))

    def get(self, k):
        row = self.ex("SELECT v FROM kv WHERE k = ?", (k,)).fetchone()
        return row[0] if row else None

    def delete(self, k):
        return self.ex("DELETE FROM kv WHERE k = ?", (k,)).rowcount > 0

    def get_many(self, keys):
        marks = ",".join("?" * len(keys))
        found = dict(self.ex(f"SELECT k, v FROM kv WHERE k IN ({marks})", keys).fetchall())
        return [(k, found.get(k)) for k in keys]

    def put_batch(self, items):
        self.ex("BEGIN")
        self.db.executemany("INSERT OR REPLACE INTO kv VALUES (?, ?)", items)
        self.ex("COMMIT")

    def delete_batch(self, keys):
        self.ex("BEGIN")
        self.db.executemany("DELETE FROM kv WHERE k = ?", [(k,) for k in keys])
        self.ex("COMMIT")

    def persist(self):
        self.ex("PRAGMA wal_checkpoint(TRUNCATE)")

    def vacuum(self):
        self.ex("VACUUM")

    def close(self):
        self.db.close()


class Dbm:
    def __init__(self, path, n, cold=False):
        os.makedirs(path, exist_ok=True)
        try:
            import dbm.gnu

            # "f": GNU dbm's fast mode, which writes without syncing.
            self.db = dbm.gnu.open(os.path.join(path, "db"), "cf")
            self.gnu = True
        except ImportError:
            import dbm.dumb

            self.db = dbm.dumb.open(os.path.join(path, "db"), "c")
            self.gnu = False

    def key(self, k):
        return k.encode()

    def put(self, k, v):
        self.db[k] = v

    def get(self, k):
        return self.db.get(k)

    def delete(self, k):
        try:
            del self.db[k]
            return True
        except KeyError:
            return False

    def get_many(self, keys):
        get = self.db.get
        return [(k, get(k)) for k in keys]

    def persist(self):
        self.db.sync()

    def vacuum(self):
        if self.gnu:
            self.db.reorganize()

    def close(self):
        self.db.close()


# GNU dbm is a module of Debian's interpreter (python3-gdbm), not of every
# build: its worker runs on an interpreter that has it.
DBM_PYTHONS = ("/usr/bin/python3",)


def gnu_dbm_python():
    for python in (sys.executable, *DBM_PYTHONS):
        if os.path.exists(python) and subprocess.run(
                [python, "-c", "import dbm.gnu"], capture_output=True).returncode == 0:
            return python
    return None


class LmdbPlain(Lmdb):
    WRITEMAP = False


STORES = {"corvid": Corvid, "corvid-buffered": PackageBuffered, "corvid-flush": Package,
          "corvid-sync": PackageSync, "lmdb": Lmdb, "lmdb-plain": LmdbPlain, "leveldb": LevelDB, "rocksdb": RocksDB,
          "diskcache": DiskCache, "sqlite": Sqlite, "dbm": Dbm}
NO_PERSIST = {"leveldb", "diskcache"}
# Opens timed after the persist in the scale run; their median is reported.
REOPENS = 21
NO_VACUUM = {"diskcache", "dbm"}


# ----------------------------------------------------------------- worker --


def anonymous_bytes():
    """The process's resident anonymous memory: the heap, not mapped files."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    return 0


def dir_size(path):
    """The bytes the files take on the disk (du), not their lengths: LMDB's
    data file is as long as its map, and sparse."""
    total = 0
    for root, _, files in os.walk(path):
        for f in files:
            total += os.stat(os.path.join(root, f)).st_blocks * 512
    return total


def timed(n, fn):
    start = time.perf_counter()
    fn()
    return n / (time.perf_counter() - start)


def seconds(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def make_keys(n, seed):
    rng = random.Random(seed)
    keys = set()
    while len(keys) < n:
        keys.add(f"{rng.getrandbits(64):016x}")
    keys = list(keys)
    rng.shuffle(keys)
    return keys


# The timed loops. An adapter may write them itself (the corvid package uses
# the statements db[k] = v and del db[k]); otherwise one call of its bound
# method per key. The bound methods live only as long as the loop: one of
# them keeps its store open.


def put_each(db, keys, value):
    if hasattr(db, "put_each"):
        return db.put_each(keys, value)
    put = db.put
    [put(k, value) for k in keys]


def get_each(db, keys):
    get = db.get
    [get(k) for k in keys]


def delete_each(db, keys):
    if hasattr(db, "delete_each"):
        return db.delete_each(keys)
    delete = db.delete
    [delete(k) for k in keys]


def get_many_each(db, batches):
    gm = db.get_many
    [gm(b) for b in batches]


def worker(name, n, workdir, workloads):
    cls = STORES[name]
    out = {}
    rng = random.Random(5)
    skeys = make_keys(n, 1)
    # Never stored: hex keys end in a hex digit.
    missing = [f"{rng.getrandbits(60):015x}m" for _ in range(n)]
    path = os.path.join(workdir, "db")
    probe = cls(path, n)
    keys = [probe.key(k) for k in skeys]
    missing = [probe.key(k) for k in missing]
    shuffled = keys[:]
    rng.shuffle(shuffled)
    items = [(k, VALUE) for k in keys]
    batches = [shuffled[i : i + 100] for i in range(0, n, 100)]
    db = probe

    if "fill" in workloads:
        out["fill"] = timed(n, lambda: put_each(db, keys, VALUE))
        out["peak RSS after fill (MB)"] = (
            resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        )
        out["disk after fill (MB)"] = dir_size(path) / 1e6
        out["overwrite"] = timed(n, lambda: put_each(db, shuffled, VALUE2))
        get_each(db, shuffled)  # warm every cache
        out["read-hot"] = timed(n, lambda: get_each(db, shuffled))
        out["read-missing"] = timed(n, lambda: get_each(db, missing))
        out["get_many"] = timed(n, lambda: get_many_each(db, batches))
        if name not in NO_PERSIST:
            out["persist"] = 1 / seconds(db.persist)
        db.close()
        start = time.perf_counter()
        db = cls(path, n, cold=True)
        out["reopen after persist"] = 1 / (time.perf_counter() - start)
        out["read-cold"] = timed(n, lambda: get_each(db, shuffled))
        half = shuffled[: n // 2]
        out["delete"] = timed(len(half), lambda: delete_each(db, half))
        db.close()

    if "replay" in workloads:
        path2 = os.path.join(workdir, "db2")
        db = cls(path2, n)
        for k in keys:
            db.put(k, VALUE)
        for k in keys[::2]:
            db.put(k, VALUE2)
        for k in keys[1::4]:
            db.delete(k)
        db.close()
        start = time.perf_counter()
        db = cls(path2, n)
        out["reopen without persist"] = 1 / (time.perf_counter() - start)
        if name not in NO_VACUUM:
            before = dir_size(path2)
            out["vacuum"] = 1 / seconds(db.vacuum)
        db.close()
        # Measured once the store is closed: the package's vacuum gives the
        # old files' and the log's room back on threads after it returns.
        if name not in NO_VACUUM:
            out["vacuum shrink (MB)"] = (before - dir_size(path2)) / 1e6

    if "batch" in workloads and name in BATCH_STORES:
        path3 = os.path.join(workdir, "db3")
        db = cls(path3, n)
        out["fill (batch)"] = timed(n, lambda: db.put_batch(items))
        out["overwrite (batch)"] = timed(n, lambda: db.put_batch([(k, VALUE2) for k in shuffled]))
        out["delete (batch)"] = timed(n // 2, lambda: db.delete_batch(shuffled[: n // 2]))
        db.close()

    if "floor" in workloads and name == "corvid":
        small = cls(os.path.join(workdir, "small"), 10)
        small.put("k", b"v")
        length = small.db.len
        out["floor: len() call"] = timed(n, lambda: [length() for _ in range(n)])
        small.close()

    if "scale" in workloads:
        path = os.path.join(workdir, "scale")
        db = cls(path, min(n, 10_000))
        put = db.put
        out["fill"] = timed(n, lambda: [put(k, VALUE) for k in keys])
        put = None
        if name not in NO_PERSIST:
            db.persist()
        db.close()
        # Reopened: the index as an open builds it from the snapshot (or, for
        # a store without one, from its own files).
        anon = anonymous_bytes()
        start = time.perf_counter()
        db = cls(path, min(n, 10_000))
        opens = [time.perf_counter() - start]
        out["memory per key after reopen (bytes)"] = (anonymous_bytes() - anon) / n
        # The first open meets the fill's writeback still going on, and on
        # two busy cores a burst of other work can slow a few opens in a
        # row: the median of it and twenty more.
        for _ in range(REOPENS - 1):
            db.close()
            start = time.perf_counter()
            db = cls(path, min(n, 10_000))
            opens.append(time.perf_counter() - start)
        out["reopen"] = 1 / statistics.median(opens)
        get = db.get
        out["read"] = timed(n, lambda: [get(k) for k in shuffled])
        out["read missing"] = timed(n, lambda: [get(k) for k in missing])
        get = None
        delete = db.delete
        out["delete"] = timed(n, lambda: [delete(k) for k in shuffled])
        if name == "corvid":
            # The loop alone: every store pays it, and at 10^7 keys each key
            # object it touches is a cache miss of its own.
            length = db.db.len
            out["loop"] = timed(n, lambda: [length() for k in shuffled])
        db.close()

    if "reopen" in workloads:
        db = cls(os.path.join(workdir, "reopen"), 10_000)
        put = db.put
        for k in keys:
            put(k, VALUE)
        if name not in NO_PERSIST:
            db.persist()
        db.close()
        put = None
        start = time.perf_counter()
        db = cls(os.path.join(workdir, "reopen"), 10_000)
        out["reopen after persist"] = 1 / (time.perf_counter() - start)
        assert db.get(keys[0]) == VALUE
        db.close()
    return out


def run_worker(name, n, workloads, python=None):
    workdir = tempfile.mkdtemp(prefix=f"cmp-{name}-", dir=os.environ.get("CORVID_BENCH_DIR"))
    try:
        proc = subprocess.run(
            [python or sys.executable, __file__, "--worker", name, "--n", str(n), "--workloads",
             ",".join(workloads), "--dir", workdir],
            capture_output=True, text=True,
        )
        if proc.returncode != 0:
            raise RuntimeError(f"{name} failed:\n{proc.stderr}")
        return json.loads(proc.stdout.strip().splitlines()[-1])
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


# ------------------------------------------------------------------ report --


def medians(runs):
    out = {}
    for store, reps in runs.items():
        names = {w for r in reps for w in r}
        out[store] = {w: statistics.median(r[w] for r in reps if w in r) for w in names}
    return out


def fmt(v):
    if v >= 1e6:
        return f"{v / 1e6:.2f}M"
    if v >= 1e3:
        return f"{v / 1e3:.1f}k"
    return f"{v:.2f}"


LOWER_IS_BETTER = {"peak RSS after fill (MB)", "disk after fill (MB)"}
NO_RATIO = {"vacuum shrink (MB)"}
ROWS = PER_CALL + BATCH + ["persist", "reopen after persist", "reopen without persist",
                           "vacuum", "peak RSS after fill (MB)", "disk after fill (MB)",
                           "vacuum shrink (MB)"]


def fmt_ratio(r):
    if r >= 100:
        return f"{r:.0f}"
    if r >= 10:
        return f"{r:.1f}"
    if r >= 0.1:
        return f"{r:.2f}"
    return f"{r:.3f}"


def corvid_figure(med, c, row):
    """What Corvid way c puts against the peers' figures in a row: _corvid
    has no batch write call, so its batch lines are its per-call rates."""
    if c == "corvid" and row in BATCH:
        return med[c].get(row.replace(" (batch)", ""))
    return med[c].get(row)


def ratio(row, c, v):
    return v / c if row in LOWER_IS_BETTER else c / v


def report(med, n, repeat, ns):
    corvids = [c for c in CORVIDS if c in med]
    peers = [s for s in STORES if s in med and s not in CORVIDS]
    lines = [f"N = {n:,} keys of 16 bytes, 100-byte values; median of {repeat}; operations per "
             "second unless marked (MB).",
             "Each workload: the peers' figures, then a line per way Corvid ran (_corvid, the "
             "low-level module; buffered, flush, sync: corvid.open at that durability), with "
             "Corvid / peer under each peer (above 1: Corvid is better). Batch lines set each "
             "store's batch call against the peers' (_corvid has none: its per-call rate stands "
             "there, marked /call).", ""]
    header = f"{'workload':<26}{'corvid':<13}{'':>10}" + "".join(f"{s:>11}" for s in peers)
    lines += [header, "-" * len(header)]
    score = {c: {"per call": [0, 0, (float("inf"), "", "")],
                 "batch": [0, 0, (float("inf"), "", "")]} for c in corvids}
    for row in ROWS:
        cells = [fmt(med[p][row]) if row in med[p] else "-" for p in peers]
        if all(c == "-" for c in cells) and not any(corvid_figure(med, c, row) is not None
                                                    for c in corvids):
            continue
        lines.append(f"{row:<26}{'peers':<13}{'':>10}" + "".join(f"{t:>11}" for t in cells))
        for c in corvids:
            mine = corvid_figure(med, c, row)
            if mine is None:
                continue
            label = LABELS[c] + ("/call" if c == "corvid" and row in BATCH else "")
            cells = []
            for p in peers:
                v = med[p].get(row)
                if v is None or row in NO_RATIO or not v or not mine:
                    cells.append("")
                    continue
                r = ratio(row, mine, v)
                cells.append(fmt_ratio(r))
                kind = "per call" if row in PER_CALL else "batch" if row in BATCH else None
                if kind and not (c == "corvid" and kind == "batch"):
                    tally = score[c][kind]
                    tally[0] += r >= 1.0
                    tally[1] += 1
                    if r < tally[2][0]:
                        tally[2] = (r, row, p)
            lines.append(f"{'':<26}{label:<13}{fmt(mine):>10}" + "".join(f"{t:>11}" for t in cells))
    floor = med.get("corvid", {}).get("floor: len() call")
    if floor:
        hot = med["corvid"]["read-hot"]
        lines += ["", f"floor (a no-op method call, len() on a small store): {fmt(floor)}/s; "
                  f"_corvid read-hot costs {floor / hot:.2f}x the floor"]
    notes = []
    slow = sorted(s for s in SLOW if s in med)
    if slow:
        notes.append(f"{', '.join(slow)} ran at N = {ns['slow']:,} (too slow at full size).")
    if "corvid-sync" in med:
        notes.append(f"* sync ran at N = {ns['sync']:,} (an fdatasync per write), set against each peer "
                     "at its own N: the small N flatters its reads, sizes and reopens; its writes "
                     "show what the fsync costs.")
    notes.append("disk after fill: the blocks the files take (du), not their lengths.")
    lines += [""] + notes
    config = dict(CONFIG, **{"corvid-sync": CONFIG["corvid-sync"].format(sync_n=ns["sync"])})
    lines += ["", "Configuration (no store syncs per call but corvid sync):"]
    for s in STORES:
        if s in med:
            lines.append(f"  {LABELS.get(s, s)}: {config[s]}")
        if s == "corvid-sync" and set(CORVIDS[1:]) & set(med):
            lines.append(f"  buffered, flush, sync: {config['corvid (all levels)']}")
    lines += ["", "summary (comparisons won, Corvid / peer >= 1; the worst ratio):"]
    for kind in ("per call", "batch"):
        for c in corvids:
            wins, total, worst = score[c][kind]
            if total:
                lines.append(f"  {kind:<9}{LABELS[c]:<10} wins {wins:>2} of {total:<3} worst "
                             f"{fmt_ratio(worst[0])} ({worst[1]} vs {worst[2]})")
    return "\n".join(lines), score


def chart(med, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    peers = [s for s in STORES if s in med and s not in CORVIDS]
    panels = [c for c in ("corvid", "corvid-flush") if c in med]
    width = 0.8 / len(peers)
    fig, axes = plt.subplots(len(panels), 1, figsize=(11, 4 * len(panels)), squeeze=False)
    for ax, c in zip(axes[:, 0], panels):
        for i, p in enumerate(peers):
            ratios = [med[c][w] / med[p][w] if w in med[p] and w in med[c] else 0
                      for w in PER_CALL]
            ax.bar([x + i * width for x in range(len(PER_CALL))], ratios, width, label=p)
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_yscale("log")
        ax.set_xticks([x + width * (len(peers) - 1) / 2 for x in range(len(PER_CALL))])
        ax.set_xticklabels(PER_CALL)
        ax.set_ylabel("Corvid ops/s / peer ops/s (log)")
        name = "_corvid" if c == "corvid" else "corvid.open, durability FLUSH (the default)"
        ax.set_title(f"{name} against its peers, per-call operations (above 1: Corvid faster)")
        ax.legend(ncol=len(peers), fontsize=8)
    fig.tight_layout()
    os.makedirs(os.path.dirname(path), exist_ok=True)
    fig.savefig(path, dpi=110)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--stores", default=",".join(STORES))
    ap.add_argument("--slow-n", type=int, default=5_000)
    ap.add_argument("--sync-n", type=int, default=20_000)
    ap.add_argument("--scale", action="store_true")
    ap.add_argument("--peers", default="lmdb,leveldb,rocksdb")
    ap.add_argument("--worker")
    ap.add_argument("--workloads", default="fill,replay,batch,floor")
    ap.add_argument("--dir")
    args = ap.parse_args()

    if args.worker:
        print(json.dumps(worker(args.worker, args.n, args.dir, args.workloads.split(","))))
        return

    if args.scale:
        return scale(args)
    stores = args.stores.split(",")
    # LMDB runs at both writemap settings; each figure is the better of the two.
    if "lmdb" in stores:
        stores.insert(stores.index("lmdb") + 1, "lmdb-plain")
    pythons = {}
    if "dbm" in stores and (python := gnu_dbm_python()) is not None:
        pythons["dbm"] = python
        SLOW.discard("dbm")
        NO_VACUUM.discard("dbm")
        CONFIG["dbm"] = (f"dbm.gnu, in a worker on {python} (the interpreter that has it), "
                         "opened with flag 'cf' (fast: writes not synced); sync() as persist, "
                         "reorganize() as vacuum; no batch mode")
    ns = {"slow": min(args.n, args.slow_n), "sync": min(args.n, args.sync_n)}
    runs = {s: [] for s in stores}
    began = time.perf_counter()
    for rep in range(args.repeat):
        for s in stores:
            print(f"[{rep + 1}/{args.repeat}] {s}", file=sys.stderr, flush=True)
            n = ns["slow"] if s in SLOW else ns["sync"] if s in SYNCED else args.n
            runs[s].append(run_worker(s, n, args.workloads.split(","), pythons.get(s)))
    med = medians(runs)
    if "lmdb-plain" in med:
        plain = med.pop("lmdb-plain")
        for w, v in plain.items():
            if w in NO_RATIO or w not in med["lmdb"]:
                continue
            better = min if w in LOWER_IS_BETTER else max
            med["lmdb"][w] = better(med["lmdb"][w], v)
    text, _ = report(med, args.n, args.repeat, ns)
    print(text)
    print(f"\n({(time.perf_counter() - began) / 60:.1f} minutes)")
    with open(os.path.join(HERE, "results.json"), "w") as f:
        json.dump({"n": args.n, "slow_n": ns["slow"], "sync_n": ns["sync"], "repeat": args.repeat,
                   "runs": runs, "medians": med}, f, indent=1)
    chart(med, os.path.join(ROOT, "docs", "compare.png"))


def scale(args):
    # The low-level module, and the package at its default durability: only
    # the package's writer maps the snapshot's index at open.
    ours = ["corvid", "corvid-flush"]
    stores = ours + args.peers.split(",")
    sizes = [10**5, 10**6, 10**7]
    results = {s: {} for s in stores}
    for n in sizes:
        for s in stores:
            print(f"scale {n:,} {s}", file=sys.stderr, flush=True)
            results[s][n] = run_worker(s, n, ["scale"])
    cols = [("fill", "fill/s"), ("reopen", "reopen ms"), ("read", "read/s"),
            ("read missing", "missing/s"), ("delete", "delete/s"),
            ("memory per key after reopen (bytes)", "B/key")]
    print(f"{'store':<13}{'N':>12}" + "".join(f"{h:>12}" for _, h in cols))
    for s in stores:
        for n in sizes:
            r = results[s][n]
            cells = []
            for w, _ in cols:
                if w == "reopen":
                    cells.append(f"{1000 / r[w]:.2f}")
                elif w.startswith("memory"):
                    cells.append(f"{r[w]:.1f}")
                else:
                    cells.append(fmt(r[w]))
            print(f"{s:<13}{n:>12,}" + "".join(f"{c:>12}" for c in cells))
    c = results["corvid"]
    for w in ("fill", "read", "read missing", "delete", "loop"):
        print(f"corvid {w} at 10^7 / at 10^5: {c[10**7][w] / c[10**5][w]:.2f}")
    print("loop: len() called once per key of the shuffled key list, the benchmark's own cost")
    print(f"reopen ms: the median of {REOPENS} opens after the persist, the first right after it")
    print("B/key: resident anonymous memory the first reopen added, per key (mapped files not "
          "counted)")
    for o in ours:
        for s in stores[len(ours):]:
            for n in sizes:
                print(f"{o} reopen / {s} reopen speed at {n:,}: "
                      f"{results[o][n]['reopen'] / results[s][n]['reopen']:.2f}")
    with open(os.path.join(HERE, "results-scale.json"), "w") as f:
        json.dump({"scale": results}, f, indent=1)


if __name__ == "__main__":
    main()

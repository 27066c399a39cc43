"""Corvid against the stores Python users pick instead, side by side.

    python bench/compare.py [--n 200000] [--repeat 3]      the comparison table
    python bench/compare.py --scale                          cost as the store grows

Every store runs in its own subprocess; the repetitions are interleaved store
by store, and each figure is the median of the repetitions. Raw numbers go to
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
    "corvid": "Corvid(path, cache_size=N); read-cold reopens with cache_size=1000 and "
    "clear_cache(); never syncs on a put",
    "lmdb": "lmdb.open(map_size=64 GiB, sync=False, metasync=False, writemap=False); "
    "one write transaction per call",
    "leveldb": "plyvel.DB(create_if_missing=True), sync=False (the default)",
    "rocksdb": "rocksdict.Rdict with default options; WAL on, no sync per write",
    "diskcache": "diskcache.Cache(path) (SQLite underneath, its defaults)",
    "sqlite": "sqlite3, one table (k TEXT PRIMARY KEY, v BLOB) WITHOUT ROWID, "
    "journal_mode=WAL, synchronous=OFF, autocommit per call",
    "dbm": "dbm.dumb (the only dbm backend this interpreter has)",
}
# Stores too slow to run at full size within the time budget run at
# --slow-n keys instead, which only flatters them (smaller is faster).
SLOW = {"diskcache", "dbm"}
PER_CALL = ["fill", "overwrite", "read-hot", "read-cold", "read-missing", "get_many", "delete"]
BATCH_STORES = {"lmdb", "leveldb", "rocksdb", "sqlite"}


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


class Lmdb:
    def __init__(self, path, n, cold=False):
        import lmdb

        self.env = lmdb.open(path, map_size=64 << 30, sync=False, metasync=False)
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

        db = plyvel.DB(path, create_if_missing=True)
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
        from rocksdict import Rdict

        db = Rdict(path)
        self.bind(db, db.put, db.get, db.delete)

    def get_many(self, keys):
        return list(zip(keys, self.db.get(keys)))

    def put_batch(self, items):
        from rocksdict import WriteBatch

        wb = WriteBatch()
        for k, v in items:
            wb.put(k, v)
        self.db.write(wb)

    def delete_batch(self, keys):
        from rocksdict import WriteBatch

        wb = WriteBatch()
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

        db = diskcache.Cache(path, size_limit=1 << 40)
        self.bind(db, db.set, db.get, db.delete)

    def key(self, k):
        return k

    def get_many(self, keys):
        get = self.db.get
        return [(k, get(k)) for k in keys]

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
        import dbm.dumb

        os.makedirs(path, exist_ok=True)
        self.db = dbm.dumb.open(os.path.join(path, "db"), "c")

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
        pass

    def close(self):
        self.db.close()


STORES = {"corvid": Corvid, "lmdb": Lmdb, "leveldb": LevelDB, "rocksdb": RocksDB,
          "diskcache": DiskCache, "sqlite": Sqlite, "dbm": Dbm}
NO_PERSIST = {"leveldb", "diskcache"}
NO_VACUUM = {"diskcache", "dbm"}


# ----------------------------------------------------------------- worker --


def dir_size(path):
    total = 0
    for root, _, files in os.walk(path):
        for f in files:
            total += os.path.getsize(os.path.join(root, f))
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
        put = db.put
        out["fill"] = timed(n, lambda: [put(k, VALUE) for k in keys])
        out["peak RSS after fill (MB)"] = (
            resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        )
        out["disk after fill (MB)"] = dir_size(path) / 1e6
        out["overwrite"] = timed(n, lambda: [put(k, VALUE2) for k in shuffled])
        get = db.get
        for k in shuffled:  # warm every cache
            get(k)
        out["read-hot"] = timed(n, lambda: [get(k) for k in shuffled])
        out["read-missing"] = timed(n, lambda: [get(k) for k in missing])
        gm = db.get_many
        out["get_many"] = timed(n, lambda: [gm(b) for b in batches])
        if name not in NO_PERSIST:
            out["persist"] = 1 / seconds(db.persist)
        db.close()
        # A bound method keeps its store open: reopen only once it is closed.
        put = get = gm = None
        start = time.perf_counter()
        db = cls(path, n, cold=True)
        out["reopen after persist"] = 1 / (time.perf_counter() - start)
        get = db.get
        out["read-cold"] = timed(n, lambda: [get(k) for k in shuffled])
        delete = db.delete
        half = shuffled[: n // 2]
        out["delete"] = timed(len(half), lambda: [delete(k) for k in half])
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
            out["vacuum shrink (MB)"] = (before - dir_size(path2)) / 1e6
        db.close()

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
        db = cls(os.path.join(workdir, "scale"), min(n, 10_000))
        put = db.put
        out["fill"] = timed(n, lambda: [put(k, VALUE) for k in keys])
        get = db.get
        out["read"] = timed(n, lambda: [get(k) for k in shuffled])
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


def run_worker(name, n, workloads):
    workdir = tempfile.mkdtemp(prefix=f"cmp-{name}-", dir=os.environ.get("CORVID_BENCH_DIR"))
    try:
        proc = subprocess.run(
            [sys.executable, __file__, "--worker", name, "--n", str(n), "--workloads",
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


def report(med, n, repeat):
    stores = [s for s in STORES if s in med]
    peers = [s for s in stores if s != "corvid"]
    rows = ["fill", "overwrite", "read-hot", "read-cold", "read-missing", "get_many", "delete",
            "fill (batch)", "overwrite (batch)", "delete (batch)", "persist",
            "reopen after persist", "reopen without persist", "vacuum",
            "peak RSS after fill (MB)", "disk after fill (MB)", "vacuum shrink (MB)"]
    lines = [f"N = {n:,} keys of 16 bytes, 100-byte values; median of {repeat}; "
             "operations per second unless marked (MB); (ratio) = Corvid / peer, "
             "above 1 means Corvid is better", ""]
    header = f"{'workload':<24}" + "".join(f"{s:>18}" for s in stores)
    lines += [header, "-" * len(header)]
    wins = total = 0
    worst = (float("inf"), "", "")
    for row in rows:
        cells = []
        for s in stores:
            v = med[s].get(row)
            if v is None:
                cells.append(f"{'-':>18}")
                continue
            text = fmt(v)
            c = med["corvid"].get(row.replace(" (batch)", ""))
            if s != "corvid" and c is not None and row not in ("vacuum shrink (MB)",):
                ratio = v / c if row in LOWER_IS_BETTER else c / v
                text += f" ({ratio:.2f})"
                if row in PER_CALL:
                    total += 1
                    wins += ratio >= 1.0
                    if ratio < worst[0]:
                        worst = (ratio, row, s)
            cells.append(f"{text:>18}")
        lines.append(f"{row:<24}" + "".join(cells))
    floor = med["corvid"].get("floor: len() call")
    if floor:
        hot = med["corvid"]["read-hot"]
        lines += ["", f"floor (a no-op method call, len() on a small store): {fmt(floor)}/s; "
                  f"read-hot costs {floor / hot:.2f}x the floor"]
    lines += ["", "Configuration:"] + [f"  {s}: {CONFIG[s]}" for s in stores]
    lines += ["", f"summary: Corvid wins {wins} of {total} per-call comparisons; worst ratio "
              f"{worst[0]:.2f} ({worst[1]} vs {worst[2]})"]
    return "\n".join(lines), (wins, total, worst)


def chart(med, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    peers = [s for s in STORES if s in med and s != "corvid"]
    width = 0.8 / len(peers)
    fig, ax = plt.subplots(figsize=(11, 4.5))
    for i, p in enumerate(peers):
        ratios = [med["corvid"][w] / med[p][w] if w in med[p] else 0 for w in PER_CALL]
        ax.bar([x + i * width for x in range(len(PER_CALL))], ratios, width, label=p)
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_yscale("log")
    ax.set_xticks([x + width * (len(peers) - 1) / 2 for x in range(len(PER_CALL))])
    ax.set_xticklabels(PER_CALL)
    ax.set_ylabel("Corvid ops/s / peer ops/s (log)")
    ax.set_title("Corvid against its peers, per-call operations (above 1: Corvid faster)")
    ax.legend(ncol=len(peers), fontsize=8)
    fig.tight_layout()
    os.makedirs(os.path.dirname(path), exist_ok=True)
    fig.savefig(path, dpi=110)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--stores", default=",".join(STORES))
    ap.add_argument("--slow-n", type=int, default=5_000)
    ap.add_argument("--scale", action="store_true")
    ap.add_argument("--peers", default="lmdb,rocksdb")
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
    runs = {s: [] for s in stores}
    for rep in range(args.repeat):
        for s in stores:
            print(f"[{rep + 1}/{args.repeat}] {s}", file=sys.stderr, flush=True)
            n = min(args.n, args.slow_n) if s in SLOW else args.n
            runs[s].append(run_worker(s, n, args.workloads.split(",")))
    med = medians(runs)
    text, _ = report(med, args.n, args.repeat)
    if SLOW & set(stores):
        text = text.replace("\nConfiguration:", f"\n{', '.join(sorted(SLOW & set(stores)))} ran "
                            f"at N = {min(args.n, args.slow_n):,} (too slow at full size)."
                            "\n\nConfiguration:")
    print(text)
    with open(os.path.join(HERE, "results.json"), "w") as f:
        json.dump({"n": args.n, "repeat": args.repeat, "runs": runs, "medians": med}, f,
                  indent=1)
    chart(med, os.path.join(ROOT, "docs", "compare.png"))


def scale(args):
    stores = ["corvid"] + args.peers.split(",")
    sizes = [10**4, 10**5, 10**6, 10**7]
    results = {s: {} for s in stores}
    for n in sizes:
        for s in stores:
            print(f"scale {n:,} {s}", file=sys.stderr, flush=True)
            results[s][n] = run_worker(s, n, ["scale"])
    reopen = {}
    for s in ("corvid", "leveldb", "rocksdb"):
        reps = [run_worker(s, 10**6, ["reopen"])["reopen after persist"] for _ in range(3)]
        reopen[s] = statistics.median(reps)
    print(f"{'store':<10}{'N':>12}{'fill/s':>12}{'read/s':>12}{'delete/s':>12}")
    for s in stores:
        for n in sizes:
            r = results[s][n]
            print(f"{s:<10}{n:>12,}{fmt(r['fill']):>12}{fmt(r['read']):>12}"
                  f"{fmt(r['delete']):>12}")
    c = results["corvid"]
    for w in ("fill", "read", "delete", "loop"):
        print(f"corvid {w} at 10^7 / at 10^5: {c[10**7][w] / c[10**5][w]:.2f}")
    print("loop: len() called once per key of the shuffled key list, the benchmark's own cost")
    print("reopen after persist of 10^6 keys, seconds: " + ", ".join(
        f"{s} {1 / v:.4f}" for s, v in reopen.items()))
    for s in ("leveldb", "rocksdb"):
        print(f"corvid reopen / {s} reopen speed: {reopen['corvid'] / reopen[s]:.2f}")
    with open(os.path.join(HERE, "results-scale.json"), "w") as f:
        json.dump({"scale": results, "reopen": reopen}, f, indent=1)


if __name__ == "__main__":
    main()

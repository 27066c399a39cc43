"""Single-process throughput of the basic operations, and eviction cost.

Run: python bench/bench_store.py [--n 200000] [--repeat 3]
Prints medians of --repeat runs. Not a test: numbers depend on the machine.
"""
import argparse
import os
import random
import shutil
import statistics
import tempfile
import time

from _corvid import Corvid


def rate(n, fn):
    start = time.perf_counter()
    fn()
    return n / (time.perf_counter() - start)


def fresh(workdir, name, seed, n):
    """An empty directory, n random 16-byte keys and a 100-byte value."""
    path = os.path.join(workdir, name)
    shutil.rmtree(path, ignore_errors=True)
    rng = random.Random(seed)
    return path, [f"{rng.getrandbits(64):016x}" for _ in range(n)], bytes(range(100)), rng


def run_once(n, workdir):
    path, keys, value, rng = fresh(workdir, "db", 1, n)
    db = Corvid(path, cache_size=n)
    out = {}
    out["put/s"] = rate(n, lambda: [db.set_bytes(k, value) for k in keys])
    out["cached get/s"] = rate(n, lambda: [db.get_bytes(k) for k in keys])

    cold = Corvid(path + "-cold", cache_size=1)
    for k in keys:
        cold.set_bytes(k, value)
    shuffled = keys[:]
    rng.shuffle(shuffled)
    out["uncached get/s"] = rate(n, lambda: [cold.get_bytes(k) for k in shuffled])
    batches = [keys[i : i + 100] for i in range(0, n, 100)]
    db.clear_cache()
    out["get_many keys/s (cold)"] = rate(n, lambda: [db.get_many(b) for b in batches])
    out["get_many keys/s (hot)"] = rate(n, lambda: [db.get_many(b) for b in batches])
    del db, cold
    return out


def eviction_cost(capacity, workdir, inserts=200_000):
    """Seconds per put into a cache that is already full."""
    path = os.path.join(workdir, f"evict-{capacity}")
    shutil.rmtree(path, ignore_errors=True)
    db = Corvid(path, cache_size=capacity)
    for i in range(capacity):
        db.set_bytes(f"fill{i}", b"")
    assert db.cache_stats()[0] == capacity
    start = time.perf_counter()
    for i in range(inserts):
        db.set_bytes(f"new{i}", b"")
    elapsed = time.perf_counter() - start
    assert db.cache_stats()[0] == capacity
    return elapsed / inserts * 1e6


def vacuum_run(n, workdir):
    """Vacuum after half of n keys are overwritten and a quarter deleted."""
    path, keys, value, _ = fresh(workdir, "vac", 2, n)
    db = Corvid(path, cache_size=1000)
    for k in keys:
        db.set_bytes(k, value)
    for k in keys[::2]:
        db.set_bytes(k, value[::-1])
    for k in keys[1::4]:
        db.delete(k)

    def size():
        return sum(os.path.getsize(os.path.join(path, f))
                   for f in ("keys.bin", "vals.bin", "offsets.bin"))

    before = size()
    start = time.perf_counter()
    db.vacuum()
    return time.perf_counter() - start, before, size()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    workdir = tempfile.mkdtemp(prefix="corvid-bench-")
    try:
        runs = [run_once(args.n, workdir) for _ in range(args.repeat)]
        print(f"{args.n} keys of 16 bytes, 100-byte values, median of {args.repeat}:")
        for name in runs[0]:
            print(f"  {name:<24} {statistics.median(r[name] for r in runs):>12,.0f}")
        vac = [vacuum_run(args.n, workdir) for _ in range(args.repeat)]
        seconds = statistics.median(v[0] for v in vac)
        print(f"vacuum (half overwritten, a quarter deleted): {seconds:.3f} s, data files "
              f"{vac[0][1]:,} -> {vac[0][2]:,} bytes")
        print("put into a full cache (eviction included), median microseconds per put:")
        for capacity in (10_000, 1_000_000):
            cost = statistics.median(eviction_cost(capacity, workdir) for _ in range(args.repeat))
            print(f"  capacity {capacity:>9,}   {cost:8.2f} us")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()

"""The main job: open a store, write, read back, delete, and report timings."""
import os
import sys
import time

from _corvid import Corvid

N = 5000


def timed(label, fn):
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    print(f"{label:<34} {elapsed * 1000:9.2f} ms")
    return result


def data_size(path):
    return sum(os.path.getsize(os.path.join(path, n)) for n in ("keys.bin", "vals.bin"))


def main(path):
    db = timed(f"open {path!r}", lambda: Corvid(path, cache_size=1000))
    print(f"{'  keys at open':<34} {db.len():9d}")
    print(f"{'  cache at open (entries, capacity)':<34} {db.cache_stats()}")

    items = {f"user:{i:06d}": f"profile of user {i}".encode() for i in range(N)}
    for key in db.keys():  # start from a clean slate on a second run
        db.delete(key)

    def write():
        for k, v in items.items():
            db.set_bytes(k, v)

    timed(f"put {N} keys", write)

    def read_all():
        return all(db.get_bytes(k) == v for k, v in items.items())

    assert timed(f"get {N} keys (cache of 1000)", read_all)
    db.clear_cache()
    assert timed(f"get {N} keys (cache cleared)", read_all)
    assert timed(f"get_many {N} keys", lambda: db.get_many(list(items))) == list(items.items())

    doomed = list(items)[::4]
    timed(f"delete {len(doomed)} keys", lambda: [db.delete(k) for k in doomed])
    for k in doomed:
        del items[k]
    assert db.len() == len(items)
    assert sorted(db.keys()) == sorted(items)
    print(f"{'  keys now':<34} {db.len():9d}")
    print(f"{'  cache (entries, capacity)':<34} {db.cache_stats()}")

    timed("persist", db.persist)
    del db
    db = timed("reopen after persist", lambda: Corvid(path, cache_size=1000))
    back = dict(db.get_many(list(items)))
    assert back == items and sorted(db.keys()) == sorted(items)
    print(f"{'  every value came back':<34} {len(back):9d}")

    for k in list(items)[::2]:
        items[k] = items[k].upper()
        db.set_bytes(k, items[k])
    for k in list(items)[1::3]:
        del items[k]
        db.delete(k)
    print(f"{'  data files before vacuum':<34} {data_size(path):9d} bytes")
    timed("vacuum", db.vacuum)
    print(f"{'  data files after vacuum':<34} {data_size(path):9d} bytes")
    del db
    db = timed("reopen after vacuum", lambda: Corvid(path, cache_size=1000))
    assert dict(db.get_many(list(items))) == items and db.len() == len(items)
    print(f"{'  every value verified':<34} {len(items):9d}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "demo-data")

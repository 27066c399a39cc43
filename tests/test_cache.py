"""The value cache: capacity in entries, least recently used evicted."""
import os

from conftest import Corvid


def cached_after_truncation(db, path, keys):
    """Which keys are answered from the cache: empty the data files first."""
    for name in ("keys.bin", "vals.bin"):
        with open(os.path.join(path, name), "r+b") as f:
            f.truncate(0)
    found = []
    for k in keys:
        try:
            if db.get_bytes(k) is not None:
                found.append(k)
        except BaseException:  # noqa: B036 - a read of the truncated files panics
            pass
    return found


def test_capacity_two_evicts_the_oldest(path):
    db = Corvid(path, 2)
    for k in ("k1", "k2", "k3"):
        db.set_bytes(k, k.encode())
    assert db.cache_stats() == (2, 2)
    assert cached_after_truncation(db, path, ["k1", "k2", "k3"]) == ["k2", "k3"]


def test_a_hit_refreshes(path):
    db = Corvid(path, 2)
    db.set_bytes("k1", b"1")
    db.set_bytes("k2", b"2")
    assert db.get_bytes("k1") == b"1"
    db.set_bytes("k3", b"3")
    assert cached_after_truncation(db, path, ["k1", "k2", "k3"]) == ["k1", "k3"]


def test_put_of_cached_key_never_evicts(path):
    db = Corvid(path, 2)
    db.set_bytes("k1", b"1")
    db.set_bytes("k2", b"2")
    db.set_bytes("k1", b"11")
    assert db.cache_stats() == (2, 2)
    assert cached_after_truncation(db, path, ["k1", "k2"]) == ["k1", "k2"]


def test_capacity_zero_holds_one_entry(path):
    db = Corvid(path, 0)
    db.set_bytes("a", b"1")
    assert db.cache_stats() == (1, 0)
    db.set_bytes("b", b"2")
    assert db.cache_stats() == (1, 0)
    assert cached_after_truncation(db, path, ["a", "b"]) == ["b"]


def test_reads_fill_the_cache(path):
    db = Corvid(path, 3)
    for k in "abcd":
        db.set_bytes(k, k.encode())
    db.clear_cache()
    assert db.cache_stats() == (0, 3)
    assert db.get_bytes("a") == b"a"
    assert db.cache_stats() == (1, 3)
    assert db.get_bytes("missing") is None
    assert db.cache_stats() == (1, 3)
    assert [v for _, v in db.get_many(["b", "c", "d", "b"])] == [b"b", b"c", b"d", b"b"]
    # a was least recent when d came in; b was refreshed last.
    assert cached_after_truncation(db, path, ["a", "b", "c", "d"]) == ["b", "c", "d"]


def test_clear_and_delete(path):
    db = Corvid(path)
    assert db.cache_stats() == (0, 10000)
    db.set_bytes("a", b"1")
    db.set_bytes("b", b"2")
    assert db.clear_cache() is None
    assert db.cache_stats() == (0, 10000)
    assert db.get_bytes("a") == b"1" and db.get_bytes("b") == b"2"
    assert db.cache_stats() == (2, 10000)
    db.delete("a")
    assert db.cache_stats() == (1, 10000)
    db.delete("a")
    assert db.cache_stats() == (1, 10000)

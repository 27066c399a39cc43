"""Reopening: snapshot load, log replay, and what damage is tolerated."""
import os

import pytest

from conftest import NOBODY, Corvid, file_bytes, file_size, run_python


def fill(path, n=50):
    db = Corvid(path)
    for i in range(n):
        db.set_bytes(f"k{i}", f"v{i}".encode())
    return db


def expect_all(db, n=50):
    assert db.len() == n
    assert db.get_many([f"k{i}" for i in range(n)]) == [
        (f"k{i}", f"v{i}".encode()) for i in range(n)
    ]


class TestReplay:
    def test_never_persisted(self, path):
        db = fill(path)
        db.delete("k3")
        db.set_bytes("k3", b"v3")
        db.set_bytes("k4", b"tmp")
        db.set_bytes("k4", b"v4")
        del db
        db = Corvid(path)
        expect_all(db)
        assert db.keys()[-2:] == ["k3", "k4"]
        # A put after the reopen reads back too.
        db.set_bytes("new", b"1")
        db.clear_cache()
        assert db.get_bytes("new") == b"1"

    def test_replayed_delete_of_absent_key(self, path):
        db = Corvid(path)
        db.delete("ghost")
        db.set_bytes("a", b"1")
        del db
        db = Corvid(path)
        assert db.keys() == ["a"] and db.get_bytes("ghost") is None

    def test_cache_holds_the_last_replayed_values(self, path):
        db = Corvid(path, 3)
        for i in range(10):
            db.set_bytes(f"k{i}", b"x")
        del db
        assert Corvid(path, 3).cache_stats() == (3, 3)
        assert Corvid(path, 100).cache_stats() == (10, 100)

    @pytest.mark.parametrize("cache_size", [0, 7, 400, 5000])
    def test_replay_matches_the_writes(self, path, cache_size):
        # Overwrites, deletes of present and absent keys, keys put again
        # after a delete, a persist part way: the replay must leave what the
        # writes left, the data files as they were, and the cache what
        # least-recently-used replacement holds after the log's changes.
        import random
        from collections import OrderedDict

        import corvid

        rng = random.Random(cache_size)
        model, cache = {}, OrderedDict()
        room = max(cache_size, 1)
        db = Corvid(path, cache_size)
        for step in range(6000):
            key = f"k{rng.randrange(900)}"
            if rng.random() < 0.7:
                value = rng.randbytes(rng.randrange(30))
                db.set_bytes(key, value)
                model[key] = value
                if key not in cache and len(cache) >= room:
                    cache.popitem(last=False)
                cache[key] = value
                cache.move_to_end(key)
            else:
                db.delete(key)
                model.pop(key, None)
                cache.pop(key, None)
            if step == 2500:
                db.persist()
                cache.clear()  # a reopen replays only what comes after
        keys_order = db.keys()
        files = {n: file_bytes(path, n) for n in ("keys.bin", "vals.bin", "offsets.bin")}
        del db
        with corvid.open(path, readonly=True, cache_size=cache_size) as ro:
            assert ro.stats().cache_entries == len(cache)
        db = Corvid(path, cache_size)
        assert db.cache_stats() == (len(cache), cache_size)
        assert db.len() == len(model)
        assert db.keys() == keys_order
        assert dict(db.get_many(list(model))) == model
        assert {n: file_bytes(path, n) for n in files} == files

    def test_replay_writes_what_the_files_lack(self, path):
        db = Corvid(path)
        for i in range(3000):
            db.set_bytes(f"k{i}", b"%d" % i * 20)
        for i in range(0, 3000, 3):
            db.delete(f"k{i}")
        del db
        files = {n: file_bytes(path, n) for n in ("keys.bin", "vals.bin")}
        # The values' tail never reached the file, a byte in the middle went
        # bad: the replay puts both right.
        with open(os.path.join(path, "vals.bin"), "r+b") as f:
            f.truncate(len(files["vals.bin"]) // 2)
            f.seek(1000)
            f.write(b"?")
        db = Corvid(path)
        assert {n: file_bytes(path, n) for n in files} == files
        assert db.len() == 2000 and db.get_bytes("k2999") == b"2999" * 20

    @pytest.mark.parametrize("cut", [1, 5, 15, 23])  # value, key, length, tag
    def test_torn_last_entry(self, path, cut):
        db = fill(path, 10)
        del db
        full = file_size(path, "wal.bin")
        with open(os.path.join(path, "wal.bin"), "r+b") as f:
            f.truncate(full - cut)
        db = Corvid(path)
        assert db.len() == 9 and db.get_bytes("k9") is None
        assert file_size(path, "wal.bin") == full - 24  # the torn entry is cut off


class TestSnapshot:
    def test_persist_then_more_writes(self, path):
        db = fill(path)
        db.persist()
        db.set_bytes("k1", b"newer")
        db.delete("k2")
        db.set_bytes("extra", b"e")
        del db
        db = Corvid(path)
        assert db.len() == 50
        assert db.get_bytes("k1") == b"newer" and db.get_bytes("k2") is None
        assert db.get_bytes("extra") == b"e" and db.get_bytes("k40") == b"v40"
        db.set_bytes("after", b"a")
        db.clear_cache()
        assert db.get_bytes("after") == b"a" and db.get_bytes("extra") == b"e"

    def test_keys_lists_snapshot_records_in_record_order(self, path):
        db = fill(path, 5)
        db.set_bytes("k0", b"v0")  # k0 moves to the end
        db.persist()
        del db
        db = Corvid(path)
        assert db.keys() == ["k1", "k2", "k3", "k4", "k0"]
        db.set_bytes("k2", b"v2")
        assert db.keys() == ["k1", "k3", "k4", "k0", "k2"]

    @pytest.mark.parametrize("damage", ["truncate", "empty", "garbage-bitmap"])
    def test_undecodable_snapshot_is_ignored(self, path, damage):
        db = Corvid(path)
        db.set_bytes("old", b"o")
        db.persist()
        db.set_bytes("new", b"n")
        del db
        snap = os.path.join(path, "snapshot.bin")
        data = file_bytes(path, "snapshot.bin")
        if damage == "truncate":
            data = data[:-1]
        elif damage == "empty":
            data = b""
        else:
            data = data[:28] + b"\xff\xff" + data[30:]  # the live set's cookie
        with open(snap, "wb") as f:
            f.write(data)
        db = Corvid(path)
        # The state comes from the data files' lengths and the log alone.
        assert db.get_bytes("old") is None
        assert db.get_bytes("new") == b"n"
        assert db.len() == 1

    def test_extra_bytes_after_snapshot(self, path):
        db = fill(path, 5)
        db.persist()
        del db
        with open(os.path.join(path, "snapshot.bin"), "ab") as f:
            f.write(b"trailing bytes")
        expect_all(Corvid(path), 5)

    def test_unreadable_snapshot(self, shared_tmp):
        path = os.path.join(shared_tmp, "db")
        db = fill(path, 3)
        db.persist()
        del db
        for name in os.listdir(path):
            os.chown(os.path.join(path, name), NOBODY, NOBODY)
        os.chown(path, NOBODY, NOBODY)
        os.chmod(os.path.join(path, "snapshot.bin"), 0)
        out = run_python(
            "import _corvid\n"
            "try:\n"
            f"    _corvid.Corvid({path!r})\n"
            "except PermissionError as e:\n"
            "    print('raised', e)\n",
            user=NOBODY,
        )
        assert out.stdout.strip() == "raised Permission denied (os error 13)", out.stderr


class TestMendedFaults:
    def test_garbage_after_log_is_cut_before_appending(self, path):
        db = fill(path, 3)
        del db
        with open(os.path.join(path, "wal.bin"), "ab") as f:
            f.write(b"\x07garbage")
        good = file_size(path, "wal.bin") - 8
        db = Corvid(path)
        assert file_size(path, "wal.bin") == good
        db.set_bytes("after", b"a")
        del db
        db = Corvid(path)
        assert db.get_bytes("after") == b"a"
        assert db.len() == 4

    def test_persisted_keys_are_listed_after_reopen(self, path):
        db = fill(path, 20)
        db.delete("k5")
        db.persist()
        del db
        db = Corvid(path)
        assert db.keys() == [f"k{i}" for i in range(20) if i != 5]
        assert db.len() == 19

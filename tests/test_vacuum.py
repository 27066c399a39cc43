"""vacuum(): compacted files, renumbered records, and a reopen that agrees."""
import os
import struct

import pytest

from conftest import Corvid, file_bytes, file_size, run_python


def row(path, n):
    return struct.unpack("<QIQI", file_bytes(path, "offsets.bin")[n * 24 : n * 24 + 24])


def contents(db, keys):
    return db.len(), db.keys(), db.get_many(keys)


class TestCompaction:
    def test_renumbers_and_rewrites(self, path):
        db = Corvid(path)
        db.set_bytes("a", b"1")
        db.set_bytes("b", b"22")
        db.set_bytes("a", b"333")
        assert db.vacuum() is None
        assert file_bytes(path, "keys.bin") == b"ba"
        assert file_bytes(path, "vals.bin") == b"22333"
        assert row(path, 0) == (0, 1, 0, 2)
        assert row(path, 1) == (1, 1, 2, 3)
        assert file_bytes(path, "offsets.bin")[48:] == bytes(2_400_000 - 48)
        assert db.keys() == ["b", "a"]
        assert db.get_bytes("a") == b"333" and db.get_bytes("b") == b"22"
        # record_count is 2: the next put takes row 2.
        db.set_bytes("c", b"c")
        assert row(path, 2) == (2, 1, 5, 1)
        assert not [n for n in os.listdir(path) if n.endswith((".vac", ".tmp"))]

    @pytest.mark.parametrize("delete_all", [False, True])
    def test_empty_result(self, path, delete_all):
        db = Corvid(path)
        if delete_all:
            for k in "abc":
                db.set_bytes(k, b"x")
                db.delete(k)
        db.vacuum()
        assert file_size(path, "keys.bin") == 0 and file_size(path, "vals.bin") == 0
        assert file_bytes(path, "offsets.bin") == bytes(2_400_000)
        assert db.len() == 0 and db.keys() == []
        db.set_bytes("n", b"1")
        assert row(path, 0) == (0, 1, 0, 1)

    def test_no_garbage_same_content_cache_emptied(self, path):
        db = Corvid(path)
        for i in range(10):
            db.set_bytes(f"k{i}", bytes([i]) * i)
        before = [file_bytes(path, n) for n in ("keys.bin", "vals.bin", "offsets.bin")]
        assert db.cache_stats() == (10, 10000)
        db.vacuum()
        assert db.cache_stats() == (0, 10000)
        assert [file_bytes(path, n) for n in ("keys.bin", "vals.bin", "offsets.bin")] == before
        assert db.get_bytes("k9") == b"\x09" * 9

    def test_keys_complete_after_snapshot_reopen(self, path):
        db = Corvid(path)
        for k in "abcd":
            db.set_bytes(k, k.encode())
        db.persist()
        del db
        db = Corvid(path)
        db.set_bytes("b", b"B")
        db.vacuum()
        assert db.keys() == ["a", "c", "d", "b"]

    @pytest.mark.slow
    def test_large_table_capacity(self, path):
        db = Corvid(path, 0)
        for i in range(150_000):
            db.set_bytes(str(i), b"")
        db.delete("0")
        db.set_bytes("0", b"")
        db.vacuum()
        assert file_size(path, "offsets.bin") == 3_600_000
        db.set_bytes("next", b"")
        assert file_size(path, "offsets.bin") == 7_200_000
        assert db.len() == 150_001


    def test_large_store_copies_every_record(self, path):
        # Several read spans of each file, overwrites and deletes between.
        db = Corvid(path)
        for i in range(60000):
            db.set_bytes(f"key{i}", bytes([i % 251]) * (i % 300))
        for i in range(0, 60000, 3):
            db.set_bytes(f"key{i}", b"new%d" % i)
        for i in range(1, 60000, 7):
            db.delete(f"key{i}")
        expected = {k: db.get_bytes(k) for k in (f"key{i}" for i in range(60000))}
        db.vacuum()
        for reopen in (False, True):
            if reopen:
                del db
                db = Corvid(path)
            assert {k: db.get_bytes(k) for k in expected} == expected
            assert db.len() == sum(v is not None for v in expected.values())

    def test_two_live_records_of_one_key_copy_as_two_puts(self, path):
        # Damage: a key byte changed on disk makes record 1 a second "a".
        # The copy keeps the later record, as replaying both puts would.
        db = Corvid(path)
        db.set_bytes("a", b"first")
        db.set_bytes("b", b"second")
        db.persist()
        del db
        keys = bytearray(file_bytes(path, "keys.bin"))
        assert keys == b"ab"
        with open(os.path.join(path, "keys.bin"), "wb") as f:
            f.write(b"aa")
        db = Corvid(path)
        db.vacuum()
        assert db.len() == 1
        assert db.get_bytes("a") == b"second" and db.get_bytes("b") is None
        del db
        db = Corvid(path)
        assert db.len() == 1 and db.get_bytes("a") == b"second"


class TestReopen:
    def test_reopen_after_vacuum(self, path):
        db = Corvid(path)
        keys = [f"k{i}" for i in range(300)]
        for i, k in enumerate(keys):
            db.set_bytes(k, str(i).encode())
        for k in keys[::3]:
            db.set_bytes(k, b"again")
        for k in keys[1::5]:
            db.delete(k)
        db.persist()
        db.set_bytes("k2", b"after persist")
        db.vacuum()
        expected = contents(db, keys)
        assert file_size(path, "wal.bin") == 0
        del db
        assert contents(Corvid(path), keys) == expected

    def test_vacuum_more_writes_reopen(self, path):
        db = Corvid(path)
        for i in range(50):
            db.set_bytes(f"k{i}", b"v" * i)
        for i in range(0, 50, 2):
            db.delete(f"k{i}")
        db.vacuum()
        db.set_bytes("k1", b"new")
        db.delete("k3")
        db.set_bytes("extra", b"e")
        keys = [f"k{i}" for i in range(50)] + ["extra"]
        expected = contents(db, keys)
        del db
        db = Corvid(path)
        assert contents(db, keys) == expected
        db.vacuum()
        assert contents(db, keys) == expected


class TestFailures:
    @pytest.mark.parametrize("name", ["keys.bin.vac", "offsets.bin.vac"])
    def test_copy_failure_raises_plain_oserror(self, path, name):
        db = Corvid(path)
        db.set_bytes("a", b"1")
        db.set_bytes("a", b"2")
        os.mkdir(os.path.join(path, name))
        with pytest.raises(OSError) as info:
            db.vacuum()
        assert type(info.value) is OSError
        assert str(info.value) == "Is a directory (os error 21)"
        assert os.path.isdir(os.path.join(path, name))
        db.set_bytes("b", b"3")
        db.clear_cache()
        assert db.get_bytes("a") == b"2" and db.get_bytes("b") == b"3"
        assert db.keys() == ["a", "b"]
        del db
        # The leftovers of a vacuum that never committed are ignored.
        db = Corvid(path)
        assert db.get_many(["a", "b"]) == [("a", b"2"), ("b", b"3")]

    def test_missing_file_is_plain_oserror(self, path):
        db = Corvid(path)
        os.rename(path, path + "-moved")
        with pytest.raises(OSError) as info:
            db.vacuum()
        assert type(info.value) is OSError  # not FileNotFoundError
        assert str(info.value) == "No such file or directory (os error 2)"


class TestCrashes:
    def crash_at(self, path, point):
        out = run_python(
            "import _corvid\n"
            f"db = _corvid.Corvid({path!r})\n"
            "for i in range(200):\n"
            "    db.set_bytes(f'k{i}', bytes([i % 256]) * (i % 50))\n"
            "db.persist()\n"
            "for i in range(0, 200, 3):\n"
            "    db.set_bytes(f'k{i}', b'second')\n"
            "for i in range(1, 200, 7):\n"
            "    db.delete(f'k{i}')\n"
            "db.vacuum()\n"
            "print('survived')\n",
            env={"CORVID_CRASH_AT": point},
        )
        assert out.returncode == -9 and "survived" not in out.stdout, out.stderr

    def expected(self):
        state = {f"k{i}": bytes([i % 256]) * (i % 50) for i in range(200)}
        for i in range(0, 200, 3):
            state.pop(f"k{i}")
            state[f"k{i}"] = b"second"
        for i in range(1, 200, 7):
            state.pop(f"k{i}", None)
        return state

    @pytest.mark.parametrize(
        "point", ["vacuum-copied", "vacuum-committed", "vacuum-renamed-one", "vacuum-installed"]
    )
    def test_reopen_after_crash_inside_vacuum(self, path, point):
        self.crash_at(path, point)
        state = self.expected()
        db = Corvid(path)
        assert db.len() == len(state)
        assert db.keys() == list(state)
        assert dict(db.get_many(list(state))) == state
        assert not [n for n in os.listdir(path) if n.endswith(".vac")]
        db.set_bytes("after", b"1")
        del db
        db = Corvid(path)
        assert db.get_bytes("after") == b"1" and db.len() == len(state) + 1

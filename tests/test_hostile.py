"""Hostile files and input: refused quickly and clearly, nothing lost."""
import os
import stat
import struct
import time

import pytest

from conftest import SANITIZED, Corvid, file_bytes, file_size, panic_class, run_python

EMPTY_SET = struct.pack("<Q", 8) + bytes.fromhex("3a30000000000000")


def run_set(ids_payload):
    return struct.pack("<Q", len(ids_payload)) + ids_payload


def all_ids_payload():
    """A portable Roaring payload naming every 32-bit id: 65,536 run containers."""
    count = 65536
    header = struct.pack("<I", 12347 | (count - 1) << 16) + b"\xff" * (count // 8)
    header += b"".join(struct.pack("<HH", key, 65535) for key in range(count))
    header += b"".join(struct.pack("<I", 0) for _ in range(count))  # offsets, unchecked here
    return header + struct.pack("<HHH", 1, 0, 65535) * count


class TestHostileSnapshot:
    def test_a_set_of_every_id_is_refused_at_once(self, path):
        db = Corvid(path)
        db.set_bytes("kept", b"in the log")
        del db
        payload = all_ids_payload()
        snapshot = (struct.pack("<Q", 0) + run_set(payload) + EMPTY_SET
                    + struct.pack("<IQQ", 2**32 - 1, 0, 0))
        assert len(snapshot) < 1_000_000
        with open(os.path.join(path, "snapshot.bin"), "wb") as f:
            f.write(snapshot)
        start = time.perf_counter()
        # Its largest id is not below its record_count: read from the
        # headers, not by building four billion ids.
        with pytest.raises(OSError, match="record sets name ids at or above its record_count"):
            Corvid(path)
        assert time.perf_counter() - start < 2
        os.remove(os.path.join(path, "snapshot.bin"))
        assert Corvid(path).get_bytes("kept") == b"in the log"

    def test_a_row_claiming_four_gigabytes_is_damage(self, path):
        db = Corvid(path)
        db.set_bytes("a", b"1")
        db.set_bytes("b", b"2")
        db.persist()
        with open(os.path.join(path, "offsets.bin"), "r+b") as f:
            f.seek(24 + 20)  # val_len of row 1
            f.write(struct.pack("<I", 2**32 - 1))
        db.clear_cache()
        with pytest.raises(panic_class(), match="failed to fill whole buffer"):
            db.get_bytes("b")
        assert db.get_bytes("a") == b"1"


def array_set(ids):
    """A portable Roaring set of ids below 65,536: one array container."""
    payload = struct.pack("<IIHHI", 12346, 1, 0, len(ids) - 1, 16)
    return run_set(payload + b"".join(struct.pack("<H", i) for i in ids))


def rewrite_snapshot(path, keep_ids, record_count=None):
    """snapshot.bin with only the live records `keep_ids` (index and live
    set), and record_count replaced when given."""
    name = os.path.join(path, "snapshot.bin")
    snap = file_bytes(path, "snapshot.bin")
    n = struct.unpack_from("<Q", snap)[0]
    pairs = [snap[8 + 12 * i:20 + 12 * i] for i in range(n)]
    at = 8 + 12 * n
    at += 8 + struct.unpack_from("<Q", snap, at)[0]  # the live set
    dead_end = at + 8 + struct.unpack_from("<Q", snap, at)[0]
    count, keys_end, vals_end = struct.unpack_from("<IQQ", snap, dead_end)
    kept = [p for p in pairs if struct.unpack_from("<I", p, 8)[0] in keep_ids]
    with open(name, "wb") as f:
        f.write(struct.pack("<Q", len(kept)) + b"".join(kept) + array_set(sorted(keep_ids))
                + snap[at:dead_end]
                + struct.pack("<IQQ", count if record_count is None else record_count,
                              keys_end, vals_end))


class TestOlderStores:
    def test_a_hole_in_the_table_does_not_damage_its_neighbours(self, path):
        # An earlier version could leave a row that is no record at all
        # (zeros, in neither set) behind a put that failed.
        db = Corvid(path)
        for key in ("a", "b", "c"):
            db.set_bytes(key, key.encode() * 3)
        db.persist()
        del db
        rewrite_snapshot(path, {0, 2})
        with open(os.path.join(path, "offsets.bin"), "r+b") as f:
            f.seek(24)
            f.write(bytes(24))
        db = Corvid(path)
        assert db.get_bytes("a") == b"aaa" and db.get_bytes("c") == b"ccc"
        assert db.get_bytes("b") is None and db.len() == 2
        db.set_bytes("d", b"ddd")
        db.clear_cache()
        assert dict(db.get_many(["a", "c", "d"])) == {"a": b"aaa", "c": b"ccc", "d": b"ddd"}

    def test_a_record_count_short_of_the_sets_is_refused_and_salvaged(self, path, tmp_path):
        from test_cli import CLI, run
        if CLI is None:
            pytest.skip("the corvid program is not built")
        db = Corvid(path)
        for i in range(100):
            db.set_bytes(f"k{i}", bytes([i]) * i)
        db.persist()
        del db
        rewrite_snapshot(path, set(range(100)), record_count=50)
        with pytest.raises(OSError, match="record_count 50; `corvid salvage "):
            Corvid(path)
        target = str(tmp_path / "saved")
        out = run("salvage", path, target)
        assert out.returncode == 0, out.stdout + out.stderr
        saved = Corvid(target)
        assert saved.len() == 100
        assert dict(saved.get_many([f"k{i}" for i in range(100)])) == {
            f"k{i}": bytes([i]) * i for i in range(100)}


class TestNonRegularFiles:
    @pytest.mark.parametrize("name", ["wal.bin", "snapshot.bin", "keys.bin"])
    def test_a_fifo_is_refused_without_blocking(self, path, name):
        Corvid(path)
        if os.path.exists(os.path.join(path, name)):
            os.remove(os.path.join(path, name))
        os.mkfifo(os.path.join(path, name))
        out = run_python(
            "import _corvid\n"
            "try:\n"
            f"    _corvid.Corvid({path!r})\n"
            "except BaseException as e:\n"
            "    print(type(e).__name__, e)\n",
            timeout=20,
        )
        assert "is not a regular file" in out.stdout, out.stdout + out.stderr
        assert stat.S_ISFIFO(os.stat(os.path.join(path, name)).st_mode)

    def test_an_unremovable_vacuum_snapshot_fails_the_open(self, path):
        Corvid(path).set_bytes("k", b"v")
        os.mkdir(os.path.join(path, "snapshot.bin.vac"))
        with pytest.raises(OSError, match="Is a directory"):
            Corvid(path)
        os.rmdir(os.path.join(path, "snapshot.bin.vac"))
        assert Corvid(path).get_bytes("k") == b"v"


class TestFilesKeepTheirSize:
    def test_a_store_never_persisted_reopens_over_its_own_bytes(self, path):
        db = Corvid(path)
        for i in range(1000):
            db.set_bytes(f"k{i}", bytes([i % 256]) * 1000)
        db.delete("k7")
        del db
        sizes = [(file_size(path, "keys.bin"), file_size(path, "vals.bin"))]
        for _ in range(4):
            db = Corvid(path)
            assert db.len() == 999 and db.get_bytes("k999") == bytes([999 % 256]) * 1000
            del db
            sizes.append((file_size(path, "keys.bin"), file_size(path, "vals.bin")))
        assert len(set(sizes)) == 1, sizes
        db = Corvid(path)
        db.set_bytes("after", b"x")
        db.clear_cache()
        assert db.get_bytes("after") == b"x" and db.get_bytes("k0") == bytes(1000)

    def test_a_log_that_starts_later_is_appended_behind(self, path):
        db = Corvid(path)
        db.set_bytes("old", b"first")
        db.persist()
        db.set_bytes("new", b"second")
        del db
        os.remove(os.path.join(path, "snapshot.bin"))  # a store that lost its snapshot
        before = file_bytes(path, "vals.bin")
        db = Corvid(path)
        assert db.get_bytes("new") == b"second"
        # What only the lost snapshot referred to is not overwritten.
        assert file_bytes(path, "vals.bin").startswith(before)


class TestFailedWorkLeavesNothing:
    def test_a_failed_vacuum_removes_its_copies(self, path):
        db = Corvid(path)
        db.set_bytes("a", b"1")
        os.mkdir(os.path.join(path, "offsets.bin.vac"))  # the third copy cannot be made
        with pytest.raises(OSError):
            db.vacuum()
        assert sorted(n for n in os.listdir(path) if n.endswith(".vac")) == ["offsets.bin.vac"]
        assert db.get_bytes("a") == b"1"


class TestReleaseThatCannotWrite:
    def test_the_loss_is_reported(self, path):
        out = run_python(
            "import resource, signal, sys, gc, _corvid\n"
            "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
            "seen = []\n"
            "sys.unraisablehook = lambda u: seen.append((type(u.exc_value).__name__, "
            "str(u.exc_value)))\n"
            f"db = _corvid.Corvid({path!r})\n"
            "# Room for the data files' 6,000 bytes, not for the log's 7,260 in its buffer.\n"
            "resource.setrlimit(resource.RLIMIT_FSIZE, (7000, resource.RLIM_INFINITY))\n"
            "for i in range(60):\n"
            "    db.set_bytes(f'k{i:02}', b'v' * 100)\n"
            "del db\n"
            "gc.collect()\n"
            "print(seen)\n",
        )
        assert out.returncode == 0, out.stderr
        assert "OSError" in out.stdout and "could not be written out at release" in out.stdout
        assert f"storage directory '{path}'" in out.stdout


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime reserves address space of its own")
class TestMemory:
    def test_allocation_failures_are_memory_errors(self, path):
        out = run_python(
            "import resource, _corvid\n"
            f"db = _corvid.Corvid({path!r})\n"
            "db.set_bytes('small', b'kept')\n"
            "class Liar:\n"
            "    def __len__(self): return 2**40\n"
            "    def __getitem__(self, i):\n"
            "        if i < 3: return 65\n"
            "        raise IndexError\n"
            "db.set_bytes('liar', Liar())\n"
            "print(db.get_bytes('liar'))\n"
            "big = bytes(150 << 20)\n"
            "import os\n"
            "# 100 MB of room above what the process has mapped: the copy of the\n"
            "# value cannot be had.\n"
            "mapped = int(open('/proc/self/statm').read().split()[0]) * os.sysconf('SC_PAGE_SIZE')\n"
            "resource.setrlimit(resource.RLIMIT_AS, (mapped + (100 << 20), resource.RLIM_INFINITY))\n"
            "try:\n"
            "    db.set_bytes('big', big)\n"
            "except MemoryError:\n"
            "    print('MemoryError')\n"
            "print(db.get_bytes('big'), db.get_bytes('small'))\n",
        )
        assert out.returncode == 0, out.stderr
        assert out.stdout.split("\n")[:3] == ["b'AAA'", "MemoryError", "None b'kept'"], out.stdout

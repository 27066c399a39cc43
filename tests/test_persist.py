"""persist(): the snapshot's bytes, the temporary file, the log, failures."""
import os
import random
import struct

import pytest

from conftest import NOBODY, Corvid, file_bytes, file_size, run_python

EMPTY_SET = bytes.fromhex("0800000000000000" "3a30000000000000")
HASH_A = 0x719B50B9A4F0E9F3


def test_empty_store_snapshot(path):
    db = Corvid(path)
    assert db.persist() is None
    assert file_bytes(path, "snapshot.bin") == bytes(8) + EMPTY_SET + EMPTY_SET + bytes(20)
    assert sorted(os.listdir(path)) == ["keys.bin", "offsets.bin", "snapshot.bin", "vals.bin",
                                        "wal.bin"]
    assert file_size(path, "wal.bin") == 0


def test_one_put_snapshot(path):
    db = Corvid(path)
    db.set_bytes("a", b"xyz")
    db.persist()
    data = file_bytes(path, "snapshot.bin")
    live = bytes.fromhex("1200000000000000" "3a300000" "01000000" "00000000" "10000000" "0000")
    expected = (
        (1).to_bytes(8, "little") + HASH_A.to_bytes(8, "little") + bytes(4)
        + live + EMPTY_SET
        + (1).to_bytes(4, "little") + (1).to_bytes(8, "little") + (3).to_bytes(8, "little")
    )
    assert data == expected and len(data) == 82
    assert file_size(path, "wal.bin") == 0


def test_persist_twice_and_leftover_tmp(path):
    db = Corvid(path)
    db.set_bytes("a", b"1")
    db.set_bytes("b", b"2")
    db.delete("a")
    db.persist()
    first = file_bytes(path, "snapshot.bin")
    with open(os.path.join(path, "snapshot.bin.tmp"), "wb") as f:
        f.write(b"garbage" * 1000)
    db.persist()
    second = file_bytes(path, "snapshot.bin")
    assert len(first) == len(second)  # only the index pairs' order may differ
    assert first[-20:] == second[-20:]
    assert not os.path.exists(os.path.join(path, "snapshot.bin.tmp"))
    db2 = Corvid(path)
    assert db2.len() == 1 and db2.get_bytes("b") == b"2" and db2.get_bytes("a") is None


def test_log_after_persist_holds_only_later_entries(path):
    db = Corvid(path)
    # Fill the buffer so that the third entry straddles the 8,192-byte mark.
    db.set_bytes("a", bytes(4000))
    db.set_bytes("b", bytes(4000))
    db.set_bytes("c", bytes(1000))
    db.persist()
    assert file_size(path, "wal.bin") == 0
    db.set_bytes("d", b"later")
    db.delete("a")
    del db
    later = (bytes(4) + (1).to_bytes(8, "little") + b"d" + (5).to_bytes(8, "little") + b"later"
             + (1).to_bytes(4, "little") + (1).to_bytes(8, "little") + b"a")
    assert file_bytes(path, "wal.bin") == later
    db = Corvid(path)
    assert db.get_bytes("d") == b"later"
    assert db.get_bytes("a") is None
    assert db.get_bytes("b") == bytes(4000) and db.get_bytes("c") == bytes(1000)
    assert db.len() == 3


def test_killed_right_after_rename_reopens_to_persisted_state(path):
    out = run_python(
        "import _corvid\n"
        f"db = _corvid.Corvid({path!r})\n"
        "db.set_bytes('k', b'old')\n"
        "db.set_bytes('filler', bytes(9000))\n"  # pushes 'old' to the file
        "db.set_bytes('k', b'new')\n"  # still in the buffer
        "db.delete('filler')\n"
        "db.persist()\n"
        "print('survived')\n",
        env={"CORVID_CRASH_AT": "persist-renamed"},
    )
    assert out.returncode == -9, out.stderr
    assert "survived" not in out.stdout
    assert file_size(path, "wal.bin") > 0  # the log was not emptied yet
    db = Corvid(path)
    assert db.get_bytes("k") == b"new"
    assert db.get_bytes("filler") is None
    assert db.len() == 1


def test_readonly_directory(shared_tmp):
    path = os.path.join(shared_tmp, "db")
    os.mkdir(path)
    os.chown(path, NOBODY, NOBODY)
    out = run_python(
        "import _corvid, os, stat\n"
        f"db = _corvid.Corvid({path!r})\n"
        "db.set_bytes('k', b'v')\n"
        f"os.chmod({path!r}, 0o555)\n"
        "try:\n"
        "    db.persist()\n"
        "except PermissionError as e:\n"
        "    print('raised', e)\n"
        f"print(sorted(os.listdir({path!r})))\n"
        "print(db.get_bytes('k'))\n",
        user=NOBODY,
    )
    lines = out.stdout.splitlines()
    assert lines[0] == "raised Permission denied (os error 13)", out.stdout + out.stderr
    assert lines[1] == "['keys.bin', 'offsets.bin', 'vals.bin', 'wal.bin']"
    assert lines[2] == "b'v'"


def test_rename_failure_keeps_old_snapshot_and_log_and_no_tmp(path):
    db = Corvid(path)
    db.set_bytes("k", b"v")
    os.mkdir(os.path.join(path, "snapshot.bin"))
    os.mkdir(os.path.join(path, "snapshot.bin", "x"))
    with pytest.raises(OSError) as info:
        db.persist()
    assert "os error" in str(info.value)
    # A failed persist takes its temporary file away again.
    assert not os.path.exists(os.path.join(path, "snapshot.bin.tmp"))
    assert file_size(path, "wal.bin") > 0  # written out, not emptied
    db.set_bytes("k2", b"v2")
    assert db.get_bytes("k") == b"v"


def _index_pairs(snapshot):
    (n,) = struct.unpack_from("<Q", snapshot, 0)
    pairs = [struct.unpack_from("<QI", snapshot, 8 + 12 * i) for i in range(n)]
    return pairs, snapshot[8 + 12 * n :]


def test_persist_writes_the_index_in_hash_order(path):
    db = Corvid(path)
    for i in range(3000):
        db.set_bytes(f"k{i}", b"v")
    db.persist()
    for i in range(0, 3000, 3):
        db.delete(f"k{i}")
    for i in range(3000, 4000):
        db.set_bytes(f"k{i}", b"w")
    db.persist()
    pairs, _ = _index_pairs(file_bytes(path, "snapshot.bin"))
    hashes = [h for h, _ in pairs]
    assert hashes == sorted(set(hashes)) and len(hashes) == 3000


def test_unsorted_snapshot_opens_and_the_next_persist_sorts_it(path):
    # Snapshots written before the index was kept in order hold its pairs in
    # any order; a damaged one may repeat a hash, whose later pair stands.
    db = Corvid(path)
    for i in range(5000):
        db.set_bytes(f"k{i}", f"v{i}".encode())
    db.persist()
    del db
    pairs, rest = _index_pairs(file_bytes(path, "snapshot.bin"))
    random.Random(5).shuffle(pairs)
    stale = [(h, (i + 1) % 5000) for h, i in pairs[:50]]
    pairs = stale + pairs  # the shuffled, true pairs come later
    with open(os.path.join(path, "snapshot.bin"), "wb") as f:
        f.write(struct.pack("<Q", len(pairs)))
        f.write(b"".join(struct.pack("<QI", h, i) for h, i in pairs))
        f.write(rest)
    for reopen in range(2):
        db = Corvid(path)
        assert db.len() == 5000
        assert all(db.get_bytes(f"k{i}") == f"v{i}".encode() for i in range(5000))
        assert db.get_bytes("k5000") is None
        db.set_bytes("k5000", b"new")
        db.delete("k0")
        db.persist()
        del db
        restored, _ = _index_pairs(file_bytes(path, "snapshot.bin"))
        hashes = [h for h, _ in restored]
        assert hashes == sorted(set(hashes)) and len(hashes) == 5000
        db = Corvid(path)
        assert db.get_bytes("k5000") == b"new" and db.get_bytes("k0") is None
        db.set_bytes("k0", b"v0")
        db.delete("k5000")
        db.persist()
        del db

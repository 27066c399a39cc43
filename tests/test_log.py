"""What reaches wal.bin, and when."""
import os

from conftest import Corvid, file_bytes, file_size

PUT_A = bytes.fromhex("00000000" "0100000000000000" "61" "0200000000000000" "7879")


def u64(n):
    return n.to_bytes(8, "little")


DELETE_A = bytes.fromhex("01000000" "0100000000000000" "61")


def test_entries_reach_the_file_when_released(path):
    db = Corvid(path)
    db.set_bytes("a", b"xy")
    db.delete("a")
    db.delete("a")  # absent, still logged
    assert file_size(path, "wal.bin") == 0  # all still in the buffer
    del db
    assert file_bytes(path, "wal.bin") == PUT_A + DELETE_A + DELETE_A
    assert len(PUT_A) == 23 and len(DELETE_A) == 13


def test_buffer_overflow_writes_whole_buffers(path):
    db = Corvid(path)
    db.set_bytes("a", bytes(20_000))
    # 21 header bytes then value bytes fill 8,192-byte buffers; two are full.
    assert file_size(path, "wal.bin") == 16_384
    db.set_bytes("b", b"")
    assert file_size(path, "wal.bin") == 16_384
    del db
    assert file_size(path, "wal.bin") == 20_021 + 21


def test_large_key_goes_straight_through(path):
    db = Corvid(path)
    db.set_bytes("a", b"x")
    key = "k" * 9000
    db.set_bytes(key, b"")
    # Pending bytes first, then the key piece written straight to the file.
    put = bytes(4) + u64(1) + b"a" + u64(1) + b"x"
    assert file_bytes(path, "wal.bin") == put + bytes(4) + u64(9000) + key.encode()
    del db
    assert file_size(path, "wal.bin") == 22 + 20 + 9000


def test_log_appends_after_existing_bytes(path):
    db = Corvid(path)
    db.set_bytes("a", b"xy")
    del db
    db = Corvid(path)
    db.delete("a")
    del db
    data = file_bytes(path, "wal.bin")
    assert data.startswith(PUT_A) and data.endswith(DELETE_A)
    assert os.path.exists(os.path.join(path, "wal.bin"))

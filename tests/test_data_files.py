"""The bytes that puts leave in keys.bin, vals.bin and offsets.bin."""
import struct

import pytest

from conftest import Corvid, file_bytes, file_size, panic_class


def row(path, n):
    data = file_bytes(path, "offsets.bin")[n * 24 : n * 24 + 24]
    return struct.unpack("<QIQI", data)


def test_rows_are_packed_24_bytes(path):
    db = Corvid(path)
    db.set_bytes("a", b"xyz")
    assert file_bytes(path, "keys.bin") == b"a"
    assert file_bytes(path, "vals.bin") == b"xyz"
    assert file_bytes(path, "offsets.bin")[:24] == bytes.fromhex(
        "0000000000000000 01000000 0000000000000000 03000000".replace(" ", "")
    )
    db.set_bytes("bc", b"pq")
    assert file_bytes(path, "keys.bin") == b"abc"
    assert file_bytes(path, "vals.bin") == b"xyzpq"
    assert row(path, 1) == (1, 2, 3, 2)
    assert file_bytes(path, "offsets.bin")[48:] == bytes(2_400_000 - 48)


def test_empty_keys_and_values(path):
    db = Corvid(path)
    db.set_bytes("k", b"12")
    db.set_bytes("", b"")
    db.set_bytes("e", b"")
    assert row(path, 1) == (1, 0, 2, 0)
    assert row(path, 2) == (1, 1, 2, 0)
    assert file_bytes(path, "keys.bin") == b"ke"
    assert file_size(path, "vals.bin") == 2
    db.clear_cache()
    assert db.get_bytes("") == b"" and db.get_bytes("e") == b""


def test_overwrite_appends_a_record(path):
    db = Corvid(path)
    db.set_bytes("a", b"1")
    db.set_bytes("a", b"22")
    db.delete("a")
    # Two records in the files; nothing is overwritten in place.
    assert file_bytes(path, "keys.bin") == b"aa"
    assert file_bytes(path, "vals.bin") == b"122"
    assert row(path, 1) == (1, 1, 1, 2)
    assert db.len() == 0 and db.keys() == []


def test_table_doubles_at_record_100000(path):
    db = Corvid(path, 1)
    for _ in range(100_000):
        db.set_bytes("", b"")
    assert file_size(path, "offsets.bin") == 2_400_000
    db.set_bytes("k", b"v")
    assert file_size(path, "offsets.bin") == 4_800_000
    assert row(path, 100_000) == (0, 1, 0, 1)
    db.clear_cache()
    assert db.get_bytes("k") == b"v"


def test_truncated_values_file_panics_on_that_read(path):
    db = Corvid(path)
    db.set_bytes("a", b"aaaa")
    db.set_bytes("b", b"bbbb")
    with open(f"{path}/vals.bin", "r+b") as f:
        f.truncate(6)
    db.clear_cache()
    Panic = panic_class()
    with pytest.raises(Panic) as info:
        db.get_bytes("b")
    message = str(info.value)
    assert message.startswith("called `Result::unwrap()` on an `Err` value")
    assert "failed to fill whole buffer" in message
    assert db.get_bytes("a") == b"aaaa"
    assert db.len() == 2
    with pytest.raises(Panic):
        db.get_many(["a", "b"])
    db.set_bytes("c", b"c")
    assert db.get_bytes("c") == b"c"

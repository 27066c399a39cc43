"""Reads and writes within one process."""
import pytest

from conftest import Corvid


def test_get_missing_and_deleted(db):
    assert db.get_bytes("never") is None
    db.set_bytes("k", b"v")
    assert db.delete("k") is True
    assert db.get_bytes("k") is None
    assert db.delete("k") is False
    assert db.delete("never") is False
    assert db.len() == 0


@pytest.mark.parametrize("cleared", [False, True])
def test_empty_value_is_not_none(db, cleared):
    db.set_bytes("e", b"")
    db.set_bytes("", b"empty key")
    if cleared:
        db.clear_cache()
    assert db.get_bytes("e") == b""
    assert db.get_bytes("") == b"empty key"
    assert type(db.get_bytes("e")) is bytes


def test_get_many_order_duplicates_missing(db):
    db.set_bytes("a", b"1")
    db.set_bytes("b", b"2")
    result = db.get_many(["a", "missing", "a", "b"])
    assert result == [("a", b"1"), ("missing", None), ("a", b"1"), ("b", b"2")]
    assert all(type(t) is tuple for t in result)
    db.clear_cache()
    assert db.get_many(("b", "a")) == [("b", b"2"), ("a", b"1")]


def test_keys_follow_record_order(db):
    db.set_bytes("a", b"1")
    db.set_bytes("b", b"2")
    db.set_bytes("a", b"3")
    assert db.keys() == ["b", "a"]
    assert db.len() == 2
    db.set_bytes("c", b"")
    db.delete("b")
    assert db.keys() == ["a", "c"]
    assert db.len() == 2


def test_overwrite_reads_newest(db):
    for i in range(5):
        db.set_bytes("k", bytes([i]) * i)
    assert db.get_bytes("k") == b"\x04" * 4
    db.clear_cache()
    assert db.get_bytes("k") == b"\x04" * 4
    assert db.len() == 1


def test_non_ascii_keys(db):
    keys = ["é", "日本語", "emoji 🐦", "a\0b"]
    for i, k in enumerate(keys):
        db.set_bytes(k, bytes([i]))
    db.clear_cache()
    assert [db.get_bytes(k) for k in keys] == [b"\x00", b"\x01", b"\x02", b"\x03"]
    assert db.keys() == keys
    assert db.get_bytes("a") is None


def test_many_keys_round_trip(path):
    db = Corvid(path, 100)
    expected = {f"key-{i}": f"value-{i * 7}".encode() * (i % 5) for i in range(5000)}
    for k, v in expected.items():
        db.set_bytes(k, v)
    for k in list(expected)[::3]:
        assert db.delete(k) is True
        del expected[k]
    assert db.len() == len(expected)
    assert db.keys() == list(expected)
    got = db.get_many(list(expected))
    assert got == list(expected.items())
    assert db.cache_stats()[0] == 100


def test_results_are_fresh_objects(db):
    db.set_bytes("k", b"abc")
    a = db.get_bytes("k")
    b = db.get_bytes("k")
    assert a == b and a is not b

"""The corvid package in one process: the Store as a mapping checked against a
dict doing the same calls, every misuse and its message, close(), views,
stats() and repr.

CORVID_PACKAGE_STEPS sets the length of each random sequence (default 3000);
CORVID_PACKAGE_HUGE=1 adds a value over the length limit (maps 4 GiB).
"""
import array
import collections
import collections.abc
import dataclasses
import gc
import importlib.metadata
import mmap
import os
import pathlib
import pickle
import random
import signal
import struct
import time
import tracemalloc

import pytest

import corvid
from conftest import run_python, snapshot_of_files
from corvid import Durability, Store, StoreStats

STEPS = int(os.environ.get("CORVID_PACKAGE_STEPS", 3000))
CLOSED = "I/O operation on a closed store"
BYTES_KEY = "keys are str, not bytes: decode it, or use corvid.dbm for bytes keys"
DATA_FILES = ("keys.bin", "vals.bin", "offsets.bin")


def value_message(kind):
    return f"values are bytes-like (bytes, bytearray, memoryview), not {kind}"


def raises(exc, message, fn, *args, **kwargs):
    """Calls fn, which must raise exactly exc (a subclass does not do) with
    exactly message (None: any message)."""
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc, (type(info.value), info.value)
    if message is not None:
        assert str(info.value) == message
    return info.value


def size(path, name):
    return os.path.getsize(os.path.join(path, name))


@pytest.fixture
def path(tmp_path):
    """A storage directory that does not exist yet."""
    return str(tmp_path / "store")


@pytest.fixture
def db(path):
    store = corvid.open(path)
    yield store
    store.close()


@pytest.fixture
def filled(db):
    """A store of five keys, k2 overwritten (so it comes last)."""
    for i in range(5):
        db[f"k{i}"] = bytes([i]) * (i + 1)
    db["k2"] = b"two"
    return db


# --- the mapping against a dict ---------------------------------------------------------------

KEYS = [f"k{i}" for i in range(9)] + ["", "é", "日本語", "🐦 bird", "k" * 300]
NAMED = [k for k in KEYS if k.isidentifier()]


def random_value(rng):
    """Mostly short values, now and then empty or longer than the log's buffer,
    as bytes, bytearray or memoryview."""
    r = rng.random()
    n = 0 if r < 0.05 else rng.choice([2000, 9000]) if r < 0.08 else rng.randrange(1, 40)
    raw = rng.randbytes(n)
    kind = rng.random()
    if kind < 0.15:
        return bytearray(raw)
    if kind < 0.25:
        return memoryview(raw)
    return raw


class Model:
    """What the store must do, on an OrderedDict kept in the order of each
    key's last write."""

    def __init__(self):
        self.d = collections.OrderedDict()

    def put(self, k, v):
        self.d[k] = bytes(v)
        self.d.move_to_end(k)


def outcome(fn, key_error_args=True):
    """What a call returned, or the KeyError it raised (with its arguments:
    the missing key)."""
    try:
        return ("returned", fn())
    except KeyError as e:
        return ("KeyError", e.args if key_error_args else ())


def assert_bytes(result):
    """Values always come back as bytes, whatever type went in."""
    if isinstance(result, (bytes, bytearray, memoryview)):
        assert type(result) is bytes, type(result)
    elif isinstance(result, (list, tuple)):
        for r in result:
            assert_bytes(r)


def random_call(rng, db, m):
    """One random call, made on the store and on the model alike; returns its
    name and the two outcomes."""
    r = rng.random()
    k = rng.choice(KEYS)
    if r < 0.25:
        v = random_value(rng)
        m.put(k, v)
        db[k] = v
        return "set", None, None
    if r < 0.32:
        return "del", outcome(lambda: db.__delitem__(k)), outcome(lambda: m.d.__delitem__(k))
    if r < 0.40:
        return "getitem", outcome(lambda: db[k]), outcome(lambda: m.d[k])
    if r < 0.46:
        d = rng.choice([None, b"default", 7])
        if rng.random() < 0.5:
            return "get", outcome(lambda: db.get(k)), outcome(lambda: m.d.get(k))
        return "get default", outcome(lambda: db.get(k, d)), outcome(lambda: m.d.get(k, d))
    if r < 0.52:
        if rng.random() < 0.5:
            return "pop", outcome(lambda: db.pop(k)), outcome(lambda: m.d.pop(k))
        return "pop default", outcome(lambda: db.pop(k, b"d")), outcome(lambda: m.d.pop(k, b"d"))
    if r < 0.55:
        return ("popitem", outcome(db.popitem, False),
                outcome(lambda: m.d.popitem(last=True), False))
    if r < 0.60:
        v = random_value(rng)
        expect = outcome(lambda: m.d.setdefault(k, bytes(v)))
        return "setdefault", outcome(lambda: db.setdefault(k, v)), expect
    if r < 0.66:
        # Pairs may name a key twice: the later one wins and stands last.
        pairs = [(rng.choice(KEYS), random_value(rng)) for _ in range(rng.randrange(0, 6))]
        named = {rng.choice(NAMED): random_value(rng) for _ in range(rng.randrange(0, 3))}
        how = rng.randrange(4)
        if how == 0:
            mapping = dict(pairs)
            db.update(mapping, **named)
            pairs = list(mapping.items())
        elif how == 1:
            db.update(pairs, **named)
        elif how == 2:
            db.update(iter(pairs))
            named = {}
        else:
            db.update(**named)
            pairs = []
        for pk, pv in pairs + list(named.items()):
            m.put(pk, pv)
        return "update", None, None
    if r < 0.70:
        pairs = [(rng.choice(KEYS), random_value(rng)) for _ in range(rng.randrange(0, 6))]
        if rng.random() < 0.3:
            pairs = list(dict(pairs).items())
            db.put_many(dict(pairs))
        else:
            db.put_many(pairs)
        for pk, pv in pairs:
            m.put(pk, pv)
        return "put_many", None, None
    if r < 0.74:
        keys = [rng.choice(KEYS) for _ in range(rng.randrange(0, 6))]
        d = rng.choice([None, b"none"])
        return ("get_many", outcome(lambda: db.get_many(iter(keys), d)),
                outcome(lambda: [m.d.get(x, d) for x in keys]))
    if r < 0.78:
        keys = rng.sample(KEYS, rng.randrange(0, 5))
        expect = sum(1 for x in keys if x in m.d)
        for x in keys:
            m.d.pop(x, None)
        return "delete_many", outcome(lambda: db.delete_many(keys)), ("returned", expect)
    if r < 0.86:
        return "in", outcome(lambda: k in db), outcome(lambda: k in m.d)
    if r < 0.90:
        return "len", outcome(lambda: len(db)), outcome(lambda: len(m.d))
    if r < 0.91:
        db.clear()
        m.d.clear()
        return "clear", None, None
    if r < 0.94:
        db.persist()
        return "persist", None, None
    if r < 0.96:
        db.vacuum()
        assert db.stats().dead_records == 0
        return "vacuum", None, None
    if r < 0.97:
        db.flush()
        return "flush", None, None
    return "reopen", None, None


@pytest.mark.parametrize("seed,cache_size", [(1, 10000), (2, 1), (3, 4)])
def test_store_does_what_a_dict_does(tmp_path, seed, cache_size):
    rng = random.Random(seed)
    path = str(tmp_path / "store")
    db = corvid.open(path, cache_size=cache_size)
    m = Model()
    recent = collections.deque(maxlen=12)
    try:
        for step in range(STEPS):
            name, got, expected = random_call(rng, db, m)
            recent.append(name)
            if name == "reopen":
                db.close()
                db = corvid.open(path, cache_size=cache_size,
                                 durability=rng.choice(list(Durability) + ["flush", "sync"]))
            where = f"step {step}, after {list(recent)}"
            assert got == expected, where
            if got is not None and name != "setdefault":  # that returns a new default as given
                assert_bytes(got[1])
            assert len(db) == len(m.d), where
            assert dict(db.items()) == dict(m.d), where
            assert list(db.items()) == list(m.d.items()), where
            if step % 7 == 0:
                assert list(db) == list(m.d), where
                assert list(db.keys()) == list(m.d), where
                assert list(db.values()) == list(m.d.values()), where
                assert all(type(v) is bytes for v in db.values())
                assert [k in db for k in KEYS] == [k in m.d for k in KEYS], where
        db.close()
        db = corvid.open(path, readonly=True)
        assert list(db.items()) == list(m.d.items())
    finally:
        db.close()


class TestMapping:
    def test_a_mutable_mapping(self, db):
        assert isinstance(db, Store)
        assert isinstance(db, collections.abc.MutableMapping)
        db["a"] = b"1"
        assert db == {"a": b"1"}
        assert db != {"a": b"2"}

    def test_absent_keys(self, db):
        e = raises(KeyError, None, lambda: db["absent"])
        assert e.args == ("absent",)
        assert raises(KeyError, None, db.__delitem__, "absent").args == ("absent",)
        assert raises(KeyError, None, db.pop, "absent").args == ("absent",)
        raises(KeyError, None, db.popitem)
        assert db.get("absent") is None and db.get("absent", 5) == 5
        assert db.pop("absent", None) is None
        assert db.get_many(["absent", "x"], b"d") == [b"d", b"d"]
        assert db.delete_many(["absent"]) == 0

    def test_values_come_back_as_bytes(self, db):
        buffer = bytearray(b"mutable")
        db["ba"] = buffer
        buffer[0:1] = b"X"  # a change after the put is not the stored value
        db["mv"] = memoryview(b"view of bytes")[5:]
        db["arr"] = array.array("i", [1, 2, 3])
        db["empty"] = b""
        assert db["ba"] == b"mutable" and type(db["ba"]) is bytes
        assert db["mv"] == b"of bytes" and type(db["mv"]) is bytes
        assert db["arr"] == array.array("i", [1, 2, 3]).tobytes()
        assert db["empty"] == b"" and "empty" in db
        assert all(type(v) is bytes for v in db.values())
        assert all(type(v) is bytes for v in db.get_many(list(db)))

    def test_str_subclass_keys(self, db):
        class Name(str):
            pass

        db[Name("sub")] = b"1"
        assert db["sub"] == b"1" and Name("sub") in db
        assert [type(k) for k in db] == [str]

    def test_unicode_keys_survive_a_reopen(self, path):
        keys = ["é", "日本語", "🐦", "", "a\x00b", "k" * 5000]
        with corvid.open(path) as db:
            for i, k in enumerate(keys):
                db[k] = bytes([i])
        with corvid.open(path) as db:
            assert list(db.items()) == [(k, bytes([i])) for i, k in enumerate(keys)]

    def test_overwrite_moves_the_key_to_the_end(self, filled):
        assert list(filled) == ["k0", "k1", "k3", "k4", "k2"]
        filled["k0"] = b"again"
        assert list(filled) == ["k1", "k3", "k4", "k2", "k0"]
        # Writing the value a key already has moves it as well.
        filled["k1"] = filled["k1"]
        assert list(filled) == ["k3", "k4", "k2", "k0", "k1"]

    def test_popitem_takes_the_last_written(self, filled):
        assert filled.popitem() == ("k2", b"two")
        filled["k0"] = b"new"
        assert filled.popitem() == ("k0", b"new")
        assert filled.popitem() == ("k4", bytes([4]) * 5)
        assert list(filled) == ["k1", "k3"]

    def test_setdefault(self, filled):
        found = filled.setdefault("k0", b"other")
        assert found == b"\x00" and type(found) is bytes
        assert list(filled)[0] == "k0"  # found, not written
        assert filled.setdefault("new", bytearray(b"nv")) == b"nv"
        assert filled["new"] == b"nv" and list(filled)[-1] == "new"
        raises(TypeError, None, filled.setdefault, "absent")
        assert "absent" not in filled

    def test_update_forms(self, db, tmp_path):
        class KeysOnly:
            def keys(self):
                return ["x", "y"]

            def __getitem__(self, k):
                return k.encode() * 2

        db.update({"a": b"1"}, b=b"2")
        db.update([("c", b"3"), ("a", b"4")])
        db.update(KeysOnly())
        db.update()
        with corvid.open(str(tmp_path / "other")) as other:
            other["o1"] = b"from"
            other["o2"] = b"another store"
            db.update(other)
        assert list(db.items()) == [("b", b"2"), ("c", b"3"), ("a", b"4"), ("x", b"xx"),
                                    ("y", b"yy"), ("o1", b"from"), ("o2", b"another store")]

    def test_batches(self, db):
        db.put_many((f"g{i}", str(i).encode()) for i in range(10))
        db.put_many({"g3": b"again", "h": b"h"})
        assert db.get_many(f"g{i}" for i in (3, 0, 99)) == [b"again", b"0", None]
        assert db.get_many([], b"x") == []
        assert db.delete_many(iter(["g0", "g1", "absent"])) == 2
        assert list(db)[-2:] == ["g3", "h"]
        assert len(db) == 9

    def test_clear(self, filled):
        filled.clear()
        assert len(filled) == 0 and list(filled.items()) == []
        assert filled.stats().live_records == 0
        filled["after"] = b"1"
        assert list(filled) == ["after"]

    def test_long_iteration_in_order(self, db):
        # Enough records for several chunks, with overwrites and deletes
        # so that record order and key order differ.
        m = Model()
        rng = random.Random(5)
        for i in range(12000):
            k = f"key{rng.randrange(6000)}"
            v = str(i).encode()
            db[k] = v
            m.put(k, v)
            if i % 9 == 0:
                victim = f"key{rng.randrange(6000)}"
                db.pop(victim, None)
                m.d.pop(victim, None)
        assert list(db) == list(m.d)
        assert list(db.values()) == list(m.d.values())
        assert list(db.items()) == list(m.d.items())
        assert len(db.keys()) == len(db.items()) == len(db.values()) == len(m.d)


# --- misuse -----------------------------------------------------------------------------------

def key_calls(db, k):
    """Every call that takes a key, given k."""
    return {
        "getitem": lambda: db[k],
        "setitem": lambda: db.__setitem__(k, b"v"),
        "delitem": lambda: db.__delitem__(k),
        "contains": lambda: k in db,
        "keys view contains": lambda: k in db.keys(),
        "get": lambda: db.get(k),
        "get default": lambda: db.get(k, b"d"),
        "pop": lambda: db.pop(k),
        "pop default": lambda: db.pop(k, None),
        "setdefault": lambda: db.setdefault(k, b"v"),
        "update mapping": lambda: db.update({k: b"v"}),
        "update pairs": lambda: db.update([("fine", b"1"), (k, b"v")]),
        "get_many": lambda: db.get_many(["k0", k]),
        "put_many": lambda: db.put_many([("fine", b"1"), (k, b"v")]),
        "put_many mapping": lambda: db.put_many({k: b"v"}),
        "delete_many": lambda: db.delete_many(["k0", k]),
    }


def value_calls(db, v):
    return {
        "setitem": lambda: db.__setitem__("new", v),
        "setdefault": lambda: db.setdefault("new", v),
        "update": lambda: db.update({"fine": b"1", "new": v}),
        "update keyword": lambda: db.update(new=v),
        "put_many": lambda: db.put_many([("fine", b"1"), ("new", v)]),
        "put_many mapping": lambda: db.put_many({"new": v}),
    }


class TestMisuse:
    @pytest.mark.parametrize("key,message", [
        (b"k0", BYTES_KEY), (memoryview(b"k0"), "keys are str, not memoryview"),
        (0, "keys are str, not int"), (None, "keys are str, not NoneType"),
        (("k0",), "keys are str, not tuple"), (1.5, "keys are str, not float"),
    ])
    def test_keys_are_str(self, filled, key, message):
        before = list(filled.items())
        for name, call in key_calls(filled, key).items():
            try:
                raises(TypeError, message, call)
            except AssertionError as e:
                raise AssertionError(f"{name}: {e}") from None
            # A refused call, a batch included, writes nothing.
            assert list(filled.items()) == before, name

    @pytest.mark.parametrize("value,kind", [
        ([1, 2], "list"), ((1, 2), "tuple"), (5, "int"), ("text", "str"), (None, "NoneType"),
        ({"a": 1}, "dict"), (1.0, "float"),
    ])
    def test_values_are_bytes_like(self, filled, value, kind):
        before = list(filled.items())
        for name, call in value_calls(filled, value).items():
            e = raises(TypeError, None, call)
            message = str(e)
            if name == "setdefault" and value is None:
                # setdefault's default has its own message: the one of setdefault(k).
                assert "None" in message, message
            else:
                # A hint may follow (": encode it" for a str).
                assert message == value_message(kind) or message.startswith(
                    value_message(kind) + ": "), (name, message)
            assert list(filled.items()) == before, name

    def test_keys_that_are_not_utf8(self, filled):
        before = list(filled.items())
        for name, call in key_calls(filled, "lone \ud800 surrogate").items():
            with pytest.raises(ValueError):  # UnicodeEncodeError is one
                call()
            assert list(filled.items()) == before, name

    @pytest.mark.skipif(not os.environ.get("CORVID_PACKAGE_HUGE"),
                        reason="maps 4 GiB: set CORVID_PACKAGE_HUGE=1")
    def test_a_value_over_the_length_limit(self, db):
        # Anonymous memory, never touched: refused by its length before a byte is read.
        huge = mmap.mmap(-1, 2**32)
        try:
            with pytest.raises(ValueError):
                db["huge"] = huge
            assert "huge" not in db and size(db.path, "vals.bin") == 0
        finally:
            huge.close()

    def test_closed_store(self, filled):
        keys, values, items = filled.keys(), filled.values(), filled.items()
        started = iter(filled.items())
        next(started)
        filled.close()
        calls = {
            "getitem": lambda: filled["k0"], "setitem": lambda: filled.__setitem__("k", b"v"),
            "delitem": lambda: filled.__delitem__("k0"), "contains": lambda: "k0" in filled,
            "len": lambda: len(filled), "iter": lambda: list(filled),
            "iter next": lambda: next(iter(filled)),
            "keys": lambda: list(filled.keys()), "values": lambda: list(filled.values()),
            "items": lambda: list(filled.items()),
            "old keys view": lambda: list(keys), "old values view": lambda: list(values),
            "old items view": lambda: list(items), "len of a view": lambda: len(keys),
            "in a keys view": lambda: "k0" in keys,
            "in an items view": lambda: ("k0", b"\x00") in items,
            "in a values view": lambda: b"\x00" in values,
            "started iteration": lambda: next(started),
            "get": lambda: filled.get("k0"), "get default": lambda: filled.get("x", b"d"),
            "pop": lambda: filled.pop("k0"), "pop default": lambda: filled.pop("x", None),
            "popitem": filled.popitem, "setdefault": lambda: filled.setdefault("k", b"v"),
            "clear": filled.clear, "update": lambda: filled.update(k=b"v"),
            "get_many": lambda: filled.get_many(["k0"]),
            "put_many": lambda: filled.put_many([("k", b"v")]),
            "delete_many": lambda: filled.delete_many(["k0"]),
            "persist": filled.persist, "vacuum": filled.vacuum, "flush": filled.flush,
            "stats": filled.stats,
        }
        for name, call in calls.items():
            try:
                raises(ValueError, CLOSED, call)
            except AssertionError as e:
                raise AssertionError(f"{name}: {e}") from None
        # What a closed store still answers.
        assert filled.closed is True
        assert filled.path == os.path.abspath(filled.path)
        filled.close()

    def test_readonly_writes(self, path):
        with corvid.open(path) as db:
            db.update(a=b"1", b=b"2", c=b"3")
        db = corvid.open(path, readonly=True)
        try:
            calls = {
                "setitem": lambda: db.__setitem__("a", b"v"),
                "setitem new": lambda: db.__setitem__("new", b"v"),
                "delitem": lambda: db.__delitem__("a"), "pop": lambda: db.pop("a"),
                "popitem": db.popitem, "setdefault": lambda: db.setdefault("new", b"v"),
                "clear": db.clear, "update": lambda: db.update(a=b"v"),
                "put_many": lambda: db.put_many([("a", b"v")]),
                "delete_many": lambda: db.delete_many(["a"]),
                "persist": db.persist, "vacuum": db.vacuum,
            }
            for name, call in calls.items():
                e = raises(PermissionError, None, call)
                assert "is open read-only" in str(e), (name, str(e))
                assert db.path in str(e), (name, str(e))
            assert list(db.items()) == [("a", b"1"), ("b", b"2"), ("c", b"3")]
            assert db.readonly is True and db["b"] == b"2" and db.get_many(["c"]) == [b"3"]
            assert db.stats().live_records == 3
        finally:
            db.close()

    def test_pickling(self, db):
        message = ("a corvid.Store cannot be pickled: open the store in each process with "
                   "corvid.open()")
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            raises(TypeError, message, pickle.dumps, db, protocol)

    def test_open_takes_keywords_only(self, path):
        raises(TypeError, None, corvid.open, path, 10)
        assert not os.path.exists(path)

    def test_path_of_a_wrong_type(self, path):
        for wrong in (None, 3.5, ["a"]):
            raises(TypeError, None, corvid.open, wrong)


class TestPaths:
    @pytest.mark.parametrize("kind", ["str", "bytes", "Path", "PathLike"])
    def test_path_types(self, tmp_path, kind):
        target = tmp_path / "deep" / "er" / "störe"  # parents are created
        given = {
            "str": str(target), "bytes": os.fsencode(target), "Path": target,
            "PathLike": type("P", (), {"__fspath__": lambda self: str(target)})(),
        }[kind]
        with corvid.open(given) as db:
            db["k"] = b"v"
            assert db.path == str(target) and type(db.path) is str
        with corvid.open(given, create=False) as db:
            assert db["k"] == b"v"
        assert "keys.bin" in os.listdir(target)

    def test_relative_path_is_made_absolute(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        with corvid.open("rel") as db:
            db["k"] = b"v"
            assert db.path == str(tmp_path / "rel")
        monkeypatch.chdir("/")
        with corvid.open(tmp_path / "rel", readonly=True) as db:
            assert db["k"] == b"v"

    def test_create_false(self, tmp_path):
        absent = tmp_path / "absent"
        raises(FileNotFoundError, None, corvid.open, absent, create=False)
        assert not absent.exists()
        empty = tmp_path / "empty"
        empty.mkdir()
        raises(FileNotFoundError, None, corvid.open, empty, create=False)
        assert os.listdir(empty) == []

    def test_readonly_needs_a_store(self, tmp_path):
        absent = tmp_path / "absent"
        raises(FileNotFoundError, None, corvid.open, absent, readonly=True)
        assert not absent.exists()
        empty = tmp_path / "empty"
        empty.mkdir()
        raises(FileNotFoundError, None, corvid.open, empty, readonly=True)
        assert os.listdir(empty) == []


class TestDurability:
    def test_members(self):
        assert [d.value for d in Durability] == ["buffered", "flush", "sync"]
        assert Durability("flush") is Durability.FLUSH

    def test_members_are_named_by_their_strings(self):
        assert [d.value for d in Durability] == ["buffered", "flush", "sync"]

    @pytest.mark.parametrize("given", list(Durability) + ["buffered", "flush", "sync"])
    def test_accepted(self, path, given):
        with corvid.open(path, durability=given) as db:
            assert db.durability is Durability(given)
            db["k"] = b"v"
            db.flush()
            assert size(path, "wal.bin") > 0
        with corvid.open(path) as db:
            assert db.durability is Durability.FLUSH and db["k"] == b"v"

    @pytest.mark.parametrize("bad", ["fast", "", "FLUSHED", 2, b"flush"])
    def test_refused(self, path, bad):
        e = raises(ValueError, None, corvid.open, path, durability=bad)
        message = str(e)
        assert repr(bad) in message or (bad and str(bad) in message), message
        assert all(name in message for name in ("buffered", "flush", "sync")), message
        # Refused before anything was made.
        assert not os.path.exists(path)

    @pytest.mark.parametrize("durability", ["flush", "sync"])
    def test_each_write_reaches_the_log_before_it_returns(self, path, durability):
        with corvid.open(path, durability=durability) as db:
            sizes = [size(path, "wal.bin")]
            for i in range(20):
                db[f"k{i}"] = b"x" * i
                sizes.append(size(path, "wal.bin"))
            del db["k3"]
            sizes.append(size(path, "wal.bin"))
            db.put_many([("a", b"1"), ("b", b"2")])
            sizes.append(size(path, "wal.bin"))
            assert db.delete_many(["a", "b"]) == 2
            sizes.append(size(path, "wal.bin"))
            assert all(a < b for a, b in zip(sizes, sizes[1:])), sizes


# --- views and iteration ----------------------------------------------------------------------

VIEWS = {
    "iter": lambda db: iter(db),
    "keys": lambda db: iter(db.keys()),
    "values": lambda db: iter(db.values()),
    "items": lambda db: iter(db.items()),
}

CHANGES = {
    "set new": lambda db: db.__setitem__("new", b"n"),
    "overwrite": lambda db: db.__setitem__("k0", b"same length"),
    "overwrite with the same bytes": lambda db: db.__setitem__("k1", db["k1"]),
    "del": lambda db: db.__delitem__("k0"),
    "pop": lambda db: db.pop("k1"),
    "popitem": lambda db: db.popitem(),
    "setdefault new": lambda db: db.setdefault("new", b"n"),
    "update": lambda db: db.update(new=b"n"),
    "put_many": lambda db: db.put_many([("new", b"n")]),
    "delete_many": lambda db: db.delete_many(["k4"]),
    "clear": lambda db: db.clear(),
    "vacuum": lambda db: db.vacuum(),
}


class TestIteration:
    @pytest.mark.parametrize("view", list(VIEWS))
    @pytest.mark.parametrize("change", list(CHANGES))
    def test_a_change_stops_the_iteration(self, filled, view, change):
        it = VIEWS[view](filled)
        next(it)
        CHANGES[change](filled)
        with pytest.raises(RuntimeError, match="^store changed during iteration$"):
            next(it)
        # A new iteration sees the store as it is now.
        assert len(list(VIEWS[view](filled))) == len(filled)

    @pytest.mark.parametrize("view", list(VIEWS))
    def test_a_change_after_the_last_item(self, filled, view):
        it = VIEWS[view](filled)
        for _ in range(len(filled)):
            next(it)
        filled["new"] = b"n"
        with pytest.raises(RuntimeError, match="^store changed during iteration$"):
            next(it)

    def test_reads_do_not_stop_it(self, filled):
        seen = []
        for k, v in filled.items():
            assert filled[k] == v and filled.get(k) == v and k in filled
            assert filled.get_many([k, "absent"]) == [v, None]
            assert len(filled) == 5 and filled.stats().live_records == 5
            seen.append(k)
        assert seen == ["k0", "k1", "k3", "k4", "k2"]

    def test_views_are_live(self, filled):
        keys, values, items = filled.keys(), filled.values(), filled.items()
        filled["later"] = b"L"
        del filled["k0"]
        assert len(keys) == len(values) == len(items) == 5
        assert "later" in keys and "k0" not in keys
        assert ("later", b"L") in items and ("later", b"other") not in items
        assert b"L" in values and b"\x00" not in values
        assert list(keys) == ["k1", "k3", "k4", "k2", "later"]

    def test_views_are_set_like(self, filled):
        assert filled.keys() & {"k0", "zz"} == {"k0"}
        assert filled.keys() == {"k0", "k1", "k2", "k3", "k4"}
        assert ("k2", b"two") in filled.items()

    def test_in_reads_no_value(self, path):
        with corvid.open(path) as db:
            db.put_many((f"k{i}", b"v" * 100) for i in range(50))
        with corvid.open(path, cache_size=100) as db:
            start = db.stats().cache_entries
            for i in range(60):
                assert (f"k{i}" in db) == (i < 50)
                assert (f"k{i}" in db.keys()) == (i < 50)
            assert len(db.keys()) == 50
            assert db.stats().cache_entries == start
            db["k0"]
            assert db.stats().cache_entries == start + 1

    def test_iteration_streams(self, path):
        n = 100_000
        with corvid.open(path) as db:
            db.put_many((f"key-{i:010d}", b"v") for i in range(n))
        with corvid.open(path) as db:
            tracemalloc.start()
            try:
                for name, view in VIEWS.items():
                    gc.collect()
                    tracemalloc.reset_peak()
                    start, _ = tracemalloc.get_traced_memory()
                    whole = list(view(db))
                    _, peak_whole = tracemalloc.get_traced_memory()
                    del whole
                    gc.collect()
                    tracemalloc.reset_peak()
                    it = view(db)
                    next(it)
                    next(it)
                    _, peak_two = tracemalloc.get_traced_memory()
                    del it
                    # Two items cost a chunk, not the whole store.
                    assert peak_two - start < (peak_whole - start) / 4, (name, peak_two, peak_whole)
                gc.collect()
                tracemalloc.reset_peak()
                start, _ = tracemalloc.get_traced_memory()
                assert len(db.keys()) == len(db.items()) == len(db.values()) == n
                assert "key-0000000007" in db.keys() and ("key-0000000009", b"v") in db.items()
                _, peak = tracemalloc.get_traced_memory()
                assert peak - start < 100_000, peak - start
            finally:
                tracemalloc.stop()


# --- close, repr, stats -----------------------------------------------------------------------

class TestClose:
    def test_close_persists(self, path):
        db = corvid.open(path)
        for i in range(300):
            db[f"k{i}"] = str(i).encode() * 10
        for i in range(0, 300, 3):
            db[f"k{i}"] = b"overwritten"
        del db["k1"]
        expected = list(db.items())
        db.close()
        assert size(path, "wal.bin") == 0
        before = {name: size(path, name) for name in DATA_FILES}
        with corvid.open(path) as db:
            # Nothing to replay: the data files did not grow.
            assert {name: size(path, name) for name in DATA_FILES} == before
            assert size(path, "wal.bin") == 0
            assert list(db.items()) == expected
        assert {name: size(path, name) for name in DATA_FILES} == before
        assert size(path, "wal.bin") == 0

    def test_close_persists_every_durability(self, path):
        for durability in Durability:
            with corvid.open(path, durability=durability) as db:
                db[durability.value] = b"x" * 3000
            assert size(path, "wal.bin") == 0
        with corvid.open(path, readonly=True) as db:
            assert list(db) == ["buffered", "flush", "sync"]

    def test_second_close_does_nothing(self, path):
        db = corvid.open(path)
        db["k"] = b"v"
        db.close()
        files = snapshot_of_files(path)
        db.close()
        assert db.closed and snapshot_of_files(path) == files
        # And the directory is free for the next open.
        with corvid.open(path) as again:
            assert again["k"] == b"v"

    def test_context_manager(self, path):
        with corvid.open(path) as db:
            assert isinstance(db, Store) and not db.closed
            db["k"] = b"v"
        assert db.closed and size(path, "wal.bin") == 0
        with pytest.raises(ZeroDivisionError):
            with corvid.open(path) as db:
                db["k2"] = b"v2"
                1 / 0
        assert db.closed and size(path, "wal.bin") == 0
        with corvid.open(path) as db:
            assert list(db.items()) == [("k", b"v"), ("k2", b"v2")]

    def test_readonly_close_after_a_writer_close(self, path):
        with corvid.open(path) as db:
            db["k"] = b"v"
        ro = corvid.open(path, readonly=True)
        assert ro["k"] == b"v"
        ro.close()
        ro.close()
        assert ro.closed

    def test_properties(self, path):
        db = corvid.open(path, durability="sync", cache_size=7)
        assert (db.closed, db.path, db.readonly, db.durability) == (
            False, path, False, Durability.SYNC)
        db.close()
        assert (db.closed, db.path, db.readonly, db.durability) == (
            True, path, False, Durability.SYNC)
        ro = corvid.open(path, readonly=True)
        assert ro.readonly is True and ro.closed is False
        ro.close()

    def test_repr(self, path):
        db = corvid.open(path)
        assert repr(db) == f"<corvid.Store {path!r} open, 0 records>"
        db.update(a=b"1", b=b"2", c=b"3")
        assert repr(db) == f"<corvid.Store {path!r} open, 3 records>"
        db.close()
        assert repr(db) == f"<corvid.Store {path!r} closed>"
        ro = corvid.open(path, readonly=True)
        assert repr(ro) == f"<corvid.Store {path!r} read-only, 3 records>"
        ro.close()
        assert repr(ro) == f"<corvid.Store {path!r} closed>"


FIELDS = ["live_records", "dead_records", "live_bytes", "garbage_bytes", "keys_file_bytes",
          "values_file_bytes", "table_file_bytes", "log_file_bytes", "cache_entries",
          "cache_capacity", "garbage_share"]


class TestStats:
    def check_against_files(self, db):
        s = db.stats()
        # The sizes are the files' once flush() has written out what the
        # data files' appends hold in memory.
        db.flush()
        path = db.path
        assert s.keys_file_bytes == size(path, "keys.bin")
        assert s.values_file_bytes == size(path, "vals.bin")
        assert s.table_file_bytes == size(path, "offsets.bin")
        assert s.log_file_bytes == size(path, "wal.bin")
        assert s.live_records == len(db)
        assert s.live_bytes == sum(len(k.encode()) + len(v) for k, v in db.items())
        assert s.live_bytes + s.garbage_bytes == s.keys_file_bytes + s.values_file_bytes
        total = s.live_bytes + s.garbage_bytes
        assert s.garbage_share == (s.garbage_bytes / total if total else 0.0)
        return s

    def test_a_frozen_dataclass(self, db):
        s = db.stats()
        assert isinstance(s, StoreStats) and dataclasses.is_dataclass(s)
        assert sorted(f.name for f in dataclasses.fields(s)) == sorted(FIELDS)
        for name in FIELDS[:-1]:
            assert type(getattr(s, name)) is int, name
        assert type(s.garbage_share) is float
        with pytest.raises(dataclasses.FrozenInstanceError):
            s.live_records = 5

    def test_empty(self, db):
        s = self.check_against_files(db)
        assert (s.live_records, s.dead_records, s.live_bytes, s.garbage_bytes) == (0, 0, 0, 0)
        assert s.garbage_share == 0.0
        assert s.cache_entries == 0 and s.cache_capacity == 10000

    def test_garbage_grows_and_vacuum_clears_it(self, path):
        db = corvid.open(path, cache_size=16)
        assert db.stats().cache_capacity == 16
        for i in range(100):
            db[f"key{i:03d}"] = b"v" * 50
        s = self.check_against_files(db)
        assert (s.live_records, s.dead_records, s.garbage_bytes) == (100, 0, 0)
        assert s.live_bytes == 100 * (6 + 50)
        shares = []
        for round_ in range(3):
            for i in range(0, 100, 2):
                db[f"key{i:03d}"] = b"w" * 50
            s = self.check_against_files(db)
            assert s.live_records == 100 and s.dead_records == 50 * (round_ + 1)
            assert s.garbage_bytes == 50 * (round_ + 1) * (6 + 50)
            shares.append(s.garbage_share)
        assert 0 < shares[0] < shares[1] < shares[2] < 1
        del db["key001"]
        s = self.check_against_files(db)
        assert (s.live_records, s.dead_records) == (99, 151)
        db.vacuum()
        s = self.check_against_files(db)
        assert (s.dead_records, s.garbage_bytes, s.garbage_share) == (0, 0, 0.0)
        assert s.live_records == 99 and s.live_bytes == 99 * 56
        for i in range(100):
            db.get(f"key{i:03d}")
        assert db.stats().cache_entries == 16
        db.close()

    def test_persist_empties_the_log(self, db):
        db.update(a=b"1", b=b"2")
        assert db.stats().log_file_bytes > 0
        db.persist()
        assert self.check_against_files(db).log_file_bytes == 0
        assert os.path.exists(os.path.join(db.path, "snapshot.bin"))


def test_package_exports():
    for name in ("open", "Store", "Durability", "StoreStats", "__version__"):
        assert hasattr(corvid, name), name
    assert corvid.__version__ == importlib.metadata.version("corvid")
    assert (pathlib.Path(corvid.__file__).parent / "py.typed").exists()


class TestHeldAppends:
    """The data files' appends wait in memory; the files end as _corvid's do."""

    OPS = 3000

    def write(self, db_put, db_delete):
        rng = random.Random(9)
        for i in range(self.OPS):
            key = f"k{rng.randrange(1500)}"
            if rng.random() < 0.15:
                db_delete(key)
            else:
                db_put(key, bytes([i % 256]) * rng.choice([0, 10, 300, 200_000]))

    def test_files_equal_the_low_level_modules(self, tmp_path):
        import _corvid

        low = _corvid.Corvid(str(tmp_path / "low"))

        def low_delete(k):
            low.delete(k)

        self.write(low.set_bytes, low_delete)
        low.persist()
        del low
        db = corvid.open(str(tmp_path / "pkg"))

        def pkg_put(k, v):
            db[k] = v
            # Held records read back from memory.
            assert db[k] == v

        self.write(pkg_put, lambda k: db.pop(k, None))
        db.close()
        for name in ("keys.bin", "vals.bin", "offsets.bin", "snapshot.bin"):
            low_bytes = (tmp_path / "low" / name).read_bytes()
            assert (tmp_path / "pkg" / name).read_bytes() == low_bytes, name
        # Reads through the maps, which grow with the files and follow a
        # vacuum's new files: no cache to answer from.
        low = _corvid.Corvid(str(tmp_path / "low"))
        expected = {k: low.get_bytes(k) for k in low.keys()}
        db = corvid.open(str(tmp_path / "pkg"), cache_size=1)
        for round in range(3):
            assert {k: db.get(k) for k in expected} == expected
            for i in range(100):
                key = f"new{round}-{i}"
                db[key] = expected[key] = bytes([i]) * (i * 997)
            db.flush()
            if round == 1:
                db.vacuum()
        db.close()

    def test_a_killed_writer_leaves_what_the_log_recovers(self, tmp_path):
        path = str(tmp_path / "store")
        # Small values stay held: nothing of them reaches keys.bin or vals.bin.
        proc = run_python(
            "import corvid, signal\n"
            f"db = corvid.open({path!r})\n"
            "for i in range(2000): db[f'k{i}'] = b'v%d' % i\n"
            "db.flush()\n"
            "for i in range(2000, 2500): db[f'k{i}'] = b'v%d' % i\n"
            "os.kill(os.getpid(), signal.SIGKILL)\n"
        )
        assert proc.returncode == -9, proc.stderr
        assert os.path.getsize(os.path.join(path, "keys.bin")) == sum(
            len(f"k{i}") for i in range(2000))
        with corvid.open(path) as db:
            assert dict(db.items()) == {f"k{i}": b"v%d" % i for i in range(2500)}
        assert os.path.getsize(os.path.join(path, "keys.bin")) == sum(
            len(f"k{i}") for i in range(2500))


def test_reopen_replays_a_long_log_and_starts_cold(tmp_path):
    # More log than one fold of the replay takes, written by a store released
    # without close(): the reopen replays it on two threads.
    path = str(tmp_path / "store")
    rng = random.Random(4)
    m = {}
    db = corvid.open(path, durability=Durability.BUFFERED)
    for i in range(14000):
        key = f"k{rng.randrange(5000)}"
        if rng.random() < 0.2:
            db.pop(key, None)
            m.pop(key, None)
        else:
            db[key] = m[key] = rng.randbytes(rng.randrange(3000))
        if i == 3000:
            db.persist()
    order = list(db)
    del db
    gc.collect()
    assert size(path, "wal.bin") > 9 << 20
    files = {name: bytes_ for name, (bytes_, _) in snapshot_of_files(path).items()}
    with corvid.open(path) as db:
        assert db.stats().cache_entries == 0
        assert list(db) == order
        assert {k: db[k] for k in m} == m
        assert {name: b for name, (b, _) in snapshot_of_files(path).items()} == files


def open_fds():
    return {os.readlink(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")
            if os.path.exists(f"/proc/self/fd/{fd}")}


def test_vacuums_in_a_row_leave_no_file_open(path):
    # The files a vacuum replaces close beside the calls after it; the next
    # vacuum and close() wait for that.
    before = open_fds()
    db = corvid.open(path)
    for round_ in range(4):
        for i in range(3000):
            db[f"k{i}"] = bytes([round_]) * 40
        db.vacuum()
        assert db[f"k{round_}"] == bytes([round_]) * 40
    db.close()
    assert open_fds() == before
    with corvid.open(path) as db:
        assert len(db) == 3000 and db["k2999"] == bytes([3]) * 40


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_child_forked_right_after_a_vacuum_lets_the_instance_go(path):
    # The thread closing the replaced files is not in the child: the
    # child's release of its copy of the instance must not wait for it.
    db = corvid.open(path)
    # Files large enough that their closing is still going on at the fork.
    db.put_many((f"k{i}", b"v" * 400) for i in range(100000))
    db.put_many((f"k{i}", b"w" * 400) for i in range(0, 100000, 2))
    db.vacuum()
    pid = os.fork()
    if pid == 0:
        try:
            del db
            gc.collect()
        finally:
            os._exit(0)
    deadline = time.monotonic() + 30
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            pytest.fail("the forked child hung releasing the instance")
        time.sleep(0.01)
    assert db["k0"] == b"w" * 400 and db["k1"] == b"v" * 400
    db.close()


def test_calls_right_after_a_vacuum_land_in_its_emptied_log(tmp_path):
    # A vacuum leaves emptying its long log to a thread. The calls after it
    # wait for that: none of their entries may be cut away with the old ones,
    # nor land behind them.
    path = str(tmp_path / "store")
    proc = run_python(
        "import corvid, signal\n"
        f"db = corvid.open({path!r})\n"
        "for i in range(100000): db[f'k{i}'] = b'v' * 100\n"
        "for i in range(0, 100000, 2): db[f'k{i}'] = b'w' * 100\n"
        "db.vacuum()\n"
        "for i in range(50): db[f'new{i}'] = b'n%d' % i\n"
        "del db['k1']\n"
        "db.flush()\n"
        "os.kill(os.getpid(), signal.SIGKILL)\n"
    )
    assert proc.returncode == -9, proc.stderr
    assert os.path.getsize(os.path.join(path, "wal.bin")) < 4096
    with corvid.open(path) as db:
        assert len(db) == 100000 + 50 - 1
        assert [db[f"new{i}"] for i in range(50)] == [b"n%d" % i for i in range(50)]
        assert "k1" not in db and db["k0"] == b"w" * 100 and db["k3"] == b"v" * 100


def _snapshot_pairs(path):
    data = (path / "snapshot.bin").read_bytes()
    (n,) = struct.unpack_from("<Q", data, 0)
    return [struct.unpack_from("<QI", data, 8 + 12 * i) for i in range(n)], data[8 + 12 * n:]


def test_snapshot_index_opened_in_place(tmp_path):
    # A writer takes the snapshot's sorted pairs as its index where they lie
    # in the file: changes to them never reach the file, a persist replaces
    # it, and pairs out of order (an older or damaged snapshot) still open.
    path = tmp_path / "db"
    with corvid.open(path) as db:
        db.update((f"k{i}", f"v{i}".encode()) for i in range(5000))
    pairs, rest = _snapshot_pairs(path)
    random.Random(5).shuffle(pairs)
    with open(path / "snapshot.bin", "wb") as f:
        f.write(struct.pack("<Q", len(pairs)))
        f.write(b"".join(struct.pack("<QI", h, i) for h, i in pairs))
        f.write(rest)
    expected = {f"k{i}": f"v{i}".encode() for i in range(5000)}
    for sorted_on_disk in (False, True, True):
        before = (path / "snapshot.bin").read_bytes()
        db = corvid.open(path)
        assert dict(db.items()) == expected
        for i in range(0, 5000, 7):
            db[f"k{i}"] = b"new"
            expected[f"k{i}"] = b"new"
        for i in range(3, 5000, 11):
            assert db.pop(f"k{i}", None) == expected.pop(f"k{i}", None)
        db.flush()
        assert (path / "snapshot.bin").read_bytes() == before
        assert dict(db.items()) == expected
        db.persist()  # a new snapshot.bin; the index stays on the old one's pairs
        db["k2"] = b"after"
        expected["k2"] = b"after"
        assert all(db[k] == v for k, v in expected.items())
        db.close()
        hashes = [h for h, _ in _snapshot_pairs(path)[0]]
        assert hashes == sorted(set(hashes)) and len(hashes) == len(expected)
    with corvid.open(path) as db:
        assert dict(db.items()) == expected

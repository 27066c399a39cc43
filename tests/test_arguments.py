"""Binding and converting arguments: every message, to the letter."""
import pathlib

import pytest

from conftest import Corvid


def raises(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message
    return info.value


class TestBinding:
    def test_constructor(self, path):
        raises(TypeError, "Corvid.__new__() missing 1 required positional argument: "
               "'storage_path'", Corvid)
        raises(TypeError, "Corvid.__new__() takes from 1 to 2 positional arguments but 3 "
               "were given", Corvid, path, 1, 2)
        raises(TypeError, "Corvid.__new__() got an unexpected keyword argument 'size'",
               Corvid, path, size=3)
        raises(TypeError, "Corvid.__new__() got multiple values for argument 'storage_path'",
               Corvid, path, storage_path=path)
        raises(TypeError, "Corvid.__new__() missing 1 required positional argument: "
               "'storage_path'", Corvid, cache_size=3)

    def test_methods(self, db):
        raises(TypeError, "Corvid.set_bytes() missing 2 required positional arguments: "
               "'key' and 'val'", db.set_bytes)
        raises(TypeError, "Corvid.set_bytes() missing 1 required positional argument: 'val'",
               db.set_bytes, "k")
        raises(TypeError, "Corvid.set_bytes() got multiple values for argument 'key'",
               db.set_bytes, "k", b"v", key="x")
        raises(TypeError, "Corvid.set_bytes() takes 2 positional arguments but 3 were given",
               db.set_bytes, "k", b"v", 1)
        raises(TypeError, "Corvid.get_bytes() takes 1 positional arguments but 2 were given",
               db.get_bytes, "a", "b")
        raises(TypeError, "Corvid.delete() got an unexpected keyword argument 'name'",
               db.delete, name="a")
        raises(TypeError, "Corvid.get_many() missing 1 required positional argument: 'keys'",
               db.get_many)

    def test_keywords_bind_like_positionals(self, db):
        db.set_bytes(val=b"v", key="k")
        assert db.get_bytes(key="k") == b"v"
        assert db.get_many(keys=["k"]) == [("k", b"v")]
        assert db.delete(key="k") is True

    def test_binding_errors_come_before_conversion(self, db):
        # The unknown keyword is reported although 'key' would not convert.
        raises(TypeError, "Corvid.set_bytes() got an unexpected keyword argument 'x'",
               db.set_bytes, 1, 2, x=3)


class TestStorageAndKeys:
    def test_path_types(self, tmp_path):
        raises(TypeError, "argument 'storage_path': 'PosixPath' object cannot be converted "
               "to 'PyString'", Corvid, pathlib.Path(tmp_path))
        raises(TypeError, "argument 'storage_path': 'bytes' object cannot be converted to "
               "'PyString'", Corvid, b"/tmp/x")

    def test_str_subclass_accepted(self, tmp_path, db):
        class S(str):
            pass

        Corvid(S(str(tmp_path / "sub")))
        db.set_bytes(S("k"), b"1")
        assert db.get_bytes("k") == b"1"

    def test_key_types(self, db):
        for fn in (db.get_bytes, db.delete):
            raises(TypeError, "argument 'key': 'bytes' object cannot be converted to "
                   "'PyString'", fn, b"k")
        raises(TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'",
               db.set_bytes, 1, b"")

    def test_unencodable_text_raises_unchanged(self, db, tmp_path):
        with pytest.raises(UnicodeEncodeError):
            db.get_bytes("\ud800")
        with pytest.raises(UnicodeEncodeError):
            db.set_bytes("\udfff", b"x")
        with pytest.raises(UnicodeEncodeError):
            Corvid(str(tmp_path / "\ud800"))
        assert db.len() == 0

    def test_get_many_arguments(self, db):
        raises(TypeError, "argument 'keys': Can't extract `str` to `Vec`", db.get_many, "ab")
        for bad, name in (({"a"}, "set"), ({"a": 1}, "dict"), ((k for k in "a"), "generator")):
            raises(TypeError, f"argument 'keys': '{name}' object cannot be converted to "
                   "'Sequence'", db.get_many, bad)
        raises(TypeError, "argument 'keys': 'int' object cannot be converted to 'PyString'",
               db.get_many, ["a", 1])
        with pytest.raises(UnicodeEncodeError):
            db.get_many(["\ud800"])
        assert db.get_many([]) == []
        assert db.get_many(()) == []


class TestValues:
    def test_value_errors(self, db):
        raises(TypeError, "argument 'val': Can't extract `str` to `Vec`", db.set_bytes, "k", "v")
        raises(TypeError, "argument 'val': 'int' object cannot be converted to 'Sequence'",
               db.set_bytes, "k", 5)
        raises(TypeError, "argument 'val': 'set' object cannot be converted to 'Sequence'",
               db.set_bytes, "k", {1})
        raises(OverflowError, "out of range integral type conversion attempted",
               db.set_bytes, "k", [1, 300])
        raises(OverflowError, "out of range integral type conversion attempted",
               db.set_bytes, "k", [-1])
        raises(TypeError, "argument 'val': 'float' object cannot be interpreted as an integer",
               db.set_bytes, "k", [1.0])
        raises(TypeError, "argument 'val': 'str' object cannot be interpreted as an integer",
               db.set_bytes, "k", ["a"])
        with pytest.raises(OverflowError):
            db.set_bytes("k", [2**64])
        assert db.len() == 0 and db.get_bytes("k") is None

    def test_value_forms_store_the_same_bytes(self, db):
        class Idx:
            def __init__(self, v):
                self.v = v

            def __index__(self):
                return self.v

        forms = {
            "bytes": b"\x00\x01\xff",
            "bytearray": bytearray(b"\x00\x01\xff"),
            "list": [0, 1, 255],
            "tuple": (0, 1, 255),
            "memoryview": memoryview(b"\x00\x01\xff"),
            "index": [Idx(0), Idx(1), Idx(255)],
            "bools": [False, True, 255],
            "range": range(0, 3),
        }
        for name, val in forms.items():
            db.set_bytes(name, val)
        for name in forms:
            expected = b"\x00\x01\x02" if name == "range" else b"\x00\x01\xff"
            assert db.get_bytes(name) == expected, name

    def test_subclasses_of_bytes_go_through_iteration(self, db):
        class B(bytes):
            def __iter__(self):
                return iter([7, 8])

        # The value is what iterating the object gives.
        db.set_bytes("k", B(b"xyz"))
        assert db.get_bytes("k") == b"\x07\x08"

    def test_failing_len_is_ignored(self, db):
        class Seq:
            def __len__(self):
                raise RuntimeError("no length")

            def __getitem__(self, i):
                if i < 2:
                    return i + 65
                raise IndexError

        db.set_bytes("k", Seq())
        assert db.get_bytes("k") == b"AB"

    def test_iteration_errors_pass_unchanged(self, db):
        class Seq:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                raise KeyError("boom")

        with pytest.raises(KeyError):
            db.set_bytes("k", Seq())

    def test_type_error_cause_is_kept(self, db):
        cause = ValueError("root")

        class Bad:
            def __index__(self):
                raise TypeError("inner") from cause

        with pytest.raises(TypeError) as info:
            db.set_bytes("k", [Bad()])
        assert str(info.value) == "argument 'val': inner"
        assert info.value.__cause__ is cause


class TestCacheSize:
    def test_accepted_values(self, tmp_path):
        class Idx:
            def __index__(self):
                return 7

        assert Corvid(str(tmp_path / "a")).cache_stats() == (0, 10000)
        assert Corvid(str(tmp_path / "b"), 0).cache_stats() == (0, 0)
        assert Corvid(str(tmp_path / "c"), True).cache_stats() == (0, 1)
        assert Corvid(str(tmp_path / "d"), Idx()).cache_stats() == (0, 7)
        assert Corvid(str(tmp_path / "e"), cache_size=12345).cache_stats() == (0, 12345)

    def test_refused_values(self, path):
        raises(TypeError, "argument 'cache_size': 'NoneType' object cannot be interpreted as "
               "an integer", Corvid, path, None)
        raises(TypeError, "argument 'cache_size': 'float' object cannot be interpreted as an "
               "integer", Corvid, path, 1.5)
        e = raises(OverflowError, "can't convert negative int to unsigned", Corvid, path, -1)
        assert not str(e).startswith("argument")
        with pytest.raises(OverflowError) as info:
            Corvid(path, 2**64)
        assert not str(info.value).startswith("argument")

"""The module and class as Python sees them."""
import importlib
import sys
import weakref

import pytest

import _corvid
from conftest import Corvid, run_python

METHODS = [
    "set_bytes",
    "get_bytes",
    "delete",
    "persist",
    "vacuum",
    "len",
    "keys",
    "cache_stats",
    "clear_cache",
    "get_many",
]


def test_module_attributes():
    own = [n for n in vars(_corvid) if n not in ("__doc__", "__file__", "__loader__",
                                                  "__name__", "__package__", "__spec__")]
    assert sorted(own) == ["Corvid", "__all__"]
    assert _corvid.__all__ == ["Corvid"] and type(_corvid.__all__) is list
    assert _corvid.__doc__ == ""
    assert not hasattr(_corvid, "PanicException")


def test_class_names_and_signature():
    assert Corvid.__name__ == "Corvid"
    assert Corvid.__qualname__ == "Corvid"
    assert Corvid.__module__ == "builtins"
    assert Corvid.__text_signature__ == "(storage_path, cache_size=...)"
    assert Corvid.__doc__ in ("", None)
    assert Corvid.__bases__ == (object,)


def test_methods_in_order_with_signatures():
    assert [n for n in vars(Corvid) if not n.startswith("__")] == METHODS
    sigs = {n: getattr(Corvid, n).__text_signature__ for n in METHODS}
    assert sigs["set_bytes"] == "($self, key, val)"
    assert sigs["get_bytes"] == sigs["delete"] == "($self, key)"
    assert sigs["get_many"] == "($self, keys)"
    for n in ("persist", "vacuum", "len", "keys", "cache_stats", "clear_cache"):
        assert sigs[n] == "($self)"
    for n in METHODS:
        assert getattr(Corvid, n).__doc__ in ("", None)


def test_only_new_and_dealloc(db):
    for slot in ("__len__", "__iter__", "__contains__", "__getitem__"):
        assert not hasattr(Corvid, slot)
    assert "__init__" not in vars(Corvid)
    assert repr(db).startswith("<builtins.Corvid object at 0x")
    with pytest.raises(TypeError):
        len(db)
    assert hash(db) == hash(db)


def test_not_subclassable_no_weakref_no_attributes(db):
    with pytest.raises(TypeError):
        type("Sub", (Corvid,), {})
    with pytest.raises(TypeError):
        weakref.ref(db)
    with pytest.raises(AttributeError):
        db.anything = 1
    assert not hasattr(db, "__dict__")
    import gc

    assert not gc.is_tracked(db)


def test_no_argument_methods_reject_arguments(db):
    for name in ("len", "keys", "persist", "vacuum", "cache_stats", "clear_cache"):
        with pytest.raises(TypeError):
            getattr(db, name)(1)


def test_second_initialisation_fails():
    del sys.modules["_corvid"]
    try:
        with pytest.raises(ImportError, match="only be initialized once per interpreter"):
            importlib.import_module("_corvid")
    finally:
        sys.modules["_corvid"] = _corvid


def test_exports_only_the_init_function():
    out = run_python(
        "import _corvid, subprocess\n"
        "print(subprocess.run(['nm', '-D', '--defined-only', _corvid.__file__],"
        " capture_output=True, text=True).stdout)"
    )
    assert out.returncode == 0, out.stderr
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit__corvid"]
    assert _corvid.__file__.endswith(".abi3.so")

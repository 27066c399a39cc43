"""corvid.dbm: the dbm interface over a store, checked beside dbm.gnu."""
import ast
import os
import pickle
import shelve
import subprocess
import sys

import pytest

import corvid
import corvid.dbm as cdbm
from conftest import NOBODY, run_python

# Debian's interpreter has dbm.gnu once python3-gdbm is installed.
GNU_PYTHON = "/usr/bin/python3"
HAS_GNU = os.path.exists(GNU_PYTHON) and subprocess.run(
    [GNU_PYTHON, "-c", "import dbm.gnu"], capture_output=True).returncode == 0
BOTH = ["corvid", pytest.param("gnu", marks=pytest.mark.skipif(not HAS_GNU, reason="no dbm.gnu"))]

# Run by both modules: the same source, in this process for corvid.dbm and
# in GNU_PYTHON for dbm.gnu.
SHARED = r'''
def outcomes(mod, path, cases):
    """Each case's value, or the kind of exception it raised."""
    def run(expr):
        try:
            return eval(expr, env)
        except mod.error:
            return "error"
        except (KeyError, TypeError) as exc:
            return type(exc).__name__
    env = {"mod": mod, "path": path, "db": mod.open(path, "n")}
    env["db"][b"a"], env["db"]["é"] = b"1", "ü"
    out = [run(e) for e in cases["rw"]]
    env["db"].close()
    env["db"] = mod.open(path, "r")
    out += [run(e) for e in cases["r"]]
    env["db"].close()
    return out + [run(e) for e in cases["closed"] + cases["open"]]

def program(mod, path):
    """A dbm.gnu program: fills, rewrites in a firstkey/nextkey loop,
    deletes, reorganizes, syncs, reopens read-only."""
    db = mod.open(path, "c")
    for i in range(300):
        db[b"k%03d" % i] = b"v%d" % i
    seen, key = [], db.firstkey()
    while key is not None:
        seen.append(key)
        db[key] = db[key] * 20
        key = db.nextkey(key)
    for key in db.keys():
        if int(key[1:]) % 3:
            del db[key]
    db.reorganize()
    db.sync()
    db.close()
    with mod.open(path, "r") as db:
        return sorted(seen), len(db), sorted((k, db[k]) for k in db.keys())
'''
exec(SHARED)

CASES = {
    "rw": [('db[b"a"]', b"1"), ('db["a"]', b"1"), ('db["é".encode()]', "ü".encode()),
           ('db[b"absent"]', "KeyError"), ("db[1]", "TypeError"), ('db.get(b"absent", 5)', 5),
           ('db.get(b"absent")', None), ("db.get(1)", "TypeError"),
           ("db.__setitem__(1, b'v')", "TypeError"), ("db.__setitem__(b'k', 1)", "TypeError"),
           ("db.__setitem__(b'k', None)", "TypeError"),
           ("db.__setitem__(bytearray(b'k'), b'v')", "TypeError"),
           ("db.__setitem__(b'k', memoryview(b'v'))", "TypeError"), ("b'k' in db", False),
           ("db.__setitem__(b's', 'é')", None), ("db[b's']", "é".encode()),
           ('"a" in db', True), ('b"absent" in db', False), ("1 in db", "TypeError"),
           ("bytearray(b'a') in db", "TypeError"), ('db.__delitem__(b"absent")', "KeyError"),
           ("db.__delitem__(1)", "TypeError"), ('db.setdefault(b"a", b"x")', b"1"),
           ('db.setdefault(b"sd", "é")', "é".encode()), ('db.setdefault(b"sd2")', "TypeError"),
           ('db.setdefault(b"sd3", 3)', "TypeError"), ('b"sd2" in db', False),
           ('db.nextkey(b"absent")', None), ("len(db)", 4),
           ("sorted(db.keys())", sorted([b"a", "é".encode(), b"s", b"sd"]))],
    "r": [('db[b"a"]', b"1"), ('db.__setitem__(b"a", b"2")', "error"),
          ('db.__delitem__(b"a")', "error"), ('db.__delitem__(b"absent")', "error"),
          ('db.setdefault(b"a", b"x")', b"1"), ('db.setdefault(b"new", b"x")', "error"),
          ("db.reorganize()", "error"), ("db.sync()", None), ("len(db)", 4)],
    "closed": [(e, "error") for e in [
        'db[b"a"]', 'db.__setitem__(b"a", b"b")', 'db.__delitem__(b"a")', 'b"a" in db',
        "len(db)", "db.keys()", "db.firstkey()", 'db.nextkey(b"a")', 'db.get(b"a")',
        'db.setdefault(b"a", b"b")', "db.reorganize()", "db.sync()"]] + [("db.close()", None)],
    "open": [('mod.open(path + "-absent", "r")', "error"),
             ('mod.open(path + "-absent", "w")', "error"),
             ('__import__("os").path.exists(path + "-absent")', False),
             ('mod.open(path, "x")', "error"), ('mod.open(path, "")', "error"),
             ('mod.open(path, "cx")', "error"), ('mod.open(path, "rc")', "error"),
             ("mod.open(path, 1)", "TypeError"), ('mod.open(path, "c", "0o666")', "TypeError"),
             ('mod.open(path, "wfsu").close()', None)],
}


def shared(module, function, path):
    """`function` of SHARED run against `module` ("corvid" or "gnu")."""
    args = (path,)
    if function == "outcomes":
        args += ({group: [e for e, _ in cases] for group, cases in CASES.items()},)
    if module == "corvid":
        return globals()[function](cdbm, *args)
    code = f"{SHARED}\nimport dbm.gnu\nprint(repr({function}(dbm.gnu, *{args!r})))"
    out = subprocess.run([GNU_PYTHON, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return ast.literal_eval(out.stdout)


def snapshot(directory):
    """Every file's bytes, mode and mtime, and the directory's listing and mtime."""
    files = {}
    for name in sorted(os.listdir(directory)):
        st = os.stat(os.path.join(directory, name))
        with open(os.path.join(directory, name), "rb") as f:
            files[name] = (f.read(), st.st_mode, st.st_mtime_ns)
    return files, os.stat(directory).st_mtime_ns


class TestBesideGnu:
    @pytest.mark.parametrize("module", BOTH)
    def test_outcomes(self, module, path):
        cases = [case for group in CASES.values() for case in group]
        assert list(zip([e for e, _ in cases], shared(module, "outcomes", path))) == cases

    @pytest.mark.parametrize("module", BOTH)
    def test_gnu_program_runs_unchanged(self, module, path):
        seen, count, items = shared(module, "program", path)
        assert seen == sorted(b"k%03d" % i for i in range(300)) and count == 100
        assert items == [(b"k%03d" % i, b"v%d" % i * 20) for i in range(0, 300, 3)]


class TestFlags:
    def test_read_only_writes_no_byte(self, path):
        # A killed writer leaves log entries after its last sync: the reader replays them in memory.
        child = run_python(f"import corvid.dbm\ndb = corvid.dbm.open({path!r}, 'c')\n"
                           "for i in range(200): db[b'k%d' % i] = b'v' * i\ndb.sync()\n"
                           "for i in range(200, 250): db[b'k%d' % i] = b'w'\n"
                           "del db[b'k1']\nos._exit(0)")
        assert child.returncode == 0, child.stderr
        before = snapshot(path)
        with cdbm.open(path, "r") as db:
            assert len(db) == 249 and db[b"k7"] == b"v" * 7 and db[b"k240"] == b"w"
            for write in (lambda: db.__setitem__(b"k", b"v"), lambda: db.__delitem__(b"k2"),
                          db.clear, db.reorganize, lambda: db.setdefault(b"new", b"v")):
                with pytest.raises(cdbm.error):
                    write()
            db.sync()
            key = db.firstkey()
            while key is not None:
                key = db.nextkey(key)
        assert snapshot(path) == before

    @pytest.mark.parametrize("flag", ["r", "w", "wf", "ru"])
    def test_absent_store_is_refused_and_nothing_created(self, path, flag):
        with pytest.raises(cdbm.error):
            cdbm.open(path, flag)
        assert not os.path.exists(path)
        os.mkdir(path)
        with pytest.raises(cdbm.error):
            cdbm.open(path, flag)
        assert os.listdir(path) == []

    def test_c_keeps_and_n_empties(self, path):
        with cdbm.open(path, "c") as db:
            db[b"secret-key"] = b"secret-value" * 100
        with cdbm.open(path, "c") as db:
            assert db[b"secret-key"] == b"secret-value" * 100
        with cdbm.open(path, "n") as db:
            assert len(db) == 0 and db.keys() == []
            db[b"fresh"] = b"v"
        with cdbm.open(path, "r") as db:
            assert db.keys() == [b"fresh"]
        for data, _, _ in snapshot(path)[0].values():
            assert b"secret" not in data

    @pytest.mark.parametrize("flag, durability", [
        ("c", "flush"), ("cf", "buffered"), ("cs", "sync"), ("cfs", "sync"), ("csf", "sync"),
        ("cu", "flush")])
    def test_modifiers_choose_durability(self, path, flag, durability):
        with cdbm.open(path, flag) as db:
            assert db._store.durability == corvid.Durability(durability)

    def test_fast_mode_keeps_what_sync_wrote(self, path):
        child = run_python(f"import corvid.dbm\ndb = corvid.dbm.open({path!r}, 'cf')\n"
                           "for i in range(100): db[b'k%d' % i] = b'v'\ndb.sync()\nos._exit(0)")
        assert child.returncode == 0, child.stderr
        with cdbm.open(path, "r") as db:
            assert len(db) == 100

    @pytest.mark.parametrize("mode, expected", [(0o666, 0o755), (0o600, 0o700), (0o640, 0o750)])
    def test_mode_sets_a_created_directory(self, tmp_path, mode, expected):
        old = os.umask(0o022)
        try:
            cdbm.open(tmp_path / "new", "c", mode).close()
            cdbm.open(tmp_path / "n", "n", mode).close()
            os.mkdir(tmp_path / "old", 0o711)
            cdbm.open(tmp_path / "old", "n", mode).close()
        finally:
            os.umask(old)
        modes = [os.stat(tmp_path / d).st_mode & 0o777 for d in ("new", "n", "old")]
        assert modes == [expected, expected, 0o711]
        with pytest.raises(cdbm.error):
            cdbm.open(tmp_path / "missing" / "db", "c")
        assert not os.path.exists(tmp_path / "missing")

    def test_mode_decides_who_may_read(self, shared_tmp):
        old = os.umask(0o022)
        try:
            for name, mode in (("shared", 0o644), ("private", 0o600)):
                with cdbm.open(os.path.join(shared_tmp, name), "c", mode) as db:
                    db[b"k"] = b"v"
        finally:
            os.umask(old)
        out = run_python(f"import corvid.dbm\nos.setgid({NOBODY}); os.setuid({NOBODY})\n"
                         f"print(corvid.dbm.open({shared_tmp!r} + '/shared').keys())\n"
                         f"try: corvid.dbm.open({shared_tmp!r} + '/private')\n"
                         "except corvid.dbm.error: print('refused')")
        assert out.stdout.splitlines() == ["[b'k']", "refused"], out.stderr

    def test_store_held_by_another_process(self, path):
        with cdbm.open(path, "c") as db:
            db[b"k"] = b"v"
        code = (f"import corvid.dbm, sys\ndb = corvid.dbm.open({path!r}, 'w')\n"
                "print('ready', flush=True)\nsys.stdin.read()")
        child = subprocess.Popen([sys.executable, "-c", code],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            assert child.stdout.readline() == b"ready\n"
            for flag in "wcn":
                with pytest.raises(cdbm.error):
                    cdbm.open(path, flag)
            cdbm.open(path, "r").close()
        finally:
            child.communicate(b"", timeout=60)
        with cdbm.open(path, "r") as db:
            assert db.keys() == [b"k"]


class TestKeysAndValues:
    def test_bytes_and_str_round_trip(self, path):
        pairs = {b"": b"", b"nul\x00key": b"\x00\xff" * 1000, "é中".encode(): b"x" * 3_000_000}
        with cdbm.open(path, "c") as db:
            for key, value in pairs.items():
                db[key] = value
            db["é中"] = "ü"
            assert db["é中".encode()] == "ü".encode() and len(db) == 3
        with corvid.open(path, readonly=True) as store:
            assert dict(store.items()) == {"": b"", "nul\x00key": b"\x00\xff" * 1000,
                                           "é中": "ü".encode()}

    @pytest.mark.parametrize("key", [b"\xff", b"ok\x80", b"\xed\xa0\x80", "\udc80"])
    def test_key_without_utf8_text(self, path, key):
        db = cdbm.open(path, "c")
        db[b"k"] = b"v"
        db.sync()
        before = snapshot(path)
        for write in (lambda: db.__setitem__(key, b"v"), lambda: db.setdefault(key, b"v")):
            with pytest.raises(cdbm.error):
                write()
        assert snapshot(path) == before and db.keys() == [b"k"]
        with pytest.raises(KeyError):
            db[key]
        with pytest.raises(KeyError):
            del db[key]
        assert key not in db and db.get(key, 7) == 7 and db.nextkey(key) is None
        db.close()


class TestShelve:
    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_every_protocol(self, path, protocol):
        objects = {"list": [1, 2.5, None], "é中": {"nested": (b"\x00\x80", "ü")},
                   "big": list(range(10_000))}
        with shelve.Shelf(cdbm.open(path, "c"), protocol=protocol) as shelf:
            shelf.update(objects)
        with shelve.Shelf(cdbm.open(path, "r")) as shelf:
            assert dict(shelf) == objects
            assert shelf.dict["big"] == pickle.dumps(objects["big"], protocol)


def filled(path, n):
    """A database opened "c" holding b"k0".. with value b"v"."""
    db = cdbm.open(path, "c")
    for i in range(n):
        db[b"k%d" % i] = b"v"
    return db


class TestTraversal:
    def test_writes_during_traversal(self, path):
        db = filled(path, 500)
        order, seen, key = db.keys(), [], db.firstkey()
        while key is not None:  # a rewrite moves the key to the end of the store's order
            seen.append(key)
            db[key] = b"w"
            key = db.nextkey(key)
        assert seen == order
        seen, key = [], db.firstkey()
        while key is not None:  # deletes the key after the current one
            seen.append(key)
            if int(key[1:]) % 2 == 0:
                del db[b"k%d" % (int(key[1:]) + 1)]
            key = db.nextkey(key)
        assert seen == [b"k%d" % i for i in range(0, 500, 2)] == db.keys()
        first = db.firstkey()
        second = db.nextkey(first)
        del db[first], db[second]
        assert db.nextkey(second) is None and db.nextkey(first) is None
        assert db.nextkey(db.keys()[5]) == db.keys()[6]
        db.close()

    def test_iteration_and_close(self, path):
        db = filled(path, 3000)
        assert list(db) == db.keys() and db.keys()[0] == b"k0"
        keys = iter(db)
        next(keys)
        db.close()
        with pytest.raises(cdbm.error):
            list(keys)
        with pytest.raises(cdbm.error):
            iter(db)
        assert repr(db) == f"<corvid.dbm.Database {os.path.abspath(path)!r} closed>"


class TestLifecycle:
    def test_reorganize_clear_and_reopen(self, path):
        with filled(path, 100) as db:
            for key in db.keys()[10:]:
                del db[key]
            db.reorganize()
        with corvid.open(path, readonly=True) as store:
            stats = store.stats()
        assert (stats.live_records, stats.dead_records, stats.garbage_bytes) == (10, 0, 0)
        with pytest.raises(ZeroDivisionError), cdbm.open(path, "w") as db:
            db.clear()
            db[b"after"] = b"clear"
            1 / 0
        with pytest.raises(cdbm.error):
            len(db)
        with cdbm.open(path, "w") as db:
            assert db.keys() == [b"after"]


class TestTyping:
    def test_mypy_strict_accepts_module_and_a_shelve_program(self, tmp_path):
        pytest.importorskip("mypy")
        program = tmp_path / "program.py"
        program.write_text(
            "import shelve\nimport corvid.dbm\n\n\ndef main(path: str) -> bytes | None:\n"
            "    shelf: shelve.Shelf[int] = shelve.Shelf(corvid.dbm.open(path, 'c'))\n"
            "    shelf.close()\n"
            "    with corvid.dbm.open(path, 'wf', 0o600) as db:\n"
            "        db[b'k'] = 'v'\n"
            "        key = db.firstkey()\n"
            "        return db.get(key) if key is not None else db.setdefault('k', b'v')\n")
        source = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")
        out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                              os.path.join("corvid", "dbm.py"), str(program)],
                             capture_output=True, text=True, cwd=source, timeout=300)
        assert out.returncode == 0, out.stdout

"""The package under races: close() against calls in flight, one iterator
shared by threads, compound calls from two threads, reference cycles, and
two writers of one directory in one process."""
import errno
import fcntl
import gc
import os
import sys
import threading
import weakref

import pytest

import corvid
import corvid.dbm
from conftest import run_python


@pytest.fixture
def store_path(tmp_path):
    return str(tmp_path / "store")


class TestCloseAgainstCallsInFlight:
    @pytest.mark.parametrize("call", ["get_many", "put_many", "delete_many"])
    def test_a_close_from_inside_the_call_is_refused(self, store_path, call):
        db = corvid.open(store_path)
        db["a"] = b"1"

        def keys():
            yield "a"
            db.close()
            yield "b"

        items = keys() if call != "put_many" else ((k, b"v") for k in keys())
        with pytest.raises(RuntimeError, match="cannot be closed by code that runs inside"):
            getattr(db, call)(items)
        assert not db.closed and db["a"] == b"1"
        db.close()

    def test_a_close_from_another_thread_waits_for_the_batch(self, store_path):
        db = corvid.open(store_path)
        items = [(f"k{i}", b"v") for i in range(200_000)]
        started = threading.Event()
        closer = threading.Thread(target=lambda: (started.wait(), db.close()))
        closer.start()
        started.set()
        try:
            db.put_many(items)
        except ValueError:  # closed before the batch began
            pass
        closer.join()
        assert db.closed
        with corvid.open(store_path) as again:
            assert len(again) in (0, 200_000)

    def test_a_second_close_returns_once_the_store_is_closed(self, store_path):
        db = corvid.open(store_path, durability="buffered")
        db.put_many((f"key-{i:08d}", b"v" * 20) for i in range(300_000))
        first = threading.Thread(target=db.close)
        first.start()
        while not db.closed:
            pass
        db.close()
        fd = os.open(store_path, os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # the lock is free
        finally:
            os.close(fd)
        assert os.path.getsize(os.path.join(store_path, "wal.bin")) == 0
        first.join()


class TestIterators:
    def test_one_iterator_shared_by_threads_hands_each_item_out_once(self, store_path):
        with corvid.open(store_path) as db:
            db.put_many((f"key-{i:07d}", b"x" * 50) for i in range(60_000))
            for _ in range(3):
                it = iter(db.items())
                seen = []

                def drain():
                    seen.extend(k for k, _ in it)

                threads = [threading.Thread(target=drain) for _ in range(4)]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                assert sorted(seen) == sorted(db.keys())

    def test_an_exhausted_iterator_stays_exhausted(self, store_path):
        with corvid.open(store_path) as db:
            db["a"] = b"1"
            it = iter(db)
            assert list(it) == ["a"]
            db["b"] = b"2"
            with pytest.raises(StopIteration):
                next(it)
            db.close()
            with pytest.raises(StopIteration):
                next(it)

    def test_the_iterator_type_cannot_be_made_directly(self, store_path):
        with corvid.open(store_path) as db:
            with pytest.raises(TypeError):
                type(iter(db))()

    def test_a_store_that_keeps_its_own_iterator_is_collected(self, store_path):
        class Cursor(corvid.Store):
            __slots__ = ("cursor",)

        db = Cursor(store_path)
        db["a"] = b"1"
        db.cursor = iter(db)
        alive = weakref.ref(db)
        del db
        gc.collect()
        assert alive() is None
        corvid.open(store_path).close()  # the directory was released


class TestCompoundCalls:
    def test_pop_and_setdefault_are_one_call(self, store_path):
        old = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        try:
            with corvid.open(store_path, durability="buffered") as db:
                n = 20_000
                db.put_many((f"k{i}", b"v") for i in range(n))
                popped, errors = [], []

                def pop_all():
                    for i in range(n):
                        try:
                            if db.pop(f"k{i}", None) is not None:
                                popped.append(i)
                        except KeyError as e:
                            errors.append(e)

                returned = {}

                def set_all(tag):
                    for i in range(n):
                        returned.setdefault(i, set()).add(db.setdefault(f"s{i}", tag))

                threads = [threading.Thread(target=pop_all) for _ in range(2)]
                threads += [threading.Thread(target=set_all, args=(t,)) for t in (b"A", b"B")]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                assert errors == [] and sorted(popped) == list(range(n))
                assert all(len(values) == 1 for values in returned.values())
        finally:
            sys.setswitchinterval(old)

    def test_a_failed_update_stores_nothing(self, store_path):
        with corvid.open(store_path) as db:
            with pytest.raises(TypeError):
                db.update({"a": b"1", "b": b"2"}, c="not bytes")
            with pytest.raises(ValueError, match="pairs, not sequences of 3"):
                db.put_many([("a", b"1", b"2")])
            assert len(db) == 0
            db.update([iter(("a", b"1"))])  # any iterable of two, as dict() takes
            assert db["a"] == b"1"


class TestOneWriterPerDirectory:
    def test_a_second_writer_in_the_same_process_is_refused(self, store_path):
        with corvid.open(store_path) as first:
            first["x"] = b"1"
            with pytest.raises(BlockingIOError, match="already open for writing in this process") as e:
                corvid.open(store_path)
            assert e.value.errno == errno.EWOULDBLOCK
            with corvid.open(store_path, readonly=True) as reader:
                assert reader["x"] == b"1"
        corvid.open(store_path).close()

    def test_buffered_writes_reach_the_log_at_exit(self, store_path):
        out = run_python(
            "import threading, corvid\n"
            f"db = corvid.open({store_path!r}, durability='buffered')\n"
            "def hold():\n"
            "    db['from a daemon thread'] = b'kept'\n"
            "    threading.Event().wait()\n"
            "threading.Thread(target=hold, daemon=True).start()\n"
            "import time; time.sleep(0.2)\n"
        )
        assert out.returncode == 0, out.stderr
        with corvid.open(store_path, readonly=True) as db:
            assert db["from a daemon thread"] == b"kept"


def test_dbm_code_may_write_over_the_keys_it_walks(tmp_path):
    with corvid.dbm.open(str(tmp_path / "d"), "c") as db:
        for i in range(100):
            db[f"k{i}".encode()] = b"old"
        for key in db:
            db[key] = b"new"
        assert {db[k] for k in db.keys()} == {b"new"} and len(db) == 100

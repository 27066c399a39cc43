"""The corvid package across processes and threads: what a killed writer
keeps, readers and the read commands beside a writer, the lock, stalls of
the interpreter during long calls, and threads sharing one store.

CORVID_PACKAGE_LONG=1 adds longer kill runs and more readers; CORVID_STALL_MS
sets the stall bound (default 50).
"""
import base64
import collections
import inspect
import json
import os
import random
import re
import select
import signal
import subprocess
import sys
import threading
import time

import pytest

import corvid
from corvid import Durability

LONG = bool(os.environ.get("CORVID_PACKAGE_LONG"))
# Generous for a noisy 2-core machine (the target is 10 ms, which the
# printed figures show); a sanitized build runs several times slower.
STALL_BOUND = float(os.environ.get("CORVID_STALL_MS", 200 if os.environ.get("CORVID_MODULE_DIR")
                                   else 50)) / 1000
CLI = os.path.join(os.path.dirname(sys.executable), "corvid")

# The writes of every writer child, shared with the parent that checks what
# the store kept: op(i) is the i-th call, as the writes it makes. Mostly a put
# of a new key; now and then an overwrite or a delete of an earlier one, a
# put_many (new keys and an overwrite) or a delete_many; values from empty to
# longer than the log's 8 KiB buffer.
def value(i):
    n = 9000 if i % 13 == 0 else (i % 37) * 7
    return (i.to_bytes(4, "little") * (n // 4 + 1))[:n]


def op(i):
    if i % 10 == 7:
        return [("put", f"k{i - 3}", value(i))]
    if i % 10 == 9:
        return [("del", f"k{i - 5}")]
    if i % 10 == 5:
        return [("put", f"k{i}", value(i)), ("put", f"k{i}x", value(i + 1)),
                ("put", f"k{i - 4}", value(i + 2))]
    if i % 20 == 18:
        return [("del", f"k{i - 13}x"), ("del", f"k{i - 12}")]
    return [("put", f"k{i}", value(i))]


def apply(db, writes):
    if len(writes) > 1 and writes[0][0] == "put":
        db.put_many([(k, v) for _, k, v in writes])
    elif len(writes) > 1:
        assert db.delete_many([k for _, k in writes] + ["absent"]) == len(writes)
    elif writes[0][0] == "put":
        db[writes[0][1]] = writes[0][2]
    else:
        del db[writes[0][1]]


# Values that say which key and which write they belong to.
def tagged(key, gen):
    return f"{key}={gen};".encode() * (1 + gen % 5)


def well_formed(key, value):
    head, sep, _ = value.partition(b";")
    if not sep or not head.startswith(f"{key}=".encode()):
        return False
    return value == tagged(key, int(head[len(key) + 1:]))


def source(*functions):
    """The functions' source, for a child's code."""
    return "\n".join(inspect.getsource(f) for f in functions)


OPS = source(value, op, apply)
TAGGED = source(tagged, well_formed)

WRITER = OPS + r'''
import os, signal, sys, time
import corvid

path, count, persist_at, end, durability = sys.argv[1:6]
count, persist_at = int(count), int(persist_at)
db = corvid.open(path, durability=durability, cache_size=64)
out = sys.stdout
i = 0
while end == "go on" or i < count:
    apply(db, op(i))
    if i + 1 == persist_at:
        db.persist()
    out.write(f"acked {i}\n")
    out.flush()
    i += 1
if end == "exit":
    os._exit(0)
out.write("waiting\n")
out.flush()
sys.stdin.read()
'''


class Model:
    """The store after the first n calls of op(), in record order. It steps
    one write at a time, so that it can also stand inside a batch."""

    def __init__(self):
        self.d = collections.OrderedDict()
        self.n = 0
        self.pending = []
        self.inside_batch = 0  # states found part way into a batch

    def step(self):
        if not self.pending:
            self.pending = list(op(self.n))
        w = self.pending.pop(0)
        if w[0] == "put":
            self.d[w[1]] = w[2]
            self.d.move_to_end(w[1])
        else:
            del self.d[w[1]]
        if not self.pending:
            self.n += 1

    def until(self, n):
        while self.n < n:
            self.step()
        return self

    def find(self, got, limit):
        """Steps to the first state at or past the current one that equals got
        (a list of items); returns the number of whole calls in it, or None if
        no state up to `limit` calls does."""
        while True:
            if len(self.d) == len(got) and list(self.d.items()) == got:
                self.inside_batch += bool(self.pending)
                return self.n
            if self.n >= limit:
                return None
            self.step()


def child_env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def start_writer(path, count, persist_at=0, end="wait", durability="flush"):
    return subprocess.Popen(
        [sys.executable, "-c", WRITER, path, str(count), str(persist_at), end, str(durability)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env=child_env())


def read_acks(proc, until):
    """Reads the child's lines until `acked {until - 1}`; returns how many
    calls it acknowledged."""
    acked = 0
    for line in proc.stdout:
        assert line.startswith("acked "), line
        acked = int(line.split()[1]) + 1
        if acked >= until:
            return acked
    raise AssertionError(f"the writer stopped at {acked}: {proc.stderr.read()}")


def finish(proc, sig=None):
    """Kills the child with sig (or lets it end); returns the number of the
    last call it acknowledged + 1 and its exit status."""
    if sig is not None:
        proc.send_signal(sig)
    # Read through the file objects: lines already buffered in them count too.
    rest = proc.stdout.read()
    err = proc.stderr.read()
    proc.stdin.close()
    proc.wait(timeout=60)
    acks = [int(line.split()[1]) + 1 for line in rest.splitlines() if line.startswith("acked ")]
    return (acks[-1] if acks else None), proc.returncode, err


def contents(path, **kwargs):
    with corvid.open(path, **kwargs) as db:
        return list(db.items())


def check_prefix(path, at_least, at_most):
    """The reopened store holds the first n calls exactly, at_least <= n <= at_most."""
    got = contents(path)
    model = Model().until(at_least)
    n = model.find(got, at_most)
    assert n is not None, f"no state of {at_least}..{at_most} calls matches ({len(got)} keys)"
    if model.inside_batch:
        print(f"\nreopened part way into call {n}, a batch")
    return n


def run_python(code, *args, timeout=120):
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                          timeout=timeout, env=child_env())


# --- a killed writer --------------------------------------------------------------------------

COUNTS = [1, 2, 7, 100, 1000, 5000] + ([20000, 60000] if LONG else [])


class TestKilledWriter:
    @pytest.mark.parametrize("persist", [False, True], ids=["log only", "persisted midway"])
    @pytest.mark.parametrize("n", COUNTS)
    def test_sigkill_after_n_calls(self, tmp_path, n, persist):
        # The child stops after its n-th call and is killed while it waits.
        path = str(tmp_path / "store")
        proc = start_writer(path, n, persist_at=max(1, n // 2) if persist else 0)
        assert read_acks(proc, n) == n
        assert proc.stdout.readline() == "waiting\n"
        _, rc, err = finish(proc, signal.SIGKILL)
        assert rc == -signal.SIGKILL, err
        assert contents(path) == list(Model().until(n).d.items())

    @pytest.mark.parametrize("persist", [False, True], ids=["log only", "persisted midway"])
    @pytest.mark.parametrize("n", [1, 7, 100, 1000, 5000] + ([50000] if LONG else []))
    def test_sigkill_while_writing(self, tmp_path, n, persist):
        # The child goes on writing: killed just after the n-th acknowledgement
        # reached the parent, with more calls in flight.
        path = str(tmp_path / "store")
        proc = start_writer(path, 0, persist_at=max(1, n // 2) if persist else 0, end="go on")
        read_acks(proc, n)
        last, rc, err = finish(proc, signal.SIGKILL)
        assert rc == -signal.SIGKILL, err
        # Every acknowledged call is there; a call after them may be too.
        check_prefix(path, n, (last or n) + 1)

    @pytest.mark.parametrize("persist", [False, True], ids=["log only", "persisted midway"])
    @pytest.mark.parametrize("n", [1, 7, 1000])
    def test_os_exit(self, tmp_path, n, persist):
        path = str(tmp_path / "store")
        proc = start_writer(path, n, persist_at=max(1, n // 2) if persist else 0, end="exit")
        last, rc, err = finish(proc)
        assert (last, rc) == (n, 0), err
        assert contents(path) == list(Model().until(n).d.items())

    @pytest.mark.parametrize("persist", [False, True], ids=["log only", "persisted midway"])
    @pytest.mark.parametrize("n", [1, 7, 1000])
    def test_sigterm(self, tmp_path, n, persist):
        path = str(tmp_path / "store")
        proc = start_writer(path, n, persist_at=max(1, n // 2) if persist else 0)
        read_acks(proc, n)
        assert proc.stdout.readline() == "waiting\n"
        _, rc, err = finish(proc, signal.SIGTERM)
        assert rc == -signal.SIGTERM, err
        assert contents(path) == list(Model().until(n).d.items())

    def test_sync(self, tmp_path):
        path = str(tmp_path / "store")
        proc = start_writer(path, 0, end="go on", durability="sync")
        read_acks(proc, 40)
        last, rc, err = finish(proc, signal.SIGKILL)
        assert rc == -signal.SIGKILL, err
        check_prefix(path, 40, (last or 40) + 1)

    def test_buffered_reopens_to_a_prefix(self, tmp_path):
        # A buffered writer may lose its last calls, but what it kept is the
        # state after some prefix of them, and the store goes on working.
        path = str(tmp_path / "store")
        proc = start_writer(path, 0, end="go on", durability=Durability.BUFFERED.value)
        read_acks(proc, 3000)
        last, rc, err = finish(proc, signal.SIGKILL)
        assert rc == -signal.SIGKILL, err
        check_prefix(path, 0, (last or 3000) + 1)
        with corvid.open(path) as db:
            db["after"] = b"x"
        assert contents(path, readonly=True)[-1] == ("after", b"x")


# --- readers and the read commands ------------------------------------------------------------

def files_of(path):
    """Every file's bytes and modification time, and the directory's."""
    out = {".": os.stat(path).st_mtime_ns}
    for name in sorted(os.listdir(path)):
        p = os.path.join(path, name)
        with open(p, "rb") as f:
            out[name] = (f.read(), os.stat(p).st_mtime_ns)
    return out


def age(path):
    """Sets every file's times (and the directory's) a day back, so that any
    write from now on shows in them, however coarse the clock."""
    then = time.time() - 86400
    for name in os.listdir(path):
        os.utime(os.path.join(path, name), (then, then))
    os.utime(path, (then, then))


def cli(*args):
    return subprocess.run([CLI, *args], capture_output=True, timeout=60)


def read_everything(path, expected):
    """Reads the store every way there is, read-only and with the read commands,
    checking what each one sees."""
    with corvid.open(path, readonly=True) as db:
        assert list(db.items()) == expected
        assert list(db) == [k for k, _ in expected] and len(db) == len(expected)
        assert list(db.values()) == [v for _, v in expected]
        keys = [k for k, _ in expected]
        assert db.get_many(keys + ["absent"]) == [v for _, v in expected] + [None]
        assert all(k in db for k in keys[:50]) and "absent" not in db
        db.stats()
        repr(db)
    for args in (["stat", path], ["stat", "--json", path], ["verify", path]):
        out = cli(*args)
        assert out.returncode == 0, (args, out.stderr)
    for k, v in expected[:3] + expected[-3:]:
        out = cli("get", path, k)
        assert (out.returncode, out.stdout) == (0, v), out.stderr
    out = cli("dump", path)
    assert out.returncode == 0, out.stderr
    dumped = [json.loads(line) for line in out.stdout.decode().splitlines()]
    assert [(d["key"], base64.b64decode(d["value_b64"])) for d in dumped] == expected


class TestReaders:
    def test_a_closed_store_is_left_as_it_was(self, tmp_path):
        path = str(tmp_path / "store")
        with corvid.open(path) as db:
            for i in range(400):
                apply(db, op(i))
        age(path)
        before = files_of(path)
        read_everything(path, list(Model().until(400).d.items()))
        assert files_of(path) == before

    def test_a_killed_writers_log_is_left_as_it_was(self, tmp_path):
        # The log holds calls no snapshot has: a reader replays them in memory.
        path = str(tmp_path / "store")
        proc = start_writer(path, 700, persist_at=300)
        read_acks(proc, 700)
        finish(proc, signal.SIGKILL)
        assert os.path.getsize(os.path.join(path, "wal.bin")) > 0
        age(path)
        before = files_of(path)
        read_everything(path, list(Model().until(700).d.items()))
        assert files_of(path) == before

    def test_beside_a_live_writer(self, tmp_path):
        path = str(tmp_path / "store")
        proc = start_writer(path, 900, persist_at=500)
        try:
            read_acks(proc, 900)
            assert proc.stdout.readline() == "waiting\n"
            age(path)
            before = files_of(path)
            expected = list(Model().until(900).d.items())
            read_everything(path, expected)
            # Many readers at once, each seeing the writer's calls.
            readers = [corvid.open(path, readonly=True) for _ in range(12)]
            for r in readers:
                assert list(r.items()) == expected
            for r in readers:
                r.close()
            assert files_of(path) == before
        finally:
            finish(proc, signal.SIGKILL)

    def test_readers_while_the_writer_writes(self, tmp_path):
        # Each reader opened while the writer goes on sees at least every call
        # acknowledged before its open, and exactly the state after some
        # prefix of the calls: never half of a persist or a vacuum.
        path = str(tmp_path / "store")
        progress = open(str(tmp_path / "progress"), "w+")
        code = OPS + r'''
import sys, corvid
db = corvid.open(sys.argv[1])
out = open(sys.argv[2], "w")
for i in range(400000):
    apply(db, op(i))
    if i % 700 == 699:
        db.persist()
    if i % 4000 == 3999:
        db.vacuum()
    out.write(f"{i + 1}\n")
    out.flush()
'''
        proc = subprocess.Popen([sys.executable, "-c", code, path, progress.name],
                                stderr=subprocess.PIPE, env=child_env())
        model = Model()
        try:
            def acked():
                lines = open(progress.name).read().split("\n")
                done = [int(x) for x in lines[:-1] if x]
                return done[-1] if done else 0

            while acked() < 50:
                time.sleep(0.01)
            opens = 60 if LONG else 20
            for reader in range(opens):
                before = acked()
                got = contents(path, readonly=True)
                after = acked()
                n = model.find(got, after + 1)
                assert n is not None, (reader, before, after, len(got))
                assert n >= before, (reader, n, before)
                if reader % 5 == 0:
                    out = cli("verify", path)
                    assert out.returncode == 0, out.stdout + out.stderr
            assert proc.poll() is None, proc.stderr.read()
            print(f"\nreaders beside a writer: {opens} opens up to call {model.n}, "
                  f"{model.inside_batch} part way into a batch")
        finally:
            proc.kill()
            proc.wait()
            progress.close()

    def test_a_reader_open_across_the_writers_vacuums(self, tmp_path):
        # A reader opened before the writer overwrites, deletes, vacuums and
        # persists reads, all along, values that belong to the key it asked for.
        path = str(tmp_path / "store")
        code = TAGGED + r'''
import sys, corvid
db = corvid.open(sys.argv[1])
keys = [f"r{j}" for j in range(500)]
db.put_many((k, tagged(k, 0)) for k in keys)
db.persist()
print("ready", flush=True)
sys.stdin.readline()
for gen in range(1, 31):
    db.put_many((k, tagged(k, gen)) for k in keys[gen % 3::2])
    db.delete_many(keys[gen::50])
    db.vacuum() if gen % 5 == 0 else db.persist()
print("done", flush=True)
sys.stdin.readline()
'''
        proc = subprocess.Popen([sys.executable, "-c", code, path], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True, env=child_env())
        try:
            assert proc.stdout.readline() == "ready\n"
            keys = [f"r{j}" for j in range(500)]
            reader = corvid.open(path, readonly=True)
            first = list(reader.items())
            assert first == [(k, tagged(k, 0)) for k in keys]
            proc.stdin.write("go\n")
            proc.stdin.flush()
            rounds = 0
            while True:
                for k, v in zip(keys, reader.get_many(keys)):
                    assert v is None or well_formed(k, v), (k, v)
                for k, v in reader.items():
                    assert well_formed(k, v), (k, v)
                rounds += 1
                if proc.poll() is not None or rounds > 2000:
                    break
                if select.select([proc.stdout], [], [], 0)[0]:
                    break
            assert proc.stdout.readline() == "done\n"
            last = list(reader.items())
            assert all(well_formed(k, v) for k, v in last)
            print(f"\nreader across vacuums: {rounds} rounds, still the state at its open: "
                  f"{last == first}")
            reader.close()
            # A reader opened now sees the writer's last persist.
            expected = {k: tagged(k, 0) for k in keys}
            for gen in range(1, 31):
                expected.update((k, tagged(k, gen)) for k in keys[gen % 3::2])
                for k in keys[gen::50]:
                    expected.pop(k, None)
            assert dict(contents(path, readonly=True)) == expected
        finally:
            proc.kill()
            proc.wait()


# --- the lock ---------------------------------------------------------------------------------

HOLDER = r'''
import sys, corvid
db = corvid.open(sys.argv[1])
db["held"] = b"by the holder"
print("ready", flush=True)
for line in sys.stdin:
    if line.strip() == "close":
        db.close()
        print("closed", flush=True)
'''

OPENER = r'''
import sys, corvid
try:
    with corvid.open(sys.argv[1], readonly=sys.argv[2] == "readonly") as db:
        print("opened", db.get("held"))
except BlockingIOError as e:
    print("refused", e)
'''


def start_holder(path):
    proc = subprocess.Popen([sys.executable, "-c", HOLDER, path], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True, env=child_env())
    assert proc.stdout.readline() == "ready\n"
    return proc


def open_elsewhere(path, mode="write"):
    out = run_python(OPENER, path, mode)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


class TestLock:
    def test_refused_while_held_then_free_after_close(self, tmp_path):
        path = str(tmp_path / "store")
        holder = start_holder(path)
        try:
            age(path)
            before = files_of(path)
            message = open_elsewhere(path)
            assert message.startswith("refused "), message
            assert re.search(rf"\b{holder.pid}\b", message), message
            assert path in message, message
            # Readers need no lock.
            assert open_elsewhere(path, "readonly") == "opened b'by the holder'"
            assert files_of(path) == before
            holder.stdin.write("close\n")
            holder.stdin.flush()
            assert holder.stdout.readline() == "closed\n"
            # The holder lives on, but let the directory go.
            assert open_elsewhere(path) == "opened b'by the holder'"
        finally:
            holder.stdin.close()
            holder.wait(timeout=30)

    def test_free_after_the_holder_is_killed(self, tmp_path):
        path = str(tmp_path / "store")
        holder = start_holder(path)
        assert open_elsewhere(path).startswith("refused ")
        holder.kill()
        holder.wait(timeout=30)
        assert open_elsewhere(path) == "opened b'by the holder'"

    def test_free_after_a_with_block(self, tmp_path):
        path = str(tmp_path / "store")
        with corvid.open(path) as db:
            db["held"] = b"here"
            message = open_elsewhere(path)
            assert message.startswith("refused ") and re.search(rf"\b{os.getpid()}\b", message)
        assert open_elsewhere(path) == "opened b'here'"


# --- stalls -----------------------------------------------------------------------------------

class Ticker:
    """A thread that sleeps 1 ms at a time and records when it woke."""

    def __init__(self):
        self.wakes = []
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.is_set():
            time.sleep(0.001)
            self.wakes.append(time.perf_counter())

    def __enter__(self):
        self.thread.start()
        while len(self.wakes) < 5:
            time.sleep(0.001)
        self.start = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.end = time.perf_counter()
        seen = len(self.wakes)
        while len(self.wakes) < seen + 2:
            time.sleep(0.001)
        self.stop.set()
        self.thread.join()

    def longest(self):
        """The longest gap between two wake-ups that overlaps the call."""
        gaps = [b - a for a, b in zip(self.wakes, self.wakes[1:])
                if b > self.start and a < self.end]
        return max(gaps)


def stall_of(label, call):
    with Ticker() as t:
        call()
    stall = t.longest()
    print(f"\n{label}: {t.end - t.start:.3f} s, longest stall {stall * 1000:.1f} ms")
    return stall


@pytest.fixture(scope="module")
def big_store(tmp_path_factory):
    """200,000 records, a tenth of them overwritten and some deleted."""
    path = str(tmp_path_factory.mktemp("stalls") / "store")
    value = bytes(range(60))
    with corvid.open(path) as db:
        db.put_many((f"key{i:08d}", value) for i in range(200_000))
        db.put_many((f"key{i:08d}", value[::-1]) for i in range(0, 200_000, 10))
        db.delete_many(f"key{i:08d}" for i in range(5, 200_000, 40))
    return path


class TestStalls:
    def test_idle(self):
        # What the machine does to a sleeping thread by itself.
        stall_of("idle", lambda: time.sleep(0.3))

    def test_vacuum(self, big_store):
        with corvid.open(big_store) as db:
            assert db.stats().dead_records > 0
            stall = stall_of("vacuum of 200,000 records", db.vacuum)
            assert db.stats().dead_records == 0
        assert stall < STALL_BOUND

    def test_put_right_after_a_vacuum(self, tmp_path):
        # The vacuum leaves emptying its 100 MB log to a thread, and the put
        # after it waits for that: without blocking the other threads.
        # This machine stalls an idle thread by 100 ms now and then (see
        # test_idle): a put that held the lock stalls every try, noise seldom
        # twice, so the better of two tries counts.
        value = b"x" * 60_000
        stalls = []
        with corvid.open(str(tmp_path / "store")) as db:
            for _ in range(2):
                db.put_many((f"k{i}", value) for i in range(1200))
                db.put_many((f"k{i}", value) for i in range(0, 1200, 2))

                def vacuum_and_put():
                    db.vacuum()
                    db["after"] = b"y"

                stalls.append(stall_of("vacuum of a 100 MB log, then a put", vacuum_and_put))
                assert db["after"] == b"y" and len(db) == 1201
                if stalls[-1] < STALL_BOUND:
                    break
        assert min(stalls) < STALL_BOUND

    def test_persist(self, big_store):
        with corvid.open(big_store) as db:
            db["one more"] = b"x"
            stall = stall_of("persist of 200,000 records", db.persist)
        assert stall < STALL_BOUND

    def test_get_many(self, big_store):
        keys = [f"key{i:08d}" for i in range(0, 180_000, 3)]
        with corvid.open(big_store) as db:
            got = []
            stall = stall_of("get_many of 60,000 keys", lambda: got.extend(db.get_many(keys)))
            assert len(got) == 60_000 and got[1] == bytes(range(60))
        assert stall < STALL_BOUND

    def test_put_many(self, big_store):
        items = [(f"new{i:08d}", i.to_bytes(4, "little") * 25) for i in range(60_000)]
        with corvid.open(big_store) as db:
            stall = stall_of("put_many of 60,000 items", lambda: db.put_many(items))
            assert db["new00012345"] == (12345).to_bytes(4, "little") * 25
        assert stall < STALL_BOUND

    def test_iteration(self, big_store):
        with corvid.open(big_store) as db:
            n = len(db)
            seen = []
            stall = stall_of(f"iteration of {n:,} items", lambda: seen.extend(db.items()))
            assert len(seen) == n
        assert stall < STALL_BOUND

    def test_open_and_close(self, big_store):
        box = []
        stall = stall_of("open of 200,000 records", lambda: box.append(corvid.open(big_store)))
        box[0]["dirty"] = b"so that close persists"
        stall = max(stall, stall_of("close of 200,000 records", box[0].close))
        assert stall < STALL_BOUND


# --- threads ----------------------------------------------------------------------------------

class TestThreads:
    def test_calls_from_several_threads(self, tmp_path):
        path = str(tmp_path / "store")
        db = corvid.open(path, cache_size=64)
        errors = []
        done = threading.Event()
        writers = 3
        models = [collections.OrderedDict() for _ in range(writers)]
        counts = collections.Counter()

        def guard(fn):
            def run():
                try:
                    fn()
                except BaseException as e:  # noqa: B036
                    errors.append(f"{fn.__name__}: {e!r}")
                    done.set()
            return run

        def writer(w):
            def write():
                rng = random.Random(w)
                m = models[w]
                keys = [f"w{w}-{j}" for j in range(150)]
                for gen in range(6000):
                    if done.is_set():
                        return
                    r = rng.random()
                    k = rng.choice(keys)
                    if r < 0.6:
                        db[k] = tagged(k, gen)
                        m[k] = tagged(k, gen)
                        m.move_to_end(k)
                    elif r < 0.75:
                        assert (db.pop(k, None) is None) == (m.pop(k, None) is None)
                    elif r < 0.85:
                        batch = [(x, tagged(x, gen)) for x in rng.sample(keys, 4)]
                        db.put_many(batch)
                        for x, v in batch:
                            m[x] = v
                            m.move_to_end(x)
                    elif r < 0.9:
                        gone = rng.sample(keys, 3)
                        assert db.delete_many(gone) == sum(x in m for x in gone)
                        for x in gone:
                            m.pop(x, None)
                    else:
                        assert db.get(k) == m.get(k)
            write.__name__ = f"writer{w}"
            return write

        def reader():
            rng = random.Random(99)
            while not done.is_set():
                keys = [f"w{rng.randrange(writers)}-{rng.randrange(150)}" for _ in range(20)]
                for k, v in zip(keys, db.get_many(keys)):
                    assert v is None or well_formed(k, v), (k, v)
                k = keys[0]
                v = db.get(k)
                assert v is None or well_formed(k, v), (k, v)
                counts["reads"] += 1

        def iterator():
            while not done.is_set():
                try:
                    for k, v in db.items():
                        assert well_formed(k, v), (k, v)
                    counts["whole iterations"] += 1
                except RuntimeError as e:
                    assert str(e) == "store changed during iteration"
                    counts["stopped iterations"] += 1

        def persister():
            i = 0
            while not done.is_set():
                db.vacuum() if i % 8 == 7 else db.persist()
                s = db.stats()
                assert s.live_records >= 0 and s.dead_records >= 0
                len(db)
                i += 1
                counts["persists"] += 1
                time.sleep(0.001)

        threads = [threading.Thread(target=guard(writer(w))) for w in range(writers)]
        helpers = [threading.Thread(target=guard(f)) for f in (reader, iterator, persister)]
        # Threads take turns far more often than usual: calls interleave finely.
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-5)
        try:
            for t in threads + helpers:
                t.start()
            for t in threads:
                t.join(timeout=120)
            done.set()
            for t in helpers:
                t.join(timeout=60)
        finally:
            sys.setswitchinterval(interval)
        print(f"\nthreads: {dict(counts)}")
        try:
            assert not errors, errors
            expected = {}
            for m in models:
                expected.update(m)
            assert dict(db.items()) == expected
            keys = list(db)
            for w, m in enumerate(models):
                # Each writer's keys stand in the order of its own last writes.
                assert [k for k in keys if k.startswith(f"w{w}-")] == list(m)
            assert db.stats().live_records == len(expected)
        finally:
            db.close()
        assert dict(contents(path)) == expected

    def test_a_change_from_another_thread_stops_an_iteration(self, tmp_path):
        with corvid.open(str(tmp_path / "store")) as db:
            db.update(a=b"1", b=b"2", c=b"3")
            for change in (lambda: db.__setitem__("d", b"4"), lambda: db.__delitem__("a"),
                           db.vacuum, db.clear):
                it = iter(db.items())
                next(it)
                t = threading.Thread(target=change)
                t.start()
                t.join()
                with pytest.raises(RuntimeError, match="^store changed during iteration$"):
                    next(it)
                db.update(a=b"1", b=b"2", c=b"3")

    def test_close_while_other_threads_call(self, tmp_path):
        # In a child, so that a crash shows as its exit status: every call
        # after close() raises ValueError, a call running across it finishes
        # or raises the same, and nothing else happens.
        code = r'''
import sys, threading, time, corvid
CLOSED = "I/O operation on a closed store"
path = sys.argv[1]
db = corvid.open(path)
keys = [f"key{i:06d}" for i in range(50000)]
db.put_many((k, k.encode() * 4) for k in keys)
problems = []
closed_seen = []

def loop(name, call):
    try:
        while True:
            try:
                call()
            except RuntimeError as e:
                if str(e) != "store changed during iteration":
                    raise
    except ValueError as e:
        if str(e) != CLOSED:
            problems.append(f"{name}: {e!r}")
        closed_seen.append(name)
    except BaseException as e:
        problems.append(f"{name}: {e!r}")

calls = {
    "get_many": lambda: db.get_many(keys),
    "put_many": lambda: db.put_many((k, b"x") for k in keys[:5000]),
    "iterate": lambda: sum(1 for _ in db.items()),
    "persist": db.persist,
    "vacuum": db.vacuum,
    "get": lambda: db.get("key000001"),
}
threads = [threading.Thread(target=loop, args=item) for item in calls.items()]
for t in threads:
    t.start()
time.sleep(0.3)
db.close()
for t in threads:
    t.join(timeout=60)
assert not any(t.is_alive() for t in threads), "a thread is stuck"
assert not problems, problems
assert sorted(closed_seen) == sorted(calls), closed_seen
with corvid.open(path) as again:
    assert len(again) == 50000 and again["key049999"] == b"key049999" * 4
print("ok")
'''
        out = run_python(code, str(tmp_path / "store"))
        assert (out.returncode, out.stdout) == (0, "ok\n"), out.stderr

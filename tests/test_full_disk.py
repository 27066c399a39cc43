"""A full disk at every kind of write: the failing call raises, changes nothing,
and the store goes on once space is back.

Every case runs in a child interpreter on a small tmpfs mount of its own,
where a filler file takes the free space away and gives it back; the child
plays one store's whole life and checks it against a model of the calls that
were acknowledged, and a second child reopens the store and checks it again.
A child killed by a signal (SIGBUS from a mapped file, say) fails the case.

`make test` runs a sample of the key and value sizes, in which every size and
variant appears at least once; CORVID_FAULTS=long (`make faults`) runs every
combination. Mounting needs root: without it the module is skipped.
"""
import copy
import ctypes
import errno
import gc
import json
import os
import pickle
import random
import sys

from _corvid import Corvid

PAGE = 4096
LOG_BUFFER = 8192
TABLE_ROWS = 100_000
TABLE_BYTES = TABLE_ROWS * 24
NO_SPACE = "No space left on device"
DATA_FILES = ("offsets.bin", "keys.bin", "vals.bin")
# What an outside reservation keeps free for a file that must not run out.
RESERVED = 512 * 1024
# Puts (or deletes) a round may take to fill the disk: far below the 100,000
# records at which the record table would double as well.
MAX_ROUND = 50_000


def pages(n):
    """n bytes rounded up to whole pages, the unit a tmpfs allocates in."""
    return -(-n // PAGE) * PAGE


def whole_pages(n):
    return n // PAGE * PAGE


def make_key(i, size):
    """A key of `size` bytes, distinct for distinct i as far as the size allows."""
    return f"{i:x}".rjust(size, "-")[-size:] if size else ""


def make_value(i, size):
    # Not periodic: a value read from the wrong offset does not compare equal.
    return random.Random(i * 1_000_003 + size).randbytes(size)


def populate_count(key_size, value_size):
    """How many keys a store starts with: a few large ones or more small ones."""
    return max(4, min(60, 600_000 // (key_size + value_size + 1)))


# ---- the child's side: runs without pytest, on the mount ----

libc = ctypes.CDLL(None, use_errno=True)
libc.fallocate.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int64, ctypes.c_int64]
FALLOC_FL_KEEP_SIZE = 1

# Filled by the child's unraisable-exception hook: a release reports there.
unraisable = []


class Disk:
    """The tmpfs mount a store lives on; a filler file takes its free space
    away and gives it back."""

    def __init__(self, mount):
        self.mount = mount
        self.filler = os.path.join(mount, "filler")

    def free(self):
        st = os.statvfs(self.mount)
        return st.f_bavail * st.f_frsize

    def fill(self, leave=0):
        """Takes every free page, then gives back `leave` bytes (whole pages)."""
        fd = os.open(self.filler, os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            size = os.fstat(fd).st_size
            while self.free() > 0:
                # All at once, then page by page for what the count overstated.
                for n in (self.free(), PAGE):
                    try:
                        os.posix_fallocate(fd, size, n)
                        size += n
                        break
                    except OSError as e:
                        if e.errno != errno.ENOSPC:
                            raise
                else:
                    break
            assert size >= leave, f"the filler holds {size} bytes, not {leave} to give back"
            os.ftruncate(fd, size - leave)
        finally:
            os.close(fd)
        assert self.free() == leave, (self.free(), leave)

    def give_back(self):
        os.truncate(self.filler, 0)


def reserve_past_end(path, length):
    """Allocates `length` bytes of blocks past the file's end, leaving its
    length alone: writes there cannot run out of space."""
    fd = os.open(path, os.O_WRONLY)
    try:
        if libc.fallocate(fd, FALLOC_FL_KEEP_SIZE, os.fstat(fd).st_size, length) != 0:
            err = ctypes.get_errno()
            raise OSError(err, os.strerror(err), path)
    finally:
        os.close(fd)


def assert_no_space(error, call):
    """A write that ran out of space: a put or delete raises PanicException
    (a BaseException, not an Exception), persist and vacuum an OSError."""
    if call in ("set_bytes", "delete"):
        assert type(error).__name__ == "PanicException", f"{call} raised {error!r}"
        assert not isinstance(error, Exception), f"{call} raised {error!r}"
    else:
        assert isinstance(error, OSError), f"{call} raised {error!r}"
    assert NO_SPACE in str(error), f"{call} raised {error!r}"


def attempt(call, name, may_fail):
    """Runs call; True once it returned. With may_fail, a failure for want of
    space gives False; any other failure, or any failure without may_fail,
    propagates."""
    if not may_fail:
        call()
        return True
    try:
        call()
    except BaseException as e:  # noqa: B036 -- PanicException is a BaseException
        assert_no_space(e, name)
        return False
    return True


class Model:
    """What the store must hold: the effect of every acknowledged call."""

    def __init__(self, key_size, value_size):
        self.key_size = key_size
        self.value_size = value_size
        self.live = {}        # key -> value, in order of first put
        self.touched = set()  # every key a call named, acknowledged or not
        self.calls = 0
        self.records = 0      # puts since the last vacuum: rows of the record table
        self.logged = 0       # bytes of wal.bin once nothing is buffered
        self.rng = random.Random(key_size * 31 + value_size)

    def save(self, path):
        with open(path, "wb") as f:
            pickle.dump(self, f)

    @staticmethod
    def load(path):
        with open(path, "rb") as f:
            return pickle.load(f)

    # Calls; each returns whether it was acknowledged.

    def put(self, db, key, value, may_fail=False):
        self.touched.add(key)
        if not attempt(lambda: db.set_bytes(key, value), "set_bytes", may_fail):
            return False
        self.live[key] = value
        self.records += 1
        self.logged += 20 + len(key.encode()) + len(value)
        return True

    def delete(self, db, key, may_fail=False):
        self.touched.add(key)
        found = []
        if not attempt(lambda: found.append(db.delete(key)), "delete", may_fail):
            return False
        assert found == [key in self.live], (key[:20], found)
        self.live.pop(key, None)
        self.logged += 12 + len(key.encode())
        return True

    def persist(self, db, may_fail=False):
        if not attempt(db.persist, "persist", may_fail):
            return False
        self.logged = 0
        return True

    def vacuum(self, db, may_fail=False):
        if not attempt(db.vacuum, "vacuum", may_fail):
            return False
        self.logged = 0
        self.records = len(self.live)
        return True

    # Arguments for the next call.

    def next_put(self):
        self.calls += 1
        if self.calls % 3 == 0 and self.live:
            key = self.rng.choice(list(self.live))  # every third put overwrites
        else:
            key = make_key(self.calls, self.key_size)
        return key, make_value(self.calls, self.value_size)

    def next_delete(self):
        self.calls += 1
        # The oldest live key; once none is left, a key never written.
        return next(iter(self.live), make_key(self.calls, self.key_size))

    # Sequences of calls.

    def populate(self, db, count=None):
        """Puts, then overwrites of every third key and deletes of every fourth."""
        count = count or populate_count(self.key_size, self.value_size)
        fresh = [self.next_put()[0] for _ in range(count)]
        for i, key in enumerate(fresh):
            self.put(db, key, make_value(i, self.value_size))
        for key in fresh[::3]:
            self.put(db, key, make_value(-1, self.value_size))
        for key in fresh[1::4]:
            self.delete(db, key)

    def writes(self, db, n):
        """n calls, two puts to a delete, each of which must succeed."""
        for i in range(n):
            if i % 3 == 2:
                self.delete(db, self.next_delete())
            else:
                self.put(db, *self.next_put())

    def write_until_full(self, db, op):
        """Calls `op` on fresh arguments until one fails for want of space."""
        for _ in range(MAX_ROUND):
            if op == "put":
                done = self.put(db, *self.next_put(), may_fail=True)
            else:
                done = self.delete(db, self.next_delete(), may_fail=True)
            if not done:
                return
        raise AssertionError(f"{MAX_ROUND} calls of {op} and the disk never filled")

    def fill_table(self, db, last_persist=TABLE_ROWS):
        """Overwrites one key with empty values until all 100,000 rows of the
        record table are used, persisting every 10,000 records (so that the
        log stays short) and at `last_persist`, but not after it."""
        while self.records < TABLE_ROWS:
            self.put(db, "", b"")
            if self.records <= last_persist and (
                self.records % 10_000 == 0 or self.records == last_persist
            ):
                self.persist(db)


def short(value):
    return "absent" if value is None else f"{len(value)} bytes {value[:6]!r}"


def check(db, model, when):
    """The store holds exactly the model: every key any call named reads as
    the model has it (from the cache, then again after clearing it), keys()
    names the live keys and nothing else, and len() counts them."""
    touched = sorted(model.touched)
    for cached in (True, False):
        if not cached:
            db.clear_cache()
        got = db.get_many(touched)
        wrong = [(k, v) for k, v in got if v != model.live.get(k)]
        if wrong:
            k, v = wrong[0]
            raise AssertionError(
                f"{when}: {len(wrong)} keys read wrong ({'cached' if cached else 'uncached'}),"
                f" key {k[:24]!r} of {len(k)} bytes: {short(v)}, acknowledged"
                f" {short(model.live.get(k))}"
            )
    keys = db.keys()
    assert sorted(keys) == sorted(model.live), (
        f"{when}: keys() names {len(keys)} keys, {len(set(keys) - set(model.live))} never"
        f" acknowledged, {len(set(model.live) - set(keys))} missing"
    )
    assert db.len() == len(model.live), f"{when}: len() is {db.len()}, {len(model.live)} live"


class Session:
    """A store directory and the instance open on it."""

    def __init__(self, path, cache_size=10_000):
        self.path = path
        self.cache_size = cache_size
        self.db = None
        self.open()

    def open(self):
        self.db = Corvid(self.path, self.cache_size)

    def release(self, lost=False):
        """Drops the instance, which writes out its log's buffer; returns what
        the release reported, which must be nothing unless `lost`."""
        self.db = None
        gc.collect()
        reported = unraisable[:]
        unraisable.clear()
        assert lost or not reported, f"the release reported {reported}"
        return reported

    def file(self, name):
        return os.path.join(self.path, name)

    def log_length(self):
        return os.path.getsize(self.file("wal.bin"))

    def sizes(self):
        return {name: os.path.getsize(self.file(name)) for name in DATA_FILES}

    def leftovers(self):
        return sorted(n for n in os.listdir(self.path) if n.endswith((".vac", ".tmp")))


def release_and_reopen_on_full_disk(s, disk, model, model_file):
    """The common end of every case: released with no space left, the store
    loses nothing buffered; it reopens on the full disk without its data
    files growing; once space is back it takes writes."""
    disk.fill()
    sizes = s.sizes()
    s.release()
    assert s.log_length() == model.logged, "the log at release is not every acknowledged call"
    s.open()
    assert s.sizes() == sizes, "reopening a full store resized its data files"
    check(s.db, model, "reopened on a full disk")
    disk.give_back()
    model.writes(s.db, 4)
    check(s.db, model, "reopened, written once space was back")
    s.release()
    model.save(model_file)


def round_slacks(key_size, value_size):
    """The free bytes each round leaves: none, a page, and room for about
    one call and a renewal of the log's reservation."""
    return sorted({0, PAGE, pages(key_size + value_size + 2 * LOG_BUFFER)})


def flow_writes(store, mount, model_file, op, key_size, value_size, target, history):
    """Rounds of puts (or deletes) until the disk is full, each round leaving
    a different amount of space, on one instance. `target` says which files
    may run out: only the log ("log": the data files have blocks reserved
    past their ends), only the data files ("data": the log has), or any."""
    disk = Disk(mount)
    model = Model(key_size, value_size)
    s = Session(store)
    model.populate(s.db)
    if history == "persisted":
        model.persist(s.db)
        model.writes(s.db, 3)
    keep_room = {"log": DATA_FILES[1:], "data": ("wal.bin",), "any": ()}[target]
    for slack in round_slacks(key_size, value_size):
        for name in keep_room:
            reserve_past_end(s.file(name), RESERVED)
        disk.fill(leave=slack)
        model.write_until_full(s.db, op)
        check(s.db, model, f"after the failed {op}, {slack} bytes left")
        # The same instance goes on once space is back.
        disk.give_back()
        model.writes(s.db, 3)
        check(s.db, model, f"written once space was back ({slack} bytes left before)")
    release_and_reopen_on_full_disk(s, disk, model, model_file)


def flow_release(store, mount, model_file, key_size, value_size, history):
    """The disk fills while the log's buffer holds acknowledged entries, and
    calls go on on the full disk, some acknowledged, some refused."""
    disk = Disk(mount)
    model = Model(key_size, value_size)
    s = Session(store)
    model.populate(s.db)
    if history == "persisted":
        model.persist(s.db)
        model.writes(s.db, 3)
    # The last put before the disk fills writes out a buffer and leaves the
    # rest of its entry buffered.
    model.put(s.db, "crosses the buffer", make_value(0, LOG_BUFFER))
    assert s.log_length() < model.logged, "nothing is buffered"
    disk.fill()
    for i in range(12):
        if i % 3 == 2:
            model.delete(s.db, model.next_delete(), may_fail=True)
        else:
            model.put(s.db, *model.next_put(), may_fail=True)
    check(s.db, model, "after calls on a full disk")
    release_and_reopen_on_full_disk(s, disk, model, model_file)


def flow_release_without_reservation(store, mount, model_file):
    """A log whose reserved blocks were taken from it: the release on a full
    disk cannot write out the buffer, says so through the unraisable hook,
    and the process goes on."""
    disk = Disk(mount)
    model = Model(16, 10)
    s = Session(store)
    model.populate(s.db)
    model.persist(s.db)
    kept = copy.deepcopy(model)
    model.writes(s.db, 6)
    wal = s.file("wal.bin")
    assert s.log_length() == 0, "the writes are meant to wait in the buffer"
    os.truncate(wal, 0)  # gives back the blocks reserved past the end
    assert os.stat(wal).st_blocks == 0, "the log's reservation survived the truncate"
    disk.fill()
    reported = s.release(lost=True)
    assert len(reported) == 1, reported
    kind, message = reported[0]
    assert issubclass(kind, OSError), reported
    assert store in message and NO_SPACE in message, message
    # The store reopens, on the full disk, to the state before the lost calls.
    kept.touched |= model.touched
    s.open()
    check(s.db, kept, "reopened after the lost write-out")
    disk.give_back()
    kept.writes(s.db, 3)
    s.release()
    kept.save(model_file)


def flow_persist(store, mount, model_file, key_size, value_size, history, key_count=None):
    """persist() with too little space for the snapshot, and buffered
    entries in the log."""
    disk = Disk(mount)
    model = Model(key_size, value_size)
    s = Session(store)
    if key_count is None:
        model.populate(s.db)
    else:  # a snapshot larger than its write buffer
        for i in range(key_count):
            model.put(s.db, make_key(i, key_size), make_value(i, value_size))
            if i % 20_000 == 0:
                model.persist(s.db)
    if history == "persisted":
        model.persist(s.db)
    model.writes(s.db, 3)
    index = 12 * len(model.live)  # the snapshot holds 12 bytes a live key, and more
    for slack in sorted({0, whole_pages(index // 2)}):
        disk.fill(leave=slack)
        assert not model.persist(s.db, may_fail=True), f"persist fit in {slack} bytes"
        assert not s.leftovers(), f"a failed persist left {s.leftovers()}"
        check(s.db, model, f"after the failed persist, {slack} bytes left")
        disk.give_back()
        model.writes(s.db, 2)
        check(s.db, model, "written after the failed persist")
    model.persist(s.db)
    assert s.log_length() == 0
    check(s.db, model, "persisted once space was back")
    release_and_reopen_on_full_disk(s, disk, model, model_file)


def flow_vacuum(store, mount, model_file, key_size, value_size, history):
    """vacuum() with no space, with room for part of the copies, for all of
    them but the snapshot, and for everything but the new record table."""
    disk = Disk(mount)
    model = Model(key_size, value_size)
    s = Session(store)
    model.populate(s.db)
    if history == "persisted":
        model.persist(s.db)
    model.writes(s.db, 3)
    stages = ("no space", "half the copies", "the copies", "the copies and the snapshot")
    for stage in stages:
        keys = sum(len(k.encode()) for k in model.live)
        values = sum(len(v) for v in model.live.values())
        copies = pages(keys) + pages(values) + pages(24 * len(model.live))
        slack = {
            "no space": 0,
            "half the copies": whole_pages(copies // 2),
            "the copies": copies,
            "the copies and the snapshot": copies + 16 * PAGE,
        }[stage]
        disk.fill(leave=slack)
        assert not model.vacuum(s.db, may_fail=True), f"vacuum fit in {slack} bytes"
        assert not s.leftovers(), f"a vacuum failed with room for {stage} and left {s.leftovers()}"
        check(s.db, model, f"after a vacuum failed with room for {stage}")
        disk.give_back()
        model.writes(s.db, 2)
        check(s.db, model, f"written after a vacuum failed with room for {stage}")
    model.vacuum(s.db)
    check(s.db, model, "vacuumed once space was back")
    release_and_reopen_on_full_disk(s, disk, model, model_file)


def flow_table_growth(store, mount, model_file, value_size):
    """The 100,001st record on a full disk, then on one with room for the
    call's log entry and data but not for doubling the record table."""
    disk = Disk(mount)
    model = Model(16, value_size)
    s = Session(store, cache_size=1)
    model.populate(s.db, 5)
    model.fill_table(s.db)
    offsets = s.file("offsets.bin")
    assert os.path.getsize(offsets) == TABLE_BYTES
    key, value = "the table grows", make_value(0, value_size)
    for slack in (0, pages(len(key) + value_size + 2 * LOG_BUFFER)):
        disk.fill(leave=slack)
        free = disk.free()
        assert not model.put(s.db, key, value, may_fail=True), f"the table doubled in {slack} bytes"
        assert os.path.getsize(offsets) == TABLE_BYTES, "a failed doubling resized offsets.bin"
        assert disk.free() >= free, "a failed doubling kept blocks"
        check(s.db, model, f"after the failed doubling, {slack} bytes left")
        disk.give_back()
    # The same instance doubles the table once space is back.
    model.put(s.db, key, value)
    assert os.path.getsize(offsets) == 2 * TABLE_BYTES
    check(s.db, model, "after the doubling")
    release_and_reopen_on_full_disk(s, disk, model, model_file)


def flow_reopen(store, mount, model_file, history):
    """A store released with space to spare, reopened once the disk is full."""
    disk = Disk(mount)
    model = Model(16, 100)
    s = Session(store, cache_size=100)
    model.populate(s.db)
    if history == "persisted":
        model.persist(s.db)
    elif history == "persisted, then logged":
        model.persist(s.db)
        model.writes(s.db, 5)
    elif history == "table full, persisted":
        model.fill_table(s.db)
    elif history == "table full, last rows logged":
        model.fill_table(s.db, last_persist=TABLE_ROWS - 10)
    s.release()
    release_and_reopen_on_full_disk(s, disk, model, model_file)


def flow_verify(store, model_file):
    """Reopened in a fresh process: the store holds what the case's model
    says, and no work file is left."""
    model = Model.load(model_file)
    db = Corvid(store)
    check(db, model, "reopened in a fresh process")
    leftovers = sorted(n for n in os.listdir(store) if n.endswith((".vac", ".tmp")))
    assert not leftovers, leftovers


if __name__ == "__main__":
    # A child: python test_full_disk.py FLOW JSON-ARGUMENTS
    sys.unraisablehook = lambda u: unraisable.append((type(u.exc_value), str(u.exc_value)))
    globals()[sys.argv[1]](**json.loads(sys.argv[2]))
    sys.exit(0)


# ---- pytest's side ----
# Imported only here: the children above run without pytest, whose import
# would cost each of them a fifth of a second.
import itertools  # noqa: E402
import signal  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402

import pytest  # noqa: E402

LONG = os.environ.get("CORVID_FAULTS") == "long"
KEY_SIZES = (1, 16, 300, 9000)
VALUE_SIZES = (0, 10, 1000, 8191, 8192, 20_000, 200_000)
TARGETS = ("log", "data", "any")
HISTORIES = ("logged", "persisted")


def cannot_mount():
    """Why no tmpfs can be mounted here, or None."""
    if os.geteuid() != 0:
        return "mounting a tmpfs needs root"
    d = tempfile.mkdtemp(prefix="corvid-mount-")
    try:
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", d],
                           capture_output=True, text=True)
        if r.returncode != 0:
            return f"cannot mount a tmpfs: {r.stderr.strip()}"
        subprocess.run(["umount", d], check=True)
        return None
    except FileNotFoundError as e:
        return f"cannot mount a tmpfs: {e}"
    finally:
        os.rmdir(d)


reason = cannot_mount()
if reason:
    pytest.skip(reason, allow_module_level=True)


def grid(*axes):
    """Every combination of the axes with CORVID_FAULTS=long; otherwise a
    sample in which every value of every axis appears."""
    if LONG:
        combos = list(itertools.product(*axes))
    else:
        combos = [tuple(a[i % len(a)] for a in axes) for i in range(max(map(len, axes)))]
    return [pytest.param(*c, id="-".join(map(str, c))) for c in combos]


def mount_kib(key_size, value_size, tables=1):
    """Room for `tables` record tables, the populated store in its log and
    data files several times over, and outside reservations."""
    data = populate_count(key_size, value_size) * 2 * (key_size + value_size + 40)
    return (tables * TABLE_BYTES + 6 * data + 2 * RESERVED) // 1024 + 2048


def run_child(flow, **params):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, __file__, flow, json.dumps(params)],
                          capture_output=True, text=True, timeout=300, env=env)
    if proc.returncode < 0:
        pytest.fail(f"{flow} was killed by {signal.Signals(-proc.returncode).name}:\n"
                    f"{proc.stderr[-4000:]}")
    if proc.returncode != 0:
        pytest.fail(f"{flow} failed:\n{proc.stderr[-4000:]}")


@pytest.fixture
def run_case(tmp_path):
    """Runs a flow in a child on a fresh tmpfs of the given size, then checks
    the store in another child; unmounts whatever it mounted."""
    mounts = []

    def run(flow, kib, **params):
        mount = str(tmp_path / f"disk{len(mounts)}")
        os.mkdir(mount)
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={kib}k", "tmpfs", mount],
                       check=True, capture_output=True)
        mounts.append(mount)
        store = os.path.join(mount, "store")
        model_file = str(tmp_path / "model.pickle")
        run_child(flow, store=store, mount=mount, model_file=model_file, **params)
        run_child("flow_verify", store=store, model_file=model_file)

    try:
        yield run
    finally:
        for mount in reversed(mounts):
            if subprocess.run(["umount", mount], capture_output=True).returncode != 0:
                subprocess.run(["umount", "-l", mount], capture_output=True)


@pytest.mark.parametrize(("key_size", "value_size", "target", "history"),
                         grid(KEY_SIZES, VALUE_SIZES, TARGETS, HISTORIES))
def test_failed_put_changes_nothing(run_case, key_size, value_size, target, history):
    run_case("flow_writes", mount_kib(key_size, value_size), op="put", key_size=key_size,
             value_size=value_size, target=target, history=history)


@pytest.mark.parametrize(("key_size", "value_size", "history"),
                         grid(KEY_SIZES, VALUE_SIZES[::3], HISTORIES))
def test_failed_delete_changes_nothing(run_case, key_size, value_size, history):
    run_case("flow_writes", mount_kib(key_size, value_size), op="delete", key_size=key_size,
             value_size=value_size, target="any", history=history)


@pytest.mark.parametrize(("key_size", "value_size", "history"),
                         grid(KEY_SIZES, VALUE_SIZES, HISTORIES))
def test_release_on_full_disk_loses_nothing(run_case, key_size, value_size, history):
    run_case("flow_release", mount_kib(key_size, value_size), key_size=key_size,
             value_size=value_size, history=history)


def test_release_that_cannot_write_out_is_reported(run_case):
    run_case("flow_release_without_reservation", mount_kib(16, 10))


@pytest.mark.parametrize(("key_size", "value_size", "history"),
                         grid(KEY_SIZES, VALUE_SIZES, HISTORIES))
def test_failed_persist_changes_nothing(run_case, key_size, value_size, history):
    run_case("flow_persist", mount_kib(key_size, value_size), key_size=key_size,
             value_size=value_size, history=history)


def test_failed_persist_of_a_snapshot_larger_than_its_buffer(run_case):
    # 95,000 live keys: a snapshot of over 1 MiB, written out before its end.
    run_case("flow_persist", 10 * 1024, key_size=8, value_size=0, history="persisted",
             key_count=95_000)


@pytest.mark.parametrize(("key_size", "value_size", "history"),
                         grid(KEY_SIZES, VALUE_SIZES, HISTORIES))
def test_failed_vacuum_changes_nothing(run_case, key_size, value_size, history):
    run_case("flow_vacuum", mount_kib(key_size, value_size, tables=2), key_size=key_size,
             value_size=value_size, history=history)


@pytest.mark.parametrize("value_size", (0, 20_000) + ((10, 8192) if LONG else ()))
def test_table_growth_on_full_disk(run_case, value_size):
    run_case("flow_table_growth", 6 * 1024 + 2 * value_size // 1024, value_size=value_size)


@pytest.mark.parametrize("history", ["logged", "persisted", "persisted, then logged",
                                     "table full, persisted", "table full, last rows logged"])
def test_full_store_reopens(run_case, history):
    run_case("flow_reopen", 8 * 1024, history=history)

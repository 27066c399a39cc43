"""Damaged files: every file of a small store cut short at every byte, and the
snapshot's fields and rows of the record table given hostile values.

Whatever the damage, opening the store and reading every key through the
module, and the read commands and `salvage` of the `corvid` program, end
within seconds, by no signal and with no allocation of gigabytes, and either
fail with a clear error or give data that was really stored: a value read
for a key is one that key held at some point, a key listed is one that was
written. Where the damage leaves a state the store must reach exactly (a log
cut short: the calls of a prefix; a snapshot that does not decode: the log
alone; a superseded row: nothing changes), that state is checked exactly.

The cases run in batches, each batch in a child interpreter under a 2 GB
address-space limit (inherited by the `corvid` processes it starts), which
prints one JSON line per case; a child that dies is restarted after the case
it died in. `make test` runs a sample; CORVID_FAULTS=long (`make faults`)
runs every case. `python tests/test_damage.py CASE DIR` builds the damaged
store of one case in DIR, to look at by hand.
"""
import base64
import concurrent.futures
import inspect
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile

import pytest

from conftest import SANITIZED, Corvid


def corvid_path():
    here = os.path.join(os.path.dirname(sys.executable), "corvid")
    return os.environ.get("CORVID_CLI") or (here if os.path.exists(here) else shutil.which("corvid"))


CLI = corvid_path()
pytestmark = pytest.mark.skipif(CLI is None, reason="the corvid program is not built")

LONG = os.environ.get("CORVID_FAULTS") == "long"
# Under the sanitizers the address space is the sanitizer's own: no limit then.
MEMORY_LIMIT = None if SANITIZED else 2 << 30
CASE_SECONDS = 30 if SANITIZED else 5

# The reference history: puts (among them an empty key, an empty value and a
# non-ASCII key), overwrites and deletes, a persist, then more calls that stay
# in the log. Records 0 to 6 are in the snapshot, 7 to 10 in the log.
BEFORE_PERSIST = [
    ("put", "alpha", b"one"),                   # record 0, superseded by 5
    ("put", "", b"the empty key"),              # 1, live to the end
    ("put", "empty", b""),                      # 2, superseded by 10
    ("put", "ключ", "значение".encode()),       # 3, live to the end
    ("put", "beta", b"\x00\x01\x02"),           # 4, deleted next
    ("put", "alpha", b"two"),                   # 5, superseded by 7
    ("delete", "beta", None),
    ("put", "gamma", bytes(range(200, 256))),   # 6, deleted in the log
]
AFTER_PERSIST = [
    ("put", "alpha", b"three"),                 # 7
    ("delete", "gamma", None),
    ("put", "delta", b"log only"),              # 8
    ("put", "beta", b"back"),                   # 9
    ("put", "empty", b"no longer"),             # 10
]
HISTORY = BEFORE_PERSIST + AFTER_PERSIST
NEVER_WRITTEN = "never written"

# Rows given hostile values, by what their record is at the end. Only the
# two live ones are read; the others must make no difference at all.
ROWS = {
    0: "dead before the snapshot",
    1: "live, the empty key",
    3: "live, a non-ASCII key",
    5: "live in the snapshot, superseded in the log",
    6: "live in the snapshot, deleted in the log",
    8: "written by the log",
}
LIVE_ROWS = {1, 3}
# Rows the snapshot counts as live: the open checks the last of them against
# the snapshot's counters (before the log's replay could write over them), so
# damage there may refuse the whole store as damaged, clearly, even where the
# log has since superseded or deleted the record.
SNAPSHOT_LIVE_ROWS = {1, 3, 5, 6}
STORE_FILES = ("snapshot.bin", "wal.bin", "keys.bin", "vals.bin", "offsets.bin")


def state_after(calls):
    state = {}
    for op, key, value in calls:
        if op == "put":
            state[key] = value
        else:
            state.pop(key, None)
    return state


WRITTEN = {}
for _op, _key, _value in HISTORY:
    WRITTEN.setdefault(_key, set())
    if _op == "put":
        WRITTEN[_key].add(_value)
UNIVERSE = sorted(WRITTEN) + [NEVER_WRITTEN]


def log_entry_size(op, key, value):
    size = 4 + 8 + len(key.encode())
    return size + 8 + len(value) if op == "put" else size


# ---- the reference store and where its fields lie ----


class Reference:
    """The reference store and the layout of its files."""

    def __init__(self, path):
        self.path = path
        db = Corvid(path)
        for op, key, value in BEFORE_PERSIST:
            db.set_bytes(key, value) if op == "put" else db.delete(key)
        db.persist()
        for op, key, value in AFTER_PERSIST:
            db.set_bytes(key, value) if op == "put" else db.delete(key)
        del db
        self.files = {}
        for name in STORE_FILES:
            with open(os.path.join(path, name), "rb") as f:
                self.files[name] = f.read()
        self.size = {name: len(data) for name, data in self.files.items()}
        # The log holds exactly the calls made after the persist.
        ends, at = [], 0
        for call in AFTER_PERSIST:
            at += log_entry_size(*call)
            ends.append(at)
        assert ends[-1] == self.size["wal.bin"]
        self.log_entry_ends = ends
        self.snapshot_fields = self._snapshot_fields()
        field = {name: (at, width) for name, at, width in self.snapshot_fields}
        self.record_count = self.read("snapshot.bin", *field["record_count"])
        self.keys_end = self.read("snapshot.bin", *field["keys_end"])
        self.vals_end = self.read("snapshot.bin", *field["vals_end"])
        assert self.record_count == 7
        assert self.size["offsets.bin"] == 100000 * 24
        self.rows_in_use = len(HISTORY) - 2  # the 11 puts

    def read(self, name, at, width):
        return int.from_bytes(self.files[name][at:at + width], "little")

    def _snapshot_fields(self):
        """(name, offset, width) of every field of snapshot.bin."""
        snap = self.files["snapshot.bin"]
        fields = [("N", 0, 8)]
        n = struct.unpack_from("<Q", snap, 0)[0]
        at = 8
        for i in range(n):
            fields += [(f"pair {i} hash", at, 8), (f"pair {i} id", at + 8, 4)]
            at += 12
        for which in ("live", "dead"):
            length = struct.unpack_from("<Q", snap, at)[0]
            fields.append((f"{which} length", at, 8))
            at += 8
            # Portable Roaring without run containers: cookie, container
            # count, (key, cardinality - 1) per container, an offset per
            # container, then the containers. Sets this small are one array.
            cookie, containers = struct.unpack_from("<II", snap, at)
            assert (cookie, containers) == (12346, 1)
            key, card_minus_one = struct.unpack_from("<HH", snap, at + 8)
            fields += [(f"{which} cookie", at, 4), (f"{which} container count", at + 4, 4),
                       (f"{which} container key", at + 8, 2),
                       (f"{which} cardinality", at + 10, 2),
                       (f"{which} container offset", at + 12, 4)]
            for m in range(card_minus_one + 1):
                fields.append((f"{which} member {m}", at + 16 + 2 * m, 2))
            assert 16 + 2 * (card_minus_one + 1) == length
            at += length
        fields += [("record_count", at, 4), ("keys_end", at + 4, 8), ("vals_end", at + 12, 8)]
        assert at + 20 == len(snap)
        return fields


# ---- the cases ----


def case(case_id, group, damage, expect=None, refused=False):
    """One damaged copy. `expect` names the state it must read as exactly
    ('final', 'log only' or 'prefix N': the snapshot plus N log entries), or
    is None when any true data will do; `refused`: a writer's open and the
    reads must refuse it and name `corvid salvage`."""
    return {"id": case_id, "group": group, "damage": damage, "expect": expect,
            "refused": refused}


def truncations(ref):
    out = []
    for name in STORE_FILES:
        size = ref.size[name]
        lengths = range(size)
        if name == "offsets.bin":
            used = ref.rows_in_use * 24
            lengths = [*range(used + 1), used + 1, used + 23, used + 24, used + 25, 24 * 1000,
                       size - 24, size - 23, size - 1]
        for length in lengths:
            out.append(case(f"{name} cut to {length} bytes", f"cut {name}",
                            [["truncate", name, length]], *truncation_outcome(ref, name, length)))
        out.append(case(f"{name} missing", f"cut {name}", [["remove", name]],
                        *truncation_outcome(ref, name, None)))
    return out


def truncation_outcome(ref, name, length):
    """(expected state, refused) of a store with `name` cut to `length`
    bytes (None: removed)."""
    left = length or 0
    if name == "snapshot.bin":
        return "log only", False  # a snapshot that does not decode is ignored
    if name == "wal.bin":
        whole = sum(1 for end in ref.log_entry_ends if end <= left)
        return f"prefix {whole}", False
    counted = {"keys.bin": ref.keys_end, "vals.bin": ref.vals_end,
               "offsets.bin": ref.record_count * 24}[name]
    # Past the snapshot's counters lie the log's records, which the log
    # brings back; short of them the store is damaged.
    return ("final", False) if left >= counted else (None, True)


def hostile_values(width, original, extra=()):
    if width == 2:
        values = [0, 1, 2, 0x7FFF, 0x8000, 0xFFFF]
    else:
        values = [0, 1, 2, 1 << 31, (1 << 32) - 1, 1 << 63, (1 << 64) - 1]
    values += [original + 1, original - 1, *extra]
    out = []
    for v in values:
        if 0 <= v < 1 << (8 * width) and v != original and v not in out:
            out.append(v)
    return out


def field_write(name, at, width, value):
    return ["write", name, at, value.to_bytes(width, "little").hex()]


def apply_damage(directory, steps):
    """Carries out a case's damage on a copy of the reference."""
    for step in steps:
        path = os.path.join(directory, step[1])
        if step[0] == "truncate":
            os.truncate(path, step[2])
        elif step[0] == "remove":
            os.remove(path)
        else:
            with open(path, "r+b") as f:
                f.seek(step[2])
                f.write(bytes.fromhex(step[3]))


def snapshot_field_cases(ref):
    out = []
    snap = ref.files["snapshot.bin"]
    rows_on_disk = ref.size["offsets.bin"] // 24
    hashes = [ref.read("snapshot.bin", at, w) for n, at, w in ref.snapshot_fields
              if n.endswith(" hash")]
    for name, at, width in ref.snapshot_fields:
        original = ref.read("snapshot.bin", at, width)
        extra = []
        if name == "N":
            extra = [(len(snap) - 8) // 12 + 1]  # more pairs than the file holds
        elif name.endswith(" hash"):
            extra = [h for h in hashes if h != original][:1]  # another key's hash
        elif name.endswith(" id"):
            extra = [ref.record_count, rows_on_disk, rows_on_disk + 1]
        elif name.endswith(" length"):
            extra = [len(snap) - at - 8, len(snap) - at - 7]  # the rest of the file, and one more
        elif name.endswith(" cookie"):
            extra = [12347, 12347 | 0xFFFF0000]  # the cookie of a set with run containers
        elif name.endswith(" container count"):
            extra = [65536, 65537]
        elif name.endswith(" cardinality"):
            extra = [4095, 4096]  # the last array, the first bitset
        elif " member " in name:
            extra = [ref.record_count, ref.record_count - 1]
        elif name == "record_count":
            extra = [rows_on_disk, rows_on_disk + 1]
        elif name == "keys_end":
            extra = [ref.size["keys.bin"], ref.size["keys.bin"] + 1]
        elif name == "vals_end":
            extra = [ref.size["vals.bin"], ref.size["vals.bin"] + 1]
        for value in hostile_values(width, original, extra):
            # Counters that a decoding snapshot names past the files' ends.
            refused = ((name == "keys_end" and value > ref.size["keys.bin"])
                       or (name == "vals_end" and value > ref.size["vals.bin"])
                       or (name == "record_count" and value > rows_on_disk))
            out.append(case(f"snapshot {name} = {value}", f"snapshot {name}",
                            [field_write("snapshot.bin", at, width, value)], refused=refused))
    return out


ROW_FIELDS = (("key_offset", 0, 8), ("key_len", 8, 4), ("val_offset", 12, 8),
              ("val_len", 20, 4))


def row_cases(ref):
    out = []
    keys_len, vals_len = ref.size["keys.bin"], ref.size["vals.bin"]
    for row in ROWS:
        base = row * 24
        fields = {n: ref.read("offsets.bin", base + at, w) for n, at, w in ROW_FIELDS}
        for name, at, width in ROW_FIELDS:
            original = fields[name]
            if name == "key_offset":
                extra = [keys_len, keys_len + 1, ref.keys_end]
            elif name == "key_len":
                extra = [keys_len - fields["key_offset"] + 1,
                         ref.keys_end - fields["key_offset"] + 1]
            elif name == "val_offset":
                extra = [vals_len, vals_len + 1, ref.vals_end]
            else:
                extra = [vals_len - fields["val_offset"] + 1,
                         ref.vals_end - fields["val_offset"] + 1]
            for value in hostile_values(width, original, extra):
                c = case(f"row {row} ({ROWS[row]}) {name} = {value}", f"row {row} {name}",
                         [field_write("offsets.bin", base + at, width, value)],
                         expect=None if row in SNAPSHOT_LIVE_ROWS else "final")
                damaged = dict(fields, **{name: value})
                # Whether the row still lies inside what the snapshot counts.
                c["within counters"] = (
                    damaged["key_offset"] + damaged["key_len"] <= ref.keys_end
                    and damaged["val_offset"] + damaged["val_len"] <= ref.vals_end)
                out.append(c)
    return out


def sample(cases, every=10, full=LONG):
    """All cases in a long run; otherwise every `every`-th and at least one
    of each group."""
    if full:
        return cases
    picked, seen = [], set()
    for i, c in enumerate(cases):
        if i % every == 0 or c["group"] not in seen:
            picked.append(c)
        seen.add(c["group"])
    return picked


# ---- running the cases ----

# One batch of cases: damage a copy of the reference, open and read it here,
# run the read commands and a salvage on a second copy, print one JSON line.
DRIVER = r"""
import base64, hashlib, json, os, resource, shutil, signal, subprocess, sys

job = json.loads(sys.stdin.read())
if job["memory_limit"]:
    resource.setrlimit(resource.RLIMIT_AS, (job["memory_limit"], job["memory_limit"]))
from _corvid import Corvid

CLI, KEYS, SECONDS = job["cli"], job["keys"], job["seconds"]
exec(job["apply_damage"])


def b64(value):
    return None if value is None else base64.b64encode(value).decode()


def failure(e):
    kind = ("os" if isinstance(e, OSError) else "memory" if isinstance(e, MemoryError)
            else "panic" if type(e).__name__ == "PanicException" else "other")
    return {"error": type(e).__name__, "kind": kind, "message": str(e)[:400]}


def attempt(f):
    try:
        return {"ok": f()}
    except BaseException as e:
        return failure(e)


def reads(db):
    return {
        "get": {k: attempt(lambda k=k: b64(db.get_bytes(k))) for k in KEYS},
        "get_many": attempt(lambda: [[k, b64(v)] for k, v in db.get_many(KEYS)]),
        "keys": attempt(db.keys),
        "len": attempt(db.len),
    }


def module_side(directory):
    # Twice: what the first open wrote (a longer table, a cut log, rows
    # written again) must read as well the next time.
    out = {}
    for phase in ("first open", "reopen"):
        try:
            db = Corvid(directory)
        except BaseException as e:
            out[phase] = {"open": failure(e)}
            continue
        out[phase] = {"open": None, "after open": reads(db),
                      "clear_cache": attempt(db.clear_cache)}
        out[phase]["cache cleared"] = reads(db)
        del db
    return out


def files_of(directory):
    out = {}
    for name in sorted(os.listdir(directory)):
        path = os.path.join(directory, name)
        with open(path, "rb") as f:
            out[name] = [hashlib.sha1(f.read()).hexdigest(), os.stat(path).st_mtime_ns]
    return out


def run(*args):
    try:
        p = subprocess.run([CLI, *args], capture_output=True, timeout=SECONDS)
    except subprocess.TimeoutExpired:
        return {"rc": None}
    return {"rc": p.returncode, "out": b64(p.stdout), "err": p.stderr.decode("utf-8", "replace")}


def tool_side(directory, new):
    before = files_of(directory)
    out = {"stat": run("stat", "--json", directory), "verify": run("verify", directory),
           "dump": run("dump", directory),
           "get": {k: run("get", directory, k) for k in KEYS}}
    out["read commands changed nothing"] = files_of(directory) == before
    out["salvage"] = run("salvage", directory, new)
    out["salvage changed nothing"] = files_of(directory) == before
    out["new"] = run("dump", new) if os.path.isdir(new) else None
    return out


for c in job["cases"]:
    work = os.path.join(job["work"], "case")
    shutil.rmtree(work, ignore_errors=True)
    os.mkdir(work)
    first, second = os.path.join(work, "module"), os.path.join(work, "tool")
    shutil.copytree(job["reference"], first)
    apply_damage(first, c["damage"])
    shutil.copytree(first, second)
    signal.alarm(SECONDS)  # a hang in the module ends the child by SIGALRM
    module = module_side(first)
    signal.alarm(0)
    tools = tool_side(second, os.path.join(work, "salvaged"))
    print(json.dumps({"id": c["id"], "module": module, "tools": tools}), flush=True)
shutil.rmtree(os.path.join(job["work"], "case"), ignore_errors=True)
"""


def run_driver(ref, cases, work):
    job = {"cases": cases, "reference": ref.path, "work": work, "cli": CLI, "keys": UNIVERSE,
           "seconds": CASE_SECONDS, "memory_limit": MEMORY_LIMIT,
           "apply_damage": inspect.getsource(apply_damage)}
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    try:
        p = subprocess.run([sys.executable, "-c", DRIVER], input=json.dumps(job),
                           capture_output=True, text=True, env=env,
                           timeout=60 + 20 * CASE_SECONDS * len(cases))
        return p.returncode, p.stdout, p.stderr
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode() if isinstance(e.stdout, bytes) else e.stdout or ""
        return "timeout", out, ""


def run_batch(ref, cases, work):
    """Outcomes by case id. A child that dies is started again after the case
    it died in; that case is run once more alone to show it fails alone."""
    outcomes = {}
    pending = list(cases)
    while pending:
        rc, out, err = run_driver(ref, pending, work)
        lines = out.splitlines()
        for line in lines:
            result = json.loads(line)
            outcomes[result["id"]] = result
        if rc == 0 and len(lines) == len(pending):
            break
        if len(lines) == len(pending):  # every case printed; the child's end failed
            outcomes[pending[-1]["id"]]["driver"] = {"rc": rc, "stderr": err[-3000:]}
            break
        bad = pending[len(lines)]
        alone_rc, _, alone_err = run_driver(ref, [bad], work)
        outcomes[bad["id"]] = {"id": bad["id"], "died": {
            "rc": rc, "stderr": err[-3000:], "alone rc": alone_rc, "alone stderr": alone_err[-3000:]}}
        pending = pending[len(lines) + 1:]
    return outcomes


def run_cases(ref, cases, tmp):
    """All cases, in one batch per processor."""
    workers = max(1, min(os.cpu_count() or 1, 8))
    chunks = [cases[i::workers] for i in range(workers)]
    outcomes = {}
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        futures = []
        for i, chunk in enumerate(chunks):
            work = os.path.join(tmp, f"worker{i}")
            os.makedirs(work, exist_ok=True)
            futures.append(pool.submit(run_batch, ref, chunk, work))
        for f in futures:
            outcomes.update(f.result())
    return outcomes


# ---- judging an outcome ----


class Judge:
    """What a case's outcome got wrong, as a list of lines."""

    def __init__(self, c, outcome):
        self.case, self.outcome = c, outcome
        self.problems = []
        self.exact = self.expected_state(c["expect"])

    def expected_state(self, name):
        if name is None:
            return None
        if name == "final":
            return state_after(HISTORY)
        if name == "log only":
            return state_after(AFTER_PERSIST)
        return state_after(BEFORE_PERSIST + AFTER_PERSIST[:int(name.split()[1])])

    def bad(self, where, what):
        self.problems.append(f"{where}: {what}")

    # Values and keys.

    def check_value(self, where, key, value):
        """`value`: bytes or None, read for `key`."""
        if self.exact is not None:
            if value != self.exact.get(key):
                self.bad(where, f"{key!r} reads {value!r}, expected {self.exact.get(key)!r}")
            return
        if value is not None and value not in WRITTEN.get(key, ()):
            self.bad(where, f"{key!r} reads {value!r}, never a value of that key")

    def check_keys(self, where, keys):
        for key in keys:
            if key not in WRITTEN:
                self.bad(where, f"lists {key!r}, never written")
        if self.exact is not None and sorted(keys) != sorted(self.exact):
            self.bad(where, f"lists {sorted(keys)!r}, expected {sorted(self.exact)!r}")

    def check_error(self, where, result):
        """A failed call: an OSError or a PanicException, and none at all
        where the state is known."""
        if result.get("kind") == "memory":
            self.bad(where, f"ran out of memory under the limit: {result['message']}")
        elif result.get("kind") not in ("os", "panic"):
            self.bad(where, f"raised {result['error']}: {result['message']}")
        elif self.exact is not None:
            self.bad(where, f"raised {result['error']}: {result['message']}")

    # The module.

    def check_module(self):
        module = self.outcome["module"]
        for phase, result in module.items():
            if result["open"] is not None:
                self.check_open_failure(phase, result["open"])
                continue
            if self.case["refused"]:
                self.bad(phase, "opened a store whose counters exceed its files")
            if "error" in result["clear_cache"]:
                self.check_error(f"{phase}, clear_cache", result["clear_cache"])
            for when in ("after open", "cache cleared"):
                self.check_reads(f"{phase}, {when}", result[when])

    def check_open_failure(self, phase, error):
        where = f"{phase}: Corvid(path)"
        if self.case["refused"]:
            if error["kind"] != "os" or "is damaged" not in error["message"] or (
                    "`corvid salvage " not in error["message"]):
                self.bad(where, f"refused with {error['error']}: {error['message']!r}, "
                                "not a damage error naming `corvid salvage`")
        else:
            self.check_error(where, error)

    def check_reads(self, where, r):
        for key, got in r["get"].items():
            if "ok" in got:
                self.check_value(f"{where}, get_bytes", key, decoded(got["ok"]))
            else:
                self.check_error(f"{where}, get_bytes({key!r})", got)
        if "ok" in r["get_many"]:
            pairs = r["get_many"]["ok"]
            if [k for k, _ in pairs] != UNIVERSE:
                self.bad(f"{where}, get_many", f"answers for keys {[k for k, _ in pairs]!r}")
            for key, value in pairs:
                self.check_value(f"{where}, get_many", key, decoded(value))
        else:
            self.check_error(f"{where}, get_many", r["get_many"])
        if "ok" in r["keys"]:
            self.check_keys(f"{where}, keys()", r["keys"]["ok"])
        else:
            self.check_error(f"{where}, keys()", r["keys"])
        if "ok" in r["len"]:
            n = r["len"]["ok"]
            if "ok" in r["keys"] and n != len(r["keys"]["ok"]):
                self.bad(f"{where}, len()", f"{n}, but keys() lists {len(r['keys']['ok'])}")
            if self.exact is not None and n != len(self.exact):
                self.bad(f"{where}, len()", f"{n}, expected {len(self.exact)}")
        else:
            self.check_error(f"{where}, len()", r["len"])

    # The program.

    def ran(self, where, result, codes=(0, 1)):
        """Whether the command ended by itself with an allowed code; a
        failure must be one line on stderr."""
        if result["rc"] is None:
            self.bad(where, f"still running after {CASE_SECONDS} s")
            return False
        if result["rc"] < 0:
            self.bad(where, f"killed by signal {-result['rc']}")
            return False
        if "out of memory" in result["err"]:
            self.bad(where, f"ran out of memory under the limit: {result['err']!r}")
        if result["rc"] not in codes:
            self.bad(where, f"exit code {result['rc']}: {result['err']!r}")
        # verify's findings and salvage's lost records go to stdout, with exit 1.
        reported = result["rc"] == 1 and result["err"] == "" and where in ("verify", "salvage")
        if result["rc"] != 0 and not reported and not (
                result["err"].startswith("corvid: ") and result["err"].count("\n") == 1
                and result["err"].endswith("\n")):
            self.bad(where, f"exit {result['rc']} with stderr {result['err']!r}, not one line")
        return True

    def refused_by_tool(self, where, result):
        if result["rc"] != 1 or "corvid salvage" not in result["err"]:
            self.bad(where, f"exit {result['rc']}, stderr {result['err']!r}: "
                            "not refused naming `corvid salvage`")

    def check_dump(self, where, result, exact):
        pairs = []
        for line in decoded(result["out"]).splitlines():
            try:
                item = json.loads(line)
                pairs.append((item["key"], base64.b64decode(item["value_b64"], validate=True)))
            except (ValueError, KeyError, TypeError):
                self.bad(where, f"printed {line!r}, not a dump line")
        for key, value in pairs:
            if key not in WRITTEN:
                self.bad(where, f"dumps {key!r}, never written")
            else:
                self.check_value(where, key, value)
        if exact is not None and result["rc"] == 0 and dict(pairs) != exact:
            self.bad(where, f"dumps {dict(pairs)!r}, expected {exact!r}")

    def check_tools(self):
        tools = self.outcome["tools"]
        refused = self.case["refused"]
        stat = tools["stat"]
        if not self.ran("stat --json", stat):
            pass
        elif stat["rc"] == 0:
            try:
                info = json.loads(text(stat["out"]))
            except ValueError:
                self.bad("stat --json", f"printed {text(stat['out'])!r}, not JSON")
                info = {"damage": None, "snapshot": {"present": False}}
            if refused and "corvid salvage" not in (info["damage"] or ""):
                self.bad("stat --json", f"damage is {info['damage']!r}, naming no salvage")
            # A snapshot that does not decode is ignored: the log alone is the state.
            if self.exact is None and info["snapshot"]["present"] and not (
                    info["snapshot"]["decodes"]):
                self.exact = state_after(AFTER_PERSIST)
        elif refused or self.exact is not None:
            self.bad("stat --json", f"exit {stat['rc']}: {stat['err']!r}")
        verify = tools["verify"]
        if self.ran("verify", verify, codes=(0, 1, 2)) and refused and verify["rc"] != 1:
            self.bad("verify", f"exit {verify['rc']} on a damaged store")
        dump = tools["dump"]
        if self.ran("dump", dump):
            self.check_dump("dump", dump, self.exact)
            if refused:
                self.refused_by_tool("dump", dump)
            elif self.exact is not None and dump["rc"] != 0:
                self.bad("dump", f"exit {dump['rc']}: {dump['err']!r}")
        for key, got in tools["get"].items():
            where = f"get {key!r}"
            if not self.ran(where, got):
                continue
            if refused:
                self.refused_by_tool(where, got)
            elif got["rc"] == 0:
                self.check_value(where, key, decoded(got["out"]))
            elif self.exact is not None and (key in self.exact
                                             or got["err"] != "corvid: key not found\n"):
                self.bad(where, f"exit {got['rc']}: {got['err']!r}")
        if not tools["read commands changed nothing"]:
            self.bad("stat, verify, dump, get", "changed a file of the store")
        salvage = tools["salvage"]
        if self.ran("salvage", salvage):
            if not tools["salvage changed nothing"]:
                self.bad("salvage", "wrote into the damaged store")
            if tools["new"] is None:
                if refused or self.exact is not None:
                    self.bad("salvage", f"made no new store: {salvage['err']!r}")
            elif self.ran("dump of the salvaged store", tools["new"]):
                # A sound store is copied whole; a damaged one in part.
                whole = self.exact if self.exact is not None and not refused else None
                self.check_dump("dump of the salvaged store", tools["new"], whole)
                if whole is not None and salvage["rc"] != 0:
                    self.bad("salvage", f"exit {salvage['rc']}: {text(salvage['out'])!r}")

    def run(self):
        if "died" in self.outcome:
            died = self.outcome["died"]
            what = ("hung (ended by SIGALRM)" if died["rc"] == -signal.SIGALRM
                    else f"died: exit {died['rc']}")
            self.bad("module", f"{what}; alone: exit {died['alone rc']}; stderr: "
                               f"{died['alone stderr'] or died['stderr']}")
            return self.problems
        if "driver" in self.outcome:
            self.bad("child", f"ended with {self.outcome['driver']}")
        self.check_tools()  # first: it may learn that the snapshot is ignored
        self.check_module()
        return self.problems


def decoded(b64):
    """The bytes a child sent as base64, or None."""
    return None if b64 is None else base64.b64decode(b64)


def text(b64):
    return decoded(b64).decode("utf-8", "replace")


def report(ref, cases, tmp):
    """Each failing case with what it got wrong and how to build it again."""
    outcomes = run_cases(ref, cases, tmp)
    lines = []
    for c in cases:
        problems = Judge(c, outcomes[c["id"]]).run()
        if problems:
            lines.append(f"{c['id']}  (python {os.path.relpath(__file__)} "
                         f"{json.dumps(c['id'])} DIR)")
            lines += [f"    {p}" for p in problems[:8]]
            if len(problems) > 8:
                lines.append(f"    ... {len(problems) - 8} more")
    return lines


# ---- the tests ----


@pytest.fixture(scope="module")
def ref(tmp_path_factory):
    return Reference(str(tmp_path_factory.mktemp("damage") / "reference"))


@pytest.fixture
def sweep(ref, tmp_path):
    def go(cases):
        assert cases
        problems = report(ref, cases, str(tmp_path))
        assert not problems, f"{len(problems)} line(s):\n" + "\n".join(problems)
    return go


def by_group(cases, prefix):
    return [c for c in cases if c["group"].startswith(prefix)]


class TestReference:
    def test_the_undamaged_store_reads_as_its_history(self, sweep):
        sweep([case("undamaged", "undamaged", [], expect="final")])

    def test_the_judge_sees_wrong_data(self):
        """The checks themselves: a value never written, a key never
        written, an exception of another kind, a loud tool and a child that
        died are all found."""
        c = case("undamaged", "undamaged", [], expect=None)
        reads = {"get": {"alpha": {"ok": base64.b64encode(b"garbage").decode()},
                         "beta": {"error": "ValueError", "kind": "other", "message": "x"}},
                 "get_many": {"ok": []}, "keys": {"ok": ["alpha", "made up"]}, "len": {"ok": 3}}
        tool = {"rc": 1, "out": "", "err": "corvid: one\ncorvid: two\n"}
        outcome = {"module": {"first open": {"open": None, "after open": reads,
                                             "clear_cache": {"ok": None},
                                             "cache cleared": reads}},
                   "tools": {"stat": tool, "verify": tool, "dump": tool, "get": {}, "salvage": tool,
                             "read commands changed nothing": False,
                             "salvage changed nothing": True, "new": None}}
        found = "\n".join(Judge(c, outcome).run())
        for expected in ("'alpha' reads b'garbage'", "raised ValueError", "lists 'made up'",
                         "answers for keys", "len(): 3, but keys() lists 2", "not one line",
                         "changed a file"):
            assert expected in found, found
        died = {"rc": -signal.SIGSEGV, "stderr": "", "alone rc": -signal.SIGSEGV,
                "alone stderr": ""}
        assert Judge(c, {"died": died}).run() == [
            f"module: died: exit {-signal.SIGSEGV}; alone: exit {-signal.SIGSEGV}; stderr: "]


class TestTruncated:
    @pytest.mark.parametrize("name", STORE_FILES)
    def test_cut_at_every_byte(self, ref, sweep, name):
        sweep(sample(by_group(truncations(ref), f"cut {name}")))


COUNTERS = ("snapshot record_count", "snapshot keys_end", "snapshot vals_end")


class TestHostileValues:
    def test_snapshot_index_and_sets(self, ref, sweep):
        sweep(sample([c for c in snapshot_field_cases(ref) if c["group"] not in COUNTERS]))

    def test_snapshot_counters(self, ref, sweep):
        """Past the files the store is refused; short of the snapshot's own
        records, the log's replay must not write over them."""
        sweep(sample([c for c in snapshot_field_cases(ref) if c["group"] in COUNTERS], every=3))

    @pytest.mark.parametrize("row", sorted(set(ROWS) - LIVE_ROWS))
    def test_rows_no_longer_read_change_nothing(self, ref, sweep, row):
        sweep(sample(by_group(row_cases(ref), f"row {row} ")))

    @pytest.mark.parametrize("row", sorted(LIVE_ROWS))
    def test_live_row_past_the_counters(self, ref, sweep, row):
        """A row reaching past the snapshot's keys_end or vals_end (or past
        the files) names bytes that are not its record's: they are never
        read as its key or value, also once the log's records lie there."""
        sweep(sample([c for c in by_group(row_cases(ref), f"row {row} ")
                       if not c["within counters"]]))

    @pytest.mark.parametrize("row", sorted(LIVE_ROWS))
    def test_live_row_within_the_counters(self, ref, sweep, row):
        """A row moved or resized inside the bytes the snapshot counts."""
        sweep(sample([c for c in by_group(row_cases(ref), f"row {row} ")
                       if c["within counters"]], every=3))


class TestCountersPastTheFiles:
    """A snapshot that counts more than the files hold is refused, naming
    `corvid salvage`; the salvage writes nothing into the store and copies
    only true values."""

    def test_refused_and_salvaged(self, ref, sweep):
        cases = [c for c in truncations(ref) + snapshot_field_cases(ref) if c["refused"]]
        kinds = {c["group"] for c in cases}
        assert kinds == {"cut keys.bin", "cut vals.bin", "cut offsets.bin", "snapshot keys_end",
                         "snapshot vals_end", "snapshot record_count"}, kinds
        # The other tests judge every one of these too in a long run.
        sweep(sample(cases, every=10, full=False))


def all_cases(ref):
    return truncations(ref) + snapshot_field_cases(ref) + row_cases(ref)


if __name__ == "__main__":
    # python tests/test_damage.py CASE DIR: the damaged store of one case.
    if len(sys.argv) != 3:
        sys.exit("usage: test_damage.py CASE DIR (CASE as printed by a failing test, or 'list')")
    scratch = tempfile.mkdtemp()
    reference = Reference(os.path.join(scratch, "reference"))
    every = {c["id"]: c for c in all_cases(reference)}
    if sys.argv[1] == "list":
        print("\n".join(every))
        sys.exit(0)
    shutil.copytree(reference.path, sys.argv[2])
    apply_damage(sys.argv[2], every[sys.argv[1]]["damage"])
    shutil.rmtree(scratch)
    print(f"{sys.argv[2]}: {sys.argv[1]}")

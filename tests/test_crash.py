"""Killing a writer at random moments: the store reopens to a prefix of its calls.

`make test` runs a few kills; `make crash` runs hundreds (CORVID_CRASH_KILLS,
CORVID_VACUUM_KILLS, CORVID_VACUUM_RECORDS).
"""
import os
import random
import shutil
import subprocess
import sys
import time

from crash_ops import KEYS, LOG_BUFFER, logged_size, make_ops, states

from conftest import Corvid

HERE = os.path.dirname(os.path.abspath(__file__))
OPS = 20000


def setting(name, default):
    return int(os.environ.get(name, default))


def run_and_kill(path, seed, delay, extra_args=(), wait_for=None):
    """Starts the child, kills it `delay` seconds later (counted from the
    `wait_for` line when given), and returns the lines it printed and the
    seconds it ran after that line."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    # Progress goes to a file: a full pipe would stall the child.
    with open(path + ".progress", "w+") as progress:
        proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "crash_child.py"), path, str(seed),
             *extra_args],
            stdout=progress, stderr=subprocess.PIPE, env=env, text=True,
        )
        while wait_for is not None and proc.poll() is None:
            with open(path + ".progress") as f:
                if wait_for in f.read():
                    break
            time.sleep(0.0005)
        seen = time.perf_counter()
        try:
            proc.wait(timeout=delay)
        except subprocess.TimeoutExpired:
            proc.kill()
        ran = time.perf_counter() - seen
        _, err = proc.communicate()
        assert proc.returncode in (0, -9), err
        progress.seek(0)
        return progress.read().splitlines(), ran


def check_reopen(path, ops, finished):
    """The reopened store equals the state after some prefix of the calls: all
    finished ones, less at most a log buffer's worth at the end."""
    db = Corvid(path)
    got = {k: v for k, v in db.get_many(KEYS) if v is not None}
    keys = db.keys()
    # Nothing before a finished persist (or vacuum) may be lost.
    last_persist = max((i for i in range(finished) if ops[i][0] in ("persist", "vacuum")),
                       default=-1)
    model = states(ops, last_persist + 1, min(finished + 1, len(ops)))
    # Values and record order both: a put of the value a key already had
    # changes only where the key stands.
    matches = [p for p in sorted(model, reverse=True)
               if model[p] == got and list(model[p]) == keys]
    assert matches, f"no prefix matches: finished={finished}"
    p = matches[0]
    lost = [logged_size(op) for op in ops[p:finished]]
    assert sum(lost) - (lost[0] if lost else 0) <= LOG_BUFFER, (p, finished)
    assert db.len() == len(got)
    # The store goes on working.
    db.set_bytes("after-crash", b"x")
    db.clear_cache()
    assert db.get_bytes("after-crash") == b"x"
    return finished - p


def crash_runs(tmp_path, extra_args=(), with_vacuum=False, max_delay=1.0):
    rng = random.Random(os.environ.get("CORVID_CRASH_SEED", "7"))
    total_lost = 0
    for run in range(setting("CORVID_CRASH_KILLS", 12)):
        seed = rng.getrandbits(32)
        path = str(tmp_path / f"run{run}")
        lines, _ = run_and_kill(path, seed, rng.uniform(0.05, max_delay), (str(OPS), *extra_args))
        finished = len(lines)
        total_lost += check_reopen(path, make_ops(seed, OPS, with_vacuum), finished)
    return total_lost


def test_killed_writer_reopens_to_a_prefix(tmp_path):
    crash_runs(tmp_path)


def test_killed_writer_with_vacuums_reopens_to_a_prefix(tmp_path):
    crash_runs(tmp_path, extra_args=("vacuum",), with_vacuum=True)


def build_garbage_store(path, records):
    """A store with `records` records: half overwritten and a quarter deleted,
    persisted, then more writes in the log. Returns its contents in order."""
    db = Corvid(path, 1000)
    state = {}
    value = bytes(range(100))
    for i in range(records // 2):
        state[f"{i:016d}"] = value
    for k in state:
        db.set_bytes(k, value)
    for k in list(state)[::2]:
        db.set_bytes(k, value[::-1])
        state.pop(k)
        state[k] = value[::-1]
    for k in list(state)[1::4]:
        db.delete(k)
        state.pop(k)
    db.persist()
    for i in range(100):
        db.set_bytes(f"late{i}", b"late")
        state[f"late{i}"] = b"late"
    return state


def test_kill_inside_vacuum(tmp_path):
    records = setting("CORVID_VACUUM_RECORDS", 40_000)
    template = str(tmp_path / "template")
    state = build_garbage_store(template, records)
    keys = list(state)

    # How long one vacuum takes, to spread the kills over it.
    timing = str(tmp_path / "timing")
    shutil.copytree(template, timing)
    lines, duration = run_and_kill(timing, "vacuum-now", 300, wait_for="start")
    assert lines == ["start", "done"]

    rng = random.Random(11)
    outcomes = {"before": 0, "after": 0}
    for run in range(setting("CORVID_VACUUM_KILLS", 4)):
        path = str(tmp_path / f"v{run}")
        shutil.copytree(template, path)
        lines, _ = run_and_kill(path, "vacuum-now", rng.uniform(0, duration), wait_for="start")
        outcomes["after" if "done" in lines else "before"] += 1
        db = Corvid(path)
        assert db.len() == len(state)
        assert db.keys() == keys
        assert db.get_many(keys) == list(state.items())
        assert not [n for n in os.listdir(path) if n.endswith(".vac")]
        db.set_bytes("after-crash", b"x")
        del db
        assert Corvid(path).get_bytes("after-crash") == b"x"
        shutil.rmtree(path)
    print(f"vacuum kills: {outcomes}, one vacuum of {records} records: {duration:.2f}s")

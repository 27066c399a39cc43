"""Killing a writer at random moments: the store reopens to a prefix of its calls.

`make test` runs a few kills; CORVID_CRASH_KILLS=N (see `make crash`) runs more.
"""
import os
import random
import subprocess
import sys
import time

from crash_ops import KEYS, LOG_BUFFER, logged_size, make_ops, states

from conftest import Corvid

HERE = os.path.dirname(os.path.abspath(__file__))
OPS = 20000


def kills():
    return int(os.environ.get("CORVID_CRASH_KILLS", "12"))


def run_and_kill(path, seed, delay, extra_args=()):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    # Progress goes to a file: a full pipe would stall the child.
    with open(path + ".progress", "w+") as progress:
        proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "crash_child.py"), path, str(seed), str(OPS),
             *extra_args],
            stdout=progress, stderr=subprocess.PIPE, env=env, text=True,
        )
        time.sleep(delay)
        proc.kill()
        _, err = proc.communicate()
        assert proc.returncode in (0, -9), err
        progress.seek(0)
        return len(progress.read().splitlines())


def check_reopen(path, ops, finished):
    """The reopened store equals the state after some prefix of the calls: all
    finished ones, less at most a log buffer's worth at the end."""
    db = Corvid(path)
    got = {k: v for k, v in db.get_many(KEYS) if v is not None}
    # Nothing before a finished persist (or vacuum) may be lost.
    last_persist = max((i for i in range(finished) if ops[i][0] in ("persist", "vacuum")),
                       default=-1)
    model = states(ops, last_persist + 1, min(finished + 1, len(ops)))
    matches = [p for p in sorted(model, reverse=True) if model[p] == got]
    assert matches, f"no prefix matches: finished={finished}"
    p = matches[0]
    lost = [logged_size(op) for op in ops[p:finished]]
    assert sum(lost) - (lost[0] if lost else 0) <= LOG_BUFFER, (p, finished)
    assert db.len() == len(got)
    assert db.keys() == list(model[p])
    # The store goes on working.
    db.set_bytes("after-crash", b"x")
    db.clear_cache()
    assert db.get_bytes("after-crash") == b"x"
    return finished - p


def crash_runs(tmp_path, extra_args=(), with_vacuum=False, max_delay=1.0):
    rng = random.Random(os.environ.get("CORVID_CRASH_SEED", "7"))
    total_lost = 0
    for run in range(kills()):
        seed = rng.getrandbits(32)
        path = str(tmp_path / f"run{run}")
        finished = run_and_kill(path, seed, rng.uniform(0.05, max_delay), extra_args)
        total_lost += check_reopen(path, make_ops(seed, OPS, with_vacuum), finished)
    return total_lost


def test_killed_writer_reopens_to_a_prefix(tmp_path):
    crash_runs(tmp_path)

"""The package on a full disk: its held appends to the data files and its
log run out of room; no acknowledged write is lost once there is room again.
Mounting a small tmpfs needs root: without it the module is skipped."""
import json
import os
import subprocess

import pytest

import corvid
from conftest import run_python

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="mounting a tmpfs needs root")


@pytest.fixture
def mount(tmp_path):
    where = str(tmp_path / "mnt")
    os.mkdir(where)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=6m", "tmpfs", where], check=True)
    yield where
    subprocess.run(["umount", "-l", where], check=True)


CHILD = """
import corvid, json
db = corvid.open({path!r}, durability={durability!r})
acked, errors = 0, []
for i in range(100_000):
    try:
        db[f"k{{i}}"] = bytes([i % 251]) * {size}
        acked = i + 1
    except OSError as e:
        errors.append(e.errno)
        if len(errors) > 20:
            break
for call in (db.flush, db.persist, db.close):
    try:
        call()
    except OSError as e:
        errors.append(e.errno)
print(json.dumps([acked, errors]))
"""


@pytest.mark.parametrize("durability", ["flush", "buffered"])
@pytest.mark.parametrize("size", [100, 5000])
def test_full_disk_loses_no_acknowledged_put(mount, durability, size):
    path = os.path.join(mount, "store")
    proc = run_python(CHILD.format(path=path, durability=durability, size=size), timeout=120)
    assert proc.returncode == 0, proc.stderr
    acked, errors = json.loads(proc.stdout.splitlines()[-1])
    assert acked > 0 and errors and set(errors) == {28}, (acked, errors)
    subprocess.run(["mount", "-o", "remount,size=64m", mount], check=True)
    with corvid.open(path) as db:
        got = dict(db.items())
    # Every acknowledged put; a put that raised stored nothing.
    assert got == {f"k{i}": bytes([i % 251]) * size for i in range(acked)}

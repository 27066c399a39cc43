"""One writer per directory: a second process is refused while the first
lives, instances of one process share the directory, a forked child cannot
write through an inherited instance."""
import gc
import os
import signal
import subprocess
import sys

import pytest

from conftest import Corvid, file_bytes, run_python

HOLDER = """
import sys
from _corvid import Corvid
dbs = [Corvid(sys.argv[1]) for _ in range(int(sys.argv[2]))]
dbs[0].set_bytes("held", b"by the holder")
print("ready", flush=True)
for line in sys.stdin:
    if line.strip() == "drop":
        dbs.pop()
        print("dropped", flush=True)
"""


def start_holder(path, instances=1):
    """A process that opens `path` and keeps it until its stdin closes."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.Popen([sys.executable, "-c", HOLDER, path, str(instances)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
    assert proc.stdout.readline() == "ready\n"
    return proc


def open_elsewhere(path):
    """Opens `path` in a fresh process; returns what it printed."""
    out = run_python(
        "import _corvid\n"
        "try:\n"
        f"    db = _corvid.Corvid({path!r})\n"
        "    print('opened', db.get_bytes('held'))\n"
        "except BlockingIOError as e:\n"
        "    print('refused', e)\n"
    )
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


class TestSecondProcess:
    def test_refused_while_the_first_lives(self, path):
        holder = start_holder(path)
        try:
            message = open_elsewhere(path)
            assert message == (f"refused storage directory '{path}' is in use by process "
                               f"{holder.pid}: one process at a time may open it for writing")
            # The refusal changed nothing: the holder's files are as it left them.
            assert sorted(os.listdir(path)) == ["keys.bin", "offsets.bin", "vals.bin", "wal.bin"]
        finally:
            holder.stdin.close()
            holder.wait(timeout=30)
        assert open_elsewhere(path) == "opened b'by the holder'"

    def test_a_killed_holder_leaves_no_lock(self, path):
        holder = start_holder(path)
        holder.send_signal(signal.SIGKILL)
        holder.wait(timeout=30)
        # Its put was still in the log's buffer: gone with the process.
        assert open_elsewhere(path) == "opened None"

    def test_the_lock_goes_with_the_last_instance(self, path):
        holder = start_holder(path, instances=2)
        try:
            holder.stdin.write("drop\n")
            holder.stdin.flush()
            assert holder.stdout.readline() == "dropped\n"
            assert open_elsewhere(path).startswith("refused")
            holder.stdin.write("drop\n")
            holder.stdin.flush()
            assert holder.stdout.readline() == "dropped\n"
            assert open_elsewhere(path) == "opened b'by the holder'"
        finally:
            holder.stdin.close()
            holder.wait(timeout=30)


class TestOneProcess:
    def test_instances_share_the_directory(self, path):
        first = Corvid(path)
        second = Corvid(path)
        first.set_bytes("a", b"1")
        second.set_bytes("b", b"2")
        assert first.get_bytes("a") == b"1" and second.get_bytes("b") == b"2"
        del first
        assert open_elsewhere(path).startswith("refused")
        del second
        gc.collect()
        assert open_elsewhere(path) == "opened None"


    def test_a_second_open_sees_the_first_ones_pending_calls(self, path):
        # Puts of 3,000 bytes: the log's buffer goes out in the middle of one.
        first = Corvid(path)
        for i in range(5):
            first.set_bytes(f"first{i}", bytes([i]) * 3000)
        second = Corvid(path)
        assert second.len() == 5 and second.get_bytes("first4") == bytes([4]) * 3000
        # The second open cut no part of an entry the first was writing.
        for i in range(5, 10):
            first.set_bytes(f"first{i}", bytes([i]) * 3000)
        del first, second
        gc.collect()
        db = Corvid(path)
        assert db.keys() == [f"first{i}" for i in range(10)]
        assert db.get_bytes("first9") == bytes([9]) * 3000


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
class TestForkedChild:
    def test_inherited_instance_refuses_and_writes_nothing(self, path):
        db = Corvid(path)
        db.set_bytes("before", b"fork")  # still in the log's buffer
        log_before = file_bytes(path, "wal.bin")
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: every call raises, then the instance goes
            try:
                os.close(read)
                results = []
                calls = [
                    lambda: db.set_bytes("child", b"x"), lambda: db.get_bytes("before"),
                    lambda: db.delete("before"), lambda: db.persist(), lambda: db.vacuum(),
                    lambda: db.len(), lambda: db.keys(), lambda: db.get_many(["before"]),
                    lambda: db.cache_stats(), lambda: db.clear_cache(),
                ]
                for call in calls:
                    try:
                        call()
                        results.append("no error")
                    except OSError as e:
                        results.append(str(e))
                try:
                    Corvid(path)
                    results.append("reopened")
                except BlockingIOError as e:
                    results.append(str(e))
                del db, calls
                gc.collect()
                os.write(write, "\n".join(results).encode())
            finally:
                os._exit(0)
        os.close(write)
        with os.fdopen(read) as f:
            results = f.read().split("\n")
        os.waitpid(pid, 0)
        refusal = (f"storage directory '{path}' was opened by process {os.getpid()}; process "
                   f"{pid}, forked from it, cannot use that instance")
        assert results[:10] == [refusal] * 10
        assert results[10] == (f"storage directory '{path}' is in use by process {os.getpid()}: "
                               "one process at a time may open it for writing")
        # Nothing reached the files from the child, not even the parent's buffer.
        assert file_bytes(path, "wal.bin") == log_before == b""
        db.set_bytes("after", b"fork")
        del db
        db = Corvid(path)
        assert db.keys() == ["before", "after"]
        assert db.len() == 2

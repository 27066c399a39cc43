"""The corvid program, driven as a user would."""
import json
import os
import shutil
import subprocess
import sys

import pytest

from conftest import Corvid, snapshot_of_files


def corvid_path():
    here = os.path.join(os.path.dirname(sys.executable), "corvid")
    return os.environ.get("CORVID_CLI") or (here if os.path.exists(here) else shutil.which("corvid"))


CLI = corvid_path()
pytestmark = pytest.mark.skipif(CLI is None, reason="the corvid program is not built")


def run(*args, stdin=b""):
    return subprocess.run([CLI, *args], input=stdin, capture_output=True, timeout=60)


@pytest.fixture
def stores(tmp_path):
    """A fresh, a persisted (with later writes) and a vacuumed store."""
    made = {}
    made["fresh"] = str(tmp_path / "fresh")
    Corvid(made["fresh"])
    made["persisted"] = str(tmp_path / "persisted")
    db = Corvid(made["persisted"])
    for i in range(30):
        db.set_bytes(f"k{i}", bytes([i]) * i)
    db.delete("k3")
    db.persist()
    db.set_bytes("k1", b"newer")
    db.set_bytes("é", b"\x00\xff")
    del db
    made["vacuumed"] = str(tmp_path / "vacuumed")
    shutil.copytree(made["persisted"], made["vacuumed"])
    db = Corvid(made["vacuumed"])
    db.vacuum()
    del db
    return made


class TestReadOnlyCommands:
    def test_stat_and_verify_change_nothing(self, stores):
        for name, path in stores.items():
            before = snapshot_of_files(path)
            for args in (["stat", path], ["stat", "--json", path], ["verify", path]):
                out = run(*args)
                assert out.returncode == 0, (name, args, out.stderr)
            assert snapshot_of_files(path) == before, name

    def test_stat_reports_the_state(self, stores):
        info = json.loads(run("stat", "--json", stores["persisted"]).stdout)
        assert info["snapshot"]["present"] and info["snapshot"]["decodes"]
        assert info["snapshot"]["live"] == 29 and info["snapshot"]["dead"] == 1
        assert info["log"] == {"entries": 2, "whole_bytes": info["files"]["wal.bin"],
                               "torn": False, "in_flight": False, "read_error": False}
        assert info["records"]["live"] == 30 and info["records"]["dead"] == 2
        assert info["bytes"]["garbage"] > 0 and info["leftovers"] == []
        fresh = json.loads(run("stat", "--json", stores["fresh"]).stdout)
        assert fresh["snapshot"] == {"present": False, "decodes": False}
        assert fresh["records"]["live"] == 0
        vac = json.loads(run("stat", "--json", stores["vacuumed"]).stdout)
        assert vac["records"] == {"live": 30, "dead": 0, "record_count": 30}
        assert vac["bytes"]["garbage"] == 0
        text = run("stat", stores["persisted"]).stdout.decode()
        assert "30 live, 2 dead" in text

    @pytest.mark.parametrize("damage", ["truncated vals", "flipped offsets byte", "short offsets",
                                        "log garbage"])
    def test_verify_finds_damage(self, stores, damage):
        path = stores["vacuumed"] if damage != "log garbage" else stores["persisted"]
        if damage == "truncated vals":
            with open(os.path.join(path, "vals.bin"), "r+b") as f:
                f.truncate(10)
            expected = "outside vals.bin"
        elif damage == "short offsets":
            os.truncate(os.path.join(path, "offsets.bin"), 24 * 10)
            expected = "record 10: row lies outside offsets.bin"
        elif damage == "flipped offsets byte":
            with open(os.path.join(path, "offsets.bin"), "r+b") as f:
                f.seek(24 * 5 + 8)  # key_len of record 5
                f.write(b"\x7f")
            expected = "record 5"
        else:
            with open(os.path.join(path, "wal.bin"), "ab") as f:
                f.write(b"\x09garbage")
            expected = "undecodable byte(s)"
        before = snapshot_of_files(path)
        out = run("verify", path)
        assert out.returncode == 1, out.stdout
        assert expected in out.stdout.decode()
        assert run("stat", path).returncode == 0
        assert snapshot_of_files(path) == before
        if damage == "log garbage":
            assert json.loads(run("stat", "--json", path).stdout)["log"]["torn"]

    def test_leftovers_are_reported(self, stores):
        path = stores["fresh"]
        open(os.path.join(path, "snapshot.bin.tmp"), "wb").close()
        assert "snapshot.bin.tmp" in run("stat", path).stdout.decode()
        out = run("verify", path)
        assert out.returncode == 1 and b"leftover file snapshot.bin.tmp" in out.stdout


class TestDumpLoadEdit:
    def test_dump_then_load_reproduces_everything(self, stores, tmp_path):
        dumped = run("dump", stores["persisted"])
        assert dumped.returncode == 0, dumped.stderr
        lines = dumped.stdout.decode().splitlines()
        assert len(lines) == 30
        assert json.loads(lines[-1]) == {"key": "é", "value_b64": "AP8="}
        target = str(tmp_path / "copy")
        loaded = run("load", target, stdin=dumped.stdout)
        assert loaded.returncode == 0, loaded.stderr
        original, copy = Corvid(stores["persisted"]), Corvid(target)
        assert copy.keys() == original.keys()
        assert copy.get_many(original.keys()) == original.get_many(original.keys())
        assert os.path.exists(os.path.join(target, "snapshot.bin"))

    def test_get_put_delete(self, tmp_path):
        path = str(tmp_path / "edit")
        assert run("put", path, "greeting", stdin=b"hello\x00").returncode == 0
        out = run("get", path, "greeting")
        assert out.returncode == 0 and out.stdout == b"hello\x00"
        assert run("delete", path, "greeting").returncode == 0
        missing = run("get", path, "greeting")
        assert missing.returncode == 1 and missing.stderr == b"corvid: key not found\n"
        assert run("delete", path, "greeting").returncode == 1
        assert Corvid(path).len() == 0

    def test_bad_input(self, tmp_path, stores):
        missing = str(tmp_path / "missing")
        afile = str(tmp_path / "afile")
        open(afile, "wb").close()
        for args in (["stat", missing], ["verify", missing], ["dump", missing],
                     ["get", missing, "k"], ["delete", missing, "k"]):
            out = run(*args)
            assert out.returncode != 0 and len(out.stderr.splitlines()) == 1, args
            assert not os.path.exists(missing)
        assert run("verify", missing).returncode == 2
        for args in (["stat", afile], ["get", afile, "k"], ["load", afile]):
            out = run(*args)
            assert out.returncode != 0 and out.stderr.startswith(b"corvid: "), args
        bad = run("load", str(tmp_path / "new"), stdin=b'{"key": "a", "value_b64": "YQ=="}\n\n'
                                                       b'{"key": 1}\n')
        assert bad.returncode == 1
        assert bad.stderr.startswith(b"corvid: line 3: ")
        assert bad.stderr.endswith(b" (1 record(s) before it were stored)\n")
        assert Corvid(str(tmp_path / "new")).get_bytes("a") == b"a"
        assert run("load", str(tmp_path / "n2"), stdin=b'{"key": "a", "value_b64": "!"}\n'
                   ).returncode == 1
        assert run("stat").returncode != 0
        for sub in ("stat", "verify", "dump", "load", "get", "put", "delete"):
            assert run(sub, "--help").returncode == 0

    def test_every_finding_is_counted(self, stores):
        path = stores["vacuumed"]
        with open(os.path.join(path, "vals.bin"), "r+b") as f:
            f.truncate(0)  # 29 of the 30 values now lie outside it (k0's is empty)
        lines = run("verify", path).stdout.decode().splitlines()
        assert len([line for line in lines if "value lies outside" in line]) == 20
        assert "damage: 9 more record finding(s)" in lines
        assert lines[-1] == "30 finding(s)"  # the 29 records and the short vals.bin

    # 30 live records: 28 in the snapshot (k1's is superseded) and 2 in the log.
    @pytest.mark.parametrize("damage, copied", [("short offsets", 10), ("missing vals", 3),
                                                 ("short keys", 5)])
    def test_a_damaged_store_is_refused_and_salvaged(self, stores, tmp_path, damage, copied):
        path = stores["persisted"]
        if damage == "short offsets":
            os.truncate(os.path.join(path, "offsets.bin"), 24 * 10)  # rows 0 to 9 are left
        elif damage == "missing vals":
            os.remove(os.path.join(path, "vals.bin"))  # only k0's empty value is left
        else:
            os.truncate(os.path.join(path, "keys.bin"), 10)  # keys k0 to k4
        before = snapshot_of_files(path)
        for args in (["get", path, "k20"], ["dump", path]):
            out = run(*args)
            assert out.returncode == 1 and len(out.stderr.splitlines()) == 1, args
            assert b"is damaged" in out.stderr and b"corvid salvage" in out.stderr, out.stderr
        info = json.loads(run("stat", "--json", path).stdout)
        assert "is damaged" in info["damage"]
        assert snapshot_of_files(path) == before
        # A writer's open refuses too, before it lengthens the table: the
        # damage stays there for the next open to see.
        for _ in range(2):
            with pytest.raises(OSError, match="is damaged: .* `corvid salvage "):
                Corvid(path)
        assert snapshot_of_files(path).keys() >= {"keys.bin", "offsets.bin"}
        assert snapshot_of_files(path)["offsets.bin"] == before["offsets.bin"]

        target = str(tmp_path / "saved")
        out = run("salvage", path, target)
        assert out.returncode == 1, out.stderr
        lines = out.stdout.decode().splitlines()
        assert lines[-1] == f"{copied} record(s) copied into {target}, {30 - copied} could not be read"
        assert any(line.startswith("lost: record ") for line in lines)
        saved = Corvid(target)
        assert saved.len() == copied and saved.get_bytes("k1") == b"newer"
        assert saved.get_bytes("é") == b"\x00\xff"
        for key in saved.keys():
            if key not in ("k1", "é"):
                assert saved.get_bytes(key) == bytes([int(key[1:])]) * int(key[1:])
        assert run("salvage", path, target).returncode == 1  # not into a store
        assert snapshot_of_files(path)["offsets.bin"] == before["offsets.bin"]

    def test_salvage_of_a_sound_store_copies_everything(self, stores, tmp_path):
        target = str(tmp_path / "copy")
        out = run("salvage", stores["persisted"], target)
        assert out.returncode == 0, out.stdout
        original, copy = Corvid(stores["persisted"]), Corvid(target)
        assert copy.keys() == original.keys()
        assert copy.get_many(original.keys()) == original.get_many(original.keys())

    def test_damaged_store_fails_cleanly(self, stores):
        path = stores["vacuumed"]
        with open(os.path.join(path, "vals.bin"), "r+b") as f:
            f.truncate(10)
        out = run("dump", path)
        assert out.returncode == 1
        assert out.stderr.startswith(b"corvid: ") and b"vals.bin holds 10 bytes" in out.stderr



WRITER = """
import sys
from _corvid import Corvid
db = Corvid(sys.argv[1], 16)
for i in range(20):
    db.set_bytes(f"k{i}", bytes([i]) * 100)
db.persist()
db.set_bytes("a", bytes(5000))
db.set_bytes("b", bytes(5000))  # overflows the log's buffer inside its value
db.set_bytes("c", b"pending")
print("ready", flush=True)
sys.stdin.read()
"""


def start_writer(path):
    """A live writer whose log ends in a torn entry, with one more pending."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.Popen([sys.executable, "-c", WRITER, path], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True, env=env)
    assert proc.stdout.readline() == "ready\n"
    return proc


def interrupted_vacuum(path):
    """A store whose vacuum was killed after its commit and one rename."""
    db = Corvid(path)
    for i in range(40):
        db.set_bytes(f"k{i}", bytes([i]) * i)
    db.persist()
    for i in range(0, 40, 3):
        db.set_bytes(f"k{i}", b"again")
    del db
    env = dict(os.environ, CORVID_CRASH_AT="vacuum-renamed-one",
               PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", f"import _corvid; _corvid.Corvid({path!r}).vacuum()"],
                         env=env, capture_output=True, timeout=60)
    assert out.returncode == -9, out.stderr
    assert os.path.exists(os.path.join(path, "snapshot.bin.vac"))


READ_COMMANDS = [["stat"], ["stat", "--json"], ["verify"], ["dump"], ["get", "k1"],
                 ["get", "missing"]]


class TestReadCommandsChangeNothing:
    @pytest.fixture(params=["fresh", "persisted", "unpersisted", "torn", "mid-vacuum", "live"])
    def kind_and_path(self, request, tmp_path):
        kind, path = request.param, str(tmp_path / request.param)
        writer = None
        if kind == "fresh":
            Corvid(path)
        elif kind in ("persisted", "unpersisted", "torn"):
            db = Corvid(path)
            for i in range(30):
                db.set_bytes(f"k{i}", bytes([i]) * 50)
            if kind == "persisted":
                db.persist()
            db.set_bytes("k1", b"newer")
            db.delete("k2")
            del db
            if kind == "torn":
                with open(os.path.join(path, "wal.bin"), "ab") as f:
                    f.write(bytes(4) + (9).to_bytes(8, "little") + b"half")
        elif kind == "mid-vacuum":
            interrupted_vacuum(path)
        else:
            writer = start_writer(path)
        yield kind, path
        if writer is not None:
            writer.stdin.close()
            writer.wait(timeout=30)

    def test_bytes_and_times_stay(self, kind_and_path):
        kind, path = kind_and_path
        before = snapshot_of_files(path)
        for args in READ_COMMANDS:
            out = run(*args[:1], path, *args[1:]) if args[0] == "get" else run(*args, path)
            found = args != ["get", "missing"] and not (kind == "fresh" and args[0] == "get")
            assert out.returncode == (0 if found else 1) or (
                kind == "torn" and args == ["verify"] and out.returncode == 1), (kind, args, out)
            assert snapshot_of_files(path) == before, (kind, args)

    def test_what_they_report(self, kind_and_path):
        kind, path = kind_and_path
        info = json.loads(run("stat", "--json", path).stdout)
        verify = run("verify", path)
        dumped = [json.loads(line) for line in run("dump", path).stdout.splitlines()]
        keys = [d["key"] for d in dumped]
        if kind == "live":
            assert info["writer"] is not None and info["log"]["in_flight"]
            assert not info["log"]["torn"] and info["log"]["entries"] == 1
            assert verify.returncode == 0, verify.stdout
            assert b"in flight" in verify.stdout and b"holds it for writing" in verify.stdout
            # "a" is whole in the log; the torn "b" and the buffered "c" are not yet on disk.
            assert keys == [f"k{i}" for i in range(20)] + ["a"]
            assert run("get", path, "a").stdout == bytes(5000)
        elif kind == "mid-vacuum":
            # The log's entries since the snapshot are replayed over the vacuum's state.
            assert info["vacuum_interrupted"] and info["records"]["live"] == 40
            assert verify.returncode == 0 and b"vacuum had committed" in verify.stdout
            moved = [f"k{i}" for i in range(0, 40, 3)]
            assert keys == [f"k{i}" for i in range(40) if f"k{i}" not in moved] + moved
            # A writer's open completes the vacuum and sees the same.
            db = Corvid(path)
            assert db.keys() == keys and db.len() == 40
        elif kind == "torn":
            assert info["log"]["torn"] and not info["log"]["in_flight"] and info["writer"] is None
            assert verify.returncode == 1 and b"undecodable byte(s)" in verify.stdout
        if kind in ("persisted", "unpersisted", "torn"):
            assert keys == [f"k{i}" for i in range(30) if i not in (1, 2)] + ["k1"]
            assert info["records"]["live"] == 29
            db = Corvid(path)  # the state the tool reported is the one the next open reaches
            assert db.keys() == keys and db.len() == info["records"]["live"]
            assert info["records"]["dead"] == 2

    def test_write_commands_name_the_live_writer(self, tmp_path):
        path = str(tmp_path / "live")
        writer = start_writer(path)
        try:
            before = snapshot_of_files(path)
            for args, stdin in ((["put", path, "x"], b"1"), (["delete", path, "k1"], b""),
                                (["load", path], b'{"key": "x", "value_b64": "AA=="}\n')):
                out = run(*args, stdin=stdin)
                assert out.returncode == 1
                assert out.stderr.decode() == (
                    f"corvid: storage directory '{path}' is in use by process {writer.pid}: "
                    "one process at a time may open it for writing\n")
            assert snapshot_of_files(path) == before
        finally:
            writer.stdin.close()
            writer.wait(timeout=30)
        assert run("put", path, "x", stdin=b"1").returncode == 0

    def test_no_store_there(self, tmp_path):
        path = str(tmp_path / "elsewhere")
        os.mkdir(path)
        with open(os.path.join(path, "notes.txt"), "w") as f:
            f.write("not a store")
        for args in READ_COMMANDS:
            out = run(*args[:1], path, *args[1:]) if args[0] == "get" else run(*args, path)
            assert out.returncode != 0, args
            assert b"is not a storage directory" in out.stderr, (args, out.stderr)
            assert os.listdir(path) == ["notes.txt"]
        assert run("verify", path).returncode == 2


def test_version():
    out = run("--version")
    assert out.returncode == 0 and out.stdout.decode().startswith("corvid 0.")

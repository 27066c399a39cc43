"""The corvid program, driven as a user would."""
import json
import os
import shutil
import subprocess
import sys

import pytest

from conftest import Corvid


def corvid_path():
    here = os.path.join(os.path.dirname(sys.executable), "corvid")
    return os.environ.get("CORVID_CLI") or (here if os.path.exists(here) else shutil.which("corvid"))


CLI = corvid_path()
pytestmark = pytest.mark.skipif(CLI is None, reason="the corvid program is not built")


def run(*args, stdin=b""):
    return subprocess.run([CLI, *args], input=stdin, capture_output=True, timeout=60)


def snapshot_of_files(path):
    """Every file's bytes and modification time."""
    out = {}
    for name in sorted(os.listdir(path)):
        p = os.path.join(path, name)
        with open(p, "rb") as f:
            out[name] = (f.read(), os.stat(p).st_mtime_ns)
    return out


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
                               "torn": False, "read_error": False}
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

    @pytest.mark.parametrize("damage", ["truncated vals", "flipped offsets byte", "log garbage"])
    def test_verify_finds_damage(self, stores, damage):
        path = stores["vacuumed"] if damage != "log garbage" else stores["persisted"]
        if damage == "truncated vals":
            with open(os.path.join(path, "vals.bin"), "r+b") as f:
                f.truncate(10)
            expected = "outside vals.bin"
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
        bad = run("load", str(tmp_path / "new"), stdin=b'{"key": "a", "value_b64": "YQ=="}\n'
                                                       b'{"key": 1}\n')
        assert bad.returncode == 1
        assert bad.stderr.startswith(b"corvid: line 2: ")
        assert run("load", str(tmp_path / "n2"), stdin=b'{"key": "a", "value_b64": "!"}\n'
                   ).returncode == 1
        assert run("stat").returncode != 0
        for sub in ("stat", "verify", "dump", "load", "get", "put", "delete"):
            assert run(sub, "--help").returncode == 0

    def test_damaged_store_fails_cleanly(self, stores):
        path = stores["vacuumed"]
        with open(os.path.join(path, "vals.bin"), "r+b") as f:
            f.truncate(10)
        out = run("dump", path)
        assert out.returncode == 1
        assert out.stderr.startswith(b"corvid: ") and b"failed to fill whole buffer" in out.stderr

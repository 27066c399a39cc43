"""Opening a storage directory: what it creates, sizes and refuses."""
import os

import pytest

from conftest import NOBODY, SANITIZED, Corvid, file_bytes, file_size, panic_class, run_python

DATA_FILES = ["keys.bin", "offsets.bin", "vals.bin", "wal.bin"]


class TestFreshDirectory:
    def test_nested_path_is_created(self, tmp_path):
        path = str(tmp_path / "a" / "b" / "c")
        db = Corvid(path)
        assert sorted(os.listdir(path)) == DATA_FILES
        assert file_bytes(path, "offsets.bin") == bytes(2_400_000)
        for name in ("keys.bin", "vals.bin", "wal.bin"):
            assert file_size(path, name) == 0
        assert db.len() == 0 and db.keys() == [] and db.cache_stats() == (0, 10000)

    def test_permissions_follow_umask(self, tmp_path):
        old = os.umask(0o022)
        try:
            path = str(tmp_path / "p")
            Corvid(path)
        finally:
            os.umask(old)
        assert os.stat(path).st_mode & 0o777 == 0o755
        assert os.stat(os.path.join(path, "keys.bin")).st_mode & 0o777 == 0o644

    def test_trailing_slash_and_reopen(self, tmp_path):
        path = str(tmp_path / "s") + "/"
        Corvid(path)
        Corvid(path)
        assert file_size(path, "offsets.bin") == 2_400_000
        assert "snapshot.bin" not in os.listdir(path)

    def test_empty_path_opens_working_directory(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        db = Corvid("")
        db.set_bytes("k", b"v")
        assert sorted(os.listdir(tmp_path)) == DATA_FILES
        assert file_bytes(tmp_path, "keys.bin") == b"k"


class TestTableSizing:
    @pytest.mark.parametrize(
        "length, expected",
        [(3_000_000, 3_000_000), (2_400_005, 2_400_005), (2_400_010, 2_400_010),
         (4_800_000, 4_800_000), (1000, 2_400_000), (0, 2_400_000)],
    )
    def test_existing_offsets_file(self, path, length, expected):
        os.makedirs(path)
        with open(os.path.join(path, "offsets.bin"), "wb") as f:
            f.write(b"\x01" * length)
        Corvid(path)
        data = file_bytes(path, "offsets.bin")
        assert len(data) == expected
        assert data[:length] == b"\x01" * length and data[length:] == bytes(expected - length)

    def test_capacity_from_length(self, path):
        # 2,400,005 bytes hold 100,000 whole rows: the 100,001st put grows it.
        os.makedirs(path)
        with open(os.path.join(path, "offsets.bin"), "wb") as f:
            f.truncate(3_000_000)
        db = Corvid(path, 0)
        for i in range(125_000):
            db.set_bytes("", b"")
        assert file_size(path, "offsets.bin") == 3_000_000
        db.set_bytes("", b"")
        assert file_size(path, "offsets.bin") == 6_000_000


class TestRefusals:
    def test_regular_file_at_path(self, tmp_path):
        target = tmp_path / "file"
        target.write_bytes(b"x")
        with pytest.raises(FileExistsError) as info:
            Corvid(str(target))
        assert type(info.value) is FileExistsError
        assert str(info.value) == "File exists (os error 17)"
        assert info.value.errno is None and info.value.strerror is None
        assert info.value.filename is None

    def test_file_as_parent(self, tmp_path):
        (tmp_path / "file").write_bytes(b"x")
        with pytest.raises(OSError) as info:
            Corvid(str(tmp_path / "file" / "sub"))
        assert str(info.value) == "Not a directory (os error 20)"
        assert type(info.value) is OSError

    def test_nul_in_path(self, tmp_path):
        with pytest.raises(OSError) as info:
            Corvid(str(tmp_path / "a\0b"))
        assert type(info.value) is OSError
        assert str(info.value) == "file name contained an unexpected NUL byte"

    def test_unwritable_parent(self, shared_tmp):
        parent = os.path.join(shared_tmp, "locked")
        os.mkdir(parent, 0o555)
        out = run_python(
            "import _corvid\n"
            "try:\n"
            f"    _corvid.Corvid({os.path.join(parent, 'db')!r})\n"
            "except PermissionError as e:\n"
            "    print(type(e).__name__, e.errno, e)\n",
            user=NOBODY,
        )
        assert out.stdout.strip() == "PermissionError None Permission denied (os error 13)", (
            out.stderr
        )

    def test_data_file_that_cannot_be_opened_panics(self, path):
        os.makedirs(os.path.join(path, "offsets.bin"))
        Panic = panic_class()
        assert issubclass(Panic, BaseException) and not issubclass(Panic, Exception)
        with pytest.raises(BaseException) as info:
            try:
                Corvid(path)
            except Exception:  # must not catch it
                pytest.fail("PanicException caught as Exception")
        assert type(info.value) is Panic
        assert type(info.value).__name__ == "PanicException"
        assert info.value.args == (str(info.value),)
        assert str(info.value).startswith("called `Result::unwrap()` on an `Err` value")
        assert "21" in str(info.value)  # EISDIR

    def test_unwritable_offsets_file_panics(self, shared_tmp):
        path = os.path.join(shared_tmp, "db")
        Corvid(path)
        for name in os.listdir(path):
            os.chmod(os.path.join(path, name), 0o444)
        out = run_python(
            "import _corvid\n"
            "try:\n"
            f"    _corvid.Corvid({path!r})\n"
            "except OSError:\n"
            "    print('caught as OSError')\n"
            "except BaseException as e:\n"
            "    print(type(e).__name__, e)\n",
            user=NOBODY,
        )
        assert out.stdout.startswith(
            "PanicException called `Result::unwrap()` on an `Err` value"
        ), out.stdout + out.stderr
        assert "code: 13" in out.stdout
        # The diagnostic names the source location on stderr.
        assert "panicked at src/" in out.stderr

    def test_unopenable_log(self, path):
        os.makedirs(os.path.join(path, "wal.bin"))
        with pytest.raises(OSError) as info:
            Corvid(path)
        assert type(info.value) is OSError  # EISDIR has no subclass of its own here
        assert str(info.value) == "Is a directory (os error 21)"
        # What the open created before the failure stays.
        assert file_size(path, "offsets.bin") == 2_400_000


class TestCacheReservation:
    def test_beyond_table_range(self, path):
        Panic = panic_class()
        with pytest.raises(Panic) as info:
            Corvid(path, 2**64 - 1)
        assert str(info.value) == "Hash table capacity overflow"

    @pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime aborts on huge allocations")
    def test_memory_that_cannot_be_had(self, path):
        with pytest.raises(MemoryError):
            Corvid(path, 2**50)
        assert Corvid(path, 10).cache_stats() == (0, 10)

"""Run in a fresh environment where only the wheel is installed: both modules
import, a store is written, persisted, reopened and read, and the `corvid`
program runs on it."""
import os
import shutil
import subprocess
import sys
import tempfile

import _corvid
import corvid
import corvid.dbm


def main() -> None:
    work = tempfile.mkdtemp(prefix="corvid-smoke-")
    try:
        path = os.path.join(work, "store")
        low = _corvid.Corvid(path)
        low.set_bytes("low", b"level")
        low.persist()
        del low
        with corvid.open(path) as db:
            db["key"] = b"value"
            db.put_many({f"k{i}": bytes([i]) for i in range(100)})
            db.persist()
        with corvid.open(path, readonly=True) as db:
            assert db["key"] == b"value" and db["low"] == b"level" and len(db) == 102
        with corvid.dbm.open(os.path.join(work, "dbm"), "c") as d:
            d[b"a"] = b"b"
        program = shutil.which("corvid")
        assert program is not None, "the corvid program is not on PATH"
        version = subprocess.run([program, "--version"], capture_output=True, text=True)
        assert version.returncode == 0 and corvid.__version__ in version.stdout, version
        verify = subprocess.run([program, "verify", path], capture_output=True, text=True)
        assert verify.returncode == 0, verify.stdout + verify.stderr
        print(f"smoke: Python {sys.version.split()[0]}, corvid {corvid.__version__}: "
              f"store written, persisted, reopened and read; corvid --version and verify ran")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

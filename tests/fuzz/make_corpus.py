"""Writes the seed corpora for the fuzz targets (run once; the seeds are kept)."""
import os
import shutil
import struct
import sys
import tempfile

from _corvid import Corvid

HERE = os.path.dirname(os.path.abspath(__file__))


def save(kind, name, data):
    d = os.path.join(HERE, "corpus", kind)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def store_files(build):
    d = tempfile.mkdtemp()
    try:
        db = Corvid(d)
        build(db)
        del db
        files = {}
        for name in ("snapshot.bin", "wal.bin"):
            p = os.path.join(d, name)
            if os.path.exists(p):
                files[name] = open(p, "rb").read()
        return files
    finally:
        shutil.rmtree(d)


def main():
    def empty(db):
        db.persist()

    def one(db):
        db.set_bytes("a", b"xyz")
        db.persist()

    def mixed(db):
        for i in range(40):
            db.set_bytes(f"k{i % 7}", bytes([i]) * (i % 5))
        db.delete("k3")
        db.persist()
        db.set_bytes("é", b"later")
        db.delete("k1")
        db.delete("missing")

    def bitset(db):
        for i in range(5000):
            db.set_bytes("same", b"")
        db.persist()

    for name, build in (("empty", empty), ("one", one), ("mixed", mixed), ("bitset", bitset)):
        files = store_files(build)
        save("snapshot", name, files["snapshot.bin"])
        if files.get("wal.bin"):
            save("wal", name, files["wal.bin"])
    save("wal", "torn", store_files(mixed)["wal.bin"][:-3])

    # Payloads: array, bitset, and both run-container layouts.
    save("bitmap", "empty", struct.pack("<II", 12346, 0))
    save("bitmap", "array", struct.pack("<IIHHIHHH", 12346, 1, 0, 2, 16, 1, 5, 9))
    one_run = struct.pack("<I", 12347 | (0 << 16)) + b"\x01" + struct.pack("<HH", 0, 9)
    save("bitmap", "run", one_run + struct.pack("<HHH", 1, 3, 9))
    four = struct.pack("<I", 12347 | (3 << 16)) + b"\x05"
    four += b"".join(struct.pack("<HH", k, 0) for k in range(4))
    four += struct.pack("<4I", 0, 0, 0, 0)
    four += struct.pack("<HHH", 1, 7, 0) + struct.pack("<H", 7)
    four += struct.pack("<HHH", 1, 9, 0) + struct.pack("<H", 2)
    save("bitmap", "runs-with-offsets", four)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The corvid package as a program uses it: a mapping, a batch, iteration,
stats, and a reopen that finds everything."""
import sys
import time

import corvid


def main(path: str) -> None:
    start = time.perf_counter()
    with corvid.open(path) as db:
        db.clear()  # a second run starts from a clean slate
        db.put_many({f"user:{i:06d}": f"profile of user {i}".encode() for i in range(5000)})
        db["user:000042"] = b"the answer"
        del db["user:000007"]
        print(f"{len(db)} records; user:000042 = {db['user:000042']!r}; "
              f"'user:000007' in db: {'user:000007' in db}")
        first = next(iter(db.items()))
        print(f"first in order of writing: {first}")
        stats = db.stats()
        print(f"garbage: {stats.garbage_bytes} bytes ({stats.garbage_share:.1%}); vacuuming")
        db.vacuum()
    with corvid.open(path, readonly=True) as db:
        assert db["user:000042"] == b"the answer" and len(db) == 4999
        print(f"reopened read-only: {db!r}")
    print(f"done in {(time.perf_counter() - start) * 1000:.1f} ms")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "demo-data-package")

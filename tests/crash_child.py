"""Runs the seeded operations on a store, reporting each finished call.

    crash_child.py PATH SEED COUNT [vacuum]   the seeded sequence
    crash_child.py PATH vacuum-now            one vacuum, announced by "start"
"""
import sys

from crash_ops import apply, make_ops

from _corvid import Corvid


def main():
    path = sys.argv[1]
    db = Corvid(path, cache_size=16)
    if sys.argv[2] == "vacuum-now":
        print("start", flush=True)
        db.vacuum()
        print("done", flush=True)
        return
    seed, count = int(sys.argv[2]), int(sys.argv[3])
    with_vacuum = len(sys.argv) > 4 and sys.argv[4] == "vacuum"
    for i, op in enumerate(make_ops(seed, count, with_vacuum)):
        apply(db, op)
        sys.stdout.write(f"{i}\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()

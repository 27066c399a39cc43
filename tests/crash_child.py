"""Runs the seeded operations on a store, reporting each finished call."""
import sys

from crash_ops import apply, make_ops

from _corvid import Corvid


def main():
    path, seed, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    with_vacuum = len(sys.argv) > 4 and sys.argv[4] == "vacuum"
    db = Corvid(path, cache_size=16)
    for i, op in enumerate(make_ops(seed, count, with_vacuum)):
        apply(db, op)
        sys.stdout.write(f"{i}\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()

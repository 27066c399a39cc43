"""The seeded operation sequence shared by the crash child and its checker."""
import random

KEYS = [f"key{i}" for i in range(36)] + ["", "é", "日本", "k" * 300]
LOG_BUFFER = 8192


def make_ops(seed, count, with_vacuum=False):
    rng = random.Random(seed)
    ops = []
    for i in range(count):
        r = rng.random()
        key = rng.choice(KEYS)
        if with_vacuum and r < 0.01:
            ops.append(("vacuum",))
        elif r < 0.03:
            ops.append(("persist",))
        elif r < 0.28:
            ops.append(("delete", key))
        else:
            size = rng.choice([0, 1, 10, 100, 200, 2000, 9000]) if rng.random() < 0.2 else 24
            ops.append(("put", key, rng.randbytes(size)))
    return ops


def apply(db, op):
    if op[0] == "put":
        db.set_bytes(op[1], op[2])
    elif op[0] == "delete":
        db.delete(op[1])
    elif op[0] == "persist":
        db.persist()
    else:
        db.vacuum()


def logged_size(op):
    """Bytes the operation appends to the log."""
    if op[0] == "put":
        return 20 + len(op[1].encode()) + len(op[2])
    if op[0] == "delete":
        return 12 + len(op[1].encode())
    return 0


def states(ops, first, last):
    """The store's contents after each prefix of length first..last, in record
    order, keyed by the prefix length."""
    state = {}
    out = {}
    for p in range(last + 1):
        if p >= first:
            out[p] = dict(state)
        if p == len(ops):
            break
        op = ops[p]
        if op[0] == "put":
            state.pop(op[1], None)
            state[op[1]] = op[2]
        elif op[0] == "delete":
            state.pop(op[1], None)
    return out

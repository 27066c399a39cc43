"""A small typed program: mypy must accept it with the installed stub."""
from _corvid import Corvid


def main(path: str) -> int:
    db = Corvid(path, cache_size=100)
    db.set_bytes("k", b"v")
    db.set_bytes("l", [1, 2, 3])
    value: bytes | None = db.get_bytes("k")
    pairs: list[tuple[str, bytes | None]] = db.get_many(["k", "l"])
    found: bool = db.delete("k")
    entries, capacity = db.cache_stats()
    keys: list[str] = db.keys()
    db.persist()
    db.vacuum()
    db.clear_cache()
    return db.len() + entries + capacity + len(keys) + len(pairs) + int(found) + len(value or b"")

"""Corvid: a persistent key-value store for Python programs.

>>> import corvid
>>> with corvid.open("my-store") as db:
...     db["greeting"] = b"hello"
...     db["greeting"]
b'hello'

:func:`open` gives a :class:`Store`, a mutable mapping of ``str`` keys to
``bytes`` values kept in a directory. :mod:`corvid.dbm` offers the interface
of the standard ``dbm`` modules over the same engine. The low-level module
``_corvid`` is the engine's minimal contract interface.
"""

from corvid._version import __version__
from corvid.store import Durability, Store, StoreStats, open

__all__ = ["Durability", "Store", "StoreStats", "open", "__version__"]

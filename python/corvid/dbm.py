"""The standard library's dbm interface over a Corvid store.

``corvid.dbm`` has the interface of ``dbm.gnu``: ``open(file, flag, mode)``
returns a mapping of bytes keys to bytes values, so that code written for
``dbm.gnu`` runs unchanged and ``shelve.Shelf(corvid.dbm.open(path, "c"))``
keeps pickled objects in a Corvid store::

    import shelve
    import corvid.dbm

    with shelve.Shelf(corvid.dbm.open("data/shelf", "c")) as shelf:
        shelf["alice"] = {"role": "admin"}

``file`` names a storage directory (Corvid keeps several files in it), not
a single file. The flag's first letter says how to open it:

- ``"r"``: read-only. The store is opened with the engine's read-only open,
  which never writes a byte and takes no lock; every write raises `error`.
- ``"w"``: read-write, the store must exist.
- ``"c"``: read-write, the store is created when it does not exist.
- ``"n"``: read-write, always a new, empty store: an existing one is
  emptied and vacuumed, so none of its old keys and values stay in its files.

``"r"`` and ``"w"`` raise `error` for a directory that holds no store, and
create nothing. The letters after the first are ``dbm.gnu``'s modifiers:
``"f"`` (fast) opens the store with ``Durability.BUFFERED``, ``"s"``
(synchronized) with ``Durability.SYNC`` (it wins over ``"f"`` when both are
given), and ``"u"`` is accepted and changes nothing: a writer always holds
the directory's lock. Without a modifier the durability is
``Durability.FLUSH``: every acknowledged write survives a crash of the process.

Keys are bytes or str; the engine's keys are text, so a str key is the text
itself and a bytes key is decoded as UTF-8 (``db["é"]`` and
``db["é".encode()]`` are one key). A key that is not valid UTF-8 (bytes that
do not decode, a str holding a lone surrogate) names nothing in the store:
writing it raises `error` and stores nothing, reading or deleting it raises
KeyError, ``in`` gives False. Values are bytes or str (stored as its UTF-8
bytes) and always come back as bytes. Any other key or value type raises
TypeError, as ``dbm.gnu`` does (bytearray and memoryview included).

Keys come back, from ``keys()``, iteration and ``firstkey()``/``nextkey()``,
in the store's order: the order of each key's last write.

Failures of the engine (a full disk, damaged files, a store another process
holds for writing) raise `error`, a subclass of OSError that keeps the
errno, message and file names of the engine's exception; as with every
dbm module, ``except dbm.error`` catches it. Any operation on a closed
database raises `error`.
"""

from __future__ import annotations

import operator
import os
from collections.abc import Iterator, MutableMapping
from types import TracebackType
from typing import Any, TypeVar, Union, overload

from . import Durability, Store
from . import open as _open_store

__all__ = ["Database", "error", "open", "open_flags"]

open_flags: str = "rwcnfsu"
"""The flag letters `open` accepts: a first letter of "rwcn", then any of "fsu"."""

_T = TypeVar("_T")

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

_CLOSED = "corvid.dbm object has already been closed"


class error(OSError):
    """A corvid.dbm failure: a refused open, a write to a read-only
    database, a key that is not valid UTF-8, a closed database, or an
    engine failure (whose errno, message and file names it keeps)."""


def _error(exc: OSError) -> error:
    """The engine's failure `exc` as an `error` with the same errno,
    message and file names."""
    if exc.errno is None:
        return error(*exc.args)
    return error(exc.errno, exc.strerror, exc.filename, None, exc.filename2)


def _text_key(key: object) -> str | None:
    """The engine's key for `key`: its text, or None when it has no UTF-8
    text. Raises TypeError for a key that is neither bytes nor str."""
    if isinstance(key, bytes):
        try:
            return key.decode("utf-8")
        except UnicodeDecodeError:
            return None
    if isinstance(key, str):
        if not key.isascii():
            try:
                key.encode("utf-8")
            except UnicodeEncodeError:
                return None
        return key
    raise TypeError(f"corvid.dbm keys are bytes or str, not {type(key).__name__}")


def _write_key(key: object) -> str:
    """The engine's key for a write of `key`; `error` when it is not valid UTF-8."""
    text = _text_key(key)
    if text is None:
        raise error(f"key {key!r} is not valid UTF-8: Corvid keys are text")
    return text


def _value(value: object) -> bytes:
    """`value` as the bytes to store: bytes as they are, str as UTF-8."""
    if isinstance(value, bytes):
        return value
    if isinstance(value, str):
        return value.encode("utf-8")
    raise TypeError(f"corvid.dbm values are bytes or str, not {type(value).__name__}")


class _Walk:
    """Where a firstkey()/nextkey() traversal stands.

    `key` is the key last handed out. What follows it is either the rest of
    a live iteration of the store (`live`) or, once the database has been
    written during the traversal, the list of the keys that followed `key`
    at the first write (`rest`, from `pos` on). A write makes a live
    iteration fail, and a rewritten key moves to the end of the store's
    order, so the rest is taken into the list just before that first write:
    every key is then handed out once, at its place in the order the
    traversal began with.
    """

    __slots__ = ("key", "live", "rest", "pos")

    def __init__(self, key: str, live: Iterator[str]) -> None:
        self.key = key
        self.live: Iterator[str] | None = live
        self.rest: list[str] = []
        self.pos = 0

    def hold(self) -> None:
        """Takes the rest of the live iteration into `rest` (before a write)."""
        if self.live is not None:
            self.rest, self.pos, self.live = list(self.live), 0, None

    def advance(self, store: Store) -> str | None:
        """The key after `key` that is still in `store` (it becomes `key`);
        None at the end. Raises RuntimeError when the store was changed
        behind this traversal's back."""
        if self.live is not None:
            nxt = next(self.live, None)
        else:
            nxt = None
            while self.pos < len(self.rest):
                candidate = self.rest[self.pos]
                self.pos += 1
                if candidate in store:
                    nxt = candidate
                    break
        if nxt is not None:
            self.key = nxt
        return nxt


def _walk_to(store: Store, text: str) -> _Walk | None:
    """A live traversal of `store` standing at the key `text`, or None when
    the store does not hold it."""
    keys = iter(store)
    for key in keys:
        if key == text:
            return _Walk(key, keys)
    return None


class Database(MutableMapping[bytes, bytes]):
    """A Corvid store seen as a dbm database: bytes keys, bytes values.

    Made by `open`; ``Database(store)`` wraps a store opened with
    ``corvid.open`` and takes it over (closing the database closes the
    store). As a MutableMapping it also has items(), values(), pop(),
    popitem() and update(); as in dbm.dumb, keys() is a list. One database
    is meant for one thread at a time, as dbm objects are; the store
    underneath is safe to share.
    """

    def __init__(self, store: Store) -> None:
        """Wraps the open `store`."""
        self._store: Store | None = store
        self._path = store.path
        self._readonly = store.readonly
        self._walk: _Walk | None = None

    def _open(self) -> Store:
        """The store; `error` when the database is closed."""
        store = self._store
        if store is None:
            raise error(_CLOSED)
        return store

    def _writable(self) -> Store:
        """The store for a write; `error` when closed or read-only."""
        store = self._open()
        if self._readonly:
            raise error(f"corvid.dbm database {self._path!r} is open read-only")
        return store

    def _before_write(self, deleting: str | None = None) -> None:
        """Keeps a running firstkey()/nextkey() traversal valid across the
        write about to happen (the delete of `deleting`, when given)."""
        walk = self._walk
        if walk is None or walk.live is None:
            return
        if deleting == walk.key:
            # nextkey() of an absent key gives None, whatever came after it.
            self._walk = None
            return
        try:
            walk.hold()
        except RuntimeError:
            self._walk = None
        except OSError as exc:
            raise _error(exc) from exc

    def __getitem__(self, key: bytes | str) -> bytes:
        """The value of `key`; KeyError when absent."""
        store = self._open()
        text = _text_key(key)
        if text is None:
            raise KeyError(key)
        try:
            return store[text]
        except KeyError:
            raise KeyError(key) from None
        except OSError as exc:
            raise _error(exc) from exc

    @overload
    def get(self, key: bytes | str, default: None = None) -> bytes | None: ...

    @overload
    def get(self, key: bytes | str, default: bytes | _T) -> bytes | _T: ...

    def get(self, key: bytes | str, default: Any = None) -> Any:
        """The value of `key`, or `default` (None) when absent."""
        store = self._open()
        text = _text_key(key)
        if text is None:
            return default
        try:
            value = store.get(text)
        except OSError as exc:
            raise _error(exc) from exc
        return default if value is None else value

    def __setitem__(self, key: bytes | str, value: bytes | str) -> None:
        """Stores `value` under `key`, replacing any earlier value."""
        store = self._writable()
        text, data = _write_key(key), _value(value)
        self._before_write()
        try:
            store[text] = data
        except OSError as exc:
            raise _error(exc) from exc

    def setdefault(self, key: bytes | str, default: bytes | str | None = None) -> bytes:
        """The value of `key`; when absent, stores `default` under it and
        returns it as bytes (so `default` must be given for an absent key,
        TypeError otherwise, as in dbm.gnu)."""
        store = self._open()
        text = _text_key(key)
        if text is not None:
            try:
                value = store.get(text)
            except OSError as exc:
                raise _error(exc) from exc
            if value is not None:
                return value
        store = self._writable()
        text, data = _write_key(key), _value(default)
        self._before_write()
        try:
            # Stores it only if no other thread did meanwhile, in one call.
            return store.setdefault(text, data)
        except OSError as exc:
            raise _error(exc) from exc

    def __delitem__(self, key: bytes | str) -> None:
        """Removes `key`; KeyError when absent."""
        store = self._writable()
        text = _text_key(key)
        if text is None:
            raise KeyError(key)
        self._before_write(deleting=text)
        try:
            del store[text]
        except KeyError:
            raise KeyError(key) from None
        except OSError as exc:
            raise _error(exc) from exc

    def __contains__(self, key: object) -> bool:
        """Whether the database holds `key` (bytes or str)."""
        store = self._open()
        text = _text_key(key)
        if text is None:
            return False
        try:
            return text in store
        except OSError as exc:
            raise _error(exc) from exc

    def __len__(self) -> int:
        """The number of keys."""
        store = self._open()
        try:
            return len(store)
        except OSError as exc:
            raise _error(exc) from exc

    def keys(self) -> list[bytes]:  # type: ignore[override]
        """Every key, as bytes, in the store's order: a list, as dbm
        modules give, rather than a view."""
        store = self._open()
        try:
            return [key.encode("utf-8") for key in store]
        except OSError as exc:
            raise _error(exc) from exc

    def __iter__(self) -> Iterator[bytes]:
        """The keys, as bytes, in the store's order, as keys() lists them
        when the iteration starts: code written for dbm modules writes over
        the keys it walks, which a streamed iteration would not allow."""
        return self._walk_keys(self.keys())

    def _walk_keys(self, keys: list[bytes]) -> Iterator[bytes]:
        """The iteration behind __iter__: it ends in `error` once the
        database is closed."""
        for key in keys:
            if self._store is None:
                raise error(_CLOSED)
            yield key

    def firstkey(self) -> bytes | None:
        """The first key in the store's order, None when the database is
        empty; it starts a traversal that nextkey() continues."""
        store = self._open()
        self._walk = None
        try:
            keys = iter(store)
            first = next(keys, None)
        except OSError as exc:
            raise _error(exc) from exc
        if first is None:
            return None
        self._walk = _Walk(first, keys)
        return first.encode("utf-8")

    def nextkey(self, key: bytes | str) -> bytes | None:
        """The key after `key`; None after the last one, and for a key the
        database does not hold (as in dbm.gnu).

        The traversal begun by firstkey() survives writes made during it:
        every key present at its start and not deleted since is handed out
        once, in the order of its start, even one rewritten meanwhile (a
        rewrite moves a key to the end of the store's order). Keys added
        during a traversal may not be handed out. nextkey() of a key other
        than the one it last returned looks that key up in the store's
        current order.
        """
        store = self._open()
        text = _text_key(key)
        if text is None:
            self._walk = None
            return None
        try:
            if text not in store:
                self._walk = None
                return None
            walk = self._walk
            if walk is None or walk.key != text:
                walk = _walk_to(store, text)
            try:
                nxt = walk.advance(store) if walk is not None else None
            except RuntimeError:
                # Written behind this database's back: start from `key` again.
                walk = _walk_to(store, text)
                nxt = walk.advance(store) if walk is not None else None
        except OSError as exc:
            raise _error(exc) from exc
        self._walk = walk if nxt is not None else None
        return None if nxt is None else nxt.encode("utf-8")

    def clear(self) -> None:
        """Removes every key."""
        store = self._writable()
        self._walk = None
        try:
            store.clear()
        except OSError as exc:
            raise _error(exc) from exc

    def reorganize(self) -> None:
        """Vacuums the store: copies the live values into fresh files and
        gives back the space of deleted and overwritten ones."""
        store = self._writable()
        self._before_write()
        try:
            store.vacuum()
        except OSError as exc:
            raise _error(exc) from exc

    def sync(self) -> None:
        """Writes out everything buffered and persists the store's index,
        so the next open is fast; nothing to do for a read-only database."""
        store = self._open()
        if self._readonly:
            return
        try:
            store.flush()
            store.persist()
        except OSError as exc:
            raise _error(exc) from exc

    def close(self) -> None:
        """Writes everything out and closes the store; a second close()
        does nothing."""
        store, self._store, self._walk = self._store, None, None
        if store is None:
            return
        try:
            store.close()
        except OSError as exc:
            raise _error(exc) from exc

    def __enter__(self) -> Database:
        """The database itself, closed when the block ends."""
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Closes the database."""
        self.close()

    def __repr__(self) -> str:
        """The class, the directory and whether it is open for writing."""
        state = "closed" if self._store is None else "read-only" if self._readonly else "open"
        return f"<corvid.dbm.Database {self._path!r} {state}>"


def _directory_mode(mode: int) -> int:
    """The permissions of a storage directory created for `mode`, the mode
    a dbm module gives its file: the same bits, and the search bit for every
    class that may read or write, since reaching the store's files needs it."""
    mode &= 0o777
    for shift in (6, 3, 0):
        if mode & (0o6 << shift):
            mode |= 0o1 << shift
    return mode


def _durability(modifiers: str) -> Durability:
    """The durability that the flag letters after the first ask for."""
    durability = Durability.FLUSH
    for letter in modifiers:
        if letter == "f":
            if durability is not Durability.SYNC:
                durability = Durability.BUFFERED
        elif letter == "s":
            durability = Durability.SYNC
        elif letter != "u":
            raise error(f"Flag {letter!r} is not supported.")
    return durability


def _empty(store: Store) -> None:
    """Empties `store` and vacuums it, so that its files keep nothing of
    what it held."""
    if len(store) or store.stats().dead_records:
        store.clear()
        store.vacuum()


def open(file: _Path, flag: str = "r", mode: int = 0o666) -> Database:
    """Opens the Corvid store in the directory `file` as a dbm database.

    `flag` is "r" (read-only, the default), "w" (read-write, the store must
    exist), "c" (read-write, created when absent) or "n" (read-write, always
    new and empty), optionally followed by "f" (fast: buffered writes),
    "s" (synchronized: every write synced to disk) or "u" (accepted; the
    store always locks). "r" and "w" raise `error` when there is no store.

    `mode` sets the permissions of the storage directory when this call
    creates it: its bits, with the search bit added for each class that may
    read or write, masked by the umask (0o666 under a umask of 0o022 gives
    0o755, 0o600 gives 0o700). The store's files inside are created by the
    engine under the umask; since each is reached through the directory,
    the directory's permissions bound who may use the store. An existing
    directory keeps its permissions. Like dbm.gnu, `open` creates the
    directory but not missing parents of it.
    """
    path = os.fspath(file)
    if not isinstance(flag, str):
        raise TypeError(f"open() flag must be str, not {type(flag).__name__}")
    mode = operator.index(mode)
    if not flag or flag[0] not in "rwcn":
        raise error("First flag must be one of 'r', 'w', 'c' or 'n'")
    durability = _durability(flag[1:])
    if flag[0] == "r":
        try:
            return Database(_open_store(path, readonly=True))
        except OSError as exc:
            raise _error(exc) from exc
    made = False
    if flag[0] in "cn":
        try:
            os.mkdir(path, _directory_mode(mode))
            made = True
        except FileExistsError:
            pass
        except OSError as exc:
            raise _error(exc) from exc
    try:
        store = _open_store(path, create=flag[0] != "w", durability=durability)
    except OSError as exc:
        if made:
            try:
                os.rmdir(path)
            except OSError:
                pass
        raise _error(exc) from exc
    if flag[0] == "n":
        try:
            _empty(store)
        except BaseException as exc:
            try:
                store.close()
            except OSError:
                pass
            if isinstance(exc, OSError):
                raise _error(exc) from exc
            raise
    return Database(store)

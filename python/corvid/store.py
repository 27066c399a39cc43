"""The Store: a persistent mapping of str keys to bytes values."""

from __future__ import annotations

import atexit
import enum
import errno
import os
import weakref
from collections.abc import (
    ItemsView,
    Iterable,
    Iterator,
    KeysView,
    Mapping,
    MutableMapping,
    ValuesView,
)
from dataclasses import dataclass
from typing import Any, NoReturn, TypeVar, Union, overload

from corvid import _engine

__all__ = ["Durability", "Store", "StoreStats", "open"]

_T = TypeVar("_T")
_MISSING: Any = object()

#: What a value may be given as; values always come back as bytes.
BytesLike = Union[bytes, bytearray, memoryview]
#: What a path may be given as.
StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

DEFAULT_CACHE_SIZE = 10000


class Durability(enum.Enum):
    """When an acknowledged write is safe.

    - ``BUFFERED``: log entries gather in an 8 KiB buffer that is written out
      when it fills, at :meth:`Store.flush`, :meth:`Store.persist` and
      :meth:`Store.close`. The fastest; a crash of the process may lose the
      last writes.
    - ``FLUSH`` (the default): every write's log entry is handed to the
      operating system before the call returns, so it survives a crash of the
      process (a SIGKILL, ``os._exit``, an unhandled signal), though not a
      power loss or a crash of the operating system.
    - ``SYNC``: as ``FLUSH``, and the log is forced to the disk before the
      call returns (and persist forces the data files first), so a write
      survives a power loss too. The slowest by far.
    """

    BUFFERED = "buffered"
    FLUSH = "flush"
    SYNC = "sync"


_LEVELS = {Durability.BUFFERED: 0, Durability.FLUSH: 1, Durability.SYNC: 2}
_BY_LEVEL = {level: d for d, level in _LEVELS.items()}


@dataclass(frozen=True)
class StoreStats:
    """What a store holds, and what a vacuum would give back.

    Garbage is the bytes of superseded and deleted records, which stay in the
    data files until :meth:`Store.vacuum` rewrites them; ``garbage_share`` is
    their part of all key and value bytes in the files (0.0 to 1.0).
    """

    live_records: int
    dead_records: int
    live_bytes: int
    garbage_bytes: int
    garbage_share: float
    keys_file_bytes: int
    values_file_bytes: int
    table_file_bytes: int
    log_file_bytes: int
    cache_entries: int
    cache_capacity: int


def _durability(value: Durability | str) -> Durability:
    try:
        return Durability(value)
    except ValueError:
        names = ", ".join(repr(d.value) for d in Durability)
        raise ValueError(f"durability is one of {names}, not {value!r}") from None


def _cache_size(value: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"cache_size is an int, not {type(value).__name__}")
    if not 0 <= value < 2**64:
        raise ValueError(f"cache_size is from 0 to 2**64-1, not {value}")
    return value


class _KeysView(KeysView[str]):
    __slots__ = ()
    _mapping: Store

    def __iter__(self) -> Iterator[str]:
        return self._mapping._scan(0)


class _ValuesView(ValuesView[bytes]):
    __slots__ = ()
    _mapping: Store

    def __iter__(self) -> Iterator[bytes]:
        return self._mapping._scan(1)


class _ItemsView(ItemsView[str, bytes]):
    __slots__ = ()
    _mapping: Store

    def __iter__(self) -> Iterator[tuple[str, bytes]]:
        return self._mapping._scan(2)


class Store(_engine.Engine, MutableMapping[str, bytes]):
    """A persistent mapping of ``str`` keys to ``bytes`` values.

    Open one with :func:`corvid.open`. Writes go to a log and to append-only
    data files; :meth:`persist` writes a snapshot so that the next open need
    not replay the log, and :meth:`vacuum` gives back the space of superseded
    and deleted records. One store at a time, in this process or any other,
    may open a directory for writing; read-only stores may be opened by many
    beside it.

    Iteration (also of :meth:`keys`, :meth:`values` and :meth:`items`)
    streams from the files in the order of each key's last write, and raises
    RuntimeError when the store changes while it runs. Every operation on a
    closed store raises ValueError.
    """

    __slots__ = ("__weakref__",)

    def __new__(
        cls,
        path: StrPath,
        *,
        cache_size: int = DEFAULT_CACHE_SIZE,
        readonly: bool = False,
        create: bool = True,
        durability: Durability | str = Durability.FLUSH,
    ) -> Store:
        """Opens the store in directory ``path``; see :func:`corvid.open`."""
        try:
            fs_path = os.fspath(path)
        except TypeError:
            raise TypeError(
                f"path is a str, bytes or os.PathLike, not {type(path).__name__}"
            ) from None
        absolute = os.path.abspath(fs_path)
        if os.path.exists(absolute) and not os.path.isdir(absolute):
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), absolute)
        level = _LEVELS[_durability(durability)]
        store = super().__new__(
            cls,
            os.fsencode(absolute),
            _cache_size(cache_size),
            bool(readonly),
            bool(create),
            level,
            os.fsdecode(absolute),
        )
        if level == _LEVELS[Durability.BUFFERED] and not readonly:
            _buffered_stores[id(store)] = store
        return store

    @property
    def durability(self) -> Durability:
        """The store's :class:`Durability`."""
        return _BY_LEVEL[self._level]

    def __repr__(self) -> str:
        if self.closed:
            return f"<corvid.Store {self.path!r} closed>"
        state = "read-only" if self.readonly else "open"
        return f"<corvid.Store {self.path!r} {state}, {len(self)} records>"

    # ---- the mapping ----

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError("I/O operation on a closed store")

    def keys(self) -> KeysView[str]:
        """A view of the keys, streamed from the files."""
        self._check_open()
        return _KeysView(self)

    def values(self) -> ValuesView[bytes]:
        """A view of the values, streamed from the files."""
        self._check_open()
        return _ValuesView(self)

    def items(self) -> ItemsView[str, bytes]:
        """A view of the (key, value) pairs, streamed from the files."""
        self._check_open()
        return _ItemsView(self)

    @overload
    def pop(self, key: str) -> bytes: ...

    @overload
    def pop(self, key: str, default: bytes | _T) -> bytes | _T: ...

    def pop(self, key: str, default: Any = _MISSING) -> Any:
        """Removes ``key`` and returns its value; ``default`` (when given) if
        it has none, else KeyError. One call: no other thread's change lands
        between the read and the delete."""
        try:
            return self._take(key)
        except KeyError:
            if default is _MISSING:
                raise
            return default

    def popitem(self) -> tuple[str, bytes]:
        """Removes and returns the pair written last; KeyError when empty."""
        return self._pop_last()

    def setdefault(self, key: str, default: BytesLike | None = None) -> bytes:
        """The value of ``key``; when it has none, stores ``default`` first,
        in one call.

        A value cannot be None, so ``default`` must be given for a key that
        may be absent.
        """
        if default is None:
            value = self.get(key)
            if value is None:
                raise TypeError(f"setdefault: {key!r} is absent and a value cannot be None")
            return value
        return self._set_default(key, default)

    def clear(self) -> None:
        """Deletes every record."""
        self._clear()

    def update(self, other: Any = (), /, **kwargs: BytesLike) -> None:
        """Stores the pairs of a mapping or an iterable of pairs, then the
        keyword arguments, as one batch."""
        if isinstance(other, Mapping):
            pairs: Iterable[Any] = other.items()
        elif hasattr(other, "keys"):
            pairs = [(key, other[key]) for key in other.keys()]
        else:
            pairs = other
        if kwargs:
            pairs = [*pairs, *kwargs.items()]
        self._put_many(pairs)

    # ---- batches ----

    def put_many(self, items: Mapping[str, BytesLike] | Iterable[tuple[str, BytesLike]]) -> None:
        """Stores every (key, value) pair under one lock, writing each data
        file once; a batch that fails stores nothing. A crash part-way
        through may leave its first records stored without the rest."""
        if isinstance(items, Mapping):
            items = list(items.items())
        self._put_many(items)

    def delete_many(self, keys: Iterable[str]) -> int:
        """Deletes the keys that have a record and returns how many did;
        absent keys are passed over."""
        return self._delete_many(keys)

    # ---- the files ----

    def persist(self) -> None:
        """Writes a snapshot of the index and empties the log, so that the
        next open need not replay it."""
        self._persist()

    def vacuum(self) -> None:
        """Rewrites the data files without the garbage of superseded and
        deleted records, then persists."""
        self._vacuum()

    def flush(self) -> None:
        """Writes the log's buffered entries out to the operating system now,
        then the appends to the data files that wait in memory (the log
        holds them too)."""
        self._flush()

    def stats(self) -> StoreStats:
        """Records, garbage and file sizes: what to decide a vacuum by."""
        (live, dead, live_bytes, keys_end, vals_end, keys_file, vals_file, table_file,
         log_file, cache_entries, cache_capacity) = self._stats()
        in_files = keys_end + vals_end
        garbage = max(in_files - live_bytes, 0)
        return StoreStats(
            live_records=live,
            dead_records=dead,
            live_bytes=live_bytes,
            garbage_bytes=garbage,
            garbage_share=garbage / in_files if in_files else 0.0,
            keys_file_bytes=keys_file,
            values_file_bytes=vals_file,
            table_file_bytes=table_file,
            log_file_bytes=log_file,
            cache_entries=cache_entries,
            cache_capacity=cache_capacity,
        )

    def close(self) -> None:
        """Writes everything out, persists, and releases the files and the
        directory's lock. Closing a closed store does nothing."""
        self._close()

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __reduce_ex__(self, protocol: object) -> NoReturn:
        raise TypeError(
            "a corvid.Store cannot be pickled: open the store in each process with corvid.open()"
        )

    def __copy__(self) -> NoReturn:
        raise TypeError("a corvid.Store cannot be copied: it is one open directory")

    def __deepcopy__(self, memo: object) -> NoReturn:
        raise TypeError("a corvid.Store cannot be copied: it is one open directory")


# Stores whose log keeps a buffer: written out when the interpreter exits,
# also those a daemon thread or a module still holds then.
_buffered_stores: weakref.WeakValueDictionary[int, Store] = weakref.WeakValueDictionary()


@atexit.register
def _flush_buffered_stores() -> None:
    for store in list(_buffered_stores.values()):
        if not store.closed:
            try:
                store.flush()
            except Exception:  # noqa: BLE001 - at exit, one failure must not stop the rest
                pass


def open(
    path: StrPath,
    *,
    cache_size: int = DEFAULT_CACHE_SIZE,
    readonly: bool = False,
    create: bool = True,
    durability: Durability | str = Durability.FLUSH,
) -> Store:
    """Opens the store in directory ``path`` (str, bytes or os.PathLike).

    - ``cache_size``: how many recently used values are kept in memory.
    - ``readonly``: open without writing a byte and without the lock; many
      processes may do so beside the one writer. Writes raise
      PermissionError. A directory that holds no store is FileNotFoundError.
    - ``create``: when false, a directory that holds no store is
      FileNotFoundError instead of a new store.
    - ``durability``: when an acknowledged write is safe; see
      :class:`Durability`.

    A directory that another store has open for writing, in another process
    or in this one, raises BlockingIOError naming that process.
    """
    return Store(
        path, cache_size=cache_size, readonly=readonly, create=create, durability=durability
    )

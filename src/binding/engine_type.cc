// corvid._engine.Engine, the base the corvid package's Store is built on,
// and its iterator. The Python side validates and documents; this side
// converts, calls the engine and raises.
//
// The interpreter lock is released around engine work that may take long
// (open, persist, vacuum, close, batches, scan chunks) and around any call
// made while such work holds the store, so that other threads run; it is
// held for short calls, where a release costs more than it gives. Nothing
// Python is touched while it is released: arguments are copied out first.
#include "binding/engine_type.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <thread>

#include "binding/errors.h"
#include "binding/package_args.h"
#include "store/db.h"

namespace corvid::py {

namespace {

struct EngineObject {
  PyObject_HEAD Db* db;  // null once closed
  PyObject* path;        // the directory as the caller named it (str), strong
  int level;             // the Durability
  bool read_only;
  bool closing;  // close() is under way
  // The threads of the calls in progress that use db (see Use). Changed
  // only with the interpreter lock held.
  std::vector<unsigned long>* users;
};

struct IteratorObject {
  PyObject_HEAD PyObject* engine;  // strong; null once cleared
  int kind;                        // 0 keys, 1 values, 2 items
  uint64_t seen;                   // Db::changes() when the iteration began
  ScanChunk* chunk;
  size_t pos;
  int chunks;     // fetched so far
  bool fetching;  // a thread is fetching the next chunk without the lock
  bool finished;  // StopIteration was raised: it stays raised
};

enum Kind { kKeys = 0, kValues = 1, kItems = 2 };

// The iterator type, set while the module lives (one module per process).
PyObject* iterator_type = nullptr;

EngineObject* engine_of(PyObject* self) { return reinterpret_cast<EngineObject*>(self); }

PyObject* closed_error() {
  PyErr_SetString(PyExc_ValueError, "I/O operation on a closed store");
  return nullptr;
}

// A call's use of the open store, from its first touch of the Db to its
// return: the call may run Python code (an iterable's items) or let the
// interpreter lock go, and close() waits for it meanwhile. Made and
// destroyed with the lock held.
class Use {
 public:
  explicit Use(PyObject* self) : e_(engine_of(self)) {
    if (e_->db == nullptr) {
      closed_error();
      return;
    }
    e_->users->push_back(PyThread_get_thread_ident());
    db_ = e_->db;
  }
  ~Use() {
    if (db_ == nullptr) return;
    auto& users = *e_->users;
    users.erase(std::find(users.begin(), users.end(), PyThread_get_thread_ident()));
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  // The open Db; null when the store is closed, with ValueError set.
  Db* db() const { return db_; }

 private:
  EngineObject* e_;
  Db* db_ = nullptr;
};

// Lets other threads run until done() holds, with the interpreter lock
// released between looks.
template <class F>
void wait_until(F&& done) {
  while (!done()) {
    Py_BEGIN_ALLOW_THREADS;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    Py_END_ALLOW_THREADS;
  }
}

// Runs f without the interpreter lock. What f throws is carried across and
// thrown again once the lock is held.
template <class F>
void without_gil(F&& f) {
  std::exception_ptr error;
  Py_BEGIN_ALLOW_THREADS;
  try {
    f();
  } catch (...) {
    error = std::current_exception();
  }
  Py_END_ALLOW_THREADS;
  if (error) std::rethrow_exception(error);
}

// A short call: with the lock held, unless long work holds the store and
// the call would wait for it.
template <class F>
void short_call(Db& db, F&& f) {
  if (db.long_call_running()) {
    without_gil(f);
  } else {
    f();
  }
}

// A batch of `n`: small ones are short calls.
template <class F>
void batch_call(Db& db, size_t n, F&& f) {
  constexpr size_t kShortBatch = 32;
  if (n < kShortBatch) {
    short_call(db, f);
  } else {
    without_gil(f);
  }
}

// A failed call on the store at `path` (a str, or null).
PyObject* raise_error(PyObject* path, const Status& s) {
  if (s.kind() == ErrorKind::kLengthLimit) {
    PyErr_SetString(PyExc_ValueError, s.message().c_str());
    return nullptr;
  }
  return raise_native_error(s, path);
}

PyObject* path_of(PyObject* self) { return engine_of(self)->path; }

PyObject* new_bytes(std::string_view value) {
  return PyBytes_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* key_error(PyObject* key) {
  Ref args(PyTuple_Pack(1, key));
  if (args) PyErr_SetObject(PyExc_KeyError, args.get());
  return nullptr;
}

// ---- creation and release ----

// Engine(path: bytes, cache_size: int, readonly: bool, create: bool, durability: int,
//        display_path: str)
PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_native(nullptr, [&]() -> PyObject* {
    const char* path_bytes = nullptr;
    Py_ssize_t path_len = 0;
    unsigned long long cache_size = 0;
    int readonly = 0, create = 1, durability = 1;
    PyObject* display_path = nullptr;
    if (kwargs != nullptr && PyDict_Size(kwargs) != 0) {
      PyErr_SetString(PyExc_TypeError, "Engine() takes no keyword arguments");
      return nullptr;
    }
    if (!PyArg_ParseTuple(args, "y#KppiU:Engine", &path_bytes, &path_len, &cache_size, &readonly,
                          &create, &durability, &display_path)) {
      return nullptr;
    }
    if (durability < 0 || durability > 2) {
      PyErr_SetString(PyExc_ValueError, "durability is 0, 1 or 2");
      return nullptr;
    }
    std::string path(path_bytes, static_cast<size_t>(path_len));
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref self(alloc(type, 0));
    if (!self) return nullptr;
    EngineObject* e = engine_of(self.get());
    e->db = nullptr;
    e->path = Py_NewRef(display_path);
    e->level = durability;
    e->read_only = readonly != 0;
    e->closing = false;
    e->users = new std::vector<unsigned long>();
    std::unique_ptr<Db> db;
    Status s;
    without_gil([&] {
      if (readonly) {
        s = Db::open_read_only(std::move(path), cache_size, &db);
        return;
      }
      if (!create) s = check_store_directory(StorePaths(path));
      // Two writers of one directory must not both append, in one process
      // either.
      if (s.ok()) {
        s = Db::open(std::move(path), cache_size, &db, static_cast<Durability>(durability),
                     /*exclusive=*/true);
      }
    });
    if (!s.ok()) return raise_error(display_path, s);
    e->db = db.release();
    return self.release();
  });
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (Db* db = engine_of(self)->db) {
    try {
      Status s = db->flush_log();
      if (!s.ok()) report_lost_log(db->directory(), s);
    } catch (...) {  // nothing may escape into the interpreter; the release goes on
    }
    delete db;
  }
  Py_XDECREF(engine_of(self)->path);
  delete engine_of(self)->users;
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* engine_close(PyObject* self, PyObject*) {
  return guarded_native(path_of(self), [&]() -> PyObject* {
    EngineObject* e = engine_of(self);
    if (e->db == nullptr) {
      // A close under way in another thread finishes before this one returns.
      wait_until([&] { return !e->closing; });
      Py_RETURN_NONE;
    }
    const auto& users = *e->users;
    if (std::find(users.begin(), users.end(), PyThread_get_thread_ident()) != users.end()) {
      PyErr_SetString(PyExc_RuntimeError,
                      "a store cannot be closed by code that runs inside one of its own calls");
      return nullptr;
    }
    // No call starts from here on; those under way in other threads finish first.
    std::unique_ptr<Db> owned(e->db);
    e->db = nullptr;
    e->closing = true;
    wait_until([&] { return users.empty(); });
    Status s;
    try {
      without_gil([&] {
        s = owned->close();
        // Released even when the persist failed: the log holds every change.
        owned.reset();
      });
    } catch (...) {
      e->closing = false;
      throw;
    }
    e->closing = false;
    if (!s.ok()) return raise_error(path_of(self), s);
    Py_RETURN_NONE;
  });
}

// ---- the mapping protocol ----

Py_ssize_t engine_length(PyObject* self) {
  Py_ssize_t n = -1;
  PyObject* ok = guarded_native(path_of(self), [&]() -> PyObject* {
    Use use(self);
    Db* db = use.db();
    if (db == nullptr) return nullptr;
    uint64_t len = 0;
    Status s;
    short_call(*db, [&] { s = db->len(&len); });
    if (!s.ok()) return raise_error(path_of(self), s);
    n = static_cast<Py_ssize_t>(len);
    return Py_None;
  });
  return ok == nullptr ? -1 : n;
}

// The value of `key` as bytes, nullptr with nothing set when it has none,
// nullptr with an exception set on failure.
PyObject* lookup(PyObject* self, Db& db, PyObject* key) {
  std::string_view k;
  if (!key_of(key, &k)) return nullptr;
  PyObject* result = nullptr;
  Status s;
  if (!db.long_call_running()) {
    s = db.get(k, [&](const std::string* v) {
      if (v != nullptr) result = new_bytes(*v);
    });
  } else {
    std::optional<std::string> copy;
    without_gil([&] {
      s = db.get(k, [&](const std::string* v) {
        if (v != nullptr) copy = *v;
      });
    });
    if (s.ok() && copy) result = new_bytes(*copy);
  }
  if (!s.ok()) {
    Py_XDECREF(result);
    return raise_error(path_of(self), s);
  }
  return result;
}

PyObject* engine_subscript(PyObject* self, PyObject* key) {
  return guarded_native(path_of(self), [&]() -> PyObject* {
    Use use(self);
    Db* db = use.db();
    if (db == nullptr) return nullptr;
    PyObject* value = lookup(self, *db, key);
    if (value == nullptr && !PyErr_Occurred()) return key_error(key);
    return value;
  });
}

// A delete of one key; false when it had no record.
bool delete_one(Db& db, std::string_view key, Status* s) {
  uint64_t deleted = 0;
  short_call(db, [&] { *s = db.delete_many(std::span(&key, 1), &deleted); });
  return deleted == 1;
}

int engine_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
  PyObject* ok = guarded_native(path_of(self), [&]() -> PyObject* {
    Use use(self);
    Db* db = use.db();
    if (db == nullptr) return nullptr;
    std::string_view k;
    if (!key_of(key, &k)) return nullptr;
    Status s;
    if (value == nullptr) {
      if (!delete_one(*db, k, &s)) return s.ok() ? key_error(key) : raise_error(path_of(self), s);
      return Py_None;
    }
    std::string v;
    if (!value_of(value, &v)) return nullptr;
    short_call(*db, [&] { s = db->set_bytes(k, std::move(v)); });
    if (!s.ok()) return raise_error(path_of(self), s);
    return Py_None;
  });
  return ok == nullptr ? -1 : 0;
}

int engine_contains(PyObject* self, PyObject* key) {
  int result = -1;
  guarded_native(path_of(self), [&]() -> PyObject* {
    Use use(self);
    Db* db = use.db();
    if (db == nullptr) return nullptr;
    std::string_view k;
    if (!key_of(key, &k)) return nullptr;
    bool found = false;
    Status s;
    short_call(*db, [&] { s = db->contains(k, &found); });
    if (!s.ok()) return raise_error(path_of(self), s);
    result = found ? 1 : 0;
    return Py_None;
  });
  return result;
}

// ---- methods ----

PyObject* engine_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded_native(path_of(self), [&]() -> PyObject* {
    if (nargs < 1 || nargs > 2) {
      PyErr_Format(PyExc_TypeError, "get() takes 1 or 2 arguments (%zd given)", nargs);
      return nullptr;
    }
    Use use(self);
    Db* db = use.db();
    if (db == nullptr) return nullptr;
    PyObject* value = lookup(self, *db, args[0]);
    if (value != nullptr || PyErr_Occurred()) return value;
    return Py_NewRef(nargs == 2 ? args[1] : Py_None);
  });
}

PyObject* engine_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded_native(path_of(self), [&]() -> PyObject* {
    if (nargs < 1 || nargs > 2) {
      PyErr_Format(PyExc_TypeError, "get_many() takes 1 or 2 arguments (%zd given)", nargs);
      return nullptr;
    }
    Use use(self);
    Db* db = use.db();
    if (db == nullptr) return nullptr;
    std::vector<std::string> keys;
    if (!keys_of(args[0], &keys)) return nullptr;
    std::vector<std::optional<std::string>> values(keys.size());
    Status s;
    batch_call(*db, keys.size(), [&] {
      s = db->get_many(keys, [&](size_t i, const std::string* v) {
        if (v != nullptr) values[i] = *v;
      });
    });
    if (!s.ok()) return raise_error(path_of(self), s);
    PyObject* absent = nargs == 2 ? args[1] : Py_None;
    Ref list(PyList_New(static_cast<Py_ssize_t>(keys.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < keys.size(); ++i) {
      PyObject* item = values[i] ? new_bytes(*values[i]) : Py_NewRef(absent);
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
      breathe(i);
    }
    return list.release();
  });
}

PyObject* engine_put_many(PyObject* self, PyObject* items) {
  return guarded_native(path_of(self), [&]() -> PyObject* {
    Use use(self);
    Db* db = use.db();
    if (db == nullptr) return nullptr;
    PutBatch batch;
    if (!batch_of(items, &batch)) return nullptr;
    Status s;
    batch_call(*db, batch.size(), [&] { s = db->put_many(batch); });
    if (!s.ok()) return raise_error(path_of(self), s);
    Py_RETURN_NONE;
  });
}

PyObject* engine_delete_many(PyObject* self, PyObject* keys) {
  return guarded_native(path_of(self), [&]() -> PyObject* {
    Use use(self);
    Db* db = use.db();
    if (db == nullptr) return nullptr;
    std::vector<std::string> owned;
    if (!keys_of(keys, &owned)) return nullptr;
    std::vector<std::string_view> views(owned.begin(), owned.end());
    uint64_t deleted = 0;
    Status s;
    batch_call(*db, views.size(), [&] { s = db->delete_many(views, &deleted); });
    if (!s.ok()) return raise_error(path_of(self), s);
    return PyLong_FromUnsignedLongLong(deleted);
  });
}

PyObject* engine_take(PyObject* self, PyObject* key) {
  return guarded_native(path_of(self), [&]() -> PyObject* {
    Use use(self);
    Db* db = use.db();
    if (db == nullptr) return nullptr;
    std::string_view k;
    if (!key_of(key, &k)) return nullptr;
    std::string value;
    bool found = false;
    Status s;
    short_call(*db, [&] { s = db->take(k, &value, &found); });
    if (!s.ok()) return raise_error(path_of(self), s);
    if (!found) return key_error(key);
    return new_bytes(value);
  });
}

PyObject* engine_set_default(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded_native(path_of(self), [&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_Format(PyExc_TypeError, "_set_default() takes 2 arguments (%zd given)", nargs);
      return nullptr;
    }
    Use use(self);
    Db* db = use.db();
    if (db == nullptr) return nullptr;
    std::string_view k;
    std::string value, current;
    if (!key_of(args[0], &k) || !value_of(args[1], &value)) return nullptr;
    Status s;
    short_call(*db, [&] { s = db->set_default(k, std::move(value), &current); });
    if (!s.ok()) return raise_error(path_of(self), s);
    return new_bytes(current);
  });
}

PyObject* engine_pop_last(PyObject* self, PyObject*) {
  return guarded_native(path_of(self), [&]() -> PyObject* {
    Use use(self);
    Db* db = use.db();
    if (db == nullptr) return nullptr;
    std::string key, value;
    bool found = false;
    Status s;
    short_call(*db, [&] { s = db->pop_last(&key, &value, &found); });
    if (!s.ok()) return raise_error(path_of(self), s);
    if (!found) {
      PyErr_SetString(PyExc_KeyError, "popitem(): store is empty");
      return nullptr;
    }
    Ref k(new_str(key)), v(new_bytes(value));
    if (!k || !v) return nullptr;
    return PyTuple_Pack(2, k.get(), v.get());
  });
}

PyObject* engine_clear(PyObject* self, PyObject*) {
  return guarded_native(path_of(self), [&]() -> PyObject* {
    Use use(self);
    Db* db = use.db();
    if (db == nullptr) return nullptr;
    uint64_t removed = 0;
    Status s;
    without_gil([&] { s = db->clear(&removed); });
    if (!s.ok()) return raise_error(path_of(self), s);
    return PyLong_FromUnsignedLongLong(removed);
  });
}

// persist(), vacuum() and flush(): long calls without arguments or result.
template <Status (Db::*Call)()>
PyObject* engine_long_call(PyObject* self, PyObject*) {
  return guarded_native(path_of(self), [&]() -> PyObject* {
    Use use(self);
    Db* db = use.db();
    if (db == nullptr) return nullptr;
    Status s;
    without_gil([&] { s = (db->*Call)(); });
    if (!s.ok()) return raise_error(path_of(self), s);
    Py_RETURN_NONE;
  });
}

PyObject* engine_stats(PyObject* self, PyObject*) {
  return guarded_native(path_of(self), [&]() -> PyObject* {
    Use use(self);
    Db* db = use.db();
    if (db == nullptr) return nullptr;
    StoreStats st;
    Status s;
    without_gil([&] { s = db->stats(&st); });
    if (!s.ok()) return raise_error(path_of(self), s);
    return Py_BuildValue("(KKKKKKKKKKK)", st.records.live, st.records.dead, st.live_bytes,
                         st.records.keys_end, st.records.vals_end, st.keys_file_bytes,
                         st.vals_file_bytes, st.table_file_bytes, st.log_file_bytes,
                         st.cache_entries, st.cache_capacity);
  });
}

PyObject* engine_iter_kind(PyObject* self, int kind) {
  Use use(self);
  Db* db = use.db();
  if (db == nullptr) return nullptr;
  auto type = reinterpret_cast<PyTypeObject*>(iterator_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* it = alloc(type, 0);
  if (it == nullptr) return nullptr;
  auto* i = reinterpret_cast<IteratorObject*>(it);
  i->engine = Py_NewRef(self);
  i->kind = kind;
  i->seen = db->changes();
  i->chunk = nullptr;
  i->pos = 0;
  i->chunks = 0;
  i->fetching = false;
  i->finished = false;
  return it;
}

PyObject* engine_iter(PyObject* self) {
  return guarded_native(path_of(self), [&] { return engine_iter_kind(self, kKeys); });
}

PyObject* engine_scan(PyObject* self, PyObject* kind) {
  return guarded_native(path_of(self), [&]() -> PyObject* {
    long k = PyLong_AsLong(kind);
    if (k == -1 && PyErr_Occurred()) return nullptr;
    if (k < kKeys || k > kItems) {
      PyErr_SetString(PyExc_ValueError, "kind is 0 (keys), 1 (values) or 2 (items)");
      return nullptr;
    }
    return engine_iter_kind(self, static_cast<int>(k));
  });
}

PyObject* engine_get_closed(PyObject* self, void*) {
  return PyBool_FromLong(engine_of(self)->db == nullptr);
}

PyObject* engine_get_readonly(PyObject* self, void*) {
  return PyBool_FromLong(engine_of(self)->read_only);
}

PyObject* engine_get_path(PyObject* self, void*) { return Py_NewRef(engine_of(self)->path); }

PyObject* engine_get_level(PyObject* self, void*) {
  return PyLong_FromLong(engine_of(self)->level);
}

PyObject* engine_get_changes(PyObject* self, void*) {
  Use use(self);
  Db* db = use.db();
  return db == nullptr ? nullptr : PyLong_FromUnsignedLongLong(db->changes());
}

// ---- the iterator ----

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  Py_VISIT(reinterpret_cast<IteratorObject*>(self)->engine);
  return 0;
}

int iterator_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<IteratorObject*>(self)->engine);
  return 0;
}

void iterator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  iterator_clear(self);
  delete reinterpret_cast<IteratorObject*>(self)->chunk;
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* changed_during_iteration() {
  PyErr_SetString(PyExc_RuntimeError, "store changed during iteration");
  return nullptr;
}

// The next chunk of records into i->chunk; false with an exception set, or
// with i->finished set when there are none.
bool fetch_chunk(IteratorObject* i, Db& db) {
  const uint32_t from = i->chunk == nullptr ? 0 : i->chunk->next;
  // Chunks start small, so that a loop that takes only the first few
  // records does not read thousands, and grow to amortise the calls.
  ScanLimits limits;
  limits.values = i->kind != kKeys;
  limits.max_records =
      std::min<size_t>(size_t{32} << std::min(i->chunks, 8), limits.values ? 1024 : 4096);
  auto next = std::make_unique<ScanChunk>();
  bool changed = false;
  Status s;
  // Other threads that call next() on this iterator meanwhile wait for it.
  i->fetching = true;
  try {
    without_gil([&] { s = db.scan(i->seen, from, limits, next.get(), &changed); });
  } catch (...) {
    i->fetching = false;
    throw;
  }
  i->fetching = false;
  if (!s.ok()) {
    raise_error(path_of(i->engine), s);
    return false;
  }
  if (changed) {
    changed_during_iteration();
    return false;
  }
  ++i->chunks;
  delete i->chunk;
  i->chunk = next.release();
  i->pos = 0;
  i->finished = i->chunk->keys.empty();
  return !i->finished;
}

PyObject* iterator_next(PyObject* self) {
  auto* i = reinterpret_cast<IteratorObject*>(self);
  if (i->finished || i->engine == nullptr) return nullptr;
  return guarded_native(path_of(i->engine), [&]() -> PyObject* {
    wait_until([&] { return !i->fetching; });
    if (i->finished || i->engine == nullptr) return nullptr;
    Use use(i->engine);
    Db* db = use.db();
    if (db == nullptr) return nullptr;
    // As a dict's: a change shows at the next step, even past the last
    // item; once StopIteration was raised, it stays raised.
    if (db->changes() != i->seen) return changed_during_iteration();
    if (i->chunk == nullptr || i->pos == i->chunk->keys.size()) {
      if (i->chunk != nullptr && i->chunk->done) {
        i->finished = true;
        return nullptr;
      }
      if (!fetch_chunk(i, *db)) return nullptr;
    }
    const size_t at = i->pos++;
    if (i->kind == kKeys) return new_str(i->chunk->keys[at]);
    if (i->kind == kValues) return new_bytes(i->chunk->values[at]);
    Ref k(new_str(i->chunk->keys[at])), v(new_bytes(i->chunk->values[at]));
    if (!k || !v) return nullptr;
    return PyTuple_Pack(2, k.get(), v.get());
  });
}

PyObject* iterator_self(PyObject* self) { return Py_NewRef(self); }

// ---- the types ----

PyMethodDef kEngineMethods[] = {
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_get)), METH_FASTCALL,
     "get($self, key, default=None, /)\n--\n\nThe value of key, or default when it has none."},
    {"get_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_get_many)),
     METH_FASTCALL,
     "get_many($self, keys, default=None, /)\n--\n\n"
     "The values of keys, in order, with default for those that have none."},
    {"_put_many", engine_put_many, METH_O, "_put_many($self, pairs, /)\n--\n\n"},
    {"_delete_many", engine_delete_many, METH_O, "_delete_many($self, keys, /)\n--\n\n"},
    {"_pop_last", engine_pop_last, METH_NOARGS, "_pop_last($self, /)\n--\n\n"},
    {"_take", engine_take, METH_O, "_take($self, key, /)\n--\n\n"},
    {"_set_default",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_set_default)), METH_FASTCALL,
     "_set_default($self, key, value, /)\n--\n\n"},
    {"_clear", engine_clear, METH_NOARGS, "_clear($self, /)\n--\n\n"},
    {"_scan", engine_scan, METH_O, "_scan($self, kind, /)\n--\n\n"},
    {"_stats", engine_stats, METH_NOARGS, "_stats($self, /)\n--\n\n"},
    {"_persist", engine_long_call<&Db::persist>, METH_NOARGS, "_persist($self, /)\n--\n\n"},
    {"_vacuum", engine_long_call<&Db::vacuum>, METH_NOARGS, "_vacuum($self, /)\n--\n\n"},
    {"_flush", engine_long_call<&Db::flush_log>, METH_NOARGS, "_flush($self, /)\n--\n\n"},
    {"_close", engine_close, METH_NOARGS, "_close($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kEngineGetSet[] = {
    {"closed", engine_get_closed, nullptr, "Whether the store has been closed.", nullptr},
    {"readonly", engine_get_readonly, nullptr, "Whether the store was opened read-only.", nullptr},
    {"path", engine_get_path, nullptr, "The storage directory, as an absolute path.", nullptr},
    {"_level", engine_get_level, nullptr, nullptr, nullptr},
    {"_changes", engine_get_changes, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kEngineSlots[] = {
    {Py_tp_doc, const_cast<char*>("The engine of one open store.")},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, kEngineMethods},
    {Py_tp_getset, kEngineGetSet},
    {Py_tp_iter, reinterpret_cast<void*>(engine_iter)},
    {Py_mp_length, reinterpret_cast<void*>(engine_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(engine_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(engine_ass_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(engine_contains)},
    {0, nullptr},
};

PyType_Spec kEngineSpec = {
    "corvid._engine.Engine",
    sizeof(EngineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    kEngineSlots,
};

PyType_Slot kIteratorSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(iterator_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {0, nullptr},
};

// Made only by the store's iteration calls.
PyType_Spec kIteratorSpec = {
    "corvid._engine.Iterator",
    sizeof(IteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kIteratorSlots,
};

}  // namespace

int add_engine_types(PyObject* module) {
  Ref iterator(PyType_FromModuleAndSpec(module, &kIteratorSpec, nullptr));
  Ref engine(PyType_FromModuleAndSpec(module, &kEngineSpec, nullptr));
  if (!iterator || !engine) return -1;
  // The module holds the iterator type for as long as it lives.
  if (PyModule_AddObject(module, "Iterator", Py_NewRef(iterator.get())) < 0) {
    Py_DECREF(iterator.get());
    return -1;
  }
  iterator_type = iterator.get();
  if (PyModule_AddObject(module, "Engine", engine.get()) < 0) return -1;
  engine.release();
  return 0;
}

}  // namespace corvid::py

// The Corvid class: a heap type with a constructor, a deallocator and ten
// methods. Arguments are bound and converted before any lock is taken.
#include "binding/corvid_type.h"

#include <memory>

#include "binding/args.h"
#include "binding/errors.h"
#include "store/db.h"

namespace corvid::py {

namespace {

struct CorvidObject {
  PyObject_HEAD Db* db;
};

Db& db_of(PyObject* self) { return *reinterpret_cast<CorvidObject*>(self)->db; }

// Raises a failed Status from a write as the exception its kind calls for.
PyObject* raise_write_error(const Status& status) {
  if (status.kind() == ErrorKind::kLengthLimit) {
    PyErr_SetString(PyExc_OverflowError, status.message().c_str());
    return nullptr;
  }
  return raise_os_error(status);
}

PyObject* new_bytes(const std::string& value) {
  PyObject* b = PyBytes_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
  return b != nullptr ? b : raise_api_failed();
}

PyObject* new_str(const std::string& text) {
  PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  return s != nullptr ? s : raise_api_failed();
}

PyObject* new_u64(uint64_t v) {
  PyObject* n = PyLong_FromUnsignedLongLong(v);
  return n != nullptr ? n : raise_api_failed();
}

// ---- constructor and deallocator ----

const char* const kNewNames[] = {"storage_path", "cache_size"};
const Signature kNewSig = {"Corvid.__new__()", kNewNames, 2, 1};
constexpr uint64_t kDefaultCacheSize = 10000;

PyObject* corvid_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_arguments(kNewSig, args, kwargs, bound)) return nullptr;
    std::string path;
    if (!to_utf8(bound[0], "storage_path", &path)) return nullptr;
    uint64_t cache_size = kDefaultCacheSize;
    if (bound[1] != nullptr && !to_u64(bound[1], "cache_size", &cache_size)) return nullptr;

    std::unique_ptr<Db> db;
    Status s = Db::open(std::move(path), cache_size, &db);
    if (!s.ok()) return raise_os_error(s);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
      }
      return nullptr;
    }
    reinterpret_cast<CorvidObject*>(self)->db = db.release();
    return self;
  });
}

void corvid_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Db* db = reinterpret_cast<CorvidObject*>(self)->db;
  try {
    Status s = db->flush_log();
    if (!s.ok()) report_lost_log(db->directory(), s);
  } catch (...) {  // nothing may escape into the interpreter; the release goes on
  }
  delete db;
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

// ---- methods with arguments ----

const char* const kKeyName[] = {"key"};
const char* const kSetNames[] = {"key", "val"};
const char* const kKeysName[] = {"keys"};
const Signature kSetSig = {"Corvid.set_bytes()", kSetNames, 2, 2};
const Signature kGetSig = {"Corvid.get_bytes()", kKeyName, 1, 1};
const Signature kDeleteSig = {"Corvid.delete()", kKeyName, 1, 1};
const Signature kGetManySig = {"Corvid.get_many()", kKeysName, 1, 1};

PyObject* set_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_fast(kSetSig, args, nargs, kwnames, bound)) return nullptr;
    // The view stays valid: the str is immutable and the caller holds it.
    std::string_view key;
    std::string value;
    if (!to_utf8_view(bound[0], "key", &key) || !to_byte_string(bound[1], "val", &value)) {
      return nullptr;
    }
    Status s = db_of(self).set_bytes(key, std::move(value));
    if (!s.ok()) return raise_write_error(s);
    Py_RETURN_NONE;
  });
}

PyObject* get_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fast(kGetSig, args, nargs, kwnames, bound)) return nullptr;
    std::string_view key;
    if (!to_utf8_view(bound[0], "key", &key)) return nullptr;
    PyObject* result = nullptr;
    Status s = db_of(self).get(key, [&](const std::string* value) {
      result = value == nullptr ? Py_NewRef(Py_None) : new_bytes(*value);
    });
    if (!s.ok()) return raise_os_error(s);
    return result;
  });
}

PyObject* delete_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fast(kDeleteSig, args, nargs, kwnames, bound)) return nullptr;
    std::string_view key;
    if (!to_utf8_view(bound[0], "key", &key)) return nullptr;
    bool found = false;
    Status s = db_of(self).delete_key(key, &found);
    if (!s.ok()) return raise_os_error(s);
    return PyBool_FromLong(found);
  });
}

PyObject* get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fast(kGetManySig, args, nargs, kwnames, bound)) return nullptr;
    std::vector<std::string> keys;
    if (!to_utf8_list(bound[0], "keys", &keys)) return nullptr;
    std::vector<Ref> values(keys.size());
    bool failed = false;
    // Each value becomes a bytes object before the next lookup can evict it.
    Status s = db_of(self).get_many(keys, [&](size_t i, const std::string* value) {
      if (failed || value == nullptr) return;
      values[i] =
          Ref(PyBytes_FromStringAndSize(value->data(), static_cast<Py_ssize_t>(value->size())));
      failed = !values[i];
    });
    if (!s.ok()) return raise_os_error(s);
    if (failed) return raise_api_failed();
    Ref list(PyList_New(static_cast<Py_ssize_t>(keys.size())));
    if (!list) return raise_api_failed();
    for (size_t i = 0; i < keys.size(); ++i) {
      Ref key(new_str(keys[i]));
      if (!key) return nullptr;
      PyObject* value = values[i] ? values[i].release() : Py_NewRef(Py_None);
      PyObject* pair = PyTuple_Pack(2, key.get(), value);
      Py_DECREF(value);
      if (pair == nullptr) return raise_api_failed();
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
  });
}

// ---- methods without arguments ----

PyObject* persist(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Status s = db_of(self).persist();
    if (!s.ok()) return raise_os_error(s);
    Py_RETURN_NONE;
  });
}

PyObject* vacuum(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Status s = db_of(self).vacuum();
    if (!s.ok()) return raise_os_error_plain(s);
    Py_RETURN_NONE;
  });
}

PyObject* len(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    uint64_t n = 0;
    Status s = db_of(self).len(&n);
    if (!s.ok()) return raise_os_error(s);
    return new_u64(n);
  });
}

PyObject* keys(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    std::vector<std::string> keys;
    Status s = db_of(self).keys(&keys);
    if (!s.ok()) return raise_os_error(s);
    Ref list(PyList_New(static_cast<Py_ssize_t>(keys.size())));
    if (!list) return raise_api_failed();
    for (size_t i = 0; i < keys.size(); ++i) {
      PyObject* key = new_str(keys[i]);
      if (key == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), key);
    }
    return list.release();
  });
}

PyObject* cache_stats(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    uint64_t entries = 0, capacity = 0;
    Status s = db_of(self).cache_stats(&entries, &capacity);
    if (!s.ok()) return raise_os_error(s);
    Ref a(new_u64(entries));
    Ref b(new_u64(capacity));
    if (!a || !b) return nullptr;
    PyObject* pair = PyTuple_Pack(2, a.get(), b.get());
    return pair != nullptr ? pair : raise_api_failed();
  });
}

PyObject* clear_cache(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Status s = db_of(self).clear_cache();
    if (!s.ok()) return raise_os_error(s);
    Py_RETURN_NONE;
  });
}

using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Methods with parameters take the fast calling convention: no argument
// tuple is built for a call.
template <FastWithKeywords F>
PyCFunction with_keywords() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef kMethods[] = {
    {"set_bytes", with_keywords<set_bytes>(), METH_FASTCALL | METH_KEYWORDS,
     "set_bytes($self, key, val)\n--\n\n"},
    {"get_bytes", with_keywords<get_bytes>(), METH_FASTCALL | METH_KEYWORDS,
     "get_bytes($self, key)\n--\n\n"},
    {"delete", with_keywords<delete_key>(), METH_FASTCALL | METH_KEYWORDS,
     "delete($self, key)\n--\n\n"},
    {"persist", persist, METH_NOARGS, "persist($self)\n--\n\n"},
    {"vacuum", vacuum, METH_NOARGS, "vacuum($self)\n--\n\n"},
    {"len", len, METH_NOARGS, "len($self)\n--\n\n"},
    {"keys", keys, METH_NOARGS, "keys($self)\n--\n\n"},
    {"cache_stats", cache_stats, METH_NOARGS, "cache_stats($self)\n--\n\n"},
    {"clear_cache", clear_cache, METH_NOARGS, "clear_cache($self)\n--\n\n"},
    {"get_many", with_keywords<get_many>(), METH_FASTCALL | METH_KEYWORDS,
     "get_many($self, keys)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Corvid(storage_path, cache_size=...)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(corvid_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(corvid_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.Corvid", sizeof(CorvidObject), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

}  // namespace

PyObject* create_corvid_type() { return PyType_FromSpec(&kSpec); }

}  // namespace corvid::py

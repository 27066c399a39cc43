#include "binding/package_args.h"

#include "store/db.h"

namespace corvid::py {

namespace {

bool length_error(const Status& s) {
  PyErr_SetString(PyExc_ValueError, s.message().c_str());
  return false;
}

bool key_type_error(PyObject* key) {
  if (PyBytes_Check(key)) {
    PyErr_SetString(PyExc_TypeError,
                    "keys are str, not bytes: decode it, or use corvid.dbm for bytes keys");
  } else if (PyByteArray_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "keys are str, not bytearray: decode it");
  } else {
    PyErr_Format(PyExc_TypeError, "keys are str, not %s", type_name(key).c_str());
  }
  return false;
}

bool value_type_error(PyObject* value) {
  const char* hint = PyUnicode_Check(value) ? ": encode it" : "";
  PyErr_Format(PyExc_TypeError, "values are bytes-like (bytes, bytearray, memoryview), not %s%s",
               type_name(value).c_str(), hint);
  return false;
}

// Calls each(item) for every item of `iterable`, stopping at the first false.
template <class F>
bool for_each_item(PyObject* iterable, const char* what, F&& each) {
  Ref it(PyObject_GetIter(iterable));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be iterable, not %s", what,
                   type_name(iterable).c_str());
    }
    return false;
  }
  size_t i = 0;
  while (Ref item{PyIter_Next(it.get())}) {
    if (!each(item.get())) return false;
    breathe(i++);
  }
  return !PyErr_Occurred();
}

// The two items of a (key, value) pair: a tuple or list of two, or any
// other iterable of exactly two items (not a str or bytes), as dict() takes.
bool pair_of(PyObject* pair, PyObject** key, PyObject** value, Ref* held) {
  if (PyTuple_Check(pair) && PyTuple_Size(pair) == 2) {
    *key = PyTuple_GetItem(pair, 0);
    *value = PyTuple_GetItem(pair, 1);
    return true;
  }
  Ref items;
  if (!PyUnicode_Check(pair) && !PyBytes_Check(pair) && !PyByteArray_Check(pair)) {
    // Held, as a list may change while the key is converted.
    items = Ref(PySequence_Tuple(pair));
    if (!items && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
  }
  if (items && PyTuple_Size(items.get()) == 2) {
    *held = std::move(items);
    *key = PyTuple_GetItem(held->get(), 0);
    *value = PyTuple_GetItem(held->get(), 1);
    return true;
  }
  if (items) {
    PyErr_Format(PyExc_ValueError, "items are (key, value) pairs, not sequences of %zd",
                 PyTuple_Size(items.get()));
  } else {
    PyErr_Format(PyExc_TypeError, "items are (key, value) pairs, not %s", type_name(pair).c_str());
  }
  return false;
}

}  // namespace

// A bytes-like value's bytes, read in place or, for objects other than
// bytes and bytearray, from a copy held in *copy. Valid while the interpreter
// lock is held.
bool value_view(PyObject* value, std::string_view* out, Ref* copy);

std::string type_name(PyObject* obj) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  Py_ssize_t n = 0;
  const char* p =
      name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), &n) : nullptr;
  if (p == nullptr) {
    PyErr_Clear();
    return "an object of unknown type";
  }
  return std::string(p, static_cast<size_t>(n));
}

bool key_of(PyObject* key, std::string_view* out) {
  if (!PyUnicode_Check(key)) return key_type_error(key);
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(key, &n);
  if (p == nullptr) return false;  // a lone surrogate: UnicodeEncodeError
  if (Status s = check_put_lengths(static_cast<uint64_t>(n), 0); !s.ok()) return length_error(s);
  *out = std::string_view(p, static_cast<size_t>(n));
  return true;
}

bool value_view(PyObject* value, std::string_view* out, Ref* copy) {
  const char* p = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_Check(value)) {
    char* data;
    if (PyBytes_AsStringAndSize(value, &data, &n) < 0) return false;
    p = data;
  } else if (PyByteArray_Check(value)) {
    p = PyByteArray_AsString(value);
    n = PyByteArray_Size(value);
  } else {
    // Any other object with the buffer protocol, through a memoryview: the
    // only way to tell one under the limited API of the oldest interpreter.
    Ref view(PyMemoryView_FromObject(value));
    if (!view) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
      PyErr_Clear();
      return value_type_error(value);
    }
    *copy = Ref(PyObject_Bytes(view.get()));
    char* data;
    if (!*copy || PyBytes_AsStringAndSize(copy->get(), &data, &n) < 0) return false;
    p = data;
  }
  if (Status s = check_put_lengths(0, static_cast<uint64_t>(n)); !s.ok()) return length_error(s);
  *out = std::string_view(p, static_cast<size_t>(n));
  return true;
}

bool value_of(PyObject* value, std::string* out) {
  std::string_view view;
  Ref copy;
  if (!value_view(value, &view, &copy)) return false;
  out->assign(view);
  return true;
}

bool keys_of(PyObject* iterable, std::vector<std::string>* out) {
  if (PyUnicode_Check(iterable)) {
    PyErr_SetString(PyExc_TypeError, "keys must be an iterable of str, not a str");
    return false;
  }
  return for_each_item(iterable, "keys", [&](PyObject* key) {
    std::string_view view;
    if (!key_of(key, &view)) return false;
    out->emplace_back(view);
    return true;
  });
}

bool batch_of(PyObject* iterable, PutBatch* out) {
  return for_each_item(iterable, "items", [&](PyObject* pair) {
    PyObject *key, *item;
    Ref held, copy;
    std::string_view key_view, value_bytes;
    if (!pair_of(pair, &key, &item, &held) || !key_of(key, &key_view) ||
        !value_view(item, &value_bytes, &copy)) {
      return false;
    }
    out->add(key_view, value_bytes);
    return true;
  });
}

}  // namespace corvid::py

// The corvid package's conversions of keys and values: str keys, bytes-like
// values, and messages that say what was expected and what was given.
// Every function returns false with a Python exception set on failure.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "binding/py.h"
#include "store/batch.h"

namespace corvid::py {

// Called for the i-th item of a long conversion: every few thousand items
// the interpreter lock is let go for a moment, so that other threads are
// not stalled by the conversion of a large batch.
inline void breathe(size_t i) {
  if (i % 4096 == 4095) {
    Py_BEGIN_ALLOW_THREADS;
    Py_END_ALLOW_THREADS;
  }
}

// The name of obj's type, for messages.
std::string type_name(PyObject* obj);

// A str key as its UTF-8 bytes; the view lives as long as `key`.
bool key_of(PyObject* key, std::string_view* out);
// A bytes-like value (bytes, bytearray, memoryview or any object with the
// buffer protocol) copied out.
bool value_of(PyObject* value, std::string* out);
// Every key of an iterable of str keys.
bool keys_of(PyObject* iterable, std::vector<std::string>* out);
// Every (key, value) pair of an iterable of pairs, into one batch.
bool batch_of(PyObject* iterable, PutBatch* out);

}  // namespace corvid::py

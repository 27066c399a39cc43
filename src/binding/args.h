// Binding a call's arguments to parameters, and converting them to engine
// values, with the exact messages callers see. Every function returns false
// (or an empty Ref) with a Python exception set on failure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "binding/py.h"

namespace corvid::py {

struct Signature {
  const char* full_name;  // "Corvid.set_bytes()", used in every message
  const char* const* names;
  int count;     // parameters, all positional-or-keyword
  int required;  // the first `required` have no default
};

// Fills out[0..count) with borrowed references, nullptr for an omitted
// optional parameter: from a tuple and a dict (the constructor)...
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);
// ... or from the fast calling convention's array and keyword-name tuple.
bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);

// A `str` (or subclass) as its UTF-8 bytes; the view lives as long as `obj`.
bool to_utf8_view(PyObject* obj, const char* param, std::string_view* out);
inline bool to_utf8(PyObject* obj, const char* param, std::string* out) {
  std::string_view view;
  if (!to_utf8_view(obj, param, &view)) return false;
  out->assign(view);
  return true;
}
// A sequence of integers 0 to 255 (not a str) as bytes.
bool to_byte_string(PyObject* obj, const char* param, std::string* out);
// A sequence of `str` (not a str itself) as UTF-8 byte strings.
bool to_utf8_list(PyObject* obj, const char* param, std::vector<std::string>* out);
// An int, or an object with __index__, in 0 to 2**64-1.
bool to_u64(PyObject* obj, const char* param, uint64_t* out);

}  // namespace corvid::py

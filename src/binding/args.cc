#include "binding/args.h"

#include <algorithm>

namespace corvid::py {

namespace {

void set_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

std::string utf8_of(PyObject* str) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(str, &n);
  if (p == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(p, static_cast<size_t>(n));
}

std::string type_qualname(PyObject* obj) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return "?";
  }
  return utf8_of(name.get());
}

void set_downcast_error(PyObject* obj, const char* target) {
  std::string message = "'";
  message += type_qualname(obj);
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  set_type_error(message);
}

// Replaces a pending TypeError by one that names the parameter, keeping the
// original's cause. Other exceptions pass unchanged.
void prefix_type_error(const char* param) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type(type), owned_value(value), owned_traceback(traceback);
  std::string message = "argument '" + std::string(param) + "': ";
  if (value != nullptr) {
    Ref text(PyObject_Str(value));
    if (text) {
      message += utf8_of(text.get());
    } else {
      PyErr_Clear();
    }
  }
  Ref replacement(PyObject_CallFunction(PyExc_TypeError, "s", message.c_str()));
  if (!replacement) return;
  PyObject* cause = value != nullptr ? PyException_GetCause(value) : nullptr;
  if (cause != nullptr) PyException_SetCause(replacement.get(), cause);
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

std::string plural(long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

namespace {

// The binding rules, over positional values and keyword (name, value) pairs.
bool bind_core(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* const* kw_names, PyObject* const* kw_values, Py_ssize_t nkw,
               PyObject** out) {
  for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
  if (nargs > sig.count) {
    std::string takes = sig.required == sig.count ? std::to_string(sig.count)
                                                  : "from " + std::to_string(sig.required) +
                                                        " to " + std::to_string(sig.count);
    set_type_error(std::string(sig.full_name) + " takes " + takes + " positional arguments but " +
                   std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = kw_names[k];
    int match = -1;
    for (int i = 0; i < sig.count && PyUnicode_Check(name); ++i) {
      if (PyUnicode_CompareWithASCIIString(name, sig.names[i]) == 0) {
        match = i;
        break;
      }
    }
    if (match < 0) {
      Ref text(PyObject_Str(name));
      if (!text) return false;
      set_type_error(std::string(sig.full_name) + " got an unexpected keyword argument '" +
                     utf8_of(text.get()) + "'");
      return false;
    }
    if (out[match] != nullptr) {
      set_type_error(std::string(sig.full_name) + " got multiple values for argument '" +
                     sig.names[match] + "'");
      return false;
    }
    out[match] = kw_values[k];
  }

  std::vector<const char*> missing;
  for (int i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.names[i]);
  }
  if (missing.empty()) return true;
  std::string names;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() == 2) {
        names += " and ";
      } else {
        names += i + 1 == missing.size() ? ", and " : ", ";
      }
    }
    names += "'" + std::string(missing[i]) + "'";
  }
  set_type_error(std::string(sig.full_name) + " missing " +
                 plural(static_cast<long>(missing.size()), "required positional argument",
                        "required positional arguments") +
                 ": " + names);
  return false;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  std::vector<PyObject*> positional(static_cast<size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) positional[i] = PyTuple_GetItem(args, i);
  std::vector<PyObject*> names, values;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      names.push_back(name);
      values.push_back(value);
    }
  }
  return bind_core(sig, positional.data(), nargs, names.data(), values.data(),
                   static_cast<Py_ssize_t>(names.size()), out);
}

bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) {
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  if (nkw == 0 && nargs == sig.count) {  // the common call: all positional
    for (int i = 0; i < sig.count; ++i) out[i] = args[i];
    return true;
  }
  std::vector<PyObject*> names(static_cast<size_t>(nkw));
  for (Py_ssize_t k = 0; k < nkw; ++k) names[k] = PyTuple_GetItem(kwnames, k);
  return bind_core(sig, args, nargs, names.data(), args + nargs, nkw, out);
}

bool to_utf8_view(PyObject* obj, const char* param, std::string_view* out) {
  if (!PyUnicode_Check(obj)) {
    set_downcast_error(obj, "PyString");
    prefix_type_error(param);
    return false;
  }
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
  if (p == nullptr) {
    prefix_type_error(param);
    return false;
  }
  *out = std::string_view(p, static_cast<size_t>(n));
  return true;
}

namespace {

// The checks shared by both sequence parameters: a str is refused, and the
// object must pass the sequence check. Returns its length when it has one.
bool check_sequence(PyObject* obj, Py_ssize_t* length) {
  if (PyUnicode_Check(obj)) {
    set_type_error("Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    set_downcast_error(obj, "Sequence");
    return false;
  }
  *length = PySequence_Size(obj);
  if (*length < 0) {
    PyErr_Clear();
    *length = 0;
  }
  return true;
}

// A sequence's reported length sizes the output only up to this many items:
// a length of 2**40 must not reserve memory before a single item arrives.
constexpr size_t kMaxReserve = 1 << 16;

// Takes the items of a checked sequence from its iterator, after sizing the
// output by the sequence's length.
template <class Reserve, class Take>
bool each_item(PyObject* obj, Reserve reserve, Take take) {
  Py_ssize_t length;
  if (!check_sequence(obj, &length)) return false;
  reserve(std::min(static_cast<size_t>(length), kMaxReserve));
  Ref it(PyObject_GetIter(obj));
  if (!it) return false;
  while (Ref item{PyIter_Next(it.get())}) {
    if (!take(item.get())) return false;
  }
  return !PyErr_Occurred();
}

bool byte_items(PyObject* obj, std::string* out) {
  if (PyBytes_CheckExact(obj)) {
    char* p;
    Py_ssize_t n;
    if (PyBytes_AsStringAndSize(obj, &p, &n) < 0) return false;
    out->assign(p, static_cast<size_t>(n));
    return true;
  }
  if (PyByteArray_CheckExact(obj)) {
    out->assign(PyByteArray_AsString(obj), static_cast<size_t>(PyByteArray_Size(obj)));
    return true;
  }
  out->clear();
  return each_item(
      obj, [&](size_t n) { out->reserve(n); },
      [&](PyObject* item) {
        long long v = PyLong_AsLongLong(item);
        if (v == -1 && PyErr_Occurred()) return false;
        if (v < 0 || v > 255) {
          PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
          return false;
        }
        out->push_back(static_cast<char>(v));
        return true;
      });
}

bool str_items(PyObject* obj, std::vector<std::string>* out) {
  out->clear();
  return each_item(
      obj, [&](size_t n) { out->reserve(n); },
      [&](PyObject* item) {
        if (!PyUnicode_Check(item)) {
          set_downcast_error(item, "PyString");
          return false;
        }
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(item, &n);
        if (p == nullptr) return false;
        out->emplace_back(p, static_cast<size_t>(n));
        return true;
      });
}

}  // namespace

bool to_byte_string(PyObject* obj, const char* param, std::string* out) {
  if (byte_items(obj, out)) return true;
  prefix_type_error(param);
  return false;
}

bool to_utf8_list(PyObject* obj, const char* param, std::vector<std::string>* out) {
  if (str_items(obj, out)) return true;
  prefix_type_error(param);
  return false;
}

bool to_u64(PyObject* obj, const char* param, uint64_t* out) {
  Ref index;
  if (!PyLong_Check(obj)) {
    index = Ref(PyNumber_Index(obj));
    if (!index) {
      prefix_type_error(param);
      return false;
    }
    obj = index.get();
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_type_error(param);
    return false;
  }
  *out = v;
  return true;
}

}  // namespace corvid::py

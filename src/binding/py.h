// The limited C API, and an owning reference for the binding's own objects.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace corvid::py {

// Owns one strong reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace corvid::py

#include "binding/errors.h"

#include <cstdio>
#include <cstring>

#include "format/file_names.h"

namespace corvid::py {

namespace {

PyObject* os_error_class(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kPermissionDenied:
      return PyExc_PermissionError;
    case ErrorKind::kNotFound:
      return PyExc_FileNotFoundError;
    case ErrorKind::kInterrupted:
      return PyExc_InterruptedError;
    case ErrorKind::kWouldBlock:
      return PyExc_BlockingIOError;
    case ErrorKind::kAlreadyExists:
      return PyExc_FileExistsError;
    case ErrorKind::kBrokenPipe:
      return PyExc_BrokenPipeError;
    case ErrorKind::kConnectionAborted:
      return PyExc_ConnectionAbortedError;
    case ErrorKind::kConnectionReset:
      return PyExc_ConnectionResetError;
    case ErrorKind::kTimedOut:
      return PyExc_TimeoutError;
    case ErrorKind::kConnectionRefused:
      return PyExc_ConnectionRefusedError;
    default:
      return PyExc_OSError;
  }
}

// Constructed with exactly one argument, so errno, strerror and filename stay None.
PyObject* raise_with_message(PyObject* cls, const std::string& message) {
  Ref exc(
      PyObject_CallFunction(cls, "(s#)", message.data(), static_cast<Py_ssize_t>(message.size())));
  if (exc) PyErr_SetObject(cls, exc.get());
  return nullptr;
}

// Created on first need and kept for the life of the process.
PyObject* panic_exception_class() {
  static PyObject* cls = nullptr;
  if (cls == nullptr) {
    cls = PyErr_NewExceptionWithDoc(
        "corvid.PanicException", "Raised when an operation meets a failure it cannot recover from.",
        PyExc_BaseException, nullptr);
  }
  return cls;
}

}  // namespace

PyObject* raise_os_error(const Status& status) {
  return raise_with_message(os_error_class(status.kind()), status.message());
}

PyObject* raise_os_error_plain(const Status& status) {
  return raise_with_message(PyExc_OSError, status.message());
}

void report_lost_log(const std::string& directory, const Status& error) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  raise_os_error(Status::Custom(error.kind(), "storage directory " + quoted_dir(directory) +
                                                  ": the log's buffered entries could not be "
                                                  "written out at release and are lost: " +
                                                  error.message()));
  PyErr_WriteUnraisable(nullptr);
  PyErr_Restore(type, value, traceback);
}

PyObject* raise_panic(const std::string& message, const std::source_location& where) {
  std::fprintf(stderr, "corvid panicked at %s:%u:%u:\n%s\n", source_path(where),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
               message.c_str());
  std::fflush(stderr);
  PyObject* cls = panic_exception_class();
  if (cls == nullptr) return nullptr;
  return raise_with_message(cls, message);
}

namespace {

// OSError(errno, text[, filename]), which Python makes the subclass errno selects.
PyObject* raise_errno(int code, const std::string& text, PyObject* filename) {
  Ref exc(filename != nullptr
              ? PyObject_CallFunction(PyExc_OSError, "(is#O)", code, text.data(),
                                      static_cast<Py_ssize_t>(text.size()), filename)
              : PyObject_CallFunction(PyExc_OSError, "(is#)", code, text.data(),
                                      static_cast<Py_ssize_t>(text.size())));
  if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

PyObject* raise_native(const Status& error, const std::string& suffix, PyObject* filename) {
  if (error.code() != 0)
    return raise_errno(error.code(), std::strerror(error.code()) + suffix, filename);
  // A directory held by another writer: errno as a refused lock sets it; the
  // message names the directory itself.
  if (error.kind() == ErrorKind::kWouldBlock) {
    return raise_errno(EWOULDBLOCK, error.message() + suffix, nullptr);
  }
  return raise_with_message(os_error_class(error.kind()), error.message() + suffix);
}

}  // namespace

PyObject* raise_native_error(const Status& error, PyObject* filename) {
  return raise_native(error, "", filename);
}

PyObject* raise_native_panic(const Status& error, const std::source_location& where,
                             PyObject* filename) {
  return raise_native(
      error, std::string(" (in ") + source_path(where) + ":" + std::to_string(where.line()) + ")",
      filename);
}

PyObject* raise_api_failed(std::source_location where) {
  if (PyErr_Occurred()) PyErr_Print();
  return raise_panic("Python API call failed", where);
}

}  // namespace corvid::py

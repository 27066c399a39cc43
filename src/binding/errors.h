// Turning engine failures into Python exceptions. Each raise_* sets the
// Python error and returns nullptr, for `return raise_...(...)`.
#pragma once

#include <new>
#include <source_location>
#include <string>

#include "binding/panic_text.h"
#include "binding/py.h"
#include "format/status.h"
#include "store/panic.h"

namespace corvid::py {

// OSError or the subclass the error's kind selects, with one str argument.
PyObject* raise_os_error(const Status& status);
// Always plain OSError, with the same message.
PyObject* raise_os_error_plain(const Status& status);
// Entries still in the log's buffer are written out at release; when that
// fails they are lost, and the interpreter's unraisable-exception hook is
// told so instead of nobody. Keeps any exception already set.
void report_lost_log(const std::string& directory, const Status& error);
// PanicException, after a diagnostic naming `where` on stderr.
PyObject* raise_panic(const std::string& message, const std::source_location& where);
// A Python object could not be made: print the pending error, then panic.
PyObject* raise_api_failed(std::source_location where = std::source_location::current());

// Runs an entry point's body, turning whatever it throws into a Python
// exception: nothing escapes into the interpreter.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const Panic& p) {
    return raise_panic(panic_text(p.error()), p.where());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_panic(e.what(), std::source_location::current());
  } catch (...) {
    return raise_panic("unknown failure", std::source_location::current());
  }
}

// The corvid package's rendering of an engine failure: an operating-system
// error is OSError(errno, strerror, filename), which Python turns into the
// subclass errno selects; any other is the class its kind selects, with
// the message. `filename` (the storage directory) may be null.
PyObject* raise_native_error(const Status& error, PyObject* filename);
// The same for a panic, its text naming where it happened.
PyObject* raise_native_panic(const Status& error, const std::source_location& where,
                             PyObject* filename);

// As guarded(), for the corvid package: a panic is a Python-native error
// about `filename`.
template <class F>
PyObject* guarded_native(PyObject* filename, F&& body) noexcept {
  try {
    return body();
  } catch (const Panic& p) {
    return raise_native_panic(p.error(), p.where(), filename);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "corvid engine failure: %s", e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "corvid engine failure");
    return nullptr;
  }
}

}  // namespace corvid::py

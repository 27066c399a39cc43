// Error values for operating-system failures, and the one exception type for
// failures that have no error path.
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>

namespace corvid {

enum class ErrorKind {
  kPermissionDenied,
  kNotFound,
  kInterrupted,
  kWouldBlock,
  kAlreadyExists,
  kBrokenPipe,
  kConnectionAborted,
  kConnectionReset,
  kTimedOut,
  kConnectionRefused,
  kUnexpectedEof,
  kWriteZero,
  kInvalidInput,
  kLengthLimit,  // a key or value too long for a row's 32-bit length
  kUncategorized,
};

// The result of an operation that can fail with an operating-system error or
// one of the engine's own conditions. An ok Status holds nothing.
class Status {
 public:
  Status() = default;

  static Status FromErrno(int code);
  static Status Custom(ErrorKind kind, std::string text);
  static Status UnexpectedEof() {
    return Custom(ErrorKind::kUnexpectedEof, "failed to fill whole buffer");
  }
  static Status WriteZero() {
    return Custom(ErrorKind::kWriteZero, "failed to write whole buffer");
  }

  bool ok() const { return !failed_; }
  ErrorKind kind() const { return kind_; }
  // The error number of a failed system call, 0 for the engine's own conditions.
  int code() const { return code_; }
  // "<strerror> (os error N)" for a system call, the fixed text otherwise.
  std::string message() const;
  // The kind, number and description, as panic messages show them.
  std::string debug() const;

 private:
  bool failed_ = false;
  ErrorKind kind_ = ErrorKind::kUncategorized;
  int code_ = 0;
  std::string text_;
};

const char* kind_name(ErrorKind kind);

// Thrown where an operation meets a failure it cannot report: the binding
// turns it into PanicException after writing `where` to stderr.
class Panic : public std::exception {
 public:
  Panic(std::string message, std::source_location where)
      : message_(std::move(message)), where_(where) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }
  const std::source_location& where() const { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

[[noreturn]] void panic_unwrap(const Status& status, std::source_location where);

// Ends the operation with a Panic when `status` failed.
inline void unwrap(const Status& status,
                   std::source_location where = std::source_location::current()) {
  if (!status.ok()) panic_unwrap(status, where);
}

}  // namespace corvid

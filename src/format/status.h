// Error values: the failure of an operating-system call, or one of the
// engine's own conditions. The format layer and the engine return them; each
// front end decides how to show them.
#pragma once

#include <memory>
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
  kLengthLimit,       // a key or value too long for a row's 32-bit length
  kOutOfRange,        // a record row outside the mapped table
  kCapacityOverflow,  // a table larger than its type can describe
  kDamaged,           // files that disagree with each other
  kUncategorized,
};

// The result of an operation that can fail. An ok Status holds nothing but
// a null pointer, so the success path costs no more than returning one.
class Status {
 public:
  Status() = default;
  Status(const Status& other) : rep_(other.rep_ ? new Rep(*other.rep_) : nullptr) {}
  Status& operator=(const Status& other) {
    if (this != &other) rep_.reset(other.rep_ ? new Rep(*other.rep_) : nullptr);
    return *this;
  }
  Status(Status&&) noexcept = default;
  Status& operator=(Status&&) noexcept = default;

  static Status FromErrno(int code);
  static Status Custom(ErrorKind kind, std::string text);
  static Status UnexpectedEof() {
    return Custom(ErrorKind::kUnexpectedEof, "failed to fill whole buffer");
  }
  static Status WriteZero() {
    return Custom(ErrorKind::kWriteZero, "failed to write whole buffer");
  }

  bool ok() const { return rep_ == nullptr; }
  ErrorKind kind() const { return rep_ ? rep_->kind : ErrorKind::kUncategorized; }
  // The error number of a failed system call, 0 for the engine's own conditions.
  int code() const { return rep_ ? rep_->code : 0; }
  // The system's description of the error number, or the fixed text.
  std::string description() const;
  // "<description> (os error N)" for a system call, the fixed text otherwise.
  std::string message() const;

 private:
  struct Rep {
    ErrorKind kind;
    int code;
    std::string text;
  };
  std::unique_ptr<Rep> rep_;
};

}  // namespace corvid

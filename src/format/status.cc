#include "format/status.h"

#include <cerrno>
#include <cstring>

namespace corvid {

namespace {

ErrorKind kind_of_errno(int code) {
  switch (code) {
    case EPERM:
    case EACCES:
      return ErrorKind::kPermissionDenied;
    case ENOENT:
      return ErrorKind::kNotFound;
    case EINTR:
      return ErrorKind::kInterrupted;
    case EAGAIN:
      return ErrorKind::kWouldBlock;
    case EEXIST:
      return ErrorKind::kAlreadyExists;
    case EPIPE:
      return ErrorKind::kBrokenPipe;
    case ECONNABORTED:
      return ErrorKind::kConnectionAborted;
    case ECONNRESET:
      return ErrorKind::kConnectionReset;
    case ETIMEDOUT:
      return ErrorKind::kTimedOut;
    case ECONNREFUSED:
      return ErrorKind::kConnectionRefused;
    default:
      return ErrorKind::kUncategorized;
  }
}

std::string describe_errno(int code) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  return strerror_r(code, buf, sizeof buf);
}

}  // namespace

Status Status::FromErrno(int code) {
  Status s;
  s.failed_ = true;
  s.kind_ = kind_of_errno(code);
  s.code_ = code;
  return s;
}

Status Status::Custom(ErrorKind kind, std::string text) {
  Status s;
  s.failed_ = true;
  s.kind_ = kind;
  s.text_ = std::move(text);
  return s;
}

std::string Status::message() const {
  if (code_ == 0) return text_;
  return describe_errno(code_) + " (os error " + std::to_string(code_) + ")";
}

std::string Status::debug() const {
  if (code_ == 0) {
    return std::string("Error { kind: ") + kind_name(kind_) + ", message: \"" + text_ + "\" }";
  }
  return "Os { code: " + std::to_string(code_) + ", kind: " + kind_name(kind_) + ", message: \"" +
         describe_errno(code_) + "\" }";
}

const char* kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kPermissionDenied:
      return "PermissionDenied";
    case ErrorKind::kNotFound:
      return "NotFound";
    case ErrorKind::kInterrupted:
      return "Interrupted";
    case ErrorKind::kWouldBlock:
      return "WouldBlock";
    case ErrorKind::kAlreadyExists:
      return "AlreadyExists";
    case ErrorKind::kBrokenPipe:
      return "BrokenPipe";
    case ErrorKind::kConnectionAborted:
      return "ConnectionAborted";
    case ErrorKind::kConnectionReset:
      return "ConnectionReset";
    case ErrorKind::kTimedOut:
      return "TimedOut";
    case ErrorKind::kConnectionRefused:
      return "ConnectionRefused";
    case ErrorKind::kUnexpectedEof:
      return "UnexpectedEof";
    case ErrorKind::kWriteZero:
      return "WriteZero";
    case ErrorKind::kInvalidInput:
      return "InvalidInput";
    case ErrorKind::kLengthLimit:
      return "LengthLimit";
    case ErrorKind::kUncategorized:
      break;
  }
  return "Uncategorized";
}

void panic(std::string message, std::source_location where) {
  throw Panic(std::move(message), where);
}

void panic_unwrap(const Status& status, std::source_location where) {
  throw Panic("called `Result::unwrap()` on an `Err` value: " + status.debug(), where);
}

}  // namespace corvid

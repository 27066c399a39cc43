#include "binding/panic_text.h"

namespace corvid::py {

namespace {

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
    case ErrorKind::kOutOfRange:
      return "OutOfRange";
    case ErrorKind::kCapacityOverflow:
      return "CapacityOverflow";
    case ErrorKind::kDamaged:
      return "Damaged";
    case ErrorKind::kUncategorized:
      break;
  }
  return "Uncategorized";
}

}  // namespace

std::string panic_text(const Status& error) {
  if (error.kind() == ErrorKind::kOutOfRange || error.kind() == ErrorKind::kCapacityOverflow) {
    return error.message();
  }
  std::string rendered = error.code() == 0
                             ? std::string("Error { kind: ") + kind_name(error.kind()) +
                                   ", message: \"" + error.description() + "\" }"
                             : "Os { code: " + std::to_string(error.code()) +
                                   ", kind: " + kind_name(error.kind()) + ", message: \"" +
                                   error.description() + "\" }";
  return "called `Result::unwrap()` on an `Err` value: " + rendered;
}

}  // namespace corvid::py

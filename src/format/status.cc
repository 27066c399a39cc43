#include "format/status.h"

#include <cerrno>
#include <cstring>

namespace corvid {

namespace {

// The one table from error numbers to kinds; front ends choose by kind.
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

}  // namespace

Status Status::FromErrno(int code) {
  Status s;
  s.rep_.reset(new Rep{kind_of_errno(code), code, std::string()});
  return s;
}

Status Status::Custom(ErrorKind kind, std::string text) {
  Status s;
  s.rep_.reset(new Rep{kind, 0, std::move(text)});
  return s;
}

std::string Status::description() const {
  if (code() == 0) return rep_ ? rep_->text : std::string();
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  return strerror_r(rep_->code, buf, sizeof buf);
}

std::string Status::message() const {
  if (code() == 0) return description();
  return description() + " (os error " + std::to_string(rep_->code) + ")";
}

}  // namespace corvid

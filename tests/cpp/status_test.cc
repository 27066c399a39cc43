#include "format/status.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace corvid {
namespace {

TEST(StatusTest, OkHoldsNothing) {
  Status s;
  EXPECT_TRUE(s.ok());
}

TEST(StatusTest, ErrnoMessageAndKind) {
  Status s = Status::FromErrno(ENOENT);
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(s.code(), ENOENT);
  EXPECT_EQ(s.kind(), ErrorKind::kNotFound);
  EXPECT_EQ(s.message(), "No such file or directory (os error 2)");
  EXPECT_EQ(s.description(), "No such file or directory");
}

TEST(StatusTest, KindsFollowTheErrorNumber) {
  struct Case {
    int code;
    ErrorKind kind;
  } cases[] = {
      {EPERM, ErrorKind::kPermissionDenied},
      {EACCES, ErrorKind::kPermissionDenied},
      {EINTR, ErrorKind::kInterrupted},
      {EAGAIN, ErrorKind::kWouldBlock},
      {EEXIST, ErrorKind::kAlreadyExists},
      {EPIPE, ErrorKind::kBrokenPipe},
      {ECONNABORTED, ErrorKind::kConnectionAborted},
      {ECONNRESET, ErrorKind::kConnectionReset},
      {ETIMEDOUT, ErrorKind::kTimedOut},
      {ECONNREFUSED, ErrorKind::kConnectionRefused},
      {EISDIR, ErrorKind::kUncategorized},
      {ENOSPC, ErrorKind::kUncategorized},
  };
  for (const Case& c : cases) EXPECT_EQ(Status::FromErrno(c.code).kind(), c.kind) << c.code;
}

TEST(StatusTest, OwnConditionsCarryFixedText) {
  Status eof = Status::UnexpectedEof();
  EXPECT_EQ(eof.code(), 0);
  EXPECT_EQ(eof.message(), "failed to fill whole buffer");
  EXPECT_EQ(eof.description(), "failed to fill whole buffer");
  EXPECT_EQ(Status::WriteZero().message(), "failed to write whole buffer");
}

}  // namespace
}  // namespace corvid

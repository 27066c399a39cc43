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
  EXPECT_EQ(s.debug(), "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
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
  EXPECT_EQ(eof.debug(), "Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" }");
  EXPECT_EQ(Status::WriteZero().message(), "failed to write whole buffer");
}

TEST(StatusTest, UnwrapPanicsWithTheRendering) {
  try {
    unwrap(Status::FromErrno(EACCES));
    FAIL() << "no panic";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(),
              "called `Result::unwrap()` on an `Err` value: Os { code: 13, kind: "
              "PermissionDenied, message: \"Permission denied\" }");
    EXPECT_NE(std::string(p.where().file_name()).find("status_test.cc"), std::string::npos);
  }
  EXPECT_NO_THROW(unwrap(Status()));
}

}  // namespace
}  // namespace corvid

#include "binding/panic_text.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "store/panic.h"

namespace corvid::py {
namespace {

TEST(PanicTextTest, FailedStepsReadAsUnwraps) {
  EXPECT_EQ(panic_text(Status::FromErrno(EACCES)),
            "called `Result::unwrap()` on an `Err` value: Os { code: 13, kind: "
            "PermissionDenied, message: \"Permission denied\" }");
  EXPECT_EQ(panic_text(Status::UnexpectedEof()),
            "called `Result::unwrap()` on an `Err` value: Error { kind: UnexpectedEof, message: "
            "\"failed to fill whole buffer\" }");
  EXPECT_EQ(panic_text(Status::FromErrno(EISDIR)),
            "called `Result::unwrap()` on an `Err` value: Os { code: 21, kind: Uncategorized, "
            "message: \"Is a directory\" }");
}

TEST(PanicTextTest, BoundsReadAsThemselves) {
  EXPECT_EQ(panic_text(Status::Custom(ErrorKind::kOutOfRange,
                                      "range end index 48 out of range for slice of length 40")),
            "range end index 48 out of range for slice of length 40");
  EXPECT_EQ(
      panic_text(Status::Custom(ErrorKind::kCapacityOverflow, "Hash table capacity overflow")),
      "Hash table capacity overflow");
}

TEST(PanicTextTest, UnwrapCarriesTheErrorAndItsPlace) {
  try {
    unwrap(Status::FromErrno(EACCES));
    FAIL() << "no panic";
  } catch (const Panic& p) {
    EXPECT_EQ(p.error().code(), EACCES);
    EXPECT_NE(std::string(p.where().file_name()).find("panic_text_test.cc"), std::string::npos);
  }
  EXPECT_NO_THROW(unwrap(Status()));
}

}  // namespace
}  // namespace corvid::py

// Report text of core errors and the internal-failure exception.
#include <gtest/gtest.h>

#include "base/error.h"

namespace quorvel {
namespace {

TEST(ErrorReport, MessageAlone) {
  EXPECT_EQ(Error("missing first line in CSV").report(),
            "missing first line in CSV");
}

TEST(ErrorReport, OneCauseIsIndentedByFourIncludingContinuationLines) {
  Error e("IO error while reading marker: failed to fill whole buffer");
  e.caused_by("failed to fill whole buffer");
  EXPECT_EQ(e.report(),
            "IO error while reading marker: failed to fill whole buffer"
            "\n\nCaused by:\n    failed to fill whole buffer");
  EXPECT_EQ(Error("top", {"line one\nline two"}).report(),
            "top\n\nCaused by:\n    line one\n    line two");
}

TEST(ErrorReport, SeveralCausesAreNumberedAndAlignedBySeven) {
  EXPECT_EQ(Error("top", {"first", "second"}).report(),
            "top\n\nCaused by:\n    0: first\n    1: second");
  EXPECT_EQ(Error("top", {"a\nb", "c"}).report(),
            "top\n\nCaused by:\n    0: a\n       b\n    1: c");
}

TEST(ResultTest, HoldsValueOrError) {
  Result<int> good(7);
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(good.value(), 7);
  Result<int> bad(Error("nope", ErrorKind::kInvalidArgument));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "nope");
  EXPECT_EQ(bad.error().kind(), ErrorKind::kInvalidArgument);
  EXPECT_TRUE(Status::Ok().ok());
  EXPECT_FALSE(Status(Error("x")).ok());
}

TEST(InternalFailureTest, PanicThrowsWithMessageAndLocation) {
  try {
    panic("broken invariant");
    FAIL() << "panic returned";
  } catch (const InternalFailure& failure) {
    EXPECT_EQ(failure.message(), "broken invariant");
    EXPECT_NE(std::string(failure.where().file_name()).find("error_test"),
              std::string::npos);
  }
}

}  // namespace
}  // namespace quorvel

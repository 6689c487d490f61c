// Results and statuses: reading the side that is not there is an internal
// failure, never undefined behaviour or a stray standard exception.
#include <gtest/gtest.h>

#include <string>

#include "base/error.h"

namespace quorvel {
namespace {

TEST(ResultSides, TheHeldSideIsReturned) {
  Result<int> value = 7;
  ASSERT_TRUE(value.ok());
  EXPECT_EQ(value.value(), 7);
  Result<int> failed = Error("no number");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().message(), "no number");
  EXPECT_EQ(std::move(failed).error().message(), "no number");
}

TEST(ResultSides, TheMissingSidePanics) {
  Result<std::string> failed = Error("bad input");
  try {
    (void)failed.value();
    FAIL() << "value() on an error returned";
  } catch (const InternalFailure& failure) {
    EXPECT_EQ(failure.message(),
              "Result::value() called on an error: bad input");
  }
  const Result<std::string> value = std::string("text");
  EXPECT_THROW((void)value.error(), InternalFailure);
  EXPECT_THROW((void)std::move(failed).value(), InternalFailure);
}

TEST(StatusSides, ErrorOnSuccessPanics) {
  const Status ok = Status::Ok();
  EXPECT_THROW((void)ok.error(), InternalFailure);
  EXPECT_THROW((void)Status().error(), InternalFailure);
  const Status failed = Error("broken");
  EXPECT_EQ(failed.error().message(), "broken");
}

}  // namespace
}  // namespace quorvel

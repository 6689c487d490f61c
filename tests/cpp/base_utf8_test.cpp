// UTF-8 validation: where it stops and how the failure is described.
#include <gtest/gtest.h>

#include <string>

#include "base/utf8.h"

namespace quorvel::utf8 {
namespace {

struct Case {
  std::string bytes;
  bool ok;
  std::size_t valid_up_to;
  std::size_t error_len;
};

TEST(Utf8Validate, AcceptsWellFormedAndLocatesTheFirstFault) {
  const Case cases[] = {
      {"", true, 0, 0},
      {"plain ascii longer than one word", true, 32, 0},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", true, 13, 0},
      {"abc\x80", false, 3, 1},             // Stray continuation byte.
      {"\xC0\xAF", false, 0, 1},            // Overlong two-byte form.
      {"\xE0\x80\x80", false, 0, 1},        // Overlong three-byte form.
      {"\xED\xA0\x80", false, 0, 1},        // Surrogate.
      {"\xF4\x90\x80\x80", false, 0, 1},    // Above U+10FFFF.
      {"\xF5\x80\x80\x80", false, 0, 1},    // Not a lead byte.
      {"x\xE2\x82", false, 1, 0},           // Truncated at the end.
      {"x\xE2\x82y", false, 1, 2},          // Truncated before more text.
      {"12345678\xF0\x9F\x98z", false, 8, 3},  // After the word-at-a-time skip.
  };
  for (const Case& c : cases) {
    const Validation v = validate(c.bytes);
    EXPECT_EQ(v.ok, c.ok) << c.bytes;
    EXPECT_EQ(v.valid_up_to, c.valid_up_to) << c.bytes;
    EXPECT_EQ(v.error_len, c.error_len) << c.bytes;
  }
}

TEST(Utf8Validate, Describe) {
  EXPECT_EQ(describe(validate("abc\x80")),
            "invalid utf-8 sequence of 1 bytes from index 3");
  EXPECT_EQ(describe(validate("x\xE2\x82")),
            "incomplete utf-8 byte sequence from index 1");
}

}  // namespace
}  // namespace quorvel::utf8

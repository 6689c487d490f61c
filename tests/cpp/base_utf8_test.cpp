// UTF-8: where validation stops, how a fault is described, and single
// characters encoded and decoded.
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
      {"abc\x80", false, 3, 1},                // Stray continuation byte.
      {"\xC0\xAF", false, 0, 1},               // Overlong two-byte form.
      {"\xE0\x80\x80", false, 0, 1},           // Overlong three-byte form.
      {"\xED\xA0\x80", false, 0, 1},           // Surrogate.
      {"\xF4\x90\x80\x80", false, 0, 1},       // Above U+10FFFF.
      {"\xF5\x80\x80\x80", false, 0, 1},       // Not a lead byte.
      {"x\xE2\x82", false, 1, 0},              // Truncated at the end.
      {"x\xE2\x82y", false, 1, 2},             // Truncated before more text.
      {"12345678\xF0\x9F\x98z", false, 8, 3},  // After the word-at-a-time skip.
  };
  for (const Case& c : cases) {
    const Validation v = validate(c.bytes);
    EXPECT_EQ(v.ok, c.ok) << c.bytes;
    EXPECT_EQ(v.valid_up_to, c.valid_up_to) << c.bytes;
    EXPECT_EQ(v.error_len, c.error_len) << c.bytes;
  }
}

TEST(Utf8Validate, DescribesMaximalInvalidPrefixOrIncompleteEnd) {
  struct Case {
    std::string bytes;
    std::string message;  // Empty: valid.
  };
  const Case cases[] = {
      {"", ""},
      {"plain ascii text that is long", ""},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x8c\x8d", ""},
      {"ab\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xf5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xe0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"x\xe2\x82y", "invalid utf-8 sequence of 2 bytes from index 1"},
      {"\xf0\x9f\x8cy", "invalid utf-8 sequence of 3 bytes from index 0"},
      {"\xc3", "incomplete utf-8 byte sequence from index 0"},
      {"abc\xe2\x82", "incomplete utf-8 byte sequence from index 3"},
      {"\xf0\x9f\x8c", "incomplete utf-8 byte sequence from index 0"},
      {"\xe0", "incomplete utf-8 byte sequence from index 0"},
      {"0123456789\xff", "invalid utf-8 sequence of 1 bytes from index 10"},
  };
  for (const Case& c : cases) {
    const Validation v = validate(c.bytes);
    EXPECT_EQ(v.ok ? "" : describe(v), c.message) << c.message;
  }
}

TEST(Utf8Char, EncodeDecodeRoundTrip) {
  for (char32_t c : {U'\0', U',', U'\x7f', U'\x80', U'\u00e9', U'\u07ff',
                     U'\u0800', U'\uffff', U'\U00010000', U'\U0010ffff'}) {
    std::string s;
    append_char(c, s);
    EXPECT_TRUE(is_valid(s));
    EXPECT_EQ(char_width(static_cast<std::uint8_t>(s[0])), s.size());
    EXPECT_EQ(decode_char(s), c);
  }
}

}  // namespace
}  // namespace quorvel::utf8

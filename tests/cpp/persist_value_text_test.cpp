// How decode messages render floats, texts and UTF-8 faults.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "persist/utf8.h"
#include "persist/value_text.h"

namespace quorvel::persist {
namespace {

TEST(FloatText, ShortestDigitsInPlainDecimal) {
  EXPECT_EQ(float_text(2.0), "2.0");
  EXPECT_EQ(float_text(1.5), "1.5");
  EXPECT_EQ(float_text(-0.0), "-0.0");
  EXPECT_EQ(float_text(0.1), "0.1");
  EXPECT_EQ(float_text(123.456), "123.456");
  EXPECT_EQ(float_text(1e21), "1000000000000000000000.0");
  EXPECT_EQ(float_text(1.5e-7), "0.00000015");
  EXPECT_EQ(float_text(-2.5e-3), "-0.0025");
  EXPECT_EQ(float_text(static_cast<double>(0.1f)), "0.10000000149011612");
  EXPECT_EQ(float_text(5e-324),
            "0." + std::string(323, '0') + "5");
  EXPECT_EQ(float_text(std::numeric_limits<double>::max()),
            "17976931348623157" + std::string(292, '0') + ".0");
}

TEST(FloatText, NonFinite) {
  EXPECT_EQ(float_text(std::nan("")), "NaN");
  EXPECT_EQ(float_text(-std::nan("")), "NaN");
  EXPECT_EQ(float_text(HUGE_VAL), "inf");
  EXPECT_EQ(float_text(-HUGE_VAL), "-inf");
}

TEST(QuotedText, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(quoted_text("ab"), "\"ab\"");
  EXPECT_EQ(quoted_text("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quoted_text("\n\r\t"), "\"\\n\\r\\t\"");
  EXPECT_EQ(quoted_text(std::string("\0", 1)), "\"\\0\"");
  EXPECT_EQ(quoted_text("\x01\x1b\x7f"), "\"\\u{1}\\u{1b}\\u{7f}\"");
  EXPECT_EQ(quoted_text("\xc2\x85"), "\"\\u{85}\"");  // C1 control NEL.
  EXPECT_EQ(quoted_text("caf\xc3\xa9 '"), "\"caf\xc3\xa9 '\"");
  EXPECT_EQ(quoted_text("\xf0\x9f\x8c\x8d"), "\"\xf0\x9f\x8c\x8d\"");
}

TEST(Utf8Check, ReportsMaximalInvalidPrefixOrIncompleteEnd) {
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
    auto bad = check_utf8(c.bytes);
    EXPECT_EQ(bad ? bad->message() : "", c.message) << c.message;
  }
}

TEST(Utf8, EncodeDecodeRoundTrip) {
  for (char32_t c : {U'\0', U',', U'\x7f', U'\x80', U'\u00e9', U'\u07ff',
                     U'\u0800', U'\uffff', U'\U00010000', U'\U0010ffff'}) {
    std::string s;
    append_utf8(c, s);
    EXPECT_FALSE(check_utf8(s).has_value());
    EXPECT_EQ(utf8_char_width(static_cast<std::uint8_t>(s[0])), s.size());
    EXPECT_EQ(decode_utf8_char(s), c);
  }
}

}  // namespace
}  // namespace quorvel::persist

// How decode messages render floats and texts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

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
  EXPECT_EQ(float_text(5e-324), "0." + std::string(323, '0') + "5");
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

}  // namespace
}  // namespace quorvel::persist

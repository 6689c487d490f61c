// The one line-ending rule and the ASCII separator type.

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "csv/lines.h"

namespace quorvel::csv {
namespace {

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> out;
  LineSplitter split(text);
  Line line;
  while (split.next(line)) {
    out.emplace_back(text.substr(line.start, line.len));
  }
  return out;
}

using Lines = std::vector<std::string>;

TEST(LineSplitter, OneCarriageReturnBeforeALineFeedEndsTheLine) {
  EXPECT_EQ(lines_of("a\nb\r\nc"), (Lines{"a", "b", "c"}));
  EXPECT_EQ(lines_of("a\r\r\nb\n"), (Lines{"a\r", "b"}));
  // Without a line feed a carriage return is part of the line.
  EXPECT_EQ(lines_of("a\rb\r"), (Lines{"a\rb\r"}));
  EXPECT_EQ(lines_of("\r\n\n"), (Lines{"", ""}));
  EXPECT_EQ(lines_of(""), Lines{});
}

TEST(LineSplitter, CountAndFirstLineAgreeWithTheSplit) {
  for (const std::string_view text :
       {"", "\n", "a", "a\n", "a\r\nb", "a\n\nb\n", "\r\n\r\n",
        "0123456789abcdef\n0123456789\n0123456789abcdefghij"}) {
    const Lines lines = lines_of(text);
    EXPECT_EQ(count_lines(text), lines.size()) << text;
    EXPECT_EQ(first_line(text), lines.empty() ? "" : lines[0]) << text;
  }
}

TEST(LineSplitter, StartsWhereAsked) {
  LineSplitter split("abc\r\ndef\n", 5);
  Line line;
  ASSERT_TRUE(split.next(line));
  EXPECT_EQ(line.start, 5u);
  EXPECT_EQ(line.len, 3u);
  EXPECT_FALSE(split.next(line));
}

TEST(AsciiSeparator, OnlyAsciiIsASeparator) {
  for (const char32_t c : {U'\0', U',', U';', U'\t', U'\x7F'}) {
    ASSERT_TRUE(AsciiSeparator::from(c).has_value()) << unsigned(c);
    EXPECT_EQ(AsciiSeparator::from(c)->byte(), static_cast<std::uint8_t>(c));
  }
  for (const char32_t c : {U'\x80', U'é', U'\U0001F600'}) {
    EXPECT_FALSE(AsciiSeparator::from(c).has_value()) << unsigned(c);
  }
}

}  // namespace
}  // namespace quorvel::csv

// Inputs the fuzzers found that once broke the CSV line codec.

#include <gtest/gtest.h>

#include <string>

#include "csv/csv.h"

namespace quorvel::csv {
namespace {

// The two halves of a two-byte character, each in a field of its own: the
// fields' bytes joined are valid UTF-8, but neither field is, and each must
// be refused rather than handed on as text.
TEST(CsvRegression, CharacterSplitAcrossFieldsIsRefused) {
  for (const std::string& line :
       {std::string("\xc3,\x82"), std::string("a,\xe2\x82,\xac"),
        std::string("\"\xc3\",\x82")}) {
    Result<Record> got = parse_csv_line(line, ',');
    ASSERT_FALSE(got.ok()) << "line of " << line.size() << " bytes";
    EXPECT_NE(got.error().message().find("invalid utf-8"), std::string::npos)
        << got.error().message();
  }
  Result<Record> whole = parse_csv_line("\xc3\x82,\xc3\x82", ',');
  ASSERT_TRUE(whole.ok());
  EXPECT_EQ(whole.value().size(), 2u);
}

}  // namespace
}  // namespace quorvel::csv

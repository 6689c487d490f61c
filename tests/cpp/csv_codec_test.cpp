// The CSV line codec: the reader's dialect, dropping the coordinates, the
// writer's quoting and field-count check, and reading back what it wrote.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "csv/csv.h"

namespace quorvel::csv {
namespace {

using Fields = std::vector<std::string>;

Fields fields_of(const Record& record) {
  Fields out;
  for (std::size_t i = 0; i < record.size(); ++i) {
    out.emplace_back(record.field(i));
  }
  return out;
}

Record record_of(const Fields& fields) {
  Record record;
  for (const std::string& f : fields) record.push_field(f);
  return record;
}

Fields parse(std::string_view line, char sep = ',') {
  Result<Record> r = parse_csv_line(line, static_cast<std::uint8_t>(sep));
  EXPECT_TRUE(r.ok()) << r.error().message();
  return r.ok() ? fields_of(r.value()) : Fields{};
}

std::string write(const std::vector<Fields>& records, char sep = ',') {
  RecordWriter writer(static_cast<std::uint8_t>(sep), 0);
  for (const Fields& f : records) {
    Status s = writer.write_record(record_of(f));
    EXPECT_TRUE(s.ok()) << s.error().message();
  }
  return writer.finish().value();
}

struct ReadCase {
  std::string line;
  char sep;
  Fields expected;
};

TEST(CsvReader, Dialect) {
  const ReadCase cases[] = {
      {"a,b,c", ',', {"a", "b", "c"}},
      {"a;b", ';', {"a", "b"}},
      {"a;b", ',', {"a;b"}},
      {",,", ',', {"", "", ""}},
      {"a,", ',', {"a", ""}},
      {"\"\"", ',', {""}},
      {"   ", ',', {"   "}},
      {"1,2,\"x, y\"", ',', {"1", "2", "x, y"}},
      {"1,\"say \"\"hi\"\"\"", ',', {"1", "say \"hi\""}},
      {"a\"b", ',', {"a\"b"}},
      {"\"ab\"cd", ',', {"abcd"}},
      {"\"ab\"cd\"e", ',', {"abcd\"e"}},
      {"a,b\rc,d", ',', {"a", "b"}},
      {"10,20,x\r", ',', {"10", "20", "x"}},
      {"\ra,b", ',', {"a", "b"}},
      {"\r\n\ra", ',', {"a"}},
      {"a,\"b\rc\"", ',', {"a", "b\rc"}},
      {"a,\"bc", ',', {"a", "bc"}},
      {"a,\"\"", ',', {"a", ""}},
      {"\"a\",b", ',', {"a", "b"}},
      {"a,\r", ',', {"a", ""}},
      {"a\tb", '\t', {"a", "b"}},
      {"caf\xC3\xA9,\xE2\x82\xAC", ',', {"caf\xC3\xA9", "\xE2\x82\xAC"}},
      // A delimiter that is also the quote or a terminator byte: the quote
      // test comes first at the start of a field, the delimiter test before
      // the terminator test.
      {"a\"b", '"', {"a", "b"}},
      {"a\rb", '\r', {"a", "b"}},
      {"\ra\rb", '\r', {"a", "b"}},
  };
  for (const ReadCase& c : cases) {
    EXPECT_EQ(parse(c.line, c.sep), c.expected) << "line: " << c.line;
  }
}

TEST(CsvReader, NoRecordInLine) {
  for (std::string_view line : {"", "\r", "\r\r", "\n", "\r\n"}) {
    Result<Record> r = parse_csv_line(line, ',');
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "Internal error - failed to parse CSV line");
  }
}

TEST(CsvReader, FieldsMustBeUtf8) {
  // A separator above 0x7F cuts the two-byte character "é" (C3 A9).
  Result<Record> r = parse_csv_line("ab\xC3\xA9x,y", 0xC3);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            "CSV parse error: record 0 (line 1, field: 1, byte: 0): invalid "
            "utf-8: invalid UTF-8 in field 1 near byte index 0");
  r = parse_csv_line("x,ab\xE2\x82", ',');
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            "CSV parse error: record 0 (line 1, field: 1, byte: 0): invalid "
            "utf-8: invalid UTF-8 in field 1 near byte index 2");
}

TEST(CsvReader, ReusedRecordHoldsOnlyTheLatestLine) {
  Record record;
  ASSERT_TRUE(parse_csv_line_into("aaaa,bbbb,cccc", ',', record).ok());
  ASSERT_TRUE(parse_csv_line_into("x", ',', record).ok());
  EXPECT_EQ(fields_of(record), Fields{"x"});
}

TEST(CsvDropCoordinates, KeepsFieldsFromTheThirdOn) {
  const Record full = record_of({"a", "b", "c", "d"});
  EXPECT_EQ(fields_of(drop_record_coordinates(full)), (Fields{"c", "d"}));
  EXPECT_EQ(fields_of(full), (Fields{"a", "b", "c", "d"}));
  EXPECT_TRUE(drop_record_coordinates(record_of({"a", "b"})).empty());
  EXPECT_TRUE(drop_record_coordinates(record_of({"a"})).empty());
  EXPECT_EQ(fields_of(drop_record_coordinates(record_of({"", "", "", "x"}))),
            (Fields{"", "x"}));
}

TEST(CsvWriter, QuotesOnlyWhereNeeded) {
  EXPECT_EQ(write({{"x", "y"}}), "x,y\n");
  EXPECT_EQ(write({{"x, y"}}), "\"x, y\"\n");
  EXPECT_EQ(write({{"say \"hi\""}}), "\"say \"\"hi\"\"\"\n");
  EXPECT_EQ(write({{"a\rb"}}), "\"a\rb\"\n");
  EXPECT_EQ(write({{"a\nb"}}), "\"a\nb\"\n");
  EXPECT_EQ(write({{"  x"}}), "  x\n");
  EXPECT_EQ(write({{"#x"}}), "#x\n");
  EXPECT_EQ(write({{"a\\b"}}), "a\\b\n");
  EXPECT_EQ(write({{"a,b", "c"}}), "\"a,b\",c\n");
  EXPECT_EQ(write({{"a;b", "c,d"}}, ';'), "\"a;b\";c,d\n");
  // The byte that forces quotes at every position of a long field, so that
  // each lane of the eight-at-a-time test is exercised.
  for (std::size_t pos = 0; pos < 19; ++pos) {
    std::string field(19, 'z');
    field[pos] = ',';
    EXPECT_EQ(write({{field}}), "\"" + field + "\"\n") << pos;
  }
  EXPECT_EQ(write({{std::string(19, 'z')}}), std::string(19, 'z') + "\n");
}

TEST(CsvWriter, EmptyRecordsKeepALine) {
  EXPECT_EQ(write({{}}), "\"\"\n");
  EXPECT_EQ(write({{""}}), "\"\"\n");
  EXPECT_EQ(write({{"", ""}}), ",\n");
  EXPECT_EQ(write({{}, {}, {}}), "\"\"\n\"\"\n\"\"\n");
}

TEST(CsvWriter, FieldCountMustMatchTheFirstRecord) {
  RecordWriter writer(',', 0);
  ASSERT_TRUE(writer.write_record(record_of({"a", "b", "c"})).ok());
  Status s = writer.write_record(record_of({"d", "e"}));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(),
            "CSV error: found record with 2 fields, but the previous record "
            "has 3 fields");

  RecordWriter empty_first(',', 0);
  ASSERT_TRUE(empty_first.write_record(Record()).ok());
  EXPECT_FALSE(empty_first.write_record(record_of({"x"})).ok());
}

TEST(CsvWriter, OutputDoesNotDependOnCapacity) {
  for (std::size_t capacity : {0, 1, 7, 4096}) {
    RecordWriter writer(',', capacity);
    ASSERT_TRUE(writer.write_record(record_of({"a,b", "c"})).ok());
    ASSERT_TRUE(writer.write_record(record_of({"d", "e\"f"})).ok());
    EXPECT_EQ(writer.finish().value(), "\"a,b\",c\nd,\"e\"\"f\"\n");
  }
}

// Whatever the writer produces reads back into the same fields.
TEST(CsvRoundTrip, RandomRecordsReadBackUnchanged) {
  std::mt19937 rng(301);
  const std::vector<std::string> alphabet = {
      "a", "b", " ", ",", ";", "\"", "\r", "\n", "\t", "\xC3\xA9"};
  for (int round = 0; round < 2000; ++round) {
    const char sep = round % 2 ? ',' : ';';
    const std::size_t count = 1 + rng() % 5;
    Fields fields;
    for (std::size_t i = 0; i < count; ++i) {
      std::string f;
      const std::size_t len = rng() % 8;
      for (std::size_t k = 0; k < len; ++k) {
        f += alphabet[rng() % alphabet.size()];
      }
      fields.push_back(f);
    }
    std::string line = write({fields}, sep);
    ASSERT_EQ(line.back(), '\n');
    line.pop_back();
    ASSERT_EQ(parse(line, sep), fields) << "written: " << line;
  }
}

TEST(CsvRoundTrip, RecordWithoutFieldsReadsBackAsOneEmptyField) {
  std::string line = write({{}});
  line.pop_back();
  EXPECT_EQ(parse(line), Fields{""});
}

TEST(CsvReader, ReportsTheFirstByteTheRecordLeavesOut) {
  const std::size_t kNone = std::string_view::npos;
  const struct {
    std::string_view line;
    std::size_t dropped_at;
  } cases[] = {
      {"1,2,a", kNone},     {"1,2,a\r", kNone},      {"1,2,a\r\r\r", kNone},
      {"\r\r1,2,a", kNone}, {"1,\"a\rb\",c", kNone}, {"1,2,a\rjunk", 6},
      {"1,2,a\r\rx", 7},    {"1,\"a\"\rb", 6},       {"1,2,\r\"", 5},
  };
  for (const auto& c : cases) {
    Record record;
    std::size_t dropped_at = 0;
    ASSERT_TRUE(parse_csv_line_into(c.line, ',', record, &dropped_at).ok());
    EXPECT_EQ(dropped_at, c.dropped_at) << c.line;
  }
  // A carriage return that is the separator ends no record.
  Record record;
  std::size_t dropped_at = 0;
  ASSERT_TRUE(parse_csv_line_into("1\r2\rx", '\r', record, &dropped_at).ok());
  EXPECT_EQ(dropped_at, kNone);
  EXPECT_EQ(record.size(), 3u);
}

}  // namespace
}  // namespace quorvel::csv

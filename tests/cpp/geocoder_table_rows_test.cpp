// The command line's table path: rows cut from chunks of CSV bytes, their
// positions read, and each row written back with its nearest record's fields.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "geocoder/geocoder.h"
#include "geocoder/table_rows.h"
#include "geocoder/value_index.h"
#include "regions_test_support.h"

namespace quorvel {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

std::vector<std::string> row_texts(std::string_view chunk,
                                   const TableRows& rows) {
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    texts.emplace_back(
        chunk.substr(rows.begins[i], rows.ends[i] - rows.begins[i]));
  }
  return texts;
}

TEST(TableRowsTest, QuotedFieldsHoldSeparatorsAndLineBreaks) {
  const std::string chunk =
      "1,\"a,b\",2\r\n\r\n\"x\ny\",3,\"4\"\n5,\"say \"\"hi\"\"\",6";
  TableRows rows;
  split_table_rows(chunk, ',', 0, 2, true, rows);
  EXPECT_EQ(row_texts(chunk, rows),
            (std::vector<std::string>{"1,\"a,b\",2", "\"x\ny\",3,\"4\"",
                                      "5,\"say \"\"hi\"\"\",6"}));
  // Line offsets count the empty line and the quoted line break.
  EXPECT_EQ(rows.line_offsets, (std::vector<std::size_t>{0, 2, 4}));
  EXPECT_EQ(rows.line_breaks, 4u);
  EXPECT_EQ(rows.consumed, chunk.size());
  EXPECT_EQ(rows.states[0], PositionState::kValid);
  EXPECT_EQ(rows.lats[0], 1.0);
  EXPECT_EQ(rows.lons[0], 2.0);
  EXPECT_EQ(rows.states[1], PositionState::kUnparseable);
  EXPECT_EQ(position_fault(rows, 1), "latitude \"x\ny\" is not a number");
  EXPECT_EQ(rows.states[2], PositionState::kValid);
}

TEST(TableRowsTest, PositionStates) {
  const std::string chunk =
      "lat;lon\n 10 ;\t20\nNaN;1\n;1\n1\n91;0\n0;-180.5\nabc;1\n0;1e400\n";
  TableRows rows;
  split_table_rows(chunk, ';', 0, 1, false, rows);
  ASSERT_EQ(rows.size(), 9u);
  const std::vector<PositionState> expected = {
      PositionState::kUnparseable, PositionState::kValid,
      PositionState::kMissing,     PositionState::kMissing,
      PositionState::kMissing,     PositionState::kOutOfRange,
      PositionState::kOutOfRange,  PositionState::kUnparseable,
      PositionState::kOutOfRange};
  EXPECT_EQ(rows.states, expected);
  EXPECT_EQ(rows.lats[1], 10.0);
  EXPECT_EQ(rows.lons[1], 20.0);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows.states[i] != PositionState::kValid) {
      EXPECT_TRUE(std::isnan(rows.lats[i]) && std::isnan(rows.lons[i])) << i;
    }
  }
  EXPECT_EQ(position_fault(rows, 4), "longitude is missing");
  EXPECT_EQ(position_fault(rows, 6), "longitude -180.5 is out of range");
}

TEST(TableRowsTest, IncompleteRowsWaitForMoreBytes) {
  TableRows rows;
  split_table_rows("1,2\n3,4", ',', 0, 1, false, rows);
  EXPECT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows.consumed, 4u);
  // A CR at the end may be the first half of CR LF.
  split_table_rows("1,2\r", ',', 0, 1, false, rows);
  EXPECT_EQ(rows.size(), 0u);
  EXPECT_EQ(rows.consumed, 0u);
  split_table_rows("1,\"2\n", ',', 0, 1, false, rows);
  EXPECT_EQ(rows.size(), 0u);
  split_table_rows("1,2\r", ',', 0, 1, true, rows);
  EXPECT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows.consumed, 4u);
  EXPECT_EQ(rows.line_breaks, 1u);
}

// Feeding a text in chunks of any size, carrying the unconsumed rest, finds
// the same rows as one call over the whole text.
TEST(TableRowsTest, ChunkEdgesChangeNothing) {
  std::mt19937 rng(22);
  const std::string pieces[] = {"1",  "-2.5", ",",  "\"", "\"\"",
                                "\n", "\r\n", "\r", "x",  " "};
  for (int round = 0; round < 200; ++round) {
    std::string text;
    for (int i = 0; i < 60; ++i) text += pieces[rng() % std::size(pieces)];
    TableRows whole;
    split_table_rows(text, ',', 0, 1, true, whole);
    const std::vector<std::string> expected = row_texts(text, whole);
    for (std::size_t step : {1, 2, 5, 13}) {
      std::vector<std::string> found;
      std::vector<std::size_t> lines;
      std::size_t line_base = 0;
      std::string buffer;
      std::size_t fed = 0;
      TableRows rows;
      for (;;) {
        const std::size_t take = std::min(step, text.size() - fed);
        buffer += text.substr(fed, take);
        fed += take;
        const bool final = fed == text.size();
        split_table_rows(buffer, ',', 0, 1, final, rows);
        for (const std::string& row : row_texts(buffer, rows))
          found.push_back(row);
        for (std::size_t offset : rows.line_offsets)
          lines.push_back(line_base + offset);
        line_base += rows.line_breaks;
        buffer.erase(0, rows.consumed);
        if (final) break;
      }
      EXPECT_EQ(found, expected) << "step " << step << " text " << text;
      EXPECT_EQ(lines, whole.line_offsets) << "step " << step;
      EXPECT_TRUE(buffer.empty());
    }
  }
}

TEST(PlaceAppenderTest, AppendsChosenFieldsDistanceAndBlanks) {
  Result<ReverseGeocoder> geocoder = ReverseGeocoder::build(
      "lat,lon,name,note\n48.85,2.35,Paris,\"a;b\"\n-33.87,151.21,Sydney,"
      "\"say \"\"hi\"\"\"\n",
      U',', false);
  ASSERT_TRUE(geocoder.ok()) << geocoder.error().message();
  AppendOptions options;
  options.sep = ';';
  options.fields = {3, 2};
  options.distance = true;
  options.max_distance_km = 100;
  Result<PlaceAppender> appender =
      PlaceAppender::create(geocoder.value(), options);
  ASSERT_TRUE(appender.ok());
  const std::string chunk = "x;48.85;2.35\ny;-33.8;151.2\nz;bad;1\nw;0;0\n";
  TableRows rows;
  split_table_rows(chunk, ';', 1, 2, true, rows);
  std::string out;
  ASSERT_TRUE(appender.value().append(chunk, rows, 2, out).ok());
  EXPECT_EQ(out,
            "x;48.85;2.35;\"a;b\";Paris;0.000\n"
            "y;-33.8;151.2;\"say \"\"hi\"\"\";Sydney;7.838\n"
            "z;bad;1;;;\n"
            "w;0;0;;;\n");

  options.fields = {4};
  EXPECT_FALSE(PlaceAppender::create(geocoder.value(), options).ok());
  options.fields = {};
  options.max_distance_km = std::nan("");
  EXPECT_FALSE(PlaceAppender::create(geocoder.value(), options).ok());
}

// Squares of 10 degrees side by side along the equator's north.
regions::test_support::Region square(double west) {
  return {
      {{{west, 0}, {west + 10, 0}, {west + 10, 10}, {west, 10}, {west, 0}}}};
}

TEST(PlaceAppenderTest, BordersPickThePlaceInTheRowsRegion) {
  regions::test_support::FlatRegions flat(
      {square(0), square(10), square(20), square(30)});
  flat.fields[3] = "";  // A region without a code restricts nothing.
  Result<regions::Regions> regions = regions::Regions::build(flat.input());
  ASSERT_TRUE(regions.ok());
  Result<ReverseGeocoder> geocoder = ReverseGeocoder::build(
      "lat,lon,name,zone\n5,10.2,Across,r1\n5,1,Home,r0\n5,35,East,r1\n", U',',
      false);
  ASSERT_TRUE(geocoder.ok()) << geocoder.error().message();
  Result<ValueIndex> values = ValueIndex::build(geocoder.value(), 3);
  ASSERT_TRUE(values.ok());

  AppendOptions options;
  options.fields = {2};
  options.distance = true;
  options.borders.regions = &regions.value();
  options.borders.values = &values.value();
  options.borders.region_match = 0;
  options.borders.region_fields = {0, 0};
  options.borders.max_distance_km = 25;
  Result<PlaceAppender> appender =
      PlaceAppender::create(geocoder.value(), options);
  ASSERT_TRUE(appender.ok());
  const std::string chunk =
      "9.8,5\n"   // In r0; the nearest place lies across the border in r1.
      "25,5\n"    // In r2, where no place is: region fields only.
      "35,5\n"    // In the region without a code: the plain nearest.
      "40.1,5\n"  // Just outside it, within 25 km: the same.
      "50,50\n"   // Far from every region: the plain nearest.
      "x,5\n";    // No position: nothing at all.
  TableRows rows;
  split_table_rows(chunk, ',', 1, 0, true, rows);
  std::string out;
  ASSERT_TRUE(appender.value().append(chunk, rows, 2, out).ok());
  const std::vector<std::string> expected = {
      "9.8,5,r0,r0,Home,974.786", "25,5,r2,r2,,",          "35,5,,,East,0.000",
      "40.1,5,,,East,564.936",    "50,50,,,East,5197.454", "x,5,,,,"};
  std::string joined;
  for (const std::string& line : expected) joined += line + "\n";
  EXPECT_EQ(out, joined);

  options.borders.region_fields = {1};
  EXPECT_FALSE(PlaceAppender::create(geocoder.value(), options).ok());
  options.borders.region_fields = {};
  options.borders.max_distance_km = -1;
  EXPECT_FALSE(PlaceAppender::create(geocoder.value(), options).ok());
}

}  // namespace
}  // namespace quorvel

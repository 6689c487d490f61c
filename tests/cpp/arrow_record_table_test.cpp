// Result tables from record numbers, read back as a consumer reads them and
// compared with the records themselves.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "arrow/owned.h"
#include "arrow/record_table.h"
#include "arrow_test_support.h"
#include "geocoder/batch_search.h"
#include "geocoder_parts.h"
#include "regions_test_support.h"

namespace quorvel::arrow {
namespace {

using testing::built;
using testing::float_column;
using testing::string_column;
using Strings = std::vector<std::optional<std::string>>;

// Exports a table and keeps both halves for reading.
struct Exported {
  OwnedSchema schema;
  OwnedArray batch;

  explicit Exported(const Table& table) {
    export_schema(table, schema.out());
    export_batch(table, 0, batch.out());
  }
  Strings strings(std::size_t k) const {
    return string_column(*schema->children[k], *batch->children[k]);
  }
  const ArrowArray& column(std::size_t k) const { return *batch->children[k]; }
};

std::shared_ptr<const Table> build_ok(const ReverseGeocoder& g,
                                      std::vector<std::uint32_t> items,
                                      RecordColumns columns) {
  Result<std::shared_ptr<const Table>> table =
      build_record_table(g, items, std::move(columns));
  EXPECT_TRUE(table.ok()) << table.error().message();
  return table.ok() ? std::move(table).value() : nullptr;
}

const char* kPlaces =
    "lat,lon,name,cc\n"
    "1,1,Paris,FR\n"
    "2,2,Lyon,FR\n"
    "3,3,Paris,US\n"
    "4,4,\"Quoted, name\",\n";

TEST(ArrowRecordTableTest, DictionaryHoldsEachDistinctValueOnce) {
  ReverseGeocoder g = built(kPlaces);
  std::shared_ptr<const Table> table =
      build_ok(g, {2, 0, kNoRecord, 2, 3, 0}, {{2, 3, 0}, std::nullopt});
  ASSERT_NE(table, nullptr);
  Exported out(*table);
  EXPECT_STREQ(out.schema->children[0]->name, "name");
  EXPECT_STREQ(out.schema->children[1]->name, "cc");
  EXPECT_EQ(out.strings(0), (Strings{"Paris", "Paris", std::nullopt, "Paris",
                                     "Quoted, name", "Paris"}));
  EXPECT_EQ(out.strings(1),
            (Strings{"US", "FR", std::nullopt, "US", "", "FR"}));
  EXPECT_EQ(out.strings(2), (Strings{"3", "1", std::nullopt, "3", "4", "1"}));

  // Records 2 and 0 both hold "Paris": one entry, as a categorical needs.
  const ArrowArray& names = out.column(0);
  EXPECT_EQ(names.dictionary->length, 2);
  const auto* offsets =
      static_cast<const std::int32_t*>(names.dictionary->buffers[1]);
  EXPECT_EQ(std::string(static_cast<const char*>(names.dictionary->buffers[2]),
                        offsets[2]),
            "ParisQuoted, name");
  const auto* indices = static_cast<const std::int32_t*>(names.buffers[1]);
  EXPECT_EQ(indices[4], 1);
  EXPECT_EQ(names.null_count, 1);
  EXPECT_EQ(static_cast<const std::uint8_t*>(names.buffers[0])[0], 0b111011);

  // "cc" and "lat" differ in every record named, so both index the records
  // in order of first occurrence, through one shared buffer.
  const auto* shared =
      static_cast<const std::int32_t*>(out.column(1).buffers[1]);
  EXPECT_EQ(out.column(2).buffers[1], shared);
  EXPECT_NE(names.buffers[1], shared);
  EXPECT_EQ(shared[0], 0);
  EXPECT_EQ(shared[1], 1);
  EXPECT_EQ(shared[4], 2);
  // Every column shares the one bitmap.
  EXPECT_EQ(out.column(1).buffers[0], names.buffers[0]);
  EXPECT_EQ(out.column(2).buffers[0], names.buffers[0]);
}

TEST(ArrowRecordTableTest, DistanceColumnIsNullWhereTheRowIs) {
  ReverseGeocoder g = built(kPlaces);
  std::vector<double> km = {12.5, std::nan(""), 0.0};
  const double* adopted = km.data();
  std::shared_ptr<const Table> table =
      build_ok(g, {1, kNoRecord, 0}, {{2}, std::move(km)});
  ASSERT_NE(table, nullptr);
  Exported out(*table);
  ASSERT_EQ(out.batch->n_children, 2);
  EXPECT_STREQ(out.schema->children[1]->name, "distance_km");
  EXPECT_STREQ(out.schema->children[1]->format, "g");
  EXPECT_EQ(float_column(out.column(1)),
            (std::vector<std::optional<double>>{12.5, std::nullopt, 0.0}));
  // Taken over, not copied.
  EXPECT_EQ(out.column(1).buffers[1], adopted);
}

TEST(ArrowRecordTableTest, NoNullsMeansNoBitmap) {
  ReverseGeocoder g = built(kPlaces);
  std::shared_ptr<const Table> table = build_ok(g, {0, 1}, {{2}, {}});
  ASSERT_NE(table, nullptr);
  Exported out(*table);
  EXPECT_EQ(out.column(0).null_count, 0);
  EXPECT_EQ(out.column(0).buffers[0], nullptr);
}

TEST(ArrowRecordTableTest, EmptyAndAllNullTables) {
  ReverseGeocoder g = built(kPlaces);
  for (const std::vector<std::uint32_t>& items :
       {std::vector<std::uint32_t>{},
        std::vector<std::uint32_t>{kNoRecord, kNoRecord}}) {
    std::shared_ptr<const Table> table =
        build_ok(g, items, {{2, 3}, std::vector<double>(items.size(), 0.0)});
    ASSERT_NE(table, nullptr);
    Exported out(*table);
    EXPECT_EQ(out.batch->length, static_cast<std::int64_t>(items.size()));
    EXPECT_EQ(out.column(0).dictionary->length, 0);
    EXPECT_NE(out.column(0).dictionary->buffers[1], nullptr);
    EXPECT_NE(out.column(0).dictionary->buffers[2], nullptr);
    EXPECT_EQ(out.strings(0), Strings(items.size(), std::nullopt));
  }
}

TEST(ArrowRecordTableTest, ShortRecordIsNullOnlyInTheFieldItLacks) {
  // The second record loses its "cc" field, as a loaded file may have it.
  test_support::GeocoderParts parts =
      test_support::parts_of(built("lat,lon,name,cc\n1,1,A,X\n2,2,B,Y\n"));
  parts.indexed_data[1].len -= 2;
  Result<ReverseGeocoder> loaded = test_support::from_parts(std::move(parts));
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  const ReverseGeocoder& g = loaded.value();
  std::shared_ptr<const Table> table =
      build_ok(g, {0, 1, kNoRecord, 1}, {{2, 3}, std::vector<double>(4, 1.0)});
  ASSERT_NE(table, nullptr);
  Exported out(*table);
  EXPECT_EQ(out.strings(0), (Strings{"A", "B", std::nullopt, "B"}));
  EXPECT_EQ(out.strings(1),
            (Strings{"X", std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(out.column(1).null_count, 3);
  EXPECT_EQ(out.column(0).null_count, 1);
  EXPECT_EQ(out.column(2).null_count, 1);
  EXPECT_NE(out.column(1).buffers[0], out.column(0).buffers[0]);
}

TEST(ArrowRecordTableTest, FieldChosenTwiceAndCoordinateFields) {
  ReverseGeocoder g = built(kPlaces);
  std::shared_ptr<const Table> table = build_ok(g, {3, 1}, {{0, 2, 0}, {}});
  ASSERT_NE(table, nullptr);
  Exported out(*table);
  EXPECT_EQ(out.strings(0), (Strings{"4", "2"}));
  EXPECT_EQ(out.strings(2), (Strings{"4", "2"}));
  EXPECT_EQ(out.strings(1), (Strings{"Quoted, name", "Lyon"}));
}

TEST(ArrowRecordTableTest, RefusesWhatItCannotShow) {
  ReverseGeocoder g = built(kPlaces);
  struct Case {
    const char* what;
    std::vector<std::uint32_t> items;
    RecordColumns columns;
  };
  const std::vector<Case> cases = {
      {"field beyond the columns", {0}, {{4}, {}}},
      {"record beyond the records", {0, 4}, {{2}, {}}},
      {"distances of another length", {0, 1}, {{2}, std::vector<double>(1)}},
  };
  for (const Case& c : cases) {
    Result<std::shared_ptr<const Table>> table =
        build_record_table(g, c.items, c.columns);
    ASSERT_FALSE(table.ok()) << c.what;
    EXPECT_EQ(table.error().kind(), ErrorKind::kInvalidArgument) << c.what;
  }
}

// Regions read their fields where the index keeps them; the table is the
// geocoder's otherwise, with a shared value entered once.
TEST(ArrowRecordTableTest, RegionRecords) {
  using regions::test_support::box;
  regions::test_support::FlatRegions flat(
      {{{box(0, 0, 1, 1)}}, {{box(2, 2, 3, 3)}}, {{box(4, 4, 5, 5)}}});
  flat.columns = {"name", "cc"};
  flat.fields = {"One", "AA", "Two", "BB", "Three", "AA"};
  Result<regions::Regions> built = regions::Regions::build(flat.input());
  ASSERT_TRUE(built.ok()) << built.error().message();
  const regions::Regions& index = built.value();

  Result<std::shared_ptr<const Table>> table = build_record_table(
      index, std::vector<std::uint32_t>{2, regions::kNoRegion, 0, 2},
      {{1, 0}, std::nullopt});
  ASSERT_TRUE(table.ok()) << table.error().message();
  Exported out(*table.value());
  EXPECT_STREQ(out.schema->children[0]->name, "cc");
  EXPECT_EQ(out.strings(0), (Strings{"AA", std::nullopt, "AA", "AA"}));
  EXPECT_EQ(out.strings(1), (Strings{"Three", std::nullopt, "One", "Three"}));
  EXPECT_EQ(out.column(0).dictionary->length, 1);

  Result<std::shared_ptr<const Table>> beyond =
      build_record_table(index, std::vector<std::uint32_t>{3}, {{0}, {}});
  ASSERT_FALSE(beyond.ok());
  EXPECT_EQ(beyond.error().message(),
            "region number 3 is out of range: the regions have 3 regions");
  EXPECT_FALSE(
      build_record_table(index, std::vector<std::uint32_t>{0}, {{2}, {}}).ok());
}

// Many rows over many records, through both ways of numbering the distinct
// records (few rows against many records, and the reverse), against the
// records re-parsed one by one.
TEST(ArrowRecordTableTest, RandomRowsMatchTheRecords) {
  std::mt19937 rng(301);
  std::string csv = "lat,lon,name,admin1,cc\n";
  const std::uint32_t records = 2000;
  for (std::uint32_t i = 0; i < records; ++i) {
    csv += std::to_string(i % 90) + ",0,place" + std::to_string(i % 700) +
           ",region" + std::to_string(i % 37) + ",C" + std::to_string(i % 5) +
           "\n";
  }
  ReverseGeocoder g = built(csv);
  for (std::size_t n : {10u, 100000u}) {
    std::uniform_int_distribution<std::uint32_t> pick(0, records + 200);
    std::vector<std::uint32_t> items(n);
    for (std::uint32_t& item : items) {
      item = pick(rng);
      if (item >= records) item = kNoRecord;
    }
    std::shared_ptr<const Table> table = build_ok(g, items, {{2, 3, 4}, {}});
    ASSERT_NE(table, nullptr);
    Exported out(*table);
    for (std::size_t k = 0; k < 3; ++k) {
      const Strings got = out.strings(k);
      for (std::size_t i = 0; i < n; ++i) {
        if (items[i] == kNoRecord) {
          ASSERT_FALSE(got[i].has_value()) << i;
          continue;
        }
        Result<csv::Record> record = g.record_fields(items[i]);
        ASSERT_TRUE(record.ok());
        ASSERT_EQ(got[i], std::string(record.value().field(k + 2))) << i;
      }
    }
  }
}

// The memory a large result keeps per row, dictionaries included.
TEST(ArrowRecordTableTest, ThreeStringFieldsCostFewBytesPerRow) {
  std::string csv = "lat,lon,name,admin1,cc\n";
  for (int i = 0; i < 1000; ++i) {
    csv += "0," + std::to_string(i % 180) + ",Some place name " +
           std::to_string(i) + ",Some region,CC\n";
  }
  ReverseGeocoder g = built(csv);
  const std::size_t n = 1000000;
  std::vector<std::uint32_t> items(n);
  for (std::size_t i = 0; i < n; ++i) {
    items[i] = i % 97 == 0 ? kNoRecord : static_cast<std::uint32_t>(i % 1000);
  }
  std::shared_ptr<const Table> table = build_ok(g, items, {{2, 3, 4}, {}});
  ASSERT_NE(table, nullptr);
  std::set<const Buffer*> seen;
  std::size_t bytes = 0;
  for (const Column& column : table->batches()[0].columns) {
    for (const SharedBuffer& buffer :
         {column.validity, column.values, column.dictionary_offsets,
          column.dictionary_data}) {
      if (buffer != nullptr && seen.insert(buffer.get()).second) {
        bytes += buffer->size();
      }
    }
  }
  // Names differ from record to record and share the record numbering;
  // the region and the country repeat, so each has indices of its own.
  const double per_row = static_cast<double>(bytes) / n;
  RecordProperty("bytes_per_row", std::to_string(per_row));
  EXPECT_LE(per_row, 12.2);
}

}  // namespace
}  // namespace quorvel::arrow

// Exported tables as a consumer meets them: the layout of every struct and
// buffer, byte by byte, and releases in every order the interface allows.
// Run under AddressSanitizer, a leak or a use after release fails the test.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "arrow/buffer.h"
#include "arrow/c_abi.h"
#include "arrow/owned.h"
#include "arrow/table.h"
#include "arrow_test_support.h"

namespace quorvel::arrow {
namespace {

using testing::float_column;
using testing::string_column;

template <typename T>
SharedBuffer buffer_of(std::vector<T> values) {
  return Buffer::adopt(std::move(values));
}

// Three rows: "b", null, "a" over the dictionary ["a", "b"], and distances
// 1.5, null, 2.5.
std::shared_ptr<const Table> small_table() {
  Column names;
  names.values = buffer_of<std::int32_t>({1, 0, 0});
  names.validity = buffer_of<std::uint8_t>({0b101});
  names.null_count = 1;
  names.dictionary_length = 2;
  names.dictionary_offsets = buffer_of<std::int32_t>({0, 1, 2});
  names.dictionary_data = buffer_of<char>({'a', 'b'});
  Column distances;
  distances.values = buffer_of<double>({1.5, 0.0, 2.5});
  distances.validity = names.validity;
  distances.null_count = 1;
  std::vector<RecordBatch> batches(1);
  batches[0].length = 3;
  batches[0].columns = {names, distances};
  Result<std::shared_ptr<const Table>> table =
      Table::make({{"name", ColumnType::kDictionaryUtf8},
                   {"distance_km", ColumnType::kFloat64}},
                  std::move(batches));
  EXPECT_TRUE(table.ok()) << table.error().message();
  return std::move(table).value();
}

TEST(ArrowTableTest, SchemaLayout) {
  OwnedSchema schema;
  export_schema(*small_table(), schema.out());
  EXPECT_STREQ(schema->format, "+s");
  EXPECT_STREQ(schema->name, "");
  EXPECT_EQ(schema->metadata, nullptr);
  EXPECT_EQ(schema->flags, 0);
  ASSERT_EQ(schema->n_children, 2);
  EXPECT_EQ(schema->dictionary, nullptr);

  const ArrowSchema& name = *schema->children[0];
  EXPECT_STREQ(name.format, "i");
  EXPECT_STREQ(name.name, "name");
  EXPECT_EQ(name.flags, ARROW_FLAG_NULLABLE);
  EXPECT_EQ(name.n_children, 0);
  ASSERT_NE(name.dictionary, nullptr);
  EXPECT_STREQ(name.dictionary->format, "u");
  EXPECT_EQ(name.dictionary->n_children, 0);
  EXPECT_EQ(name.dictionary->dictionary, nullptr);
  EXPECT_NE(name.dictionary->release, nullptr);

  const ArrowSchema& distance = *schema->children[1];
  EXPECT_STREQ(distance.format, "g");
  EXPECT_STREQ(distance.name, "distance_km");
  EXPECT_EQ(distance.flags, ARROW_FLAG_NULLABLE);
  EXPECT_EQ(distance.dictionary, nullptr);
}

TEST(ArrowTableTest, ArrayLayoutByteByByte) {
  std::shared_ptr<const Table> table = small_table();
  OwnedSchema schema;
  export_schema(*table, schema.out());
  OwnedArray batch;
  export_batch(*table, 0, batch.out());
  EXPECT_EQ(batch->length, 3);
  EXPECT_EQ(batch->null_count, 0);
  EXPECT_EQ(batch->offset, 0);
  ASSERT_EQ(batch->n_buffers, 1);
  EXPECT_EQ(batch->buffers[0], nullptr);
  ASSERT_EQ(batch->n_children, 2);

  const ArrowArray& names = *batch->children[0];
  EXPECT_EQ(names.length, 3);
  EXPECT_EQ(names.null_count, 1);
  ASSERT_EQ(names.n_buffers, 2);
  EXPECT_EQ(static_cast<const std::uint8_t*>(names.buffers[0])[0], 0b101);
  const auto* indices = static_cast<const std::int32_t*>(names.buffers[1]);
  EXPECT_EQ(indices[0], 1);
  EXPECT_EQ(indices[2], 0);
  const ArrowArray& dict = *names.dictionary;
  EXPECT_EQ(dict.length, 2);
  EXPECT_EQ(dict.null_count, 0);
  ASSERT_EQ(dict.n_buffers, 3);
  EXPECT_EQ(dict.buffers[0], nullptr);
  const auto* offsets = static_cast<const std::int32_t*>(dict.buffers[1]);
  EXPECT_EQ(offsets[0], 0);
  EXPECT_EQ(offsets[1], 1);
  EXPECT_EQ(offsets[2], 2);
  EXPECT_EQ(std::memcmp(dict.buffers[2], "ab", 2), 0);

  const ArrowArray& distances = *batch->children[1];
  ASSERT_EQ(distances.n_buffers, 2);
  EXPECT_EQ(distances.dictionary, nullptr);
  // The two columns share one bitmap.
  EXPECT_EQ(distances.buffers[0], names.buffers[0]);

  using Strings = std::vector<std::optional<std::string>>;
  EXPECT_EQ(string_column(*schema->children[0], names),
            (Strings{"b", std::nullopt, "a"}));
  using Numbers = std::vector<std::optional<double>>;
  EXPECT_EQ(float_column(distances), (Numbers{1.5, std::nullopt, 2.5}));
}

TEST(ArrowTableTest, BuffersAreAlignedAndEmptyColumnsHaveAddresses) {
  std::shared_ptr<Buffer> empty = Buffer::zeroed(0);
  EXPECT_NE(empty->data(), nullptr);
  EXPECT_EQ(empty->size(), 0u);
  std::shared_ptr<Buffer> some = Buffer::zeroed(100);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(some->data()) % 64, 0u);
  for (std::size_t i = 0; i < 128; ++i) EXPECT_EQ(some->data()[i], 0);
  EXPECT_NE(Buffer::adopt(std::vector<double>())->data(), nullptr);
}

// Everything the release callbacks free must be freed exactly once, in
// whatever order a consumer lets go of the parts.
TEST(ArrowTableTest, ParentReleasedBeforeMovedChildren) {
  std::shared_ptr<const Table> table = small_table();
  OwnedSchema schema;
  export_schema(*table, schema.out());
  OwnedArray batch;
  export_batch(*table, 0, batch.out());
  table.reset();  // The exports alone keep the buffers alive.

  OwnedSchema name_schema = OwnedSchema::take(schema->children[0]);
  OwnedArray names = OwnedArray::take(batch->children[0]);
  OwnedArray dictionary = OwnedArray::take(names->dictionary);
  EXPECT_EQ(batch->children[0]->release, nullptr);
  schema.reset();
  batch.reset();
  EXPECT_TRUE(batch.released());

  // The moved dictionary is still readable after its parent column is
  // released, too.
  names.reset();
  EXPECT_EQ(dictionary->length, 2);
  EXPECT_EQ(std::memcmp(dictionary->buffers[2], "ab", 2), 0);
  EXPECT_STREQ(name_schema->name, "name");
  EXPECT_STREQ(name_schema->dictionary->format, "u");
}

TEST(ArrowTableTest, ChildrenReleasedBeforeParent) {
  std::shared_ptr<const Table> table = small_table();
  OwnedArray batch;
  export_batch(*table, 0, batch.out());
  for (std::int64_t k = 0; k < batch->n_children; ++k) {
    ArrowArray* child = batch->children[k];
    child->release(child);
    EXPECT_EQ(child->release, nullptr);
  }
  batch.reset();
  OwnedSchema schema;
  export_schema(*table, schema.out());
  schema->children[0]->dictionary->release(schema->children[0]->dictionary);
  schema.reset();
}

TEST(ArrowTableTest, StreamGivesSchemaRepeatedlyThenBatchesThenEnd) {
  Column values;
  values.values = buffer_of<double>({1, 2});
  std::vector<RecordBatch> batches(2);
  batches[0].length = 2;
  batches[0].columns = {values};
  batches[1].length = 1;
  batches[1].columns = {values};
  Result<std::shared_ptr<const Table>> table =
      Table::make({{"x", ColumnType::kFloat64}}, std::move(batches));
  ASSERT_TRUE(table.ok());
  EXPECT_EQ(table.value()->rows(), 3);

  OwnedStream stream;
  export_stream(table.value(), stream.out());
  table.value().reset();
  for (int round = 0; round < 2; ++round) {
    OwnedSchema schema;
    ASSERT_EQ(stream->get_schema(&stream.get(), schema.out()), 0);
    EXPECT_STREQ(schema->children[0]->name, "x");
  }
  std::vector<std::int64_t> lengths;
  std::vector<OwnedArray> kept;
  while (true) {
    OwnedArray batch;
    ASSERT_EQ(stream->get_next(&stream.get(), batch.out()), 0);
    if (batch.released()) break;
    lengths.push_back(batch->length);
    kept.push_back(std::move(batch));
  }
  EXPECT_EQ(lengths, (std::vector<std::int64_t>{2, 1}));
  // After the end the stream keeps answering with the end marker.
  OwnedArray after;
  ASSERT_EQ(stream->get_next(&stream.get(), after.out()), 0);
  EXPECT_TRUE(after.released());
  EXPECT_EQ(stream->get_last_error(&stream.get()), nullptr);
  // Batches outlive their stream.
  stream.reset();
  EXPECT_EQ(float_column(*kept[1]->children[0]),
            (std::vector<std::optional<double>>{1.0}));
}

TEST(ArrowTableTest, TwoStreamsOverOneTableAreIndependent) {
  std::shared_ptr<const Table> table = small_table();
  OwnedStream first, second;
  export_stream(table, first.out());
  export_stream(table, second.out());
  OwnedArray a, b;
  ASSERT_EQ(first->get_next(&first.get(), a.out()), 0);
  first.reset();
  ASSERT_EQ(second->get_next(&second.get(), b.out()), 0);
  ASSERT_FALSE(b.released());
  // Both exports read the same buffers: nothing was copied.
  EXPECT_EQ(a->children[0]->buffers[1], b->children[0]->buffers[1]);
}

TEST(ArrowTableTest, MakeRefusesColumnsThatWouldMisleadAConsumer) {
  auto attempt = [](ColumnType type, Column column, std::int64_t length) {
    std::vector<RecordBatch> batches(1);
    batches[0].length = length;
    batches[0].columns = {std::move(column)};
    return Table::make({{"c", type}}, std::move(batches));
  };
  Column good;
  good.values = buffer_of<std::int32_t>({0, 1});
  good.dictionary_length = 2;
  good.dictionary_offsets = buffer_of<std::int32_t>({0, 1, 3});
  good.dictionary_data = buffer_of<char>({'a', 'b', 'c'});
  EXPECT_TRUE(attempt(ColumnType::kDictionaryUtf8, good, 2).ok());

  struct Case {
    const char* what;
    Column column;
    std::int64_t length;
  };
  std::vector<Case> cases;
  Column c = good;
  cases.push_back({"values too short", c, 3});
  c = good;
  c.values = buffer_of<std::int32_t>({0, 2});
  cases.push_back({"index past the dictionary", c, 2});
  c = good;
  c.values = buffer_of<std::int32_t>({0, -1});
  cases.push_back({"negative index", c, 2});
  c = good;
  c.dictionary_offsets = buffer_of<std::int32_t>({0, 2, 1});
  cases.push_back({"offsets out of order", c, 2});
  c = good;
  c.dictionary_offsets = buffer_of<std::int32_t>({0, 1, 4});
  cases.push_back({"offsets past the text", c, 2});
  c = good;
  c.null_count = 1;
  cases.push_back({"nulls without a bitmap", c, 2});
  c = good;
  c.dictionary_offsets = nullptr;
  cases.push_back({"no offsets", c, 2});
  for (const Case& bad : cases) {
    Result<std::shared_ptr<const Table>> table =
        attempt(ColumnType::kDictionaryUtf8, bad.column, bad.length);
    ASSERT_FALSE(table.ok()) << bad.what;
    EXPECT_EQ(table.error().kind(), ErrorKind::kInvalidArgument);
  }
  EXPECT_FALSE(attempt(ColumnType::kFloat64, good, 2).ok())
      << "a float64 column with a dictionary";
  std::vector<RecordBatch> none(1);
  none[0].length = 0;
  EXPECT_FALSE(Table::make({{"c", ColumnType::kFloat64}}, std::move(none)).ok())
      << "a batch with too few columns";
}

TEST(ArrowTableTest, LargeOffsetsForLargeText) {
  Column column;
  column.values = buffer_of<std::int32_t>({0});
  column.dictionary_length = 1;
  column.dictionary_offsets = buffer_of<std::int64_t>({0, 2});
  column.dictionary_data = buffer_of<char>({'h', 'i'});
  std::vector<RecordBatch> batches(1);
  batches[0].length = 1;
  batches[0].columns = {column};
  Result<std::shared_ptr<const Table>> table = Table::make(
      {{"big", ColumnType::kDictionaryLargeUtf8}}, std::move(batches));
  ASSERT_TRUE(table.ok()) << table.error().message();
  OwnedSchema schema;
  export_schema(*table.value(), schema.out());
  EXPECT_STREQ(schema->children[0]->dictionary->format, "U");
  OwnedArray batch;
  export_batch(*table.value(), 0, batch.out());
  EXPECT_EQ(string_column(*schema->children[0], *batch->children[0]),
            (std::vector<std::optional<std::string>>{"hi"}));
}

}  // namespace
}  // namespace quorvel::arrow

// Number columns received through the C data interface: every accepted
// format, offsets, null bitmaps, streams of chunks and the refusals.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "arrow/number_import.h"
#include "arrow/owned.h"
#include "geocoder/batch_search.h"

namespace quorvel::arrow {
namespace {

// A producer for the tests: arrays that own copies of the given bytes and
// count their releases, so a test can tell that everything handed over was
// released exactly once.
int live_arrays = 0;

struct FakeArray {
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> bits;
  const void* buffers[2];
};

void release_fake(ArrowArray* array) {
  delete static_cast<FakeArray*>(array->private_data);
  array->release = nullptr;
  --live_arrays;
}

template <typename T>
void make_array(const std::vector<T>& values, std::int64_t offset,
                std::int64_t length, const std::vector<bool>& nulls,
                ArrowArray* out) {
  auto* fake = new FakeArray;
  fake->data.resize(values.size() * sizeof(T));
  if (!values.empty()) {
    std::memcpy(fake->data.data(), values.data(), fake->data.size());
  }
  std::int64_t null_count = 0;
  if (!nulls.empty()) {
    fake->bits.assign((values.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!nulls[i]) {
        fake->bits[i >> 3] |= 1 << (i & 7);
      } else if (static_cast<std::int64_t>(i) >= offset &&
                 static_cast<std::int64_t>(i) < offset + length) {
        ++null_count;
      }
    }
  }
  fake->buffers[0] = nulls.empty() ? nullptr : fake->bits.data();
  fake->buffers[1] = fake->data.data();
  *out = ArrowArray{};
  out->length = length;
  out->null_count = null_count;
  out->offset = offset;
  out->n_buffers = 2;
  out->buffers = fake->buffers;
  out->release = release_fake;
  out->private_data = fake;
  ++live_arrays;
}

void release_plain_schema(ArrowSchema* schema) { schema->release = nullptr; }

OwnedSchema schema_of(const char* format) {
  ArrowSchema schema{};
  schema.format = format;
  schema.name = "";
  schema.release = release_plain_schema;
  return OwnedSchema::take(&schema);
}

std::vector<std::optional<double>> read(const NumberView& view) {
  std::vector<std::optional<double>> out;
  for (std::int64_t i = 0; i < view.length; ++i) {
    if (view.is_null(i)) {
      out.push_back(std::nullopt);
    } else {
      out.push_back(column_value(view.column, static_cast<std::size_t>(i)));
    }
  }
  return out;
}

template <typename T>
void check_format(const char* format) {
  SCOPED_TRACE(format);
  // Elements 1..4 of five, the fourth element (index 3) null.
  const std::vector<T> values = {T(9), T(1), T(2), T(100), T(4)};
  OwnedArray array;
  make_array(values, 1, 4, {false, false, false, true, false}, array.out());
  Result<NumberChunks> chunks =
      NumberChunks::from_array(schema_of(format), std::move(array));
  ASSERT_TRUE(chunks.ok()) << chunks.error().message();
  ASSERT_EQ(chunks.value().views().size(), 1u);
  EXPECT_EQ(chunks.value().format(), format);
  EXPECT_EQ(read(chunks.value().views()[0]),
            (std::vector<std::optional<double>>{1, 2, std::nullopt, 4}));
}

TEST(ArrowImportTest, EveryNumberFormatWithOffsetAndNulls) {
  check_format<double>("g");
  check_format<float>("f");
  check_format<std::int8_t>("c");
  check_format<std::int16_t>("s");
  check_format<std::int32_t>("i");
  check_format<std::int64_t>("l");
  check_format<std::uint8_t>("C");
  check_format<std::uint16_t>("S");
  check_format<std::uint32_t>("I");
  check_format<std::uint64_t>("L");
  EXPECT_EQ(live_arrays, 0);
}

TEST(ArrowImportTest, ReadsInPlace) {
  OwnedArray array;
  make_array<double>({1, 2, 3}, 2, 1, {}, array.out());
  const void* data = array->buffers[1];
  Result<NumberChunks> chunks =
      NumberChunks::from_array(schema_of("g"), std::move(array));
  ASSERT_TRUE(chunks.ok());
  EXPECT_EQ(chunks.value().views()[0].column.data,
            static_cast<const std::uint8_t*>(data) + 2 * sizeof(double));
  EXPECT_EQ(chunks.value().views()[0].validity, nullptr);
}

TEST(ArrowImportTest, RefusesOtherTypesNamingTheFormat) {
  struct Case {
    const char* format;
    const char* shown;
  };
  for (const Case& c :
       {Case{"u", "\"u\" (string)"}, Case{"e", "\"e\" (float16)"},
        Case{"b", "\"b\" (boolean)"}, Case{"+s", "\"+s\" (nested)"},
        Case{"tss:", "\"tss:\" (timestamp)"}, Case{"x", "\"x\""}}) {
    OwnedArray array;
    make_array<double>({1}, 0, 1, {}, array.out());
    Result<NumberChunks> chunks =
        NumberChunks::from_array(schema_of(c.format), std::move(array));
    ASSERT_FALSE(chunks.ok()) << c.format;
    EXPECT_EQ(chunks.error().kind(), ErrorKind::kInvalidArgument);
    EXPECT_NE(chunks.error().message().find(c.shown), std::string::npos)
        << chunks.error().message();
  }
  EXPECT_EQ(live_arrays, 0);

  ArrowSchema values{};
  values.format = "g";
  ArrowSchema dictionary{};
  dictionary.format = "i";
  dictionary.dictionary = &values;
  OwnedArray array;
  make_array<std::int32_t>({0}, 0, 1, {}, array.out());
  Result<NumberView> view = view_number_array(dictionary, array.get());
  ASSERT_FALSE(view.ok());
  EXPECT_NE(view.error().message().find("dictionary-encoded"),
            std::string::npos);
}

TEST(ArrowImportTest, RefusesMalformedArrays) {
  ArrowSchema schema{};
  schema.format = "g";
  auto refused = [&](auto&& spoil) {
    OwnedArray array;
    make_array<double>({1, 2}, 0, 2, {}, array.out());
    spoil(array.get());
    return !view_number_array(schema, array.get()).ok();
  };
  EXPECT_TRUE(refused([](ArrowArray& a) { a.length = -1; }));
  EXPECT_TRUE(refused([](ArrowArray& a) { a.offset = -1; }));
  EXPECT_TRUE(refused([](ArrowArray& a) { a.n_buffers = 3; }));
  EXPECT_TRUE(refused([](ArrowArray& a) { a.buffers[1] = nullptr; }));
  EXPECT_TRUE(refused([](ArrowArray& a) { a.null_count = 1; }));
  EXPECT_TRUE(refused([](ArrowArray& a) {
    a.length = std::numeric_limits<std::int64_t>::max() / 4;
  }));
  EXPECT_FALSE(refused([](ArrowArray&) {}));
  EXPECT_EQ(live_arrays, 0);
}

TEST(ArrowImportTest, UncountedNullsAreReadFromTheBitmap) {
  OwnedArray array;
  make_array<double>({1, 2}, 0, 2, {true, false}, array.out());
  array->null_count = -1;
  ArrowSchema schema{};
  schema.format = "g";
  Result<NumberView> view = view_number_array(schema, array.get());
  ASSERT_TRUE(view.ok());
  EXPECT_TRUE(view.value().is_null(0));
  EXPECT_FALSE(view.value().is_null(1));
}

// A stream over prepared chunks, optionally failing at one of them.
struct FakeStream {
  std::vector<std::vector<double>> chunks;
  std::size_t next = 0;
  std::size_t fail_at = SIZE_MAX;
  const char* format = "g";
};

int fake_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  ArrowSchema schema{};
  schema.format = static_cast<FakeStream*>(stream->private_data)->format;
  schema.name = "";
  schema.release = release_plain_schema;
  *out = schema;
  return 0;
}

int fake_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* state = static_cast<FakeStream*>(stream->private_data);
  if (state->next == state->fail_at) return EIO;
  if (state->next == state->chunks.size()) {
    *out = ArrowArray{};
    return 0;
  }
  const std::vector<double>& chunk = state->chunks[state->next++];
  std::vector<bool> nulls(chunk.size());
  for (std::size_t i = 0; i < chunk.size(); ++i)
    nulls[i] = std::isnan(chunk[i]);
  make_array(chunk, 0, static_cast<std::int64_t>(chunk.size()), nulls, out);
  return 0;
}

const char* fake_error(ArrowArrayStream*) { return "disk on fire"; }

void fake_release(ArrowArrayStream* stream) {
  delete static_cast<FakeStream*>(stream->private_data);
  stream->release = nullptr;
}

OwnedStream stream_of(FakeStream state) {
  ArrowArrayStream stream{fake_schema, fake_next, fake_error, fake_release,
                          new FakeStream(std::move(state))};
  return OwnedStream::take(&stream);
}

const double kNull = std::nan("");

TEST(ArrowImportTest, StreamChunksAlignWithAnotherColumn) {
  Result<NumberChunks> lats =
      NumberChunks::from_stream(stream_of({{{1, 2, 3}, {}, {4, kNull}, {6}}}));
  ASSERT_TRUE(lats.ok()) << lats.error().message();
  EXPECT_EQ(lats.value().length(), 6);
  EXPECT_EQ(lats.value().views().size(), 3u) << "the empty chunk is dropped";

  Result<NumberChunks> lons =
      NumberChunks::from_stream(stream_of({{{10, 20}, {30, 40, 50, 60}}}));
  ASSERT_TRUE(lons.ok());
  Result<std::vector<PositionSegment>> segments =
      align_chunks(lats.value(), lons.value());
  ASSERT_TRUE(segments.ok());
  std::vector<std::int64_t> starts, lengths;
  std::vector<std::optional<double>> lat_values, lon_values;
  for (const PositionSegment& s : segments.value()) {
    starts.push_back(s.start);
    lengths.push_back(s.lats.length);
    ASSERT_EQ(s.lats.length, s.lons.length);
    for (auto v : read(s.lats)) lat_values.push_back(v);
    for (auto v : read(s.lons)) lon_values.push_back(v);
  }
  EXPECT_EQ(starts, (std::vector<std::int64_t>{0, 2, 3, 5}));
  EXPECT_EQ(lengths, (std::vector<std::int64_t>{2, 1, 2, 1}));
  EXPECT_EQ(lat_values,
            (std::vector<std::optional<double>>{1, 2, 3, 4, std::nullopt, 6}));
  EXPECT_EQ(lon_values,
            (std::vector<std::optional<double>>{10, 20, 30, 40, 50, 60}));

  // A column from plain memory pairs with an Arrow column too.
  const std::vector<float> plain = {1, 2, 3, 4, 5, 6};
  NumberChunks memory = NumberChunks::of_column(
      {plain.data(), sizeof(float), NumberFormat::kFloat32}, 6);
  Result<std::vector<PositionSegment>> mixed =
      align_chunks(lats.value(), memory);
  ASSERT_TRUE(mixed.ok());
  EXPECT_EQ(mixed.value().size(), 3u);
  EXPECT_EQ(read(mixed.value()[2].lons),
            (std::vector<std::optional<double>>{6}));

  Result<std::vector<PositionSegment>> uneven =
      align_chunks(lats.value(), NumberChunks::of_column({}, 5));
  ASSERT_FALSE(uneven.ok());
  EXPECT_EQ(uneven.error().kind(), ErrorKind::kInvalidArgument);
}

TEST(ArrowImportTest, StreamFailuresCarryTheProducersText) {
  FakeStream failing{{{1}, {2}}};
  failing.fail_at = 1;
  Result<NumberChunks> chunks = NumberChunks::from_stream(stream_of(failing));
  ASSERT_FALSE(chunks.ok());
  EXPECT_NE(chunks.error().message().find("disk on fire"), std::string::npos);

  FakeStream text{{{1}}};
  text.format = "u";
  chunks = NumberChunks::from_stream(stream_of(text));
  ASSERT_FALSE(chunks.ok());
  EXPECT_NE(chunks.error().message().find("\"u\" (string)"), std::string::npos);
  EXPECT_EQ(live_arrays, 0);
}

TEST(ArrowImportTest, NullRowsBecomeMissingPositions) {
  Result<NumberChunks> lats =
      NumberChunks::from_stream(stream_of({{{1, kNull, 3, kNull}}}));
  ASSERT_TRUE(lats.ok());
  std::vector<std::uint32_t> items = {5, 6, 7, 8};
  std::vector<double> chords = {0.1, 0.2, 0.3, 0.4};
  const NumberView& view = lats.value().views()[0];
  clear_null_rows(view.slice(1, 3), std::span(items).subspan(1),
                  std::span(chords).subspan(1));
  EXPECT_EQ(items, (std::vector<std::uint32_t>{5, kNoRecord, 7, kNoRecord}));
  EXPECT_TRUE(std::isnan(chords[1]));
  EXPECT_EQ(chords[2], 0.3);
  EXPECT_TRUE(std::isnan(chords[3]));
}

}  // namespace
}  // namespace quorvel::arrow

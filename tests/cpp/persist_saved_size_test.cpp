// Sizing the saved form before writing it: saved_size() must match the
// encoder byte for byte at every width boundary, dumps_into() must write the
// same bytes as dumps(), and a region of the wrong size must never be written
// past or handed back half filled.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/error.h"
#include "geocoder/geocoder.h"
#include "persist/byte_sink.h"
#include "persist/saved_file.h"

namespace quorvel::persist {
namespace {

ReverseGeocoder build(const std::string& csv, bool drop = false) {
  Result<ReverseGeocoder> g = ReverseGeocoder::build(csv, U',', drop);
  if (!g.ok()) ADD_FAILURE() << g.error().report();
  return std::move(g).value();
}

// n records at fixed-seed random places; `name_width` pads every name so
// that the text and the slice lengths cross the encoder's width limits.
std::string random_csv(int n, unsigned seed, std::size_t name_width = 0) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
  std::ostringstream out;
  out.precision(17);
  out << "lat,lon,name\n";
  for (int k = 0; k < n; ++k) {
    out << lat(rng) << ',' << lon(rng) << ",place " << k
        << std::string(name_width, 'x') << '\n';
  }
  return out.str();
}

// Checks saved_size() and dumps_into() against dumps() for one geocoder.
void expect_sized_exactly(const ReverseGeocoder& g) {
  Result<std::string> dumped = dumps(g);
  ASSERT_TRUE(dumped.ok()) << dumped.error().report();
  Result<std::size_t> size = saved_size(g);
  ASSERT_TRUE(size.ok()) << size.error().report();
  ASSERT_EQ(size.value(), dumped.value().size());
  std::string direct(size.value(), '\x5a');
  Status written = dumps_into(g, direct);
  ASSERT_TRUE(written.ok()) << written.error().report();
  EXPECT_TRUE(direct == dumped.value());
}

TEST(SavedSize, MatchesTheEncodingAcrossWidthLimits) {
  // Header only; one record; 15/16 leaves' worth of slices and columns;
  // offsets and items past 127, 255 and 65535; lengths past 31 and 255.
  expect_sized_exactly(build("lat,lon,name\n"));
  expect_sized_exactly(build("lat,lon,name\n10,20,a\n"));
  expect_sized_exactly(build("lat,lon,name\n10,20,a\n", /*drop=*/true));
  for (int n : {15, 16, 31, 33, 129, 300, 3000}) {
    SCOPED_TRACE(n);
    expect_sized_exactly(build(random_csv(n, 7 + n)));
  }
  expect_sized_exactly(build(random_csv(40, 3, /*name_width=*/40)));
  expect_sized_exactly(build(random_csv(40, 4, /*name_width=*/300)));
  expect_sized_exactly(build(random_csv(40, 5, /*name_width=*/70000)));
}

TEST(SavedSize, MatchesWithManyColumnsAndLongNames) {
  std::string header = "lat,lon";
  std::string line = "1.5,-2.5";
  for (int c = 0; c < 20; ++c) {
    header += ",column_";
    header += std::to_string(c);
    header.append(static_cast<std::size_t>(c) * 3, 'n');
    line += ',';
    line += std::to_string(c);
  }
  expect_sized_exactly(build(header + "\n" + line + "\n" + line + "\n"));
}

TEST(SavedSize, MatchesPastSixtyFiveThousandRecords) {
  // More slices than a 16-bit array header counts, and a tree of that size.
  std::ostringstream out;
  out << "lat,lon,n\n";
  for (int k = 0; k < 70000; ++k) {
    out << (k % 1800) * 0.1 - 90 << ',' << (k / 1800) * 0.5 - 180 << ',' << k
        << '\n';
  }
  expect_sized_exactly(build(out.str()));
}

TEST(SavedSize, RegionOfTheWrongSizeIsAnInternalFailure) {
  ReverseGeocoder g = build(random_csv(50, 11));
  std::size_t size = saved_size(g).value();
  for (std::size_t wrong :
       {std::size_t{0}, std::size_t{1}, size - 1, size + 1}) {
    SCOPED_TRACE(wrong);
    // A guard after the region shows that nothing is written past it.
    std::string memory(wrong + 16, '\x5a');
    EXPECT_THROW((void)dumps_into(g, std::span<char>(memory.data(), wrong)),
                 InternalFailure);
    EXPECT_EQ(memory.substr(wrong), std::string(16, '\x5a'));
  }
}

TEST(SpanSink, FillsItsRegionAndRefusesMore) {
  std::vector<std::uint8_t> region(20, 0);
  SpanSink exact(region.data(), region.size());
  const std::uint8_t small[16] = {1, 2,  3,  4,  5,  6,  7,  8,
                                  9, 10, 11, 12, 13, 14, 15, 16};
  exact.append_small(small, 16);
  exact.append("abcd", 4);
  EXPECT_FALSE(exact.finish().has_value());
  EXPECT_EQ(exact.written(), 20u);
  EXPECT_EQ(region[15], 16);
  EXPECT_EQ(region[19], 'd');

  std::vector<std::uint8_t> tight(18, 0);
  SpanSink over(tight.data(), tight.size());
  over.append_small(small, 16);
  over.append_small(small, 3);  // Does not fit in what is left.
  std::optional<IoError> error = over.finish();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->kind, IoError::Kind::kWriteWholeBuffer);
}

TEST(SpanSink, EmptyRegionFailsWithoutWriting) {
  SpanSink none(nullptr, 0);
  none.append("abc", 3);
  const std::uint8_t byte = 7;
  none.append_small(&byte, 1);
  std::optional<IoError> error = none.finish();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->kind, IoError::Kind::kWriteWholeBuffer);
}

}  // namespace
}  // namespace quorvel::persist

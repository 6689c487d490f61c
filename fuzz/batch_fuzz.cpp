// The batch search against the one-position lookup on random columns of
// positions: NaN, infinities, huge values, duplicates, in every element type
// and with strides. Every finite position must get the record that
// get_nearest returns and the squared chord of the tree's answer; every other
// position kNoRecord and NaN.
//
// Input layout: byte 0 picks the number of places (1 to 64) on a coarse grid
// from byte 1's seed, so that ties are common; byte 2 the element type and
// the stride; byte 3 the worker count; the rest is the raw memory of the two
// columns, latitudes first.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "geocoder/batch_search.h"
#include "geocoder/geocoder.h"

namespace {

using quorvel::NumberColumn;
using quorvel::NumberFormat;

constexpr NumberFormat kFormats[] = {
    NumberFormat::kFloat64, NumberFormat::kFloat32, NumberFormat::kInt8,
    NumberFormat::kInt16,   NumberFormat::kInt32,   NumberFormat::kInt64,
    NumberFormat::kUInt8,   NumberFormat::kUInt16,  NumberFormat::kUInt32,
    NumberFormat::kUInt64,
};
constexpr std::size_t kSizes[] = {8, 4, 1, 2, 4, 8, 1, 2, 4, 8};

quorvel::ReverseGeocoder places(std::size_t count, std::uint8_t seed) {
  std::mt19937 rng(seed);
  std::string csv = "lat,lon,id\n";
  for (std::size_t i = 0; i < count; ++i) {
    csv += std::to_string(static_cast<int>(rng() % 19) * 10 - 90) + "," +
           std::to_string(static_cast<int>(rng() % 37) * 10 - 180) + "," +
           std::to_string(i) + "\n";
  }
  auto built = quorvel::ReverseGeocoder::build(csv, U',', false);
  FUZZ_CHECK(built.ok());
  return std::move(built).value();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 4) return 0;
  const quorvel::ReverseGeocoder g = places(1 + data[0] % 64, data[1]);
  const std::size_t kind = data[2] % 10;
  const std::size_t stride_elements = 1 + (data[2] / 10) % 3;
  const unsigned workers = 1 + data[3] % 4;
  const std::size_t item_size = kSizes[kind];
  const std::size_t stride = item_size * stride_elements;
  // The body copied into aligned memory large enough for both columns.
  const std::size_t body = size - 4;
  const std::size_t count = body / (2 * stride);
  std::vector<std::uint64_t> memory((body + 7) / 8 + 1, 0);
  std::memcpy(memory.data(), data + 4, body);
  const char* base = reinterpret_cast<const char*>(memory.data());
  const auto signed_stride = static_cast<std::ptrdiff_t>(stride);
  const NumberColumn lats{base, signed_stride, kFormats[kind]};
  const NumberColumn lons{base + count * stride, signed_stride, kFormats[kind]};

  std::vector<std::uint32_t> items(count);
  std::vector<double> chords(count);
  quorvel::Status status =
      quorvel::nearest_records(g, lats, lons, items, chords, workers);
  FUZZ_CHECK(status.ok());
  for (std::size_t i = 0; i < count; ++i) {
    const double lat = quorvel::column_value(lats, i);
    const double lon = quorvel::column_value(lons, i);
    if (!(std::isfinite(lat) && std::isfinite(lon))) {
      FUZZ_CHECK(items[i] == quorvel::kNoRecord);
      FUZZ_CHECK(std::isnan(chords[i]));
      continue;
    }
    auto scalar = g.get_nearest(lat, lon);
    FUZZ_CHECK(scalar.ok());
    FUZZ_CHECK(items[i] < g.size());
    FUZZ_CHECK(g.line(items[i]) == scalar.value());
    const auto found =
        g.tree().nearest_one(quorvel::lat_lon_to_point(lat, lon));
    FUZZ_CHECK(found.result.distance == chords[i]);
    const double km = quorvel::chord_to_km(chords[i]);
    // At most half the circumference, give or take the rounding of pi.
    FUZZ_CHECK(km >= 0.0 && km <= 3.1415926535897936 * quorvel::kEarthRadiusKm);
  }
  return 0;
}

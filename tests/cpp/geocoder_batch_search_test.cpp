// Batch lookups against the scalar lookup, which is their definition: every
// finite position must get exactly the record get_nearest returns, whatever
// the thread count and the element type of the input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "geocoder/batch_search.h"
#include "geocoder/geocoder.h"

namespace quorvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

ReverseGeocoder built(const std::string& csv) {
  Result<ReverseGeocoder> g = ReverseGeocoder::build(csv, U',', false);
  if (g.ok()) return std::move(g).value();
  ADD_FAILURE() << g.error().message();
  // A geocoder without records, so that the failing test can go on.
  return std::move(ReverseGeocoder::build("lat,lon\n", U',', false)).value();
}

// Records at random places, or on a coarse grid (many near ties and exact
// duplicates) when `grid` is set.
ReverseGeocoder random_places(std::size_t n, std::uint32_t seed, bool grid) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
  std::uniform_int_distribution<int> glat(-9, 9), glon(-18, 18);
  std::string csv = "lat,lon,id\n";
  for (std::size_t i = 0; i < n; ++i) {
    if (grid) {
      csv +=
          std::to_string(glat(rng) * 10) + "," + std::to_string(glon(rng) * 10);
    } else {
      csv += std::to_string(lat(rng)) + "," + std::to_string(lon(rng));
    }
    csv += "," + std::to_string(i) + "\n";
  }
  return built(csv);
}

// The scalar answer for one position, as the line it returns.
std::string scalar_line(const ReverseGeocoder& g, double lat, double lon) {
  Result<std::string_view> r = g.get_nearest(lat, lon);
  EXPECT_TRUE(r.ok()) << r.error().message();
  return r.ok() ? std::string(r.value()) : std::string();
}

std::vector<std::uint32_t> batch(const ReverseGeocoder& g,
                                 const std::vector<double>& lats,
                                 const std::vector<double>& lons,
                                 unsigned workers,
                                 std::vector<double>* chords = nullptr) {
  std::vector<std::uint32_t> items(lats.size(), 7);
  std::vector<double> ignored;
  std::vector<double>& out = chords ? *chords : ignored;
  if (chords) out.assign(lats.size(), -1.0);
  Status s = nearest_records(g, NumberColumn::of(lats), NumberColumn::of(lons),
                             items, out, workers);
  EXPECT_TRUE(s.ok()) << s.error().message();
  return items;
}

void expect_matches_scalar(const ReverseGeocoder& g,
                           const std::vector<double>& lats,
                           const std::vector<double>& lons, unsigned workers) {
  std::vector<double> chords;
  const std::vector<std::uint32_t> items =
      batch(g, lats, lons, workers, &chords);
  for (std::size_t i = 0; i < lats.size(); ++i) {
    ASSERT_LT(items[i], g.size()) << "position " << i;
    ASSERT_EQ(std::string(g.line(items[i])), scalar_line(g, lats[i], lons[i]))
        << "position " << i << " (" << lats[i] << ", " << lons[i]
        << ") workers " << workers;
    // The chord is the one to the record found.
    const kdtree::Point p = lat_lon_to_point(lats[i], lons[i]);
    const kdtree::QueryOutcome q = g.tree().nearest_one(p);
    ASSERT_EQ(chords[i], q.result.distance);
  }
}

TEST(BatchSearch, RandomPositionsMatchScalarOnAnyThreadCount) {
  const ReverseGeocoder g = random_places(5000, 301, false);
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
  std::vector<double> lats(40000), lons(40000);
  for (std::size_t i = 0; i < lats.size(); ++i) {
    lats[i] = lat(rng);
    lons[i] = lon(rng);
  }
  for (unsigned workers : {1u, 2u, 3u, 8u})
    expect_matches_scalar(g, lats, lons, workers);
}

TEST(BatchSearch, DuplicatesAndNearTiesMatchScalar) {
  // Grid records repeat and lie at equal distances from the grid's midpoints;
  // the queries sit on records, on midpoints and on the poles.
  const ReverseGeocoder g = random_places(3000, 5, true);
  std::vector<double> lats, lons;
  for (int a = -90; a <= 90; a += 5) {
    for (int o = -180; o <= 180; o += 5) {
      lats.push_back(a);
      lons.push_back(o);
    }
  }
  for (unsigned workers : {1u, 4u})
    expect_matches_scalar(g, lats, lons, workers);
}

TEST(BatchSearch, NonFinitePositionsGetNoRecordOthersUnaffected) {
  const ReverseGeocoder g = built("lat,lon,name\n10,20,a\n-33.9,18.4,b\n");
  const std::vector<double> lats = {kNaN, 11, kInf, -34, 0, -kInf};
  const std::vector<double> lons = {0, 21, 0, 18, kNaN, 5};
  std::vector<double> chords;
  const std::vector<std::uint32_t> items = batch(g, lats, lons, 1, &chords);
  const std::vector<std::uint32_t> expected = {kNoRecord, 0,         kNoRecord,
                                               1,         kNoRecord, kNoRecord};
  EXPECT_EQ(items, expected);
  for (std::size_t i : {0u, 2u, 4u, 5u}) EXPECT_TRUE(std::isnan(chords[i]));
  EXPECT_FALSE(std::isnan(chords[1]));
}

TEST(BatchSearch, EmptyBatchAndEmptyGeocoder) {
  const ReverseGeocoder empty = built("lat,lon,name\n");
  std::vector<std::uint32_t> none;
  EXPECT_TRUE(nearest_records(empty, NumberColumn::of({}), NumberColumn::of({}),
                              none, {}, 1)
                  .ok());
  const std::vector<double> one = {1.0};
  std::vector<std::uint32_t> item(1);
  Status s = nearest_records(empty, NumberColumn::of(one),
                             NumberColumn::of(one), item, {}, 1);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(),
            "cannot look up a place: the geocoder has no records");
}

// Element types other than contiguous doubles are widened exactly, so they
// answer as the doubles they stand for; strides may be negative.
TEST(BatchSearch, WidenedAndStridedColumns) {
  const ReverseGeocoder g = random_places(2000, 9, false);
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> lat(-90, 90), lon(-180, 180);
  const std::size_t n = 3000;
  std::vector<float> lat32(n);
  std::vector<std::int16_t> lon16(2 * n);  // Every second element used.
  std::vector<double> lat64(n), lon64(n);
  for (std::size_t i = 0; i < n; ++i) {
    lat32[i] = static_cast<float>(lat(rng)) + 0.25f;
    lon16[2 * i] = static_cast<std::int16_t>(lon(rng));
    lon16[2 * i + 1] = 999;
  }
  // Reversed: the latitude column walks backwards from its last element.
  const NumberColumn lats{lat32.data() + (n - 1),
                          -static_cast<std::ptrdiff_t>(sizeof(float)),
                          NumberFormat::kFloat32};
  const NumberColumn lons{lon16.data(), 2 * sizeof(std::int16_t),
                          NumberFormat::kInt16};
  for (std::size_t i = 0; i < n; ++i) {
    lat64[i] = lat32[n - 1 - i];
    lon64[i] = lon16[2 * i];
    ASSERT_EQ(column_value(lats, i), lat64[i]);
  }
  std::vector<std::uint32_t> items(n);
  ASSERT_TRUE(nearest_records(g, lats, lons, items, {}, 3).ok());
  EXPECT_EQ(items, batch(g, lat64, lon64, 1));

  const std::uint64_t big = 18446744073709549568ull;  // Exactly representable.
  EXPECT_EQ(column_value({&big, 8, NumberFormat::kUInt64}, 0),
            18446744073709549568.0);
  const std::int8_t small = -128;
  EXPECT_EQ(column_value({&small, 1, NumberFormat::kInt8}, 0), -128.0);
}

TEST(BatchSearch, ThreadsAreBoundedByTheWork) {
  EXPECT_EQ(batch_threads(1'000'000, 1), 1u);
  EXPECT_EQ(batch_threads(10, 8), 1u);
  EXPECT_EQ(batch_threads(1'000'000, 4), 4u);
  EXPECT_LE(batch_threads(1'000'000, 1'000'000), 1'000'000u / 1000);
  EXPECT_GE(available_cpus(), 1u);
}

TEST(BatchSearch, ChordToGreatCircleKilometres) {
  EXPECT_EQ(chord_to_km(0.0), 0.0);
  // Antipodes: the chord is the diameter, the arc half the circumference.
  EXPECT_DOUBLE_EQ(chord_to_km(4.0), M_PI * kEarthRadiusKm);
  // Rounding may push a chord just past the diameter; it must not turn NaN.
  EXPECT_DOUBLE_EQ(chord_to_km(4.0000000001), M_PI * kEarthRadiusKm);
  EXPECT_TRUE(std::isnan(chord_to_km(kNaN)));
  // A quarter circle: chord sqrt(2).
  EXPECT_NEAR(chord_to_km(2.0), M_PI / 2 * kEarthRadiusKm, 1e-9);
}

TEST(BatchSearch, RecordAccessors) {
  const ReverseGeocoder g =
      built("lat,lon,name\n10,20,\"a, b\"\n-33.9,18.4,c\n");
  EXPECT_EQ(g.size(), 2u);
  EXPECT_EQ(g.line(0), "10,20,\"a, b\"");
  Result<csv::Record> r = g.record_fields(0);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().size(), 3u);
  EXPECT_EQ(r.value().field(2), "a, b");
}

}  // namespace
}  // namespace quorvel

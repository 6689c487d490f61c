// The threaded batches behind the border-aware answers: the region of many
// positions, and the nearest record restricted to a value. Each is checked
// against a one-position or brute-force answer on enough positions that
// several threads share the work (the TSan build runs these too).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/interrupt.h"
#include "geocoder/batch_search.h"
#include "geocoder/geocoder.h"
#include "geocoder/region_batch.h"
#include "geocoder/sphere.h"
#include "geocoder/value_index.h"
#include "regions_test_support.h"

namespace quorvel {
namespace {

using regions::test_support::Region;

constexpr std::size_t kPositions = 40000;
constexpr unsigned kWorkers = 4;

// Random positions over a box around the regions, with a few that are not
// positions at all.
void random_positions(std::mt19937_64& random, std::vector<double>& lats,
                      std::vector<double>& lons) {
  std::uniform_real_distribution<double> lat(-30, 30);
  std::uniform_real_distribution<double> lon(-40, 40);
  for (std::size_t i = 0; i < kPositions; ++i) {
    lats.push_back(lat(random));
    lons.push_back(lon(random));
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  lats[7] = nan;
  lons[8] = std::numeric_limits<double>::infinity();
  lats[9] = 95;
  lons[10] = -181;
}

// A 4 x 4 chequerboard of 10-degree squares, every other one a region.
std::vector<Region> chequerboard() {
  std::vector<Region> squares;
  for (int row = -2; row < 2; ++row) {
    for (int column = -2; column < 2; ++column) {
      if ((row + column) % 2 != 0) continue;
      const double x = column * 10.0;
      const double y = row * 10.0;
      squares.push_back(
          {{{{x, y}, {x + 10, y}, {x + 10, y + 10}, {x, y + 10}, {x, y}}}});
    }
  }
  return squares;
}

TEST(RegionBatchTest, ThreadsGiveTheOnePositionAnswers) {
  const regions::Regions index =
      regions::test_support::build_or_die(chequerboard());
  std::mt19937_64 random(11);
  std::vector<double> lats, lons;
  random_positions(random, lats, lons);
  for (const double km : {0.0, 300.0}) {
    std::vector<std::uint32_t> one(kPositions), many(kPositions);
    ASSERT_TRUE(region_indices(index, NumberColumn::of(lats),
                               NumberColumn::of(lons), km, one, 1)
                    .ok());
    ASSERT_TRUE(region_indices(index, NumberColumn::of(lats),
                               NumberColumn::of(lons), km, many, kWorkers)
                    .ok());
    EXPECT_EQ(one, many);
    std::size_t found = 0;
    for (std::size_t i = 0; i < kPositions; ++i) {
      ASSERT_EQ(one[i], index.lookup(lats[i], lons[i], km)) << i;
      found += one[i] != regions::kNoRegion;
    }
    EXPECT_GT(found, kPositions / 8);
    for (const std::size_t bad : {7, 8, 9, 10}) {
      EXPECT_EQ(one[bad], regions::kNoRegion);
    }
  }
  StopCheck stop([] { return true; });
  ASSERT_TRUE(stop.check_now());
  std::vector<std::uint32_t> out(kPositions);
  const Status stopped =
      region_indices(index, NumberColumn::of(lats), NumberColumn::of(lons), 0.0,
                     out, kWorkers, stop);
  ASSERT_FALSE(stopped.ok());
  EXPECT_TRUE(is_interrupted(stopped.error()));
}

// The least squared chord among the records whose zone is `zone`, the
// lowest record on a tie: what a search restricted to that zone must find.
std::uint32_t brute_nearest(const std::vector<kdtree::Point>& points,
                            const std::vector<int>& zones, int zone,
                            const kdtree::Point& query) {
  std::uint32_t best = kNoRecord;
  double best_chord = std::numeric_limits<double>::infinity();
  for (std::size_t r = 0; r < points.size(); ++r) {
    if (zone >= 0 && zones[r] != zone) continue;
    double chord = 0;
    for (std::size_t d = 0; d < query.size(); ++d) {
      chord += (points[r][d] - query[d]) * (points[r][d] - query[d]);
    }
    if (chord < best_chord) {
      best_chord = chord;
      best = static_cast<std::uint32_t>(r);
    }
  }
  return best;
}

TEST(WhereBatchTest, ThreadsGiveTheBruteForceAnswers) {
  // Records in three zones, one of them rare, on a coarse lattice so that
  // equal distances (ties) happen.
  std::mt19937_64 random(12);
  std::uniform_int_distribution<int> degree(-30, 30);
  std::uniform_int_distribution<int> zone_of(0, 9);
  std::string text = "lat,lon,zone\n";
  std::vector<kdtree::Point> points;
  std::vector<int> zones;
  for (int r = 0; r < 3000; ++r) {
    const int lat = degree(random);
    const int lon = degree(random);
    const int pick = zone_of(random);
    const int zone = pick == 0 ? 2 : pick % 2;
    text += std::to_string(lat) + "," + std::to_string(lon) + ",z" +
            std::to_string(zone) + "\n";
    points.push_back(lat_lon_to_point(lat, lon));
    zones.push_back(zone);
  }
  Result<ReverseGeocoder> geocoder = ReverseGeocoder::build(text, U',', false);
  ASSERT_TRUE(geocoder.ok()) << geocoder.error().message();
  Result<ValueIndex> index = ValueIndex::build(geocoder.value(), 2);
  ASSERT_TRUE(index.ok());
  ASSERT_EQ(index.value().find("z9"), kAbsentValue);

  std::vector<double> lats, lons;
  random_positions(random, lats, lons);
  // Per position: one of the zones, no restriction, or a value no record has.
  std::vector<std::uint32_t> ids(kPositions);
  std::vector<int> wanted(kPositions);
  std::uniform_int_distribution<int> choice(0, 4);
  for (std::size_t i = 0; i < kPositions; ++i) {
    const int c = choice(random);
    if (c < 3) {
      ids[i] = index.value().find("z" + std::to_string(c));
      wanted[i] = c;
    } else {
      ids[i] = c == 3 ? kAnyValue : kAbsentValue;
      wanted[i] = c == 3 ? -1 : -2;
    }
  }
  std::vector<std::uint32_t> items(kPositions);
  std::vector<double> chords(kPositions);
  ASSERT_TRUE(nearest_records_where(
                  geocoder.value(), index.value(), NumberColumn::of(lats),
                  NumberColumn::of(lons), ids, items, chords, kWorkers)
                  .ok());
  for (std::size_t i = 0; i < kPositions; ++i) {
    const bool position = std::isfinite(lats[i]) && std::isfinite(lons[i]);
    if (!position || wanted[i] == -2) {
      EXPECT_EQ(items[i], kNoRecord) << i;
      EXPECT_TRUE(std::isnan(chords[i])) << i;
      continue;
    }
    const kdtree::Point query = lat_lon_to_point(lats[i], lons[i]);
    const std::uint32_t expected =
        brute_nearest(points, zones, wanted[i], query);
    ASSERT_EQ(items[i], expected)
        << i << " zone " << wanted[i] << " got zone " << zones[items[i]]
        << " at " << points[items[i]][0] << "," << points[items[i]][1]
        << " expected at " << points[expected][0] << "," << points[expected][1]
        << " chord " << chords[i] << " query " << lats[i] << "," << lons[i];
  }
}

}  // namespace
}  // namespace quorvel

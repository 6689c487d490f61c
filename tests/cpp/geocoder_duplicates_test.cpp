// Records that the index does not hold (groups of identical points stored
// once) against a brute-force scan over every record: the table names each
// of them under the lowest record at its point, and the widened k-nearest
// and within-radius rows hold every record, by distance then record number.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "geocoder/batch_queries.h"
#include "geocoder/batch_search.h"
#include "geocoder/duplicates.h"
#include "geocoder/geocoder.h"

namespace quorvel {
namespace {

// Groups of far more identical points than a bucket holds, among scattered
// ones; the coordinates stand in columns 2 (lat) and 0 (lon).
struct Crowd {
  std::vector<double> lats;
  std::vector<double> lons;
  ReverseGeocoder geocoder;
};

Crowd crowd(std::uint64_t seed, bool drop_coordinates) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> lat(-60, 60), lon(-180, 180);
  std::vector<std::pair<double, double>> spots(6);
  for (auto& s : spots) s = {lat(rng), lon(rng)};
  std::uniform_int_distribution<int> pick(0, 9);
  std::vector<double> lats, lons;
  for (int i = 0; i < 900; ++i) {
    const int p = pick(rng);
    if (p < 6) {
      lats.push_back(spots[p].first);
      lons.push_back(spots[p].second);
    } else {
      lats.push_back(lat(rng));
      lons.push_back(lon(rng));
    }
  }
  std::string csv = "lon,name,lat\n";
  char line[96];
  for (std::size_t i = 0; i < lats.size(); ++i) {
    std::snprintf(line, sizeof line, "%.17g,r%zu,%.17g\n", lons[i], i, lats[i]);
    csv += line;
  }
  BuildOptions options;
  options.lat_column = 2;
  options.lon_column = 0;
  options.drop_coordinates = drop_coordinates;
  Result<ReverseGeocoder> g = ReverseGeocoder::build(csv, U',', options);
  if (!g.ok()) {
    ADD_FAILURE() << g.error().message();
    std::abort();
  }
  return {std::move(lats), std::move(lons), std::move(g).value()};
}

std::vector<bool> indexed(const ReverseGeocoder& geocoder) {
  std::vector<bool> in(geocoder.size(), false);
  for (const kdtree::LeafNode& leaf : geocoder.tree().leaves()) {
    for (std::size_t s = 0; s < leaf.size; ++s)
      in[leaf.content_items[s]] = true;
  }
  return in;
}

TEST(DuplicateTableTest, NamesEveryMissingRecordUnderTheLowestAtItsPoint) {
  const Crowd c = crowd(301, false);
  const std::vector<bool> in = indexed(c.geocoder);
  ASSERT_LT(c.geocoder.tree().size(), c.geocoder.size());
  const DuplicateTable table = DuplicateTable::build(c.geocoder);
  std::map<std::pair<double, double>, std::uint32_t> lowest;
  for (std::uint32_t i = 0; i < c.lats.size(); ++i) {
    lowest.emplace(std::make_pair(c.lats[i], c.lons[i]), i);
  }
  std::vector<int> named(c.lats.size(), 0);
  for (std::uint32_t i = 0; i < c.lats.size(); ++i) {
    const auto followers = table.followers(i);
    EXPECT_TRUE(std::is_sorted(followers.begin(), followers.end()));
    for (const std::uint32_t f : followers) {
      ++named[f];
      EXPECT_EQ(lowest.at({c.lats[f], c.lons[f]}), i);
    }
  }
  for (std::uint32_t i = 0; i < c.lats.size(); ++i) {
    EXPECT_EQ(named[i], in[i] ? 0 : 1) << "record " << i;
  }
}

TEST(DuplicateTableTest, EmptyWithoutCoordinatesOrWithoutGroups) {
  EXPECT_TRUE(DuplicateTable::build(crowd(5, true).geocoder).empty());
  Result<ReverseGeocoder> plain =
      ReverseGeocoder::build("lat,lon\n1,2\n1,2\n3,4\n", U',', false);
  ASSERT_TRUE(plain.ok());
  EXPECT_TRUE(DuplicateTable::build(plain.value()).empty());
}

TEST(DuplicateTableTest, LazyTableIsBuiltOnceForManyThreads) {
  const Crowd c = crowd(17, false);
  const LazyDuplicates lazy(c.geocoder);
  std::vector<const DuplicateTable*> seen(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&, t] { seen[t] = &lazy.get(); });
  }
  for (std::thread& thread : threads) thread.join();
  for (const DuplicateTable* table : seen) EXPECT_EQ(table, seen[0]);
  EXPECT_FALSE(seen[0]->empty());
}

struct Found {
  double km;
  std::uint32_t item;
};

// Every record by reported distance to (lat, lon), then record number.
std::vector<Found> brute(const Crowd& c, double lat, double lon) {
  const kdtree::Point q = lat_lon_to_point(lat, lon);
  std::vector<Found> all;
  for (std::uint32_t i = 0; i < c.lats.size(); ++i) {
    const kdtree::Point p = lat_lon_to_point(c.lats[i], c.lons[i]);
    const double d0 = p[0] - q[0], d1 = p[1] - q[1], d2 = p[2] - q[2];
    all.push_back({chord_to_km((d0 * d0 + d1 * d1) + d2 * d2), i});
  }
  std::sort(all.begin(), all.end(), [](const Found& a, const Found& b) {
    return a.km < b.km || (a.km == b.km && a.item < b.item);
  });
  return all;
}

void queries(const Crowd& c, std::vector<double>& lats,
             std::vector<double>& lons) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> nudge(0.0, 2.0);
  for (std::size_t i = 0; i < 200; ++i) {
    lats.push_back(
        std::clamp(c.lats[i] + (i % 2 ? nudge(rng) : 0.0), -90.0, 90.0));
    lons.push_back(c.lons[i] + (i % 2 ? nudge(rng) : 0.0));
  }
}

TEST(DuplicateTableTest, WidenedKNearestRowsMatchBruteForce) {
  const Crowd c = crowd(11, false);
  const DuplicateTable table = DuplicateTable::build(c.geocoder);
  std::vector<double> lats, lons;
  queries(c, lats, lons);
  for (const std::size_t k : {1u, 3u, 40u, 200u}) {
    std::vector<std::uint32_t> items(lats.size() * k);
    std::vector<double> km(items.size());
    ASSERT_TRUE(nearest_k_records(c.geocoder, NumberColumn::of(lats),
                                  NumberColumn::of(lons), k, 1e9, items, km, 2)
                    .ok());
    expand_k_rows(table, k, items, km);
    for (std::size_t i = 0; i < lats.size(); ++i) {
      const std::vector<Found> want = brute(c, lats[i], lons[i]);
      for (std::size_t j = 0; j < k; ++j) {
        ASSERT_EQ(km[i * k + j], want[j].km) << "position " << i << " k " << k;
        if (j + 1 < k && km[i * k + j] == km[i * k + j + 1]) {
          ASSERT_LT(items[i * k + j], items[i * k + j + 1]);
        }
      }
      // Whole groups of one distance agree; the last may be cut anywhere.
      for (std::size_t j = 0; j < k && want[j].km < want[k - 1].km; ++j) {
        ASSERT_EQ(items[i * k + j], want[j].item) << "position " << i;
      }
    }
  }
}

TEST(DuplicateTableTest, WidenedWithinRowsMatchBruteForce) {
  const Crowd c = crowd(13, false);
  const DuplicateTable table = DuplicateTable::build(c.geocoder);
  std::vector<double> lats, lons;
  queries(c, lats, lons);
  const double radius[1] = {900.0};
  for (const bool sort : {true, false}) {
    Result<WithinRows> rows = records_within(
        c.geocoder, NumberColumn::of(lats), NumberColumn::of(lons),
        {radius, 0, NumberFormat::kFloat64}, lats.size(), true, sort, 2);
    ASSERT_TRUE(rows.ok());
    std::vector<std::uint64_t> offsets(lats.size() + 1);
    std::vector<std::uint32_t> items(rows.value().total());
    std::vector<double> km(items.size());
    rows.value().copy_to(offsets, items, km);
    std::vector<std::uint64_t> wide_offsets;
    std::vector<std::uint32_t> wide_items;
    std::vector<double> wide_km;
    expand_within_rows(table, offsets, items, km, sort, &wide_offsets,
                       &wide_items, &wide_km);
    for (std::size_t i = 0; i < lats.size(); ++i) {
      std::vector<Found> want = brute(c, lats[i], lons[i]);
      want.erase(std::find_if(want.begin(), want.end(),
                              [&](const Found& f) { return f.km > radius[0]; }),
                 want.end());
      std::vector<std::uint32_t> got(wide_items.begin() + wide_offsets[i],
                                     wide_items.begin() + wide_offsets[i + 1]);
      if (sort) {
        for (std::size_t j = 0; j < want.size(); ++j) {
          ASSERT_EQ(wide_km[wide_offsets[i] + j], want[j].km);
        }
      }
      std::vector<std::uint32_t> want_items;
      for (const Found& f : want) want_items.push_back(f.item);
      std::sort(got.begin(), got.end());
      std::sort(want_items.begin(), want_items.end());
      ASSERT_EQ(got, want_items) << "position " << i;
    }
  }
}

}  // namespace
}  // namespace quorvel

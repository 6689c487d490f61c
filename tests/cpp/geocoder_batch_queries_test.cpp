// The k-nearest, distance-limit and within-radius batches against a
// brute-force scan over every record: the same records in the same order
// (squared chord, then record number), the same kilometres, limits and radii
// inclusive on the reported kilometres, whatever the thread count.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "geocoder/batch_queries.h"
#include "geocoder/batch_search.h"
#include "geocoder/geocoder.h"
#include "kdtree/knn_search.h"

namespace quorvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Records at known positions, and the geocoder built from them.
struct Places {
  std::vector<double> lats;
  std::vector<double> lons;
  ReverseGeocoder geocoder;
  std::vector<bool> indexed;  // See indexed_records.
};

// Whether the index holds record i itself: a build whose plan cannot route
// every point keeps each group of identical points once, under its lowest
// record, and only that record can be found.
std::vector<bool> indexed_records(const ReverseGeocoder& geocoder) {
  std::vector<bool> indexed(geocoder.size(), false);
  for (const kdtree::LeafNode& leaf : geocoder.tree().leaves()) {
    for (std::size_t s = 0; s < leaf.size; ++s) {
      indexed[leaf.content_items[s]] = true;
    }
  }
  return indexed;
}

// Writes each coordinate with enough digits to read back as the same double,
// so that the oracle's unit vectors are the geocoder's.
Places places_at(std::vector<double> lats, std::vector<double> lons) {
  std::string csv = "lat,lon,id\n";
  char buffer[80];
  for (std::size_t i = 0; i < lats.size(); ++i) {
    std::snprintf(buffer, sizeof buffer, "%.17g,%.17g,%zu\n", lats[i], lons[i],
                  i);
    csv += buffer;
  }
  Result<ReverseGeocoder> g = ReverseGeocoder::build(csv, U',', false);
  if (!g.ok()) {
    ADD_FAILURE() << g.error().message();
    std::abort();
  }
  std::vector<bool> indexed = indexed_records(g.value());
  return {std::move(lats), std::move(lons), std::move(g).value(),
          std::move(indexed)};
}

Places random_places(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
  std::vector<double> lats(n), lons(n);
  for (std::size_t i = 0; i < n; ++i) {
    lats[i] = lat(rng);
    lons[i] = lon(rng);
  }
  return places_at(lats, lons);
}

// Few distinct places, each repeated about `copies` times.
Places duplicate_places(std::size_t n, std::size_t copies, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> lat(-60, 60), lon(-180, 180);
  std::vector<std::pair<double, double>> distinct(n / copies);
  for (auto& p : distinct) p = {lat(rng), lon(rng)};
  std::uniform_int_distribution<std::size_t> pick(0, distinct.size() - 1);
  std::vector<double> lats(n), lons(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto& p = distinct[pick(rng)];
    lats[i] = p.first;
    lons[i] = p.second;
  }
  return places_at(lats, lons);
}

// A whole-degree grid: equidistant neighbours everywhere.
Places grid_places() {
  std::vector<double> lats, lons;
  for (int lat = -80; lat <= 80; lat += 4) {
    for (int lon = -180; lon < 180; lon += 5) {
      lats.push_back(lat);
      lons.push_back(lon);
    }
  }
  return places_at(lats, lons);
}

// Places crowded near both poles and on both sides of the antimeridian.
Places edge_places(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> polar(86, 90), lon(-180, 180),
      edge(0, 0.3);
  std::vector<double> lats, lons;
  for (int i = 0; i < 800; ++i) {
    lats.push_back(i % 2 ? polar(rng) : -polar(rng));
    lons.push_back(lon(rng));
    lats.push_back(lon(rng) / 2);
    lons.push_back(i % 2 ? 180 - edge(rng) : -180 + edge(rng));
  }
  return places_at(lats, lons);
}

// Queries near the stored places, on them, uniform, near the poles and the
// antimeridian, and a few non-finite ones.
void make_queries(const Places& places, std::size_t n, std::uint64_t seed,
                  std::vector<double>& lats, std::vector<double>& lons) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<std::size_t> pick(0, places.lats.size() - 1);
  std::normal_distribution<double> nudge(0.0, 0.2);
  std::uniform_real_distribution<double> unit(-1, 1), lon(-180, 180);
  lats.clear();
  lons.clear();
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t p = pick(rng);
    switch (i % 4) {
      case 0:
        lats.push_back(places.lats[p]);
        lons.push_back(places.lons[p]);
        break;
      case 1:
        lats.push_back(std::clamp(places.lats[p] + nudge(rng), -90.0, 90.0));
        lons.push_back(places.lons[p] + nudge(rng));
        break;
      case 2:
        lats.push_back(std::asin(unit(rng)) / DEGREES_TO_RADIANS);
        lons.push_back(lon(rng));
        break;
      default:
        lats.push_back(i % 8 == 3 ? 89.9 + unit(rng) / 10 : unit(rng) * 60);
        lons.push_back(i % 8 == 7 ? 180 + unit(rng) / 5 : -180 + unit(rng));
    }
  }
  lats.push_back(kNaN);
  lons.push_back(0);
  lats.push_back(0);
  lons.push_back(kInf);
}

struct Found {
  double chord;
  std::uint32_t item;
};

// Every indexed record by squared chord to (lat, lon), then by record
// number, computed as the engine computes it.
std::vector<Found> by_distance(const Places& places, double lat, double lon) {
  const kdtree::Point q = lat_lon_to_point(lat, lon);
  std::vector<Found> all;
  for (std::size_t i = 0; i < places.lats.size(); ++i) {
    if (!places.indexed[i]) continue;
    const kdtree::Point p = lat_lon_to_point(places.lats[i], places.lons[i]);
    const double d0 = p[0] - q[0];
    const double d1 = p[1] - q[1];
    const double d2 = p[2] - q[2];
    all.push_back(
        {(d0 * d0 + d1 * d1) + d2 * d2, static_cast<std::uint32_t>(i)});
  }
  std::sort(all.begin(), all.end(), [](const Found& a, const Found& b) {
    return a.chord < b.chord || (a.chord == b.chord && a.item < b.item);
  });
  return all;
}

// The records within max_km (inclusive on the reported kilometres).
std::vector<Found> within(const std::vector<Found>& all, double max_km) {
  std::vector<Found> kept;
  for (const Found& f : all) {
    if (chord_to_km(f.chord) <= max_km) kept.push_back(f);
  }
  return kept;
}

bool finite_position(double lat, double lon) {
  return std::isfinite(lat) && std::isfinite(lon);
}

void check_k_nearest(const Places& places, std::size_t k, double max_km,
                     unsigned workers, std::uint64_t seed) {
  std::vector<double> lats, lons;
  make_queries(places, 240, seed, lats, lons);
  const std::size_t n = lats.size();
  std::vector<std::uint32_t> items(n * k, 7);
  std::vector<double> km(n * k, -1);
  ASSERT_TRUE(nearest_k_records(places.geocoder, NumberColumn::of(lats),
                                NumberColumn::of(lons), k, max_km, items, km,
                                workers)
                  .ok());
  for (std::size_t i = 0; i < n; ++i) {
    SCOPED_TRACE("position " + std::to_string(lats[i]) + ", " +
                 std::to_string(lons[i]) + " k " + std::to_string(k) +
                 " limit " + std::to_string(max_km));
    if (!finite_position(lats[i], lons[i])) {
      for (std::size_t j = 0; j < k; ++j) {
        EXPECT_EQ(items[i * k + j], kNoRecord);
        EXPECT_TRUE(std::isnan(km[i * k + j]));
      }
      continue;
    }
    const std::vector<Found> want =
        within(by_distance(places, lats[i], lons[i]), max_km);
    for (std::size_t j = 0; j < k; ++j) {
      if (j < want.size()) {
        ASSERT_EQ(items[i * k + j], want[j].item) << "slot " << j;
        ASSERT_EQ(km[i * k + j], chord_to_km(want[j].chord)) << "slot " << j;
      } else {
        ASSERT_EQ(items[i * k + j], kNoRecord) << "slot " << j;
        ASSERT_EQ(km[i * k + j], kInf) << "slot " << j;
      }
    }
  }
}

void check_within(const Places& places, double radius_km, bool sort,
                  unsigned workers, std::uint64_t seed) {
  std::vector<double> lats, lons;
  make_queries(places, 240, seed, lats, lons);
  const std::size_t n = lats.size();
  const double radius[1] = {radius_km};
  const NumberColumn radii{radius, 0, NumberFormat::kFloat64};
  Result<WithinRows> rows =
      records_within(places.geocoder, NumberColumn::of(lats),
                     NumberColumn::of(lons), radii, n, true, sort, workers);
  ASSERT_TRUE(rows.ok());
  std::vector<std::uint64_t> offsets(n + 1);
  std::vector<std::uint32_t> items(rows.value().total());
  std::vector<double> km(rows.value().total());
  rows.value().copy_to(offsets, items, km);
  std::vector<std::uint64_t> counts(n, 99);
  ASSERT_TRUE(count_records_within(places.geocoder, NumberColumn::of(lats),
                                   NumberColumn::of(lons), radii, counts,
                                   workers)
                  .ok());
  ASSERT_EQ(offsets[0], 0u);
  ASSERT_EQ(offsets[n], items.size());
  for (std::size_t i = 0; i < n; ++i) {
    SCOPED_TRACE("position " + std::to_string(lats[i]) + ", " +
                 std::to_string(lons[i]) + " radius " +
                 std::to_string(radius_km));
    std::vector<Found> want;
    if (finite_position(lats[i], lons[i])) {
      want = within(by_distance(places, lats[i], lons[i]), radius_km);
    }
    ASSERT_EQ(offsets[i + 1] - offsets[i], want.size());
    EXPECT_EQ(counts[i], want.size());
    std::vector<std::pair<std::uint32_t, double>> got;
    for (std::uint64_t j = offsets[i]; j < offsets[i + 1]; ++j) {
      got.push_back({items[j], km[j]});
    }
    if (!sort) std::sort(got.begin(), got.end());
    std::vector<std::pair<std::uint32_t, double>> expected;
    for (const Found& f : want)
      expected.push_back({f.item, chord_to_km(f.chord)});
    if (!sort) std::sort(expected.begin(), expected.end());
    ASSERT_EQ(got, expected);
  }
}

// A limit or radius exactly at a reported distance, and some round ones.
std::vector<double> limits_for(const Places& places) {
  const std::vector<Found> all = by_distance(places, 10.5, 20.5);
  return {kInf,
          0.0,
          25.0,
          300.0,
          2500.0,
          chord_to_km(all[3].chord),
          chord_to_km(all[40].chord)};
}

TEST(BatchKNearest, MatchesBruteForceOnRandomPlaces) {
  const Places places = random_places(2000, 1);
  for (const double limit : limits_for(places)) {
    for (const std::size_t k : {2u, 5u, 17u}) {
      check_k_nearest(places, k, limit, 1, 2);
      ASSERT_FALSE(HasFatalFailure());
    }
  }
}

TEST(BatchKNearest, MatchesBruteForceOnDuplicatesGridsAndEdges) {
  const Places sets[] = {duplicate_places(1500, 10, 3),
                         duplicate_places(1500, 2, 3), grid_places(),
                         edge_places(4)};
  for (const Places& places : sets) {
    for (const double limit : limits_for(places)) {
      check_k_nearest(places, 12, limit, 2, 5);
      ASSERT_FALSE(HasFatalFailure());
    }
  }
}

TEST(BatchKNearest, KBeyondTheRecordsPadsTheRow) {
  const Places places = random_places(6, 6);
  check_k_nearest(places, 9, kInf, 1, 7);
}

TEST(BatchKNearest, SeveralWorkersAnswerAsOne) {
  const Places places = random_places(3000, 8);
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
  const std::size_t n = 40000;
  std::vector<double> lats(n), lons(n);
  for (std::size_t i = 0; i < n; ++i) {
    lats[i] = lat(rng);
    lons[i] = lon(rng);
  }
  const std::size_t k = 4;
  std::vector<std::uint32_t> one(n * k), many(n * k);
  std::vector<double> one_km(n * k), many_km(n * k);
  ASSERT_TRUE(nearest_k_records(places.geocoder, NumberColumn::of(lats),
                                NumberColumn::of(lons), k, 900, one, one_km, 1)
                  .ok());
  ASSERT_TRUE(nearest_k_records(places.geocoder, NumberColumn::of(lats),
                                NumberColumn::of(lons), k, 900, many, many_km,
                                4)
                  .ok());
  EXPECT_EQ(one, many);
  EXPECT_EQ(one_km, many_km);

  const double radius[1] = {400};
  const NumberColumn radii{radius, 0, NumberFormat::kFloat64};
  Result<WithinRows> a =
      records_within(places.geocoder, NumberColumn::of(lats),
                     NumberColumn::of(lons), radii, n, false, true, 1);
  Result<WithinRows> b =
      records_within(places.geocoder, NumberColumn::of(lats),
                     NumberColumn::of(lons), radii, n, false, true, 4);
  ASSERT_TRUE(a.ok() && b.ok());
  ASSERT_EQ(a.value().total(), b.value().total());
  std::vector<std::uint64_t> off_a(n + 1), off_b(n + 1);
  std::vector<std::uint32_t> items_a(a.value().total()),
      items_b(b.value().total());
  a.value().copy_to(off_a, items_a, {});
  b.value().copy_to(off_b, items_b, {});
  EXPECT_EQ(off_a, off_b);
  EXPECT_EQ(items_a, items_b);
}

// The plain nearest under a limit is the unlimited answer, kept or dropped.
TEST(BatchNearestWithin, KeepsOrDropsTheNearestRecord) {
  const Places places = random_places(800, 10);
  std::vector<double> lats, lons;
  make_queries(places, 400, 11, lats, lons);
  const std::size_t n = lats.size();
  std::vector<std::uint32_t> plain(n);
  std::vector<double> chords(n);
  ASSERT_TRUE(nearest_records(places.geocoder, NumberColumn::of(lats),
                              NumberColumn::of(lons), plain, chords, 1)
                  .ok());
  const double exact = chord_to_km(chords[5]);
  for (const double limit : {kInf, 0.0, 150.0, exact}) {
    std::vector<std::uint32_t> items(n);
    std::vector<double> km(n);
    ASSERT_TRUE(nearest_records_within(places.geocoder, NumberColumn::of(lats),
                                       NumberColumn::of(lons), limit, items, km,
                                       2)
                    .ok());
    for (std::size_t i = 0; i < n; ++i) {
      if (!finite_position(lats[i], lons[i])) {
        EXPECT_EQ(items[i], kNoRecord);
        EXPECT_TRUE(std::isnan(km[i]));
      } else if (chord_to_km(chords[i]) <= limit) {
        EXPECT_EQ(items[i], plain[i]);
        EXPECT_EQ(km[i], chord_to_km(chords[i]));
      } else {
        EXPECT_EQ(items[i], kNoRecord);
        EXPECT_EQ(km[i], kInf);
      }
    }
    if (limit >= exact) EXPECT_NE(items[5], kNoRecord) << limit;
  }
}

TEST(BatchWithin, MatchesBruteForce) {
  const Places sets[] = {
      random_places(2000, 12), duplicate_places(1500, 10, 13),
      duplicate_places(1500, 2, 13), grid_places(), edge_places(14)};
  for (const Places& places : sets) {
    for (const double radius : limits_for(places)) {
      if (radius > 3000) continue;  // Everything: covered by the tree tests.
      check_within(places, radius, true, 1, 15);
      ASSERT_FALSE(HasFatalFailure());
      check_within(places, radius, false, 3, 16);
      ASSERT_FALSE(HasFatalFailure());
    }
  }
  check_within(random_places(300, 17), kInf, true, 1, 18);
  check_within(random_places(300, 17), 25000, false, 1, 18);
}

// Pairs of identical places in one bucket: the index stores every record,
// and each copy is a result of its own. (Larger sets with copies go to the
// build that stores each group once; the sets above cover that.)
TEST(BatchKNearest, CopiesOfAPlaceAreSeparateResults) {
  const Places places = duplicate_places(32, 2, 22);
  ASSERT_EQ(places.geocoder.tree().size(), 32u);
  check_k_nearest(places, 5, kInf, 1, 23);
  check_within(places, 3000, true, 1, 24);
}

TEST(BatchWithin, RadiusZeroOnAStoredPointFindsEveryCopy) {
  const Places places =
      places_at({10, 20, 10, -5, 10}, {30, 40, 30, 50, 30.000001});
  const std::vector<double> lats{10}, lons{30};
  const double radius[1] = {0};
  const NumberColumn radii{radius, 0, NumberFormat::kFloat64};
  Result<WithinRows> rows =
      records_within(places.geocoder, NumberColumn::of(lats),
                     NumberColumn::of(lons), radii, 1, true, true, 1);
  ASSERT_TRUE(rows.ok());
  std::vector<std::uint64_t> offsets(2);
  std::vector<std::uint32_t> items(rows.value().total());
  std::vector<double> km(items.size());
  rows.value().copy_to(offsets, items, km);
  EXPECT_EQ(items, (std::vector<std::uint32_t>{0, 2}));
  EXPECT_EQ(km, (std::vector<double>{0.0, 0.0}));
}

// A radius per position: a column of radii read with its own stride and
// element type.
TEST(BatchWithin, RadiusColumn) {
  const Places places = random_places(1500, 19);
  std::vector<double> lats, lons;
  make_queries(places, 300, 20, lats, lons);
  const std::size_t n = lats.size();
  std::vector<std::int32_t> radius_values(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    radius_values[2 * i] = static_cast<std::int32_t>((i * 37) % 700);
  }
  const NumberColumn radii{radius_values.data(), 2 * sizeof(std::int32_t),
                           NumberFormat::kInt32};
  std::vector<std::uint64_t> counts(n);
  ASSERT_TRUE(count_records_within(places.geocoder, NumberColumn::of(lats),
                                   NumberColumn::of(lons), radii, counts, 2)
                  .ok());
  Result<WithinRows> rows =
      records_within(places.geocoder, NumberColumn::of(lats),
                     NumberColumn::of(lons), radii, n, false, true, 2);
  ASSERT_TRUE(rows.ok());
  std::vector<std::uint64_t> offsets(n + 1);
  std::vector<std::uint32_t> items(rows.value().total());
  rows.value().copy_to(offsets, items, {});
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<std::uint32_t> want;
    if (finite_position(lats[i], lons[i])) {
      for (const Found& f : within(by_distance(places, lats[i], lons[i]),
                                   radius_values[2 * i])) {
        want.push_back(f.item);
      }
    }
    EXPECT_EQ(counts[i], want.size()) << i;
    ASSERT_EQ(std::vector<std::uint32_t>(items.begin() + offsets[i],
                                         items.begin() + offsets[i + 1]),
              want)
        << i;
  }
}

TEST(BatchQueries, EmptyGeocoder) {
  Result<ReverseGeocoder> g = ReverseGeocoder::build("lat,lon\n", U',', false);
  ASSERT_TRUE(g.ok());
  const std::vector<double> lats{1, kNaN}, lons{2, 3};
  std::vector<std::uint32_t> items(4);
  std::vector<double> km(4);
  const Status k_status =
      nearest_k_records(g.value(), NumberColumn::of(lats),
                        NumberColumn::of(lons), 2, kInf, items, km, 1);
  ASSERT_FALSE(k_status.ok());
  EXPECT_EQ(k_status.error().message(),
            "cannot look up a place: the geocoder has no records");
  EXPECT_FALSE(nearest_records_within(g.value(), NumberColumn::of(lats),
                                      NumberColumn::of(lons), 5,
                                      std::span(items).first(2), {}, 1)
                   .ok());
  // An empty batch is no lookup at all.
  EXPECT_TRUE(nearest_k_records(g.value(), NumberColumn::of(lats),
                                NumberColumn::of(lons), 2, kInf, {}, {}, 1)
                  .ok());

  const double radius[1] = {100};
  const NumberColumn radii{radius, 0, NumberFormat::kFloat64};
  Result<WithinRows> rows =
      records_within(g.value(), NumberColumn::of(lats), NumberColumn::of(lons),
                     radii, 2, true, true, 1);
  ASSERT_TRUE(rows.ok());
  EXPECT_EQ(rows.value().total(), 0u);
  std::vector<std::uint64_t> offsets(3, 9);
  rows.value().copy_to(offsets, {}, {});
  EXPECT_EQ(offsets, (std::vector<std::uint64_t>{0, 0, 0}));
  std::vector<std::uint64_t> counts(2, 9);
  ASSERT_TRUE(count_records_within(g.value(), NumberColumn::of(lats),
                                   NumberColumn::of(lons), radii, counts, 1)
                  .ok());
  EXPECT_EQ(counts, (std::vector<std::uint64_t>{0, 0}));
}

// The chord bounds bracket the limit: below `sure` every chord converts to
// at most the limit, above `maybe` every chord to more.
TEST(BatchQueries, ChordBoundsBracketTheLimit) {
  std::mt19937_64 rng(21);
  std::uniform_real_distribution<double> km(0, 20000);
  std::vector<double> limits{0, 1e-300, 1e-9, 0.001, 1, 10, 20015.08};
  for (int i = 0; i < 2000; ++i) limits.push_back(km(rng));
  for (const double limit : limits) {
    const ChordBounds b = chord_bounds_for_km(limit);
    ASSERT_LE(b.sure, b.maybe) << limit;
    if (std::isinf(b.maybe)) {
      EXPECT_GE(limit, chord_to_km(4.0));
      continue;
    }
    EXPECT_LE(chord_to_km(b.sure), limit) << limit;
    EXPECT_GT(chord_to_km(std::nextafter(b.maybe, kInf)), limit) << limit;
    // The band is narrow: it costs nothing to check it point by point.
    EXPECT_LE(b.maybe - b.sure, 1e-11 * b.maybe + 1e-300) << limit;
  }
  EXPECT_EQ(chord_bounds_for_km(0).sure, 0.0);
  EXPECT_TRUE(std::isinf(chord_bounds_for_km(kInf).sure));
  EXPECT_TRUE(std::isinf(chord_bounds_for_km(20016).maybe));
}

}  // namespace
}  // namespace quorvel

// Nearest-place lookups: the stored line, the fields for the dictionary, and
// the refusals that keep every lookup inside the geocoder's data.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "geocoder/geocoder.h"
#include "geocoder_parts.h"

namespace quorvel {
namespace {

ReverseGeocoder built(std::string csv, bool drop = false) {
  Result<ReverseGeocoder> g =
      ReverseGeocoder::build(std::move(csv), U',', drop);
  EXPECT_TRUE(g.ok()) << g.error().message();
  return std::move(g).value();
}

std::string nearest(const ReverseGeocoder& g, double lat, double lon) {
  Result<std::string_view> r = g.get_nearest(lat, lon);
  EXPECT_TRUE(r.ok()) << r.error().message();
  return r.ok() ? std::string(r.value()) : std::string();
}

std::vector<std::string> nearest_fields(const ReverseGeocoder& g, double lat,
                                        double lon) {
  Result<csv::Record> r = g.get_nearest_record(lat, lon);
  EXPECT_TRUE(r.ok()) << r.error().message();
  std::vector<std::string> out;
  if (r.ok()) {
    for (std::size_t i = 0; i < r.value().size(); ++i) {
      out.emplace_back(r.value().field(i));
    }
  }
  return out;
}

using Fields = std::vector<std::string>;

TEST(GeocoderLookup, NearestLineAndFields) {
  ReverseGeocoder g = built("lat,lon,name\n10,20,a\n-33.9,18.4,b\n");
  EXPECT_EQ(nearest(g, 11, 21), "10,20,a");
  EXPECT_EQ(nearest(g, -80, -160), "-33.9,18.4,b");
  EXPECT_EQ(nearest(g, -33.9, 18.4), "-33.9,18.4,b");
  EXPECT_EQ(nearest_fields(g, -34, 18), (Fields{"-33.9", "18.4", "b"}));
}

TEST(GeocoderLookup, StoredLineAsWritten) {
  ReverseGeocoder dropped =
      built("lat,lon,name,pop\n1,2,\"x, y\",5\n", /*drop=*/true);
  EXPECT_EQ(nearest(dropped, 1, 2), "\"x, y\",5");
  EXPECT_EQ(nearest_fields(dropped, 1, 2), (Fields{"x, y", "5"}));
  ReverseGeocoder lone_cr = built("lat,lon,name\n10,20,a\r");
  EXPECT_EQ(nearest(lone_cr, 10, 20), "10,20,a\r");
  EXPECT_EQ(nearest_fields(lone_cr, 10, 20), (Fields{"10", "20", "a"}));
  // Repeated column names: the binding pairs field i with column i.
  ReverseGeocoder repeated = built("lat,lon,k,k\n1,2,a,b\n");
  EXPECT_EQ(repeated.columns(),
            (std::vector<std::string>{"lat", "lon", "k", "k"}));
  EXPECT_EQ(nearest_fields(repeated, 1, 2), (Fields{"1", "2", "a", "b"}));
}

TEST(GeocoderLookup, NoRecordsIsAnError) {
  ReverseGeocoder g = built("lat,lon\n");
  Result<std::string_view> r = g.get_nearest(0, 0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::kRuntime);
  EXPECT_NE(r.error().message().find("has no records"), std::string::npos);
  EXPECT_FALSE(g.get_nearest_record(0, 0).ok());
}

TEST(GeocoderLookup, NonFiniteQueryIsAnArgumentError) {
  ReverseGeocoder g = built("lat,lon\n1,2\n");
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (auto [lat, lon] :
       {std::pair{nan, 0.0}, {0.0, nan}, {inf, 0.0}, {0.0, -inf}}) {
    Result<std::string_view> r = g.get_nearest(lat, lon);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::kInvalidArgument);
    EXPECT_EQ(r.error().message(),
              "latitude and longitude must be finite numbers");
    EXPECT_EQ(g.get_nearest_record(lat, lon).error().kind(),
              ErrorKind::kInvalidArgument);
  }
  // Checked before the records: also on an empty geocoder.
  EXPECT_EQ(built("lat,lon\n").get_nearest(nan, 0).error().kind(),
            ErrorKind::kInvalidArgument);
}

TEST(GeocoderLookup, MoreFieldsThanColumnsIsAnError) {
  // Two columns with drop_coordinates: every stored line is `""`, which
  // reads back as one field, while there are no columns left.
  ReverseGeocoder g = built("lat,lon\n1,2\n", /*drop=*/true);
  EXPECT_EQ(nearest(g, 1, 2), "\"\"");
  Result<csv::Record> r = g.get_nearest_record(1, 2);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            "the nearest record has 1 fields, but the geocoder has only 0 "
            "columns");
}

TEST(GeocoderLookup, StoredSeparatorMustBeAscii) {
  // Only a loaded geocoder can hold one.
  test_support::GeocoderParts parts =
      test_support::parts_of(built("lat,lon\n1,2\n"));
  parts.value_sep = U'\u00e9';
  const ReverseGeocoder g = test_support::from_parts(parts).value();
  EXPECT_EQ(nearest(g, 1, 2), "1,2");
  EXPECT_EQ(g.get_nearest_record(1, 2).error().message(),
            "Value separator must by an ASII character (got 233)");
}

// More records at one point than a leaf holds still build, and a query there
// returns one of them.
TEST(GeocoderLookup, ManyRecordsAtOnePoint) {
  std::string csv = "lat,lon,name\n";
  for (int i = 0; i < 100; ++i) csv += "10,20,p" + std::to_string(i) + "\n";
  csv += "11,21,other\n";
  ReverseGeocoder g = built(csv);
  EXPECT_EQ(nearest(g, 10, 20).rfind("10,20,p", 0), 0u);
  EXPECT_EQ(nearest(g, 11.1, 21), "11,21,other");
}

// Parts that disagree (as a damaged saved file could give) never become a
// geocoder, so no lookup can read outside the text or the slices.
TEST(GeocoderFromParts, RefusesSlicesALookupCouldNotRead) {
  const ReverseGeocoder base = built("lat,lon,name\n1,2,caf\xC3\xA9\n");
  ASSERT_EQ(nearest(base, 1, 2), "1,2,caf\xC3\xA9");
  const std::size_t size = base.csv().size();
  auto with_slice = [&](StringSlice s) {
    test_support::GeocoderParts parts = test_support::parts_of(base);
    parts.indexed_data[0] = s;
    Result<ReverseGeocoder> g = test_support::from_parts(parts);
    return g.ok() ? std::string(g.value().get_nearest(1, 2).value())
                  : g.error().message();
  };
  const std::string where = "invalid saved geocoder: indexed_data[0] ";
  EXPECT_EQ(with_slice({-1, 3}),
            where + "(offset -1, len 3) has a negative offset");
  const auto past_end = [&](std::string slice) {
    return where + slice + " reaches past the end of csv (23 bytes)";
  };
  EXPECT_EQ(with_slice({static_cast<std::ptrdiff_t>(size) + 1, 0}),
            past_end("(offset 24, len 0)"));
  EXPECT_EQ(with_slice({13, size}), past_end("(offset 13, len 23)"));
  EXPECT_EQ(with_slice({13, std::numeric_limits<std::size_t>::max()}),
            past_end("(offset 13, len 18446744073709551615)"));
  EXPECT_EQ(with_slice({std::numeric_limits<std::ptrdiff_t>::max(), 2}),
            past_end("(offset 9223372036854775807, len 2)"));
  // Ending inside the two-byte character, or starting inside it.
  EXPECT_EQ(with_slice({13, 8}),
            where + "(offset 13, len 8) cuts a UTF-8 character of csv");
  EXPECT_EQ(with_slice({21, 1}),
            where + "(offset 21, len 1) cuts a UTF-8 character of csv");
  // An empty slice at the very end is harmless.
  EXPECT_EQ(with_slice({static_cast<std::ptrdiff_t>(size), 0}), "");

  test_support::GeocoderParts no_slices = test_support::parts_of(base);
  no_slices.indexed_data.clear();
  EXPECT_EQ(test_support::from_parts(no_slices).error().message(),
            "invalid saved geocoder: tree.leaves[0] slot 0 holds item 0, but "
            "there are only 0 slices");
}

// The factory that takes a tree already made checks the same rules.
TEST(GeocoderFromParts, TakesAValidTreeAndChecksItsItems) {
  const ReverseGeocoder base = built("lat,lon,name\n1,2,a\n3,4,b\n");
  auto make = [&](std::vector<StringSlice> slices) {
    return ReverseGeocoder::from_parts(base.csv(), base.value_sep(),
                                       base.columns(), std::move(slices),
                                       base.tree());
  };
  Result<ReverseGeocoder> same = make(base.indexed_data());
  ASSERT_TRUE(same.ok());
  EXPECT_EQ(std::string(same.value().get_nearest(3, 4).value()), "3,4,b");
  EXPECT_EQ(same.value().size(), 2u);
  EXPECT_EQ(make({base.indexed_data()[0]}).error().message(),
            "invalid saved geocoder: tree.leaves[0] slot 1 holds item 1, but "
            "there are only 1 slices");
  EXPECT_EQ(make({{0, 100}, base.indexed_data()[1]}).error().message(),
            "invalid saved geocoder: indexed_data[0] (offset 0, len 100) "
            "reaches past the end of csv (25 bytes)");
  // Tree rules are the tree's: its own messages, with the same prefix.
  test_support::GeocoderParts parts = test_support::parts_of(base);
  parts.tree.leaves[0].size = 40;
  EXPECT_EQ(test_support::from_parts(parts).error().message(),
            "invalid saved geocoder: tree.leaves[0].size is 40, more than the "
            "32 slots of a leaf");
}

// Against a brute-force scan of every record's point: the returned line must
// belong to a record at the minimum distance.
TEST(GeocoderLookup, MatchesBruteForceOnGeneratedCsv) {
  std::mt19937_64 rng(301);
  std::uniform_real_distribution<double> lat_dist(-90, 90), lon_dist(-180, 180);
  std::string csv = "lat,lon,name\n";
  std::vector<kdtree::Point> points;
  char buf[96];
  constexpr int kRecords = 5000;
  for (int i = 0; i < kRecords; ++i) {
    // A cluster of close places every so often, as real data has.
    double lat = lat_dist(rng), lon = lon_dist(rng);
    if (i % 50 < 10 && i >= 50) {
      lat = 48.85 + (i % 10) * 1e-4;
      lon = 2.35 - (i % 10) * 1e-4;
    }
    std::snprintf(buf, sizeof buf, "%.17g,%.17g,place %d\n", lat, lon, i);
    csv += buf;
    points.push_back(lat_lon_to_point(lat, lon));
  }
  const ReverseGeocoder g = built(csv);
  ASSERT_EQ(g.indexed_data().size(), static_cast<std::size_t>(kRecords));

  auto distance = [](const kdtree::Point& a, const kdtree::Point& b) {
    double sum = 0;
    for (int d = 0; d < 3; ++d) sum += (a[d] - b[d]) * (a[d] - b[d]);
    return sum;
  };
  for (int q = 0; q < 2000; ++q) {
    double lat = lat_dist(rng), lon = lon_dist(rng);
    if (q % 4 == 0) lat = 48.85 + (rng() % 2000) * 1e-6, lon = 2.35;
    const kdtree::Point query = lat_lon_to_point(lat, lon);
    double best = std::numeric_limits<double>::max();
    for (const kdtree::Point& p : points) {
      best = std::min(best, distance(query, p));
    }

    Result<csv::Record> found = g.get_nearest_record(lat, lon);
    ASSERT_TRUE(found.ok()) << found.error().message();
    const int index = std::stoi(std::string(found.value().field(2)).substr(6));
    EXPECT_EQ(distance(query, points[index]), best) << lat << "," << lon;
    EXPECT_EQ(nearest(g, lat, lon),
              std::string_view(g.csv()).substr(g.indexed_data()[index].offset,
                                               g.indexed_data()[index].len));
  }
  // Exact stored coordinates find a record at distance zero (their own, or
  // one sharing the point inside a cluster).
  for (int i = 0; i < kRecords; i += 7) {
    const StringSlice s = g.indexed_data()[i];
    const std::string line(std::string_view(g.csv()).substr(s.offset, s.len));
    const double lat = std::strtod(line.c_str(), nullptr);
    const double lon = std::strtod(line.c_str() + line.find(',') + 1, nullptr);
    Result<csv::Record> found = g.get_nearest_record(lat, lon);
    ASSERT_TRUE(found.ok());
    const int index = std::stoi(std::string(found.value().field(2)).substr(6));
    EXPECT_EQ(points[index], points[i]) << line;
  }
}

}  // namespace
}  // namespace quorvel

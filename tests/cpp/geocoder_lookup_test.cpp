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

#include "lib/geocoder.h"

namespace quorvel {
namespace {

ReverseGeocoder built(std::string csv, bool drop = false) {
  Result<ReverseGeocoder> g =
      ReverseGeocoder::build(std::move(csv), U',', drop);
  EXPECT_TRUE(g.ok()) << g.error().message();
  return g.ok() ? std::move(g).value() : ReverseGeocoder();
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
  EXPECT_EQ(repeated.columns,
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
  for (auto [lat, lon] : {std::pair{nan, 0.0}, {0.0, nan}, {inf, 0.0},
                          {0.0, -inf}}) {
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
  ReverseGeocoder g = built("lat,lon\n1,2\n");
  g.value_sep = U'\u00e9';
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

// Parts that disagree (as a damaged saved file could give) are refused
// without reading outside the text or the slices.
TEST(GeocoderLookup, InconsistentPartsAreErrors) {
  const ReverseGeocoder base = built("lat,lon,name\n1,2,caf\xC3\xA9\n");
  ASSERT_EQ(nearest(base, 1, 2), "1,2,caf\xC3\xA9");
  auto refused = [](const ReverseGeocoder& g) {
    Result<std::string_view> r = g.get_nearest(1, 2);
    EXPECT_FALSE(r.ok()) << "returned '" << r.value() << "'";
    if (!r.ok()) {
      EXPECT_EQ(r.error().kind(), ErrorKind::kRuntime);
    }
  };
  const std::size_t size = base.csv.size();
  const StringSlice bad_slices[] = {
      {-1, 3},
      {static_cast<std::ptrdiff_t>(size) + 1, 0},
      {13, size},
      {13, std::numeric_limits<std::size_t>::max()},
      {std::numeric_limits<std::ptrdiff_t>::max(), 2},
      {13, 8},  // Ends inside the two-byte character.
      {21, 1},  // Starts inside it.
  };
  for (const StringSlice& s : bad_slices) {
    ReverseGeocoder g = base;
    g.indexed_data[0] = s;
    refused(g);
  }
  ReverseGeocoder no_slices = base;
  no_slices.indexed_data.clear();
  refused(no_slices);
  // An empty slice at the very end is harmless.
  ReverseGeocoder empty_at_end = base;
  empty_at_end.indexed_data[0] = {static_cast<std::ptrdiff_t>(size), 0};
  EXPECT_EQ(nearest(empty_at_end, 1, 2), "");
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
  ASSERT_EQ(g.indexed_data.size(), static_cast<std::size_t>(kRecords));

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
              std::string_view(g.csv).substr(g.indexed_data[index].offset,
                                             g.indexed_data[index].len));
  }
  // Exact stored coordinates find a record at distance zero (their own, or
  // one sharing the point inside a cluster).
  for (int i = 0; i < kRecords; i += 7) {
    const StringSlice s = g.indexed_data[i];
    const std::string line(std::string_view(g.csv).substr(s.offset, s.len));
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

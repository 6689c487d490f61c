// Validation of the builder's input, and the nearest-boundary search.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "regions/regions.h"
#include "regions_test_support.h"

namespace quorvel::regions {
namespace {

using test_support::box;
using test_support::build_or_die;
using test_support::FlatRegions;
using test_support::Region;
using test_support::Ring;

std::string build_error(const std::vector<Region>& regions) {
  FlatRegions flat(regions);
  Result<Regions> built = Regions::build(flat.input());
  if (built.ok()) return "ok";
  EXPECT_EQ(built.error().kind(), ErrorKind::kInvalidArgument);
  return built.error().message();
}

TEST(RegionsBuildTest, BadRingsAreErrorsNamingTheRegionAndTheRule) {
  const Region good = {{box(0, 0, 1, 1)}};
  struct Case {
    Ring ring;
    std::string message;
  } cases[] = {
      {{{0, 0}, {1, 0}, {1, 1}, {0, 1}},
       "region 1: polygon 0, ring 0: ring is not closed"},
      {{{0, 0}, {1, 0}, {0, 0}},
       "region 1: polygon 0, ring 0: a ring needs at least 4 positions, it "
       "has 3"},
      {{{0, 0}, {NAN, 0}, {1, 1}, {0, 0}},
       "region 1: polygon 0, ring 0: coordinate is not finite (position 1)"},
      {{{0, 0}, {1, INFINITY}, {1, 1}, {0, 0}},
       "region 1: polygon 0, ring 0: coordinate is not finite (position 1)"},
      {{{0, 0}, {180.5, 0}, {1, 1}, {0, 0}},
       "region 1: polygon 0, ring 0: longitude outside [-180, 180] (position "
       "1)"},
      {{{0, 0}, {1, -90.5}, {1, 1}, {0, 0}},
       "region 1: polygon 0, ring 0: latitude outside [-90, 90] (position 1)"},
      {{{170, 0}, {-170, 0}, {-170, 5}, {170, 0}},
       "region 1: polygon 0, ring 0: an edge spans more than 180 degrees of "
       "longitude (position 0): the ring crosses the antimeridian without "
       "being split there"},
  };
  for (const Case& c : cases) {
    const std::string message =
        build_error({good, {{box(2, 2, 3, 3), c.ring}}});
    // The rule is reported for the hole (ring 1) of region 1.
    std::string expected = c.message;
    expected.replace(expected.find("ring 0"), 6, "ring 1");
    EXPECT_EQ(message.substr(0, expected.size()), expected) << message;
  }
  // Along a pole every longitude is one point, so a long edge there is fine.
  EXPECT_EQ(build_error({{{{{-180, 90},
                            {180, 90},
                            {180, 80},
                            {0, 80},
                            {-180, 80},
                            {-180, 90}}}}}),
            "ok");
  EXPECT_EQ(build_error({{{{{-180, 80}, {180, 80}, {180, 85}, {-180, 80}}}}})
                .rfind("region 0: polygon 0, ring 0: an edge spans", 0),
            0u);
  // A long edge after a long one along the pole is still found.
  EXPECT_EQ(
      build_error(
          {{{{{-180, 90}, {180, 90}, {180, 80}, {-180, 80}, {-180, 90}}}}})
          .rfind("region 0: polygon 0, ring 0: an edge spans more than "
                 "180 degrees of longitude (position 2)",
                 0),
      0u);
  // From the last position of one ring to the first of the next is no
  // edge, however far apart they lie.
  EXPECT_EQ(build_error({{{box(170, 0, 175, 5), box(-175, 0, -170, 5)}},
                         {{box(-179, -5, -178, -4)}},
                         {{box(179, 10, 179.5, 11)}}}),
            "ok");
}

TEST(RegionsBuildTest, InconsistentArraysAreErrors) {
  FlatRegions flat({{{box(0, 0, 1, 1)}}, {{box(2, 2, 3, 3)}}});
  auto expect_error = [&](FlatRegions f, const std::string& message) {
    Result<Regions> built = Regions::build(f.input());
    ASSERT_FALSE(built.ok());
    EXPECT_EQ(built.error().message(), message);
  };
  FlatRegions f = flat;
  f.coordinates.pop_back();
  expect_error(f, "coordinates hold an odd number of values");
  f = flat;
  f.ring_offsets[1] = 11;
  expect_error(f, "ring offsets decrease at 2");
  f = flat;
  f.ring_offsets.back() = 9;
  expect_error(f, "ring offsets end at 9, not at 10");
  f = flat;
  f.polygon_offsets = {0, 2, 2};
  f.region_offsets = {0, 1, 2};
  expect_error(f, "region 1: polygon 0 has no rings");
  f = flat;
  f.region_offsets = {1, 2};
  expect_error(f, "region offsets do not start at 0");
  f = flat;
  f.fields.pop_back();
  expect_error(f, "records hold 1 fields; 2 regions of 1 columns need 2");
  f = flat;
  f.ring_offsets.clear();
  expect_error(f, "ring offsets are empty (they need a 0)");
}

TEST(RegionsBuildTest, EmptyRegionsAndNoRegionsAreAllowed) {
  FlatRegions none({});
  Result<Regions> built = Regions::build(none.input());
  ASSERT_TRUE(built.ok()) << built.error().message();
  EXPECT_EQ(built.value().size(), 0u);
  EXPECT_EQ(built.value().region_at(0, 0), kNoRegion);
  EXPECT_EQ(built.value().lookup(0, 0, 1000), kNoRegion);
  Regions with_empty = build_or_die({{}, {{box(0, 0, 1, 1)}}});
  EXPECT_EQ(with_empty.region_at(0.5, 0.5), 1u);
  EXPECT_EQ(with_empty.field(1, 0), "r1");
}

// The great-circle distance between two positions, in km.
double haversine_km(double lat1, double lon1, double lat2, double lon2) {
  const double k = std::numbers::pi / 180;
  const double a = std::pow(std::sin((lat2 - lat1) * k / 2), 2) +
                   std::cos(lat1 * k) * std::cos(lat2 * k) *
                       std::pow(std::sin((lon2 - lon1) * k / 2), 2);
  return 2 * kEarthRadiusKm * std::asin(std::sqrt(a));
}

// The distance to the planar edges: sampled every 0.01 degree, then every
// 0.00001 degree around the best sample of each edge.
double sampled_distance_km(const Ring& ring, double lat, double lon) {
  double best = INFINITY;
  for (std::size_t k = 0; k + 1 < ring.size(); ++k) {
    auto [ax, ay] = ring[k];
    auto [bx, by] = ring[k + 1];
    const double length = std::max(std::fabs(bx - ax), std::fabs(by - ay));
    auto at = [&](double t) {
      t = std::clamp(t, 0.0, 1.0);
      return haversine_km(lat, lon, ay + t * (by - ay), ax + t * (bx - ax));
    };
    const int steps = static_cast<int>(std::ceil(length / 1e-2)) + 1;
    int best_step = 0;
    for (int s = 0; s <= steps; ++s) {
      if (at(static_cast<double>(s) / steps) <
          at(static_cast<double>(best_step) / steps)) {
        best_step = s;
      }
    }
    for (int s = -1000; s <= 1000; ++s) {
      best = std::min(best, at((best_step + s * 1e-3) / steps));
    }
  }
  return best;
}

TEST(RegionsNearestTest, DistancesMatchSampledEdges) {
  // Long edges along parallels (where a great-circle chord would be far
  // off), a diagonal, and a region beside the antimeridian and a pole.
  const std::vector<Region> regions = {
      {{box(-10, 45, 10, 50)}},
      {{{{20, 0}, {30, 8}, {21, 9}, {20, 0}}}},
      {{box(175, -5, 180, 5)}},
      {{box(-30, 85, 30, 89)}},
  };
  Regions index = build_or_die(regions);
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> jitter(-1.5, 1.5);
  for (int k = 0; k < 200; ++k) {
    const Region& target = regions[k % regions.size()];
    const Ring& ring = target[0][0];
    auto [x, y] = ring[k % (ring.size() - 1)];
    double lon = x + jitter(rng),
           lat = std::clamp(y + jitter(rng), -90.0, 90.0);
    if (lon > 180) lon -= 360;
    if (lon < -180) lon += 360;
    if (index.region_at(lat, lon) != kNoRegion) continue;
    double expected = INFINITY;
    std::uint32_t expected_region = kNoRegion;
    for (std::size_t g = 0; g < regions.size(); ++g) {
      const double d = sampled_distance_km(regions[g][0][0], lat, lon);
      if (d < expected) {
        expected = d;
        expected_region = static_cast<std::uint32_t>(g);
      }
    }
    const NearestBoundary got = index.nearest_boundary(lat, lon, 400.0);
    if (expected > 399.0) continue;
    ASSERT_NE(got.region, kNoRegion) << lat << " " << lon;
    // Sampling is within 0.03 km; the arcs within a few metres.
    EXPECT_NEAR(got.distance_km, expected, 0.05) << lat << " " << lon;
    if (std::fabs(got.distance_km - expected) < 0.05) {
      EXPECT_EQ(got.region, expected_region) << lat << " " << lon;
    }
  }
}

TEST(RegionsNearestTest, EveryGridGivesTheSameNearestEdge) {
  // The search skips what is farther than the best edge so far, in an order
  // that depends on the grid; the answer must not. Star-shaped rings with
  // long and short edges, some beside the antimeridian and the poles.
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> centre_x(-180, 180), centre_y(-85, 85),
      radius(0.05, 6.0), turn(0, 1);
  std::vector<Region> regions;
  for (int g = 0; g < 12; ++g) {
    const double cx = centre_x(rng), cy = centre_y(rng);
    Ring ring;
    const int n = 3 + static_cast<int>(rng() % 40);
    for (int k = 0; k < n; ++k) {
      const double a = 2 * std::numbers::pi * (k + 0.5 * turn(rng)) / n;
      const double r = radius(rng);
      ring.emplace_back(std::clamp(cx + r * std::cos(a), -180.0, 180.0),
                        std::clamp(cy + r * std::sin(a), -90.0, 90.0));
    }
    ring.push_back(ring.front());
    regions.push_back({{ring}});
  }
  const Regions reference = build_or_die(regions, 1);
  std::vector<Regions> grids;
  for (std::uint32_t rows : {0u, 7u, 45u, 360u}) {
    grids.push_back(build_or_die(regions, rows));
  }
  std::uniform_real_distribution<double> lon(-180, 180), lat(-90, 90);
  std::size_t found = 0;
  for (int k = 0; k < 3000; ++k) {
    const double y = lat(rng), x = lon(rng);
    for (const double km : {5.0, 80.0, 700.0, 4000.0}) {
      const NearestBoundary want = reference.nearest_boundary(y, x, km);
      found += want.region != kNoRegion;
      for (const Regions& index : grids) {
        const NearestBoundary got = index.nearest_boundary(y, x, km);
        ASSERT_EQ(got.region, want.region)
            << y << " " << x << " " << km << " rows " << index.grid_rows();
        ASSERT_EQ(got.distance_km, want.distance_km)
            << y << " " << x << " " << km << " rows " << index.grid_rows();
      }
    }
  }
  EXPECT_GT(found, 1000u);
}

TEST(RegionsNearestTest, LookupFallsBackWithinTheDistanceOnly) {
  Regions index = build_or_die({{{box(179, 0, 180, 1)}}, {{box(0, 0, 1, 1)}}});
  // Across the antimeridian: 0.2 degree of longitude at the equator.
  const double across = haversine_km(0.5, -179.8, 0.5, 180.0);
  EXPECT_EQ(index.lookup(0.5, -179.8, across + 0.01), 0u);
  EXPECT_EQ(index.lookup(0.5, -179.8, across - 0.01), kNoRegion);
  EXPECT_NEAR(index.nearest_boundary(0.5, -179.8, 100).distance_km, across,
              1e-6);
  EXPECT_EQ(index.lookup(0.5, 0.5, 0), 1u);  // Inside needs no distance.
  EXPECT_EQ(index.lookup(0.5, 1.1, 0), kNoRegion);
  EXPECT_EQ(index.lookup(0.5, 1.1, 12), 1u);
  // A pole sees every longitude.
  Regions polar = build_or_die({{{box(100, 89.9, 101, 89.95)}}});
  EXPECT_EQ(polar.lookup(90, -80, 12), 0u);
  EXPECT_EQ(polar.lookup(90, -80, 5), kNoRegion);
}

}  // namespace
}  // namespace quorvel::regions

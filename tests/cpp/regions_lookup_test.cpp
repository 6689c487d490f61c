// Containment: the grid's answers against the plain ray rule over all rings,
// on random and on adversarial polygons, and the orientation predicate.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "regions/orientation.h"
#include "regions/regions.h"
#include "regions_test_support.h"

namespace quorvel::regions {
namespace {

using test_support::box;
using test_support::brute_region;
using test_support::build_or_die;
using test_support::Polygon;
using test_support::Region;
using test_support::Ring;

TEST(RegionsOrientationTest, NearlyCollinearPointsAreDecidedExactly) {
  // Integer points on or beside the line through two others, scaled by a
  // power of two (exactly): the sign must agree with integer arithmetic,
  // at ordinary scales and among the subnormal doubles.
  std::mt19937_64 rng(301);
  std::uniform_int_distribution<std::int64_t> coord(-(1 << 20), 1 << 20);
  for (int trial = 0; trial < 30000; ++trial) {
    const double scale = std::ldexp(1.0, trial % 3 == 0   ? -13
                                         : trial % 3 == 1 ? -600
                                                          : -1074);
    std::int64_t a[2] = {coord(rng), coord(rng)};
    std::int64_t b[2] = {coord(rng), coord(rng)};
    // c near the line through a and b: a + t (b - a), rounded to the grid.
    const std::int64_t t_num = coord(rng) % 7;
    std::int64_t c[2] = {a[0] + t_num * (b[0] - a[0]) + (coord(rng) % 2),
                         a[1] + t_num * (b[1] - a[1]) + (coord(rng) % 2)};
    const __int128 det = static_cast<__int128>(b[0] - a[0]) * (c[1] - a[1]) -
                         static_cast<__int128>(b[1] - a[1]) * (c[0] - a[0]);
    const int expected = det > 0 ? 1 : (det < 0 ? -1 : 0);
    EXPECT_EQ(orientation(a[0] * scale, a[1] * scale, b[0] * scale,
                          b[1] * scale, c[0] * scale, c[1] * scale),
              expected);
  }
  // Subnormal coordinates, where products lose their rounding error.
  const double d = 4.9406564584124654e-324;
  EXPECT_EQ(orientation(0, 0, d, d, 3 * d, 3 * d), 0);
  EXPECT_EQ(orientation(0, 0, d, d, 3 * d, 2 * d), -1);
  EXPECT_EQ(orientation(0, 0, 180, d, 180, 2 * d), 1);
  EXPECT_EQ(orientation(-180, -90, 180, 90, 0, d), 1);
  EXPECT_EQ(orientation(-180, -90, 180, 90, d, 0), -1);
  EXPECT_EQ(orientation(1e-300, 1e-300, 2e-300, 2e-300, 1e-300 + 1e-316,
                        1e-300 + 1e-316),
            0);
  // A classic case the double evaluation gets wrong.
  EXPECT_EQ(orientation_exact(0.5, 0.5, 12.0, 12.0, 24.0, 24.0), 0);
  const double tiny = std::nextafter(0.5, 1.0);
  EXPECT_EQ(orientation(0.5, 0.5, 12.0, 12.0, tiny, 0.5), -1);
}

// Random positions, a fifth of them snapped to the half-degree lattice that
// the test polygons use, so that many fall exactly on edges, vertices and
// cell boundaries.
std::vector<std::pair<double, double>> random_positions(std::mt19937_64& rng,
                                                        double x0, double x1,
                                                        double y0, double y1,
                                                        int count) {
  std::uniform_real_distribution<double> ux(x0, x1), uy(y0, y1);
  std::vector<std::pair<double, double>> out;
  for (int k = 0; k < count; ++k) {
    double x = ux(rng), y = uy(rng);
    if (k % 5 == 0) {
      x = std::round(x * 2) / 2;
      y = std::round(y * 2) / 2;
    }
    out.emplace_back(x, y);
  }
  return out;
}

void expect_agrees(const std::vector<Region>& regions,
                   const std::vector<std::pair<double, double>>& positions) {
  for (std::uint32_t rows : {0u, 1u, 3u, 7u, 45u, 180u, 360u}) {
    Regions index = build_or_die(regions, rows);
    for (auto [x, y] : positions) {
      ASSERT_EQ(index.region_at(y, x), brute_region(regions, y, x))
          << "lon " << x << " lat " << y << " rows " << rows;
    }
  }
}

TEST(RegionsLookupTest, RandomPolygonsAgreeWithTheRayRule) {
  std::mt19937_64 rng(42);
  for (int round = 0; round < 6; ++round) {
    std::vector<Region> regions;
    std::uniform_real_distribution<double> centre_x(-170, 170),
        centre_y(-80, 80);
    for (int g = 0; g < 8; ++g) {
      Region region;
      for (int p = 0; p < 1 + g % 2; ++p) {
        const double cx = std::round(centre_x(rng) * 2) / 2;
        const double cy = std::round(centre_y(rng) * 2) / 2;
        Polygon polygon;
        for (int r = 0; r < 1 + g % 3; ++r) {
          // Star-shaped rings with vertices on the lattice; several rings
          // of one polygon overlap and self-intersect freely.
          Ring ring;
          const int n = 3 + static_cast<int>(rng() % 20);
          std::uniform_real_distribution<double> radius(0.5, 10.0);
          for (int k = 0; k < n; ++k) {
            const double a = 2 * M_PI * k / n;
            double x = std::round((cx + radius(rng) * std::cos(a)) * 2) / 2;
            double y = std::round((cy + radius(rng) * std::sin(a)) * 2) / 2;
            ring.emplace_back(std::clamp(x, -180.0, 180.0),
                              std::clamp(y, -90.0, 90.0));
          }
          ring.push_back(ring.front());
          polygon.push_back(ring);
        }
        region.push_back(polygon);
      }
      regions.push_back(region);
    }
    std::vector<std::pair<double, double>> positions;
    for (const Region& region : regions) {
      for (const Polygon& polygon : region) {
        for (const Ring& ring : polygon) {
          for (std::size_t k = 0; k + 1 < ring.size(); ++k) {
            positions.push_back(ring[k]);  // Vertices.
            positions.emplace_back((ring[k].first + ring[k + 1].first) / 2,
                                   (ring[k].second + ring[k + 1].second) / 2);
          }
        }
      }
    }
    auto more = random_positions(rng, -180, 180, -90, 90, 4000);
    positions.insert(positions.end(), more.begin(), more.end());
    expect_agrees(regions, positions);
  }
}

TEST(RegionsLookupTest, AdversarialPolygonsAgreeWithTheRayRule) {
  const std::vector<Region> regions = {
      // A bow-tie and a ring touching itself at a vertex.
      {{{{0, 0}, {4, 4}, {4, 0}, {0, 4}, {0, 0}}}},
      {{{{10, 0}, {14, 0}, {12, 2}, {14, 4}, {10, 4}, {12, 2}, {10, 0}}}},
      // Zero-area slivers: out and back along one line, and a single point.
      {{{{20, 0}, {24, 3}, {22, 1.5}, {20, 0}}}},
      {{{{26, 1}, {26, 1}, {26, 1}, {26, 1}}}},
      // Rings along a meridian and a parallel, and a box sharing a side.
      {{box(30, 0, 32, 4)}, {{{32, 0}, {32, 2}, {32, 4}, {32, 0}}}},
      {{box(32, 0, 34, 4)}},
      // A hole touching its shell at a vertex and along an edge.
      {{box(40, 0, 48, 8), {{40, 0}, {42, 2}, {44, 1}, {40, 0}}},
       {box(50, 0, 58, 8), box(50, 2, 52, 4)}},
      // Caps on both poles, split at the antimeridian into two polygons.
      {{box(-180, 80, 0, 90)}, {box(0, 80, 180, 90)}},
      {{{{-180, -90},
         {180, -90},
         {180, -80},
         {0, -80},
         {-180, -80},
         {-180, -90}}}},
      // Overlaps: the first region wins where both hold a position.
      {{box(60, 0, 70, 10)}},
      {{box(65, 5, 75, 15)}},
      // The antimeridian from both sides.
      {{box(170, -10, 180, 10)}},
      {{box(-180, -10, -170, 10)}},
      // Many small rings in one cell, nested rings (even-odd).
      {{box(100, 0, 101, 1), box(100.25, 0.25, 100.75, 0.75),
        box(100.4, 0.4, 100.6, 0.6)}},
  };
  std::mt19937_64 rng(7);
  std::vector<std::pair<double, double>> positions =
      random_positions(rng, -180, 180, -90, 90, 3000);
  auto near = random_positions(rng, -1, 110, -1, 16, 6000);
  positions.insert(positions.end(), near.begin(), near.end());
  for (double x : {-180.0, -179.5, 0.0, 180.0, 179.5, 32.0, 40.0, 26.0}) {
    for (double y : {-90.0, -80.0, 0.0, 1.0, 89.5, 90.0}) {
      positions.emplace_back(x, y);
    }
  }
  expect_agrees(regions, positions);
}

TEST(RegionsLookupTest, BoundaryAndPoleCasesHaveTheDefinedAnswers) {
  const std::vector<Region> regions = {
      {{box(0, 0, 10, 10), box(2, 2, 4, 4)}},
      {{box(5, 5, 15, 15)}},
      {{{{-180, -90},
         {180, -90},
         {180, -80},
         {0, -80},
         {-180, -80},
         {-180, -90}}}},
      {{box(170, 0, 180, 5)}},
  };
  Regions index = build_or_die(regions);
  EXPECT_EQ(index.region_at(0, 0), 0u);         // Vertex.
  EXPECT_EQ(index.region_at(0, 5), 0u);         // Edge.
  EXPECT_EQ(index.region_at(3, 3), kNoRegion);  // In the hole.
  EXPECT_EQ(index.region_at(2, 3), 0u);         // On the hole's edge.
  EXPECT_EQ(index.region_at(7, 7), 0u);         // Overlap: first wins.
  EXPECT_EQ(index.region_at(12, 12), 1u);
  EXPECT_EQ(index.region_at(-90, 37), 2u);  // South pole.
  EXPECT_EQ(index.region_at(90, 37), kNoRegion);
  EXPECT_EQ(index.region_at(2, 180), 3u);  // On the antimeridian.
  EXPECT_EQ(index.region_at(2, -180), kNoRegion);
  EXPECT_EQ(index.region_at(NAN, 3), kNoRegion);
  EXPECT_EQ(index.region_at(3, 181), kNoRegion);
}

TEST(RegionsLookupTest, ConcurrentLookupsGiveTheSingleThreadAnswers) {
  const std::vector<Region> regions = {{{box(0, 0, 10, 10), box(2, 2, 4, 4)}},
                                       {{box(5, 5, 15, 15)}}};
  Regions index = build_or_die(regions, 20);
  std::mt19937_64 rng(3);
  const auto positions = random_positions(rng, -2, 17, -2, 17, 4000);
  std::vector<std::uint32_t> expected;
  for (auto [x, y] : positions) expected.push_back(index.lookup(y, x, 30));
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t k = 0; k < positions.size(); ++k) {
        auto [x, y] = positions[k];
        mismatches[t] += index.lookup(y, x, 30) != expected[k];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace quorvel::regions

// nearest_one: tie order, unfilled slots, failures, and agreement with a
// brute-force search on the kinds of data a gazetteer holds.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "kdtree/distinct_split_build.h"
#include "kdtree/kdtree.h"
#include "kdtree_test_support.h"

namespace quorvel::kdtree {
namespace {

using test_support::expect_matches_brute_force;
using test_support::unit_vector;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(KdTreeQuery, EqualDistancesInOneLeafGoToTheLowerSlot) {
  const std::vector<Point> points{{0, 0, 5}, {1, 0, 0}, {-1, 0, 0}, {0, 1, 0}};
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  const QueryOutcome found = tree.nearest_one({0, 0, 0});
  EXPECT_EQ(found.result.item, 1u);
  EXPECT_EQ(found.result.distance, 1.0);
}

TEST(KdTreeQuery, EqualDistancesAcrossLeavesGoToTheLeafVisitedFirst) {
  // 40 points on the first axis at 0, 2, ..., 78 (the split is 64), with the
  // split point itself moved far away in the second coordinate. Items 31
  // (x = 62, left leaf) and 33 (x = 66, right leaf) are both at distance 4
  // from x = 64.
  std::vector<Point> points;
  for (int i = 0; i < 40; ++i) points.push_back({2.0 * i, 0.0, 0.0});
  points[32][1] = 100.0;
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  ASSERT_EQ(tree.stems[1], 64.0);
  // On the split the right side is searched first, and the left leaf's
  // equally near point does not replace its answer.
  EXPECT_EQ(tree.nearest_one({64.0, 0.0, 0.0}).result.item, 33u);
  // Just below the split the left side comes first and keeps the tie.
  EXPECT_EQ(tree.nearest_one({64.0 - 0x1p-40, 0.0, 0.0}).result.item, 31u);
}

TEST(KdTreeQuery, UnfilledSlotsNeverWinAFarQuery) {
  // Five points around the north pole, queried from the south pole: every
  // stored point is at squared distance near 4, while the zero-filled slots
  // would be at 1.
  std::vector<Point> points;
  for (int i = 0; i < 5; ++i) points.push_back(unit_vector(80.0 + i, 10.0 * i));
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  expect_matches_brute_force(tree, points, unit_vector(-90.0, 0.0));
  EXPECT_GT(tree.nearest_one(unit_vector(-90.0, 0.0)).result.distance, 3.0);
}

TEST(KdTreeQuery, NonFiniteQueriesAreRefused) {
  const ImmutableKdTree tree =
      ImmutableKdTree::new_from_slice(test_support::uniform_points(100, 5));
  for (const Point& query : {Point{kNaN, 0, 0}, Point{0, kNaN, 0},
                             Point{0, 0, kNaN}, Point{kInf, 0, 0}}) {
    EXPECT_EQ(tree.nearest_one(query).status, QueryStatus::kQueryNotFinite);
  }
  const ImmutableKdTree empty = ImmutableKdTree::new_from_slice({});
  EXPECT_EQ(empty.nearest_one({kNaN, 0, 0}).status,
            QueryStatus::kQueryNotFinite);
}

TEST(KdTreeQuery, InfinitelyDistantPointsLeaveTheStartingAnswer) {
  ImmutableKdTree tree = ImmutableKdTree::new_from_slice({});
  tree.leaves.resize(1);
  tree.leaves[0].content_points[0][0] = kInf;
  tree.leaves[0].content_items[0] = 7;
  tree.leaves[0].size = 1;
  tree.size = 1;
  const QueryOutcome found = tree.nearest_one({0, 0, 1});
  EXPECT_EQ(found.status, QueryStatus::kOk);
  EXPECT_EQ(found.result.item, 0u);
  EXPECT_EQ(found.result.distance, std::numeric_limits<double>::max());
}

// Trees read from damaged files: the query must stay inside the arrays and
// say the tree is corrupt.
TEST(KdTreeQuery, InconsistentTreesAreReportedNotRead) {
  const std::vector<Point> points = test_support::uniform_points(1000, 11);
  const Point query = unit_vector(10, 10);

  ImmutableKdTree missing_leaves = ImmutableKdTree::new_from_slice(points);
  missing_leaves.leaves.resize(3);
  EXPECT_EQ(missing_leaves.nearest_one(query).status,
            QueryStatus::kCorruptTree);

  ImmutableKdTree overfull = ImmutableKdTree::new_from_slice(points);
  for (LeafNode& leaf : overfull.leaves) leaf.size = 33;
  EXPECT_EQ(overfull.nearest_one(query).status, QueryStatus::kCorruptTree);

  ImmutableKdTree no_stems = ImmutableKdTree::new_from_slice(points);
  no_stems.stems.clear();
  EXPECT_EQ(no_stems.nearest_one(query).status, QueryStatus::kCorruptTree);

  ImmutableKdTree too_many_stems = ImmutableKdTree::new_from_slice(points);
  too_many_stems.stems.resize(64, 0.0);  // Leaves 32..63 do not exist.
  EXPECT_EQ(too_many_stems.nearest_one(query).status, QueryStatus::kCorruptTree);

  ImmutableKdTree nan_point = ImmutableKdTree::new_from_slice(points);
  for (LeafNode& leaf : nan_point.leaves) leaf.content_points[1][3] = kNaN;
  nan_point.prepare();
  EXPECT_EQ(nan_point.nearest_one(query).status, QueryStatus::kCorruptTree);

  // NaN in a slot above `size` is not a point and must be ignored.
  ImmutableKdTree nan_unfilled = ImmutableKdTree::new_from_slice(
      std::vector<Point>(points.begin(), points.begin() + 10));
  nan_unfilled.leaves[0].content_points[0][20] = kNaN;
  EXPECT_EQ(nan_unfilled.nearest_one(query).status, QueryStatus::kOk);
}

// ---------------------------------------------------------------------------
// Brute-force comparisons

void compare_on_random_queries(const std::vector<Point>& points,
                               std::size_t queries, std::uint64_t seed) {
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  ASSERT_LE(tree.leaves.size(), tree.stems.size());
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<std::size_t> pick(0, points.size() - 1);
  std::normal_distribution<double> jitter(0.0, 1e-4);
  for (std::size_t i = 0; i < queries; ++i) {
    // Half the queries land near a stored point, where ties and deep
    // descents happen; the rest anywhere on the globe.
    Point query = test_support::random_on_sphere(rng);
    if (i % 2 == 0) {
      query = points[pick(rng)];
      if (i % 4 == 0) {
        for (double& c : query) c += jitter(rng);
      }
    }
    expect_matches_brute_force(tree, points, query);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(KdTreeOracle, UniformPointsOnTheSphere) {
  for (std::size_t n : {33, 100, 1000, 20000, 200000}) {
    SCOPED_TRACE(n);
    compare_on_random_queries(test_support::uniform_points(n, n), 300, n + 1);
  }
}

TEST(KdTreeOracle, CityLikeClusters) {
  for (std::size_t n : {500, 50000}) {
    SCOPED_TRACE(n);
    compare_on_random_queries(test_support::clustered_points(n, n), 400, n + 2);
  }
}

TEST(KdTreeOracle, CoordinatesRoundedToAHundredthOfADegree) {
  // A dense block of the 0.01-degree grid plus scattered rounded positions:
  // many points share a latitude, so the third coordinate repeats.
  std::vector<Point> points;
  for (int a = 0; a < 60; ++a) {
    for (int b = 0; b < 60; ++b) {
      points.push_back(unit_vector(40.0 + a * 0.01, 10.0 + b * 0.01));
    }
  }
  std::mt19937_64 rng(17);
  std::uniform_int_distribution<int> lat(-6000, 6000), lon(-18000, 18000);
  for (int i = 0; i < 20000; ++i) {
    points.push_back(unit_vector(lat(rng) / 100.0, lon(rng) / 100.0));
  }
  compare_on_random_queries(points, 600, 18);
}

TEST(KdTreeOracle, ThousandsOfPointsOnOneLatitude) {
  std::mt19937_64 rng(19);
  std::uniform_real_distribution<double> lon(-180.0, 180.0);
  std::vector<Point> points;
  for (int i = 0; i < 5000; ++i) points.push_back(unit_vector(45.0, lon(rng)));
  compare_on_random_queries(points, 400, 20);
  // The same latitude with longitudes on a 0.1-degree grid: repeats in
  // every coordinate, and exact duplicates.
  for (Point& p : points) p = unit_vector(45.0, std::round(lon(rng) * 10) / 10);
  compare_on_random_queries(points, 400, 21);
}

TEST(KdTreeOracle, GroupsOfIdenticalPoints) {
  std::mt19937_64 rng(23);
  std::vector<Point> points = test_support::uniform_points(3000, 24);
  std::uniform_int_distribution<std::size_t> place(0, points.size());
  for (std::size_t group : {33, 34, 64, 65, 500, 5000}) {
    const Point shared = test_support::random_on_sphere(rng);
    for (std::size_t i = 0; i < group; ++i) {
      points.insert(points.begin() + place(rng) % (points.size() + 1), shared);
    }
  }
  compare_on_random_queries(points, 600, 25);
}

TEST(KdTreeOracle, FewLatitudesOfRandomLongitudes) {
  // The planner needs extra leaves for these; some converge after many
  // passes, some are handed to the distinct-split build.
  for (int latitudes : {2, 5, 9, 20, 65}) {
    SCOPED_TRACE(latitudes);
    std::mt19937_64 rng(latitudes);
    std::uniform_real_distribution<double> lon(-180.0, 180.0);
    std::vector<Point> points;
    for (int i = 0; i < 3000; ++i) {
      points.push_back(unit_vector((i % latitudes) * 0.5, lon(rng)));
    }
    compare_on_random_queries(points, 200, latitudes);
  }
}

TEST(KdTreeOracle, DistinctSplitBuildOnItsOwn) {
  // The fallback build is exercised above only where the plan fails; here it
  // also runs on inputs the plan handles.
  std::vector<std::vector<Point>> inputs{
      test_support::uniform_points(10000, 31), test_support::clustered_points(10000, 32),
      std::vector<Point>(100, unit_vector(1, 2))};
  for (const auto& points : inputs) {
    const ImmutableKdTree tree = build_with_distinct_splits(points);
    ASSERT_LE(tree.leaves.size(), tree.stems.size());
    std::mt19937_64 rng(33);
    for (int i = 0; i < 300; ++i) {
      Point query = i % 2 ? test_support::random_on_sphere(rng) : points[i * 31 % points.size()];
      expect_matches_brute_force(tree, points, query);
    }
  }
}

}  // namespace
}  // namespace quorvel::kdtree

// How the build lays points out: leaf and stem counts, split values, slot
// order, and the trees it builds where the plan cannot hold the points.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "kdtree/distinct_split_build.h"
#include "kdtree/kdtree.h"
#include "kdtree/planner.h"
#include "kdtree_test_support.h"

namespace quorvel::kdtree {
namespace {

using test_support::uniform_points;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Items of a leaf's filled slots, in slot order.
std::vector<std::uint32_t> items_of(const LeafNode& leaf) {
  return {leaf.content_items.begin(), leaf.content_items.begin() + leaf.size};
}

void expect_leaf_holds(const LeafNode& leaf, const std::vector<Point>& points,
                       const std::vector<std::uint32_t>& items) {
  ASSERT_EQ(items_of(leaf), items);
  for (std::size_t s = 0; s < items.size(); ++s) {
    for (std::size_t d = 0; d < kDimensions; ++d) {
      EXPECT_EQ(leaf.content_points[d][s], points[items[s]][d]);
    }
  }
  for (std::size_t s = items.size(); s < kBucketSize; ++s) {
    EXPECT_EQ(leaf.content_items[s], 0u);
    for (std::size_t d = 0; d < kDimensions; ++d) {
      EXPECT_EQ(leaf.content_points[d][s], 0.0);
    }
  }
}

std::size_t sum_of_leaf_sizes(const ImmutableKdTree& tree) {
  std::size_t total = 0;
  for (const LeafNode& leaf : tree.leaves()) total += leaf.size;
  return total;
}

TEST(KdTreeLayout, EmptyTreeHasOneStemSlotAndNoLeaves) {
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice({});
  EXPECT_EQ(tree.stems(), std::vector<double>{kInf});
  EXPECT_TRUE(tree.leaves().empty());
  EXPECT_EQ(tree.size(), 0u);
  EXPECT_EQ(tree.nearest_one({0.0, 0.0, 1.0}).status, QueryStatus::kNoPoints);
}

TEST(KdTreeLayout, UpToOneBucketIsOneLeafInInputOrder) {
  for (std::size_t n : {1, 2, 17, 31, 32}) {
    const std::vector<Point> points = uniform_points(n, n);
    const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
    EXPECT_EQ(tree.stems(), std::vector<double>{kInf});
    ASSERT_EQ(tree.leaves().size(), 1u);
    std::vector<std::uint32_t> in_order(n);
    for (std::size_t i = 0; i < n; ++i) in_order[i] = i;
    expect_leaf_holds(tree.leaves()[0], points, in_order);
    EXPECT_EQ(tree.size(), n);
  }
}

// The 33rd smallest first coordinate splits; each side keeps input order.
void expect_two_leaves_split_at_rank_32(std::size_t n) {
  const std::vector<Point> points = uniform_points(n, 40 + n);
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  std::vector<double> firsts;
  for (const Point& p : points) firsts.push_back(p[0]);
  std::nth_element(firsts.begin(), firsts.begin() + 32, firsts.end());
  const double split = firsts[32];

  ASSERT_EQ(tree.stems().size(), 2u);
  EXPECT_EQ(tree.stems()[0], kInf);
  EXPECT_EQ(tree.stems()[1], split);
  ASSERT_EQ(tree.leaves().size(), 2u);
  std::vector<std::uint32_t> left, right;
  for (std::uint32_t i = 0; i < n; ++i) {
    (points[i][0] < split ? left : right).push_back(i);
  }
  ASSERT_EQ(left.size(), 32u);
  expect_leaf_holds(tree.leaves()[0], points, left);
  expect_leaf_holds(tree.leaves()[1], points, right);
}

TEST(KdTreeLayout, ThirtyThreePointsFillLeavesOf32And1) {
  expect_two_leaves_split_at_rank_32(33);
}

TEST(KdTreeLayout, FortyPointsSplitAtThe33rdSmallestFirstCoordinate) {
  expect_two_leaves_split_at_rank_32(40);
}

TEST(KdTreeLayout, ThousandPointsFill31LeavesAndLeave8ForTheLast) {
  const std::vector<Point> points = uniform_points(1000, 1000);
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  ASSERT_EQ(tree.stems().size(), 32u);
  ASSERT_EQ(tree.leaves().size(), 32u);
  for (std::size_t i = 0; i < 31; ++i) EXPECT_EQ(tree.leaves()[i].size, 32u);
  EXPECT_EQ(tree.leaves()[31].size, 8u);
  EXPECT_EQ(tree.size(), 1000u);
  // Every stem is used: 31 finite split values besides the unused slot 0.
  EXPECT_EQ(std::count(tree.stems().begin(), tree.stems().end(), kInf), 1);
  // Slot order inside each leaf is input order.
  for (const LeafNode& leaf : tree.leaves()) {
    const auto items = items_of(leaf);
    EXPECT_TRUE(std::is_sorted(items.begin(), items.end()));
  }
}

TEST(KdTreeLayout, ThirtyThreeIdenticalPointsBuildAsOnePoint) {
  const std::vector<Point> points(33, test_support::unit_vector(48.85, 2.35));
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  EXPECT_EQ(tree.size(), 1u);
  EXPECT_EQ(sum_of_leaf_sizes(tree), tree.size());
  const QueryOutcome found = tree.nearest_one(test_support::unit_vector(0, 0));
  ASSERT_EQ(found.status, QueryStatus::kOk);
  EXPECT_EQ(found.result.item, 0u);
}

TEST(KdTreeLayout, LargeIdenticalGroupsKeepTheirLowestItem) {
  std::vector<Point> points = uniform_points(2000, 77);
  const Point shared = test_support::unit_vector(-33.9, 151.2);
  for (std::size_t group_size : {33, 100, 5000}) {
    std::vector<Point> input = points;
    const std::uint32_t first = 123;
    for (std::size_t i = 0; i < group_size; ++i) {
      const std::size_t at = std::min(first + 2 * i, input.size());
      input.insert(input.begin() + at, shared);
    }
    const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(input);
    EXPECT_EQ(sum_of_leaf_sizes(tree), tree.size());
    EXPECT_LE(tree.leaves().size(), tree.stems().size());
    const QueryOutcome found = tree.nearest_one(shared);
    ASSERT_EQ(found.status, QueryStatus::kOk);
    EXPECT_EQ(found.result.item, first) << group_size;
    EXPECT_EQ(found.result.distance, 0.0);
  }
}

TEST(KdTreeLayout, CoordinateEqualToTheSplitGoesRight) {
  // 40 points on a line in the first coordinate: 0, 2, ..., 78. The split is
  // the 33rd value, 64, whose own point must land in the right leaf.
  std::vector<Point> points;
  for (int i = 0; i < 40; ++i) points.push_back({2.0 * i, 0.0, 0.0});
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  ASSERT_EQ(tree.stems()[1], 64.0);
  EXPECT_EQ(tree.leaves()[1].content_items[0], 32u);
  // A query exactly on the split starts on the right and finds 64 there.
  const QueryOutcome found = tree.nearest_one({64.0, 0.0, 0.0});
  EXPECT_EQ(found.result.item, 32u);
  EXPECT_EQ(found.result.distance, 0.0);
}

TEST(KdTreeLayout, NaNPointsNeverBreakTheBuild) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t n : {1, 33, 100, 5000}) {
    std::vector<Point> points = uniform_points(n, n + 9);
    for (std::size_t i = 0; i < n; i += 3) points[i][i % 3] = nan;
    std::vector<Point> all_nan(n, Point{nan, nan, nan});
    for (const auto* input : {&points, &all_nan}) {
      const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(*input);
      EXPECT_EQ(sum_of_leaf_sizes(tree), tree.size());
      // Finite queries may meet a NaN point (reported as a corrupt tree) or
      // not; they must never claim an answer with a NaN distance.
      const QueryOutcome found = tree.nearest_one({1.0, 0.0, 0.0});
      if (found.status == QueryStatus::kOk) {
        EXPECT_FALSE(std::isnan(found.result.distance));
      }
    }
  }
}

TEST(KdTreeLayout, StemDoublingStartsFromFreshSplitValues) {
  // A 10 x 50 block of a half-degree grid: rows share the third coordinate,
  // so the plan needs more leaves than ceil(500 / 32) = 16 and outgrows its
  // initial 16 stem slots.
  std::vector<Point> points;
  for (int a = 0; a < 10; ++a) {
    for (int b = 0; b < 50; ++b) {
      points.push_back(test_support::unit_vector(a * 0.5, b * 0.5));
    }
  }
  test_support::EventRecorder events;
  const std::optional<StemPlan> plan = plan_stems(points);
  ASSERT_TRUE(plan.has_value());
  EXPECT_TRUE(events.saw("extending stems stem_node_count=32"));
  ASSERT_EQ(plan->stems.size(), 32u);

  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  EXPECT_EQ(tree.stems(), plan->stems);
  EXPECT_EQ(tree.size(), points.size());
  // After the doubling, a stem either holds +inf or a split value planned in
  // the taller tree, which is the coordinate of a point in its subtree's
  // dimension; stale values from the short tree would route points to leaves
  // no plan gave them, and a full or missing leaf would show up here.
  EXPECT_EQ(sum_of_leaf_sizes(tree), points.size());
  for (std::size_t k = 1; k < tree.stems().size(); ++k) {
    if (tree.stems()[k] == kInf) continue;
    const unsigned dim = (std::bit_width(k) - 1) % 3;
    EXPECT_TRUE(
        std::any_of(points.begin(), points.end(),
                    [&](const Point& p) { return p[dim] == tree.stems()[k]; }))
        << "stem " << k;
  }
  for (int i = 0; i < 200; ++i) {
    test_support::expect_matches_brute_force(
        tree, points, test_support::unit_vector(i % 11, i * 1.7));
  }
}

// The distinct-split build packs like the planned one: on distinct values
// every leaf but the last is full, each in input order.
TEST(KdTreeLayout, DistinctSplitBuildFillsLeavesFromTheLeft) {
  for (std::size_t n : {33, 40, 1000, 4097, 20000}) {
    SCOPED_TRACE(n);
    const std::vector<Point> points = uniform_points(n, n + 5);
    const ImmutableKdTree tree =
        test_support::tree_of(build_with_distinct_splits(points));
    const std::size_t leaf_count = (n + kBucketSize - 1) / kBucketSize;
    ASSERT_EQ(tree.leaves().size(), leaf_count);
    EXPECT_EQ(tree.stems().size(), std::bit_ceil(leaf_count));
    for (std::size_t l = 0; l + 1 < leaf_count; ++l) {
      EXPECT_EQ(tree.leaves()[l].size, kBucketSize) << "leaf " << l;
    }
    EXPECT_EQ(tree.leaves().back().size, n - (leaf_count - 1) * kBucketSize);
    EXPECT_EQ(tree.size(), n);
    for (const LeafNode& leaf : tree.leaves()) {
      const auto items = items_of(leaf);
      EXPECT_TRUE(std::is_sorted(items.begin(), items.end()));
    }
  }
}

// Shared latitudes (every third level) and coordinates rounded to a grid
// leave bands of equal values that no split can cut; the build then needs a
// little spare room, not a leaf per chunk as a median split would.
TEST(KdTreeLayout, DistinctSplitBuildStaysCompactOnBandsOfEqualValues) {
  std::mt19937_64 rng(41);
  std::uniform_int_distribution<int> lat(-6000, 7000), lon(-18000, 18000);
  std::vector<Point> gazetteer;
  for (int i = 0; i < 30000; ++i) {
    // Half on a 0.01-degree grid (repeated latitudes and whole positions),
    // half on a 1e-5 grid.
    const double scale = i % 2 ? 100.0 : 1e5;
    const int step = i % 2 ? 1 : 1000;
    gazetteer.push_back(test_support::unit_vector(lat(rng) * step / scale,
                                                  lon(rng) * step / scale));
  }
  std::vector<Point> few_latitudes;
  std::uniform_real_distribution<double> any_lon(-180.0, 180.0);
  for (int i = 0; i < 20000; ++i) {
    few_latitudes.push_back(
        test_support::unit_vector((i % 40) * 0.5, any_lon(rng)));
  }
  for (const auto* points : {&gazetteer, &few_latitudes}) {
    const ImmutableKdTree tree =
        test_support::tree_of(build_with_distinct_splits(*points));
    std::vector<Point> distinct = *points;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()),
                   distinct.end());
    const std::size_t minimum =
        (distinct.size() + kBucketSize - 1) / kBucketSize;
    EXPECT_EQ(tree.size(), distinct.size());
    EXPECT_EQ(sum_of_leaf_sizes(tree), tree.size());
    EXPECT_LE(tree.leaves().size(), tree.stems().size());
    EXPECT_GE(tree.leaves().size(), minimum);
    EXPECT_LE(tree.leaves().size(), minimum + minimum / 8);
    for (int i = 0; i < 300; ++i) {
      const Point query = i % 2 ? test_support::random_on_sphere(rng)
                                : (*points)[i * 97 % points->size()];
      test_support::expect_matches_brute_force(tree, *points, query);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(KdTreeLayout, ExtendShiftsMovesEachNodeOneLevelDownOnTheLeft) {
  // Old tree of 4 slots: root 1 and its children 2, 3.
  const std::vector<std::uint64_t> old{0, 5, 6, 7};
  const std::vector<std::uint64_t> grown = extend_shifts(8, old, 9);
  EXPECT_EQ(grown, (std::vector<std::uint64_t>{0, 9, 5, 0, 6, 7, 0, 0}));
}

}  // namespace
}  // namespace quorvel::kdtree

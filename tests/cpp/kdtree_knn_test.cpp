// The k-nearest and radius searches against an exhaustive scan of the
// tree's stored entries: the same distances, the same items, in the order
// (distance, item), on the kinds of data where pruning goes wrong first
// (exact duplicates, grids full of ties, points on split planes).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "kdtree/kdtree.h"
#include "kdtree/knn_search.h"
#include "kdtree_test_support.h"

namespace quorvel::kdtree {
namespace {

using test_support::squared_distance;
using test_support::unit_vector;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

bool before(const NearestResult& a, const NearestResult& b) {
  return a.distance < b.distance ||
         (a.distance == b.distance && a.item < b.item);
}

// Every stored entry's distance to `query`, in (distance, item) order. The
// oracle reads the leaves, since a build may store a large group of
// identical points once.
std::vector<NearestResult> all_by_distance(const ImmutableKdTree& tree,
                                           const Point& query) {
  std::vector<NearestResult> all;
  for (const LeafNode& leaf : tree.leaves()) {
    for (std::size_t s = 0; s < leaf.size; ++s) {
      const Point p{leaf.content_points[0][s], leaf.content_points[1][s],
                    leaf.content_points[2][s]};
      all.push_back({squared_distance(p, query), leaf.content_items[s]});
    }
  }
  std::sort(all.begin(), all.end(), before);
  return all;
}

void expect_same(const std::vector<NearestResult>& got,
                 const std::vector<NearestResult>& want, const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].item, want[i].item) << what << " at " << i;
    ASSERT_EQ(got[i].distance, want[i].distance) << what << " at " << i;
  }
}

// Checks all three searches for one query, with k and radius limits taken
// from the oracle's own distances so that ties at the limit are exercised.
void check_query(const ImmutableKdTree& tree, const Point& query,
                 std::mt19937_64& rng) {
  const std::vector<NearestResult> all = all_by_distance(tree, query);
  std::uniform_int_distribution<std::size_t> pick_k(1, 40);
  const std::size_t k = pick_k(rng);
  std::vector<NearestResult> out(k);

  // No limit.
  KnnOutcome found = nearest_k(tree, query, kInf, out);
  ASSERT_EQ(found.status, QueryStatus::kOk);
  out.resize(found.count);
  expect_same(out, {all.begin(), all.begin() + std::min(k, all.size())},
              "k nearest");

  // A limit at exactly a stored distance keeps that point.
  std::uniform_int_distribution<std::size_t> pick(0, all.size() - 1);
  const double limit = all[pick(rng)].distance;
  std::vector<NearestResult> within_limit;
  for (const NearestResult& r : all) {
    if (r.distance <= limit && within_limit.size() < k)
      within_limit.push_back(r);
  }
  out.assign(k, {});
  found = nearest_k(tree, query, limit, out);
  ASSERT_EQ(found.status, QueryStatus::kOk);
  out.resize(found.count);
  expect_same(out, within_limit, "k nearest within a limit");

  // Everything within a radius, exact at the radius.
  std::vector<NearestResult> inside;
  for (const NearestResult& r : all) {
    if (r.distance <= limit) inside.push_back(r);
  }
  std::vector<NearestResult> got;
  ASSERT_EQ(append_within(tree, query, limit, got), QueryStatus::kOk);
  std::sort(got.begin(), got.end(), before);
  expect_same(got, inside, "within");

  // Counts: exact, and with a band handed back.
  std::vector<NearestResult> band;
  CountOutcome counted = count_within(tree, query, {limit, limit}, band);
  ASSERT_EQ(counted.status, QueryStatus::kOk);
  EXPECT_EQ(counted.count, inside.size());
  EXPECT_TRUE(band.empty());
  const double sure = limit / 2;
  counted = count_within(tree, query, {sure, limit}, band);
  ASSERT_EQ(counted.status, QueryStatus::kOk);
  std::vector<NearestResult> want_band;
  std::size_t want_sure = 0;
  for (const NearestResult& r : inside) {
    if (r.distance <= sure) {
      ++want_sure;
    } else {
      want_band.push_back(r);
    }
  }
  EXPECT_EQ(counted.count, want_sure);
  std::sort(band.begin(), band.end(), before);
  expect_same(band, want_band, "count band");
}

void check_many(const std::vector<Point>& points,
                const std::vector<Point>& queries, std::uint64_t seed) {
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  std::mt19937_64 rng(seed);
  for (const Point& q : queries) {
    check_query(tree, q, rng);
    if (testing::Test::HasFatalFailure()) {
      ADD_FAILURE() << "query (" << q[0] << ", " << q[1] << ", " << q[2] << ")";
      return;
    }
  }
}

// Queries on stored points, nudged off them, and uniform on the sphere.
std::vector<Point> queries_near(const std::vector<Point>& points, std::size_t n,
                                std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<std::size_t> pick(0, points.size() - 1);
  std::normal_distribution<double> nudge(0.0, 1e-3);
  std::vector<Point> queries;
  for (std::size_t i = 0; i < n; ++i) {
    Point p = points[pick(rng)];
    if (i % 3 == 1) {
      for (double& c : p) c += nudge(rng);
    } else if (i % 3 == 2) {
      p = test_support::random_on_sphere(rng);
    }
    queries.push_back(p);
  }
  return queries;
}

TEST(KdTreeKnn, UniformPoints) {
  const auto points = test_support::uniform_points(5000, 21);
  check_many(points, queries_near(points, 300, 22), 23);
}

TEST(KdTreeKnn, CityLikeClusters) {
  const auto points = test_support::clustered_points(5000, 24);
  check_many(points, queries_near(points, 300, 25), 26);
}

// A whole-degree grid: many points share split coordinates and many
// queries are equidistant from several of them.
TEST(KdTreeKnn, GridOfNearTies) {
  std::vector<Point> points;
  for (int lat = -89; lat <= 89; lat += 2) {
    for (int lon = -180; lon < 180; lon += 4) {
      points.push_back(unit_vector(lat, lon));
    }
  }
  std::vector<Point> queries = queries_near(points, 200, 27);
  for (int lat = -88; lat <= 88; lat += 16) {
    queries.push_back(unit_vector(lat, 2.0));  // Midway between grid lines.
  }
  check_many(points, queries, 28);
}

// Exact duplicates in groups small enough to be stored one by one, and one
// group too large for a bucket, which the build keeps once.
TEST(KdTreeKnn, DuplicateHeavySets) {
  std::mt19937_64 rng(29);
  std::vector<Point> places = test_support::uniform_points(60, 30);
  std::vector<Point> points;
  std::uniform_int_distribution<std::size_t> pick(0, places.size() - 1);
  for (int i = 0; i < 1500; ++i) points.push_back(places[pick(rng)]);
  check_many(points, queries_near(points, 200, 31), 32);

  std::vector<Point> with_big_group = test_support::uniform_points(300, 33);
  for (int i = 0; i < 50; ++i) with_big_group.push_back(places[0]);
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(with_big_group);
  check_many(with_big_group, queries_near(with_big_group, 100, 34), 35);

  // Identical points are separate results, in item order.
  const std::vector<Point> same(5, unit_vector(10, 20));
  const ImmutableKdTree five = ImmutableKdTree::new_from_slice(same);
  std::vector<NearestResult> out(8);
  const KnnOutcome found = nearest_k(five, unit_vector(10, 21), kInf, out);
  ASSERT_EQ(found.count, 5u);
  for (std::uint32_t i = 0; i < 5; ++i) EXPECT_EQ(out[i].item, i);
}

// Small k keeps its results by insertion, larger k in a heap: both must
// give the oracle's answer, including when the k-th place is shared by
// several items at one distance (rings of a grid around a grid point).
TEST(KdTreeKnn, EveryKAcrossTheSwitchOfResultKeeping) {
  std::vector<Point> points;
  for (int lat = -10; lat <= 10; ++lat) {
    for (int lon = -10; lon <= 10; ++lon) {
      points.push_back(unit_vector(lat * 0.5, lon * 0.5));
    }
  }
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  for (const Point& query :
       {unit_vector(0, 0), unit_vector(0.25, 0.25), unit_vector(3, -2.5)}) {
    const std::vector<NearestResult> all = all_by_distance(tree, query);
    for (std::size_t k = 1; k <= 40; ++k) {
      std::vector<NearestResult> out(k);
      const KnnOutcome found = nearest_k(tree, query, kInf, out);
      ASSERT_EQ(found.status, QueryStatus::kOk);
      out.resize(found.count);
      expect_same(out, {all.begin(), all.begin() + k}, "k nearest on a grid");
      // A limit at the k-th distance keeps every tie before the k-th place.
      out.assign(k, {});
      const KnnOutcome limited =
          nearest_k(tree, query, all[k - 1].distance, out);
      out.resize(limited.count);
      expect_same(out, {all.begin(), all.begin() + k}, "limited on a grid");
    }
  }
}

TEST(KdTreeKnn, PolesAndTheAntimeridian) {
  std::mt19937_64 rng(36);
  std::uniform_real_distribution<double> polar(85.0, 90.0);
  std::uniform_real_distribution<double> lon(-180.0, 180.0);
  std::uniform_real_distribution<double> edge(-0.5, 0.5);
  std::vector<Point> points;
  for (int i = 0; i < 1500; ++i) {
    points.push_back(unit_vector(i % 2 ? polar(rng) : -polar(rng), lon(rng)));
    const double e = edge(rng);
    points.push_back(unit_vector(lon(rng) / 2, e < 0 ? -180 - e : 180 - e));
  }
  std::vector<Point> queries = queries_near(points, 200, 37);
  queries.push_back(unit_vector(90, 0));
  queries.push_back(unit_vector(-90, 0));
  queries.push_back(unit_vector(0, 180));
  queries.push_back(unit_vector(0, -180));
  check_many(points, queries, 38);
}

TEST(KdTreeKnn, KBeyondTheTreeGivesEveryPointInOrder) {
  const auto points = test_support::uniform_points(70, 39);
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  const Point query = unit_vector(1, 2);
  std::vector<NearestResult> out(100);
  const KnnOutcome found = nearest_k(tree, query, kInf, out);
  ASSERT_EQ(found.status, QueryStatus::kOk);
  out.resize(found.count);
  expect_same(out, all_by_distance(tree, query), "all");
}

TEST(KdTreeKnn, RadiusZeroOnAStoredPointFindsItsCopiesOnly) {
  std::vector<Point> points = test_support::uniform_points(500, 40);
  points.push_back(points[17]);
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  std::vector<NearestResult> got;
  ASSERT_EQ(append_within(tree, points[17], 0.0, got), QueryStatus::kOk);
  std::sort(got.begin(), got.end(), before);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].item, 17u);
  EXPECT_EQ(got[1].item, 500u);
  std::vector<NearestResult> band;
  EXPECT_EQ(count_within(tree, points[17], {0.0, 0.0}, band).count, 2u);
  std::vector<NearestResult> out(3);
  EXPECT_EQ(nearest_k(tree, points[17], 0.0, out).count, 2u);
}

// Radii large enough that whole subtrees are counted from their bounds.
TEST(KdTreeKnn, LargeRadiiCountWholeSubtrees) {
  const auto points = test_support::clustered_points(20000, 41);
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  std::mt19937_64 rng(42);
  for (double radius : {1e-4, 1e-2, 0.5, 2.0, 4.0, 5.0, kInf}) {
    const Point q = test_support::random_on_sphere(rng);
    std::size_t want = 0;
    for (const NearestResult& r : all_by_distance(tree, q)) {
      want += r.distance <= radius;
    }
    std::vector<NearestResult> band;
    EXPECT_EQ(count_within(tree, q, {radius, radius}, band).count, want)
        << radius;
    std::vector<NearestResult> got;
    ASSERT_EQ(append_within(tree, q, radius, got), QueryStatus::kOk);
    EXPECT_EQ(got.size(), want) << radius;
  }
}

TEST(KdTreeKnn, StatusesMatchTheNearestSearch) {
  const ImmutableKdTree empty = ImmutableKdTree::new_from_slice({});
  std::vector<NearestResult> out(3);
  std::vector<NearestResult> got;
  EXPECT_EQ(nearest_k(empty, {1, 0, 0}, kInf, out).status,
            QueryStatus::kNoPoints);
  EXPECT_EQ(append_within(empty, {1, 0, 0}, 1.0, got), QueryStatus::kNoPoints);
  EXPECT_EQ(count_within(empty, {1, 0, 0}, {1, 1}, got).status,
            QueryStatus::kNoPoints);
  EXPECT_EQ(nearest_k(empty, {kNaN, 0, 0}, kInf, out).status,
            QueryStatus::kQueryNotFinite);

  const ImmutableKdTree tree =
      ImmutableKdTree::new_from_slice(test_support::uniform_points(100, 43));
  for (const Point& q : {Point{kNaN, 0, 0}, Point{0, kInf, 0}}) {
    EXPECT_EQ(nearest_k(tree, q, kInf, out).status,
              QueryStatus::kQueryNotFinite);
    EXPECT_EQ(append_within(tree, q, 1.0, got), QueryStatus::kQueryNotFinite);
    EXPECT_EQ(count_within(tree, q, {1, 1}, got).status,
              QueryStatus::kQueryNotFinite);
  }

  // A NaN point in a built tree: even an unlimited count must scan its leaf
  // and report it rather than count it from bounds.
  std::vector<Point> points = test_support::uniform_points(20, 44);
  points[3][1] = kNaN;
  const ImmutableKdTree corrupt = ImmutableKdTree::new_from_slice(points);
  const Point q = unit_vector(10, 10);
  EXPECT_EQ(nearest_k(corrupt, q, kInf, out).status, QueryStatus::kCorruptTree);
  EXPECT_EQ(nearest_k(corrupt, q, 1e-9, out).status, QueryStatus::kCorruptTree);
  EXPECT_EQ(append_within(corrupt, q, 0.0, got), QueryStatus::kCorruptTree);
  EXPECT_EQ(count_within(corrupt, q, {kInf, kInf}, got).status,
            QueryStatus::kCorruptTree);
}

// A tree read from a file may hold infinite points and empty leaves, and
// may keep no stem bounds at all; the searches walk it as nearest_one does.
TEST(KdTreeKnn, TreesMadeFromParts) {
  const auto points = test_support::clustered_points(3000, 45);
  TreeParts parts =
      test_support::parts_of(ImmutableKdTree::new_from_slice(points));
  parts.leaves[3].content_points[0][0] = kInf;
  parts.size -= parts.leaves[5].size;
  parts.leaves[5] = LeafNode{};
  const ImmutableKdTree tree = test_support::tree_of(parts);
  std::mt19937_64 rng(46);
  for (const Point& q : queries_near(points, 100, 47)) {
    check_query(tree, q, rng);
    ASSERT_FALSE(HasFatalFailure());
  }

  // One leaf under many unused stem slots: no stem bounds are kept.
  TreeParts sparse;
  sparse.leaves.resize(1);
  for (std::size_t s = 0; s < 20; ++s) {
    const Point p = points[s];
    for (std::size_t d = 0; d < kDimensions; ++d) {
      sparse.leaves[0].content_points[d][s] = p[d];
    }
    sparse.leaves[0].content_items[s] = static_cast<std::uint32_t>(s);
  }
  sparse.leaves[0].size = 20;
  sparse.size = 20;
  sparse.stems.assign(64, kInf);
  const ImmutableKdTree deep = test_support::tree_of(sparse);
  ASSERT_TRUE(deep.stem_bounds().empty());
  for (const Point& q : queries_near(points, 30, 48)) {
    check_query(deep, q, rng);
    ASSERT_FALSE(HasFatalFailure());
  }
}

}  // namespace
}  // namespace quorvel::kdtree

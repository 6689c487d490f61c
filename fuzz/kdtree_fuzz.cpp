// The tree against brute force on small point sets drawn from a coarse grid,
// so that duplicates and shared coordinate values are the rule. Every query
// must find the brute-force distance; the item may differ only between
// distinct points at exactly that distance, and among identical points the
// lowest item wins. No input may end in an internal failure: a group of
// identical points too large for one bucket is stored once, under its lowest
// item.
//
// Input layout: byte 0 picks the grid (1 to 16 values per axis); then three
// bytes per point. Queries are a sample of the points, each also nudged by a
// fraction of a grid step.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "fuzz_check.h"
#include "kdtree/kdtree.h"

namespace {

using quorvel::kdtree::ImmutableKdTree;
using quorvel::kdtree::kBucketSize;
using quorvel::kdtree::Point;
using quorvel::kdtree::QueryStatus;

constexpr std::size_t kMaxPoints = 400;

double squared_distance(const Point& a, const Point& b) {
  const double d0 = a[0] - b[0];
  const double d1 = a[1] - b[1];
  const double d2 = a[2] - b[2];
  return (d0 * d0 + d1 * d1) + d2 * d2;
}

// Each stored entry is an input point under its own item. Either every point
// is stored, or (the fallback build for groups no split can separate) one
// entry per group of identical points, under the group's lowest item.
void check_structure(const ImmutableKdTree& tree,
                     const std::vector<Point>& points) {
  const std::size_t n = points.size();
  std::vector<bool> stored(n, false);
  std::size_t total = 0;
  for (const auto& leaf : tree.leaves()) {
    FUZZ_CHECK(leaf.size <= kBucketSize);
    total += leaf.size;
    for (std::size_t s = 0; s < leaf.size; ++s) {
      const std::uint32_t item = leaf.content_items[s];
      FUZZ_CHECK(item < n && !stored[item]);
      stored[item] = true;
      const Point at = {leaf.content_points[0][s], leaf.content_points[1][s],
                        leaf.content_points[2][s]};
      FUZZ_CHECK(at == points[item]);
    }
  }
  FUZZ_CHECK(total == tree.size());
  if (tree.size() == n) return;

  std::vector<std::uint32_t> order(n);
  for (std::uint32_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&points](std::uint32_t a, std::uint32_t b) {
                     return points[a] < points[b];
                   });
  for (std::size_t k = 0; k < n; ++k) {
    const bool lowest_of_group =
        k == 0 || points[order[k]] != points[order[k - 1]];
    FUZZ_CHECK(stored[order[k]] == lowest_of_group);
  }
}

void check_query(const ImmutableKdTree& tree, const std::vector<Point>& points,
                 const Point& query) {
  double best = std::numeric_limits<double>::max();
  for (const Point& p : points)
    best = std::min(best, squared_distance(p, query));
  const auto got = tree.nearest_one(query);
  FUZZ_CHECK(got.status == QueryStatus::kOk);
  FUZZ_CHECK(got.result.distance == best);
  const std::uint32_t item = got.result.item;
  FUZZ_CHECK(item < points.size());
  FUZZ_CHECK(squared_distance(points[item], query) == best);
  for (std::uint32_t j = 0; j < item; ++j)
    FUZZ_CHECK(points[j] != points[item]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 1) return 0;
  const unsigned grid = 1 + data[0] % 16;
  std::vector<Point> points;
  for (std::size_t i = 1; i + 3 <= size && points.size() < kMaxPoints; i += 3) {
    points.push_back({static_cast<double>(data[i] % grid),
                      static_cast<double>(data[i + 1] % grid),
                      static_cast<double>(data[i + 2] % grid)});
  }

  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  check_structure(tree, points);
  if (points.empty()) {
    FUZZ_CHECK(tree.nearest_one({0, 0, 0}).status == QueryStatus::kNoPoints);
    return 0;
  }
  // Brute force costs n per query: a sample of at most 64 stored points,
  // each also nudged off the grid, keeps the target fast.
  const std::size_t stride = points.size() / 64 + 1;
  for (std::size_t i = 0; i < points.size(); i += stride) {
    check_query(tree, points, points[i]);
    // Between grid values, and off the grid on the outside as well.
    const double nudge =
        (static_cast<double>(data[1 + (i * 7) % (size - 1)]) - 127.5) / 64.0;
    check_query(tree, points,
                {points[i][0] + nudge, points[i][1] - nudge / 2,
                 points[i][2] + nudge / 3});
  }
  return 0;
}

#include "kdtree/distinct_split_build.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "kdtree/routing.h"
#include "lib/error.h"

namespace quorvel::kdtree {
namespace {

// Depth past which the stem array (2^depth slots) would be absurd. Distinct
// points lose at least a sixth of every chunk within three levels, so only
// inputs built to defeat all three dimensions at once get near it.
constexpr unsigned kMaxDepth = 40;

class DistinctSplitPlanner {
 public:
  explicit DistinctSplitPlanner(std::span<const Point> source)
      : source_(source) {}

  // A split value planned for one stem node (heap numbering).
  struct Split {
    std::uint64_t node;
    double value;
  };
  // A chunk of at most 32 points ending at `node`, `depth` levels down.
  struct Terminal {
    std::uint64_t node;
    unsigned depth;
  };

  void plan(std::span<std::uint32_t> chunk, std::uint64_t node,
            unsigned depth) {
    if (chunk.size() <= kBucketSize) {
      if (!chunk.empty()) terminals_.push_back({node, depth});
      max_depth_ = std::max(max_depth_, depth);
      return;
    }
    if (depth >= kMaxDepth) {
      panic("cannot index these points: too many of them share coordinate "
            "values in every dimension (" +
            std::to_string(chunk.size()) + " points still unseparated at depth " +
            std::to_string(depth) + ")");
    }
    const unsigned dim = depth % kDimensions;
    const auto key = [this, dim](std::uint32_t item) {
      return source_[item][dim];
    };
    const std::size_t length = chunk.size();
    const std::size_t middle = length / 2;
    std::nth_element(
        chunk.begin(), chunk.begin() + middle, chunk.end(),
        [&key](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
    const double median = key(chunk[middle]);
    // Three bands: below the median, equal to it, above it. A split can only
    // fall on the edges of the middle band.
    const std::size_t below =
        std::partition(chunk.begin(), chunk.begin() + middle,
                       [&](std::uint32_t item) { return key(item) < median; }) -
        chunk.begin();
    const std::size_t through =
        std::partition(chunk.begin() + middle, chunk.end(),
                       [&](std::uint32_t item) { return key(item) == median; }) -
        chunk.begin();

    const bool can_split_below = below > 0;
    const bool can_split_above = through < length;
    if (!can_split_below && !can_split_above) {
      // One value for the whole chunk in this dimension: send it all left and
      // let the next dimension separate it.
      plan(chunk, 2 * node, depth + 1);
      return;
    }
    // Prefer the edge nearer the middle: it keeps the tree shallow.
    const bool use_below =
        can_split_below &&
        (!can_split_above || middle - below <= through - middle);
    std::size_t boundary;
    double value;
    if (use_below) {
      boundary = below;
      value = median;
    } else {
      boundary = through;
      value = key(*std::min_element(
          chunk.begin() + through, chunk.end(),
          [&key](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); }));
    }
    splits_.push_back({node, value});
    plan(chunk.first(boundary), 2 * node, depth + 1);
    plan(chunk.subspan(boundary), 2 * node + 1, depth + 1);
  }

  const std::vector<Split>& splits() const { return splits_; }
  const std::vector<Terminal>& terminals() const { return terminals_; }
  unsigned max_depth() const { return max_depth_; }

 private:
  std::span<const Point> source_;
  std::vector<Split> splits_;
  std::vector<Terminal> terminals_;
  unsigned max_depth_ = 0;
};

bool has_nan(const Point& point) {
  return std::isnan(point[0]) || std::isnan(point[1]) || std::isnan(point[2]);
}

// Items of the points to store: one per distinct coordinate triple, the lowest
// item of each, in ascending order; NaN points left out.
std::vector<std::uint32_t> first_of_each_position(
    std::span<const Point> points) {
  std::vector<std::uint32_t> items;
  items.reserve(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (!has_nan(points[i])) items.push_back(static_cast<std::uint32_t>(i));
  }
  std::sort(items.begin(), items.end(),
            [points](std::uint32_t a, std::uint32_t b) {
              const Point& p = points[a];
              const Point& q = points[b];
              if (p[0] != q[0]) return p[0] < q[0];
              if (p[1] != q[1]) return p[1] < q[1];
              if (p[2] != q[2]) return p[2] < q[2];
              return a < b;
            });
  // Equality, not bit identity: -0.0 and 0.0 are one position to the query.
  const auto end = std::unique(items.begin(), items.end(),
                               [points](std::uint32_t a, std::uint32_t b) {
                                 return points[a] == points[b];
                               });
  items.erase(end, items.end());
  std::sort(items.begin(), items.end());
  return items;
}

}  // namespace

ImmutableKdTree build_with_distinct_splits(std::span<const Point> points) {
  std::vector<std::uint32_t> items = first_of_each_position(points);

  DistinctSplitPlanner planner(points);
  {
    std::vector<std::uint32_t> chunk = items;
    planner.plan(chunk, 1, 0);
  }

  const unsigned depth = planner.max_depth();
  const std::uint64_t stem_count = std::uint64_t{1} << depth;
  ImmutableKdTree tree;
  tree.stems.assign(stem_count, std::numeric_limits<double>::infinity());
  for (const auto& split : planner.splits()) tree.stems[split.node] = split.value;

  // The last leaf any point or query can reach is the leftmost leaf under the
  // rightmost terminal chunk; everything else addressed there stays +inf-cut.
  std::uint64_t leaf_count = 0;
  for (const auto& terminal : planner.terminals()) {
    const std::uint64_t leaf =
        (terminal.node << (depth - terminal.depth)) - stem_count;
    leaf_count = std::max(leaf_count, leaf + 1);
  }
  tree.leaves.resize(leaf_count);

  for (const std::uint32_t item : items) {
    const std::size_t leaf = route_to_leaf(tree.stems, points[item]);
    if (leaf >= tree.leaves.size() ||
        tree.leaves[leaf].size == kBucketSize) {
      panic("distinct-split build routed a point outside its plan");
    }
    append_to_leaf(tree.leaves[leaf], points[item], item);
    ++tree.size;
  }
  return tree;
}

}  // namespace quorvel::kdtree

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

// A point with its item; chunks are arrays of these so that selections read
// contiguous memory.
struct Record {
  Point point;
  std::uint32_t item;
};

class DistinctSplitPlanner {
 public:

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

  void plan(std::span<Record> chunk, std::uint64_t node,
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
    const auto key = [dim](const Record& r) { return r.point[dim]; };
    const auto by_key = [dim](const Record& a, const Record& b) {
      return a.point[dim] < b.point[dim];
    };
    const std::size_t length = chunk.size();
    const std::size_t middle = length / 2;
    std::nth_element(chunk.begin(), chunk.begin() + middle, chunk.end(),
                     by_key);
    const double median = key(chunk[middle]);
    // Three bands: below the median, equal to it, above it. A split can only
    // fall on the edges of the middle band.
    const std::size_t below =
        std::partition(chunk.begin(), chunk.begin() + middle,
                       [&](const Record& r) { return key(r) < median; }) -
        chunk.begin();
    const std::size_t through =
        std::partition(chunk.begin() + middle, chunk.end(),
                       [&](const Record& r) { return key(r) == median; }) -
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
      value = key(*std::min_element(chunk.begin() + through, chunk.end(),
                                    by_key));
    }
    splits_.push_back({node, value});
    plan(chunk.first(boundary), 2 * node, depth + 1);
    plan(chunk.subspan(boundary), 2 * node + 1, depth + 1);
  }

  const std::vector<Split>& splits() const { return splits_; }
  const std::vector<Terminal>& terminals() const { return terminals_; }
  unsigned max_depth() const { return max_depth_; }

 private:
  std::vector<Split> splits_;
  std::vector<Terminal> terminals_;
  unsigned max_depth_ = 0;
};

bool has_nan(const Point& point) {
  return std::isnan(point[0]) || std::isnan(point[1]) || std::isnan(point[2]);
}

// The points to store: one per distinct coordinate triple, under the lowest
// item of each; NaN points left out.
std::vector<Record> first_of_each_position(std::span<const Point> points) {
  std::vector<Record> records;
  records.reserve(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (!has_nan(points[i])) {
      records.push_back({points[i], static_cast<std::uint32_t>(i)});
    }
  }
  std::sort(records.begin(), records.end(),
            [](const Record& a, const Record& b) {
              if (a.point[0] != b.point[0]) return a.point[0] < b.point[0];
              if (a.point[1] != b.point[1]) return a.point[1] < b.point[1];
              if (a.point[2] != b.point[2]) return a.point[2] < b.point[2];
              return a.item < b.item;
            });
  // Equality, not bit identity: -0.0 and 0.0 are one position to the query.
  const auto end = std::unique(records.begin(), records.end(),
                               [](const Record& a, const Record& b) {
                                 return a.point == b.point;
                               });
  records.erase(end, records.end());
  return records;
}

}  // namespace

ImmutableKdTree build_with_distinct_splits(std::span<const Point> points) {
  std::vector<Record> records = first_of_each_position(points);
  // Insertion in item order keeps each leaf's slots in input order.
  std::vector<std::uint32_t> items(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) items[i] = records[i].item;
  std::sort(items.begin(), items.end());

  DistinctSplitPlanner planner;
  planner.plan(records, 1, 0);
  records = {};

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

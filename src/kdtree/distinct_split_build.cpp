#include "kdtree/distinct_split_build.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "base/error.h"
#include "kdtree/build_record.h"
#include "kdtree/routing.h"

namespace quorvel::kdtree {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Depth past which the stem array (2^depth slots) would be absurd. Distinct
// points lose at least a sixth of every chunk within three levels, so only
// inputs built to defeat all three dimensions at once get near it.
constexpr unsigned kMaxDepth = 40;

// Tries a stem makes at moving its split for a child that did not fit.
constexpr unsigned kMaxRepairs = 3;

// Bound on the points that such repairs re-plan in one attempt, per point and
// tree level (one plan of the whole tree costs 1), so that they never grow
// into a search; past it the build adds leaves instead.
constexpr std::uint64_t kRepairWorkPerLevel = 1;

bool by_coordinate(unsigned dim, const Record& a, const Record& b) {
  return a.point[dim] < b.point[dim];
}

// Where a split goes: the left side is chunk[0, pivot), the right side holds
// every coordinate at or above `value` (+inf when the left side is the whole
// chunk). A positive `shortage` means no edge lies in the allowed range, and
// says by how many points the chunk is too full.
struct Edge {
  std::uint64_t pivot;
  double value;
  std::uint64_t shortage;
};

// The edge of a band of equal coordinates nearest to `ideal` within [lowest,
// highest], with the chunk arranged so that it splits there. On a tie the
// lower edge wins, which keeps the left side within its full leaves.
// REQUIRES: 1 <= lowest <= ideal <= highest <= chunk.size().
Edge nearest_edge(std::span<Record> chunk, unsigned dim, std::uint64_t ideal,
                  std::uint64_t lowest, std::uint64_t highest) {
  const std::uint64_t length = chunk.size();
  if (ideal == length) return {length, kInf, 0};
  const auto begin = chunk.begin();
  const auto less = [dim](const Record& a, const Record& b) {
    return by_coordinate(dim, a, b);
  };
  std::nth_element(begin, begin + ideal, chunk.end(), less);
  const double middle = chunk[ideal].point[dim];
  // The band of values equal to the selected one; its two ends are the only
  // places near the ideal where a split separates what it is meant to.
  const std::uint64_t below =
      std::partition(begin, begin + ideal,
                     [&](const Record& r) { return r.point[dim] < middle; }) -
      begin;
  const std::uint64_t through =
      std::partition(begin + ideal, chunk.end(),
                     [&](const Record& r) { return r.point[dim] == middle; }) -
      begin;
  const bool below_fits = below >= lowest;
  const bool through_fits = through <= highest;
  if (below_fits && (!through_fits || ideal - below <= through - ideal)) {
    return {below, middle, 0};
  }
  if (!through_fits) {
    return {0, kInf, std::min(lowest - below, through - highest)};
  }
  if (through == length) return {length, kInf, 0};
  return {through,
          std::min_element(begin + through, chunk.end(), less)->point[dim], 0};
}

// Plans the split values of a tree `depth` levels deep whose points may use
// a fixed number of leaves. Every subtree has a capacity, 32 points for each
// of its leaves below that number; a left child's capacity is all of its own
// leaves. A stem gives its left child as many points as that capacity allows
// (less a share of the subtree's spare room when spreading is on), so leaves
// fill from the left. Splits fall only on edges of bands of equal values;
// where none keeps both children within their capacities, the plan fails
// and the caller tries again with more leaves.
class PackedPlanner {
 public:
  // A split value planned for one stem node (heap numbering).
  struct Split {
    std::uint64_t node;
    double value;
  };

  // With `spread_slack` off every left child gets exactly its capacity where
  // the data allows, so distinct values fill every leaf but the last; on,
  // each child also gets its share of the spare room, which is what lets
  // bands of equal values move a split without overflowing a sibling.
  PackedPlanner(unsigned depth, bool spread_slack, std::uint64_t repair_work)
      : depth_(depth),
        spread_slack_(spread_slack),
        repair_work_left_(repair_work) {}

  // Plans `node`, at `level`, over `chunk` for at most `capacity` points.
  // Returns 0 when the plan fits, otherwise a positive shortage in points.
  std::uint64_t plan(std::span<Record> chunk, std::uint64_t node,
                     unsigned level, std::uint64_t capacity) {
    const std::uint64_t length = chunk.size();
    if (length > capacity) return length - capacity;
    if (length <= kBucket) {
      // Capacities are whole leaves, so the leftmost leaf below exists.
      if (length > 0) {
        const std::uint64_t leaf =
            (node << (depth_ - level)) - (std::uint64_t{1} << depth_);
        leaf_count_ = std::max(leaf_count_, leaf + 1);
      }
      return 0;
    }
    // More than 32 points within the capacity: never a leaf, whose capacity
    // is 32, so the height is at least 1.
    const unsigned height = depth_ - level;
    const std::uint64_t left_capacity =
        std::min(kBucket << (height - 1), capacity);
    const std::uint64_t right_capacity = capacity - left_capacity;
    // Split positions that keep both sides within their capacities. Never
    // 0: a stem cannot send every point right.
    const std::uint64_t lowest = std::max<std::uint64_t>(
        1, length > right_capacity ? length - right_capacity : 0);
    const std::uint64_t highest = std::min(length, left_capacity);

    std::uint64_t ideal = left_capacity;
    if (spread_slack_) {
      const double spare = static_cast<double>(capacity - length);
      ideal -= static_cast<std::uint64_t>(spare *
                                          static_cast<double>(left_capacity) /
                                          static_cast<double>(capacity));
    }
    ideal = std::clamp(ideal, lowest, highest);

    const unsigned dim = level % kDimensions;
    Edge edge = nearest_edge(chunk, dim, ideal, lowest, highest);
    if (edge.shortage > 0) return edge.shortage;
    // A child that cannot be planned asks for fewer points. Moving the split
    // by that much towards its sibling usually lets the band that defeated it
    // fall on an edge, far more cheaply than adding leaves to the whole tree.
    for (unsigned repairs = 0;; ++repairs) {
      const std::size_t split_mark = splits_.size();
      const std::uint64_t leaf_mark = leaf_count_;
      if (edge.pivot < length) splits_.push_back({node, edge.value});
      const std::uint64_t left_shortage =
          plan(chunk.first(edge.pivot), 2 * node, level + 1, left_capacity);
      const std::uint64_t right_shortage =
          left_shortage > 0 ? 0
                            : plan(chunk.subspan(edge.pivot), 2 * node + 1,
                                   level + 1, right_capacity);
      if (left_shortage == 0 && right_shortage == 0) return 0;
      splits_.resize(split_mark);
      leaf_count_ = leaf_mark;
      const std::uint64_t shortage = left_shortage + right_shortage;
      if (repairs == kMaxRepairs || repair_work_left_ < length) return shortage;
      repair_work_left_ -= length;
      if (left_shortage > 0) {
        if (edge.pivot <= lowest) return shortage;
        const std::uint64_t target =
            edge.pivot - std::min(left_shortage, edge.pivot - lowest);
        edge = nearest_edge(chunk, dim, target, lowest, edge.pivot - 1);
      } else {
        if (edge.pivot >= highest) return shortage;
        const std::uint64_t target =
            edge.pivot + std::min(right_shortage, highest - edge.pivot);
        edge = nearest_edge(chunk, dim, target, edge.pivot + 1, highest);
      }
      if (edge.shortage > 0) return shortage;
    }
  }

  const std::vector<Split>& splits() const { return splits_; }
  // One past the last leaf that a point is planned for.
  std::uint64_t leaf_count() const { return leaf_count_; }

 private:
  unsigned depth_;
  bool spread_slack_;
  std::vector<Split> splits_;
  std::uint64_t leaf_count_ = 0;
  // Points that repairs may still re-plan, shared by the whole attempt.
  std::uint64_t repair_work_left_;
};

bool has_nan(const Point& point) {
  return std::isnan(point[0]) || std::isnan(point[1]) || std::isnan(point[2]);
}

// The bits of a coordinate as the query sees it: -0.0 and 0.0 compare equal,
// so both hash as 0.0 (adding +0.0 turns -0.0 into +0.0).
inline std::uint64_t coordinate_bits(double value) {
  return std::bit_cast<std::uint64_t>(value + 0.0);
}

inline std::uint64_t position_hash(const Point& point) {
  std::uint64_t h = coordinate_bits(point[0]) * 0x9E3779B97F4A7C15ULL;
  h ^= coordinate_bits(point[1]) * 0xC2B2AE3D27D4EB4FULL;
  h ^= coordinate_bits(point[2]) * 0x165667B19E3779F9ULL;
  return h ^ (h >> 31);
}

// The points to store: one per distinct coordinate triple, under the lowest
// item of each, in item order; NaN points left out. An open-addressing table
// of record indices finds repeats in linear time: sorting all points by
// coordinates cost more than the rest of this build.
std::vector<Record> first_of_each_position(std::span<const Point> points) {
  std::vector<Record> records;
  records.reserve(points.size());
  constexpr std::uint32_t kEmpty = std::numeric_limits<std::uint32_t>::max();
  const std::size_t capacity =
      std::bit_ceil(std::max<std::size_t>(16, points.size() * 2));
  const std::size_t mask = capacity - 1;
  std::vector<std::uint32_t> table(capacity, kEmpty);
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Point& point = points[i];
    if (has_nan(point)) continue;
    std::size_t slot = position_hash(point) & mask;
    bool repeated = false;
    while (table[slot] != kEmpty) {
      if (records[table[slot]].point == point) {
        repeated = true;
        break;
      }
      slot = (slot + 1) & mask;
    }
    if (repeated) continue;
    table[slot] = static_cast<std::uint32_t>(records.size());
    records.push_back({point, static_cast<std::uint32_t>(i)});
  }
  return records;
}

}  // namespace

TreeParts build_with_distinct_splits(std::span<const Point> points,
                                     StopCheck& stop_check) {
  std::vector<Record> records = first_of_each_position(points);
  // Insertion in item order keeps each leaf's slots in input order. Items
  // are below points.size(), so marking the kept ones orders them in O(n).
  std::vector<std::uint8_t> kept(points.size(), 0);
  for (const Record& record : records) kept[record.item] = 1;

  // The first attempt packs leaves as tightly as the data allows. Bands of
  // equal values that defeat it get spare leaves, spread over the whole
  // tree, in steps that double so that even inputs needing many times the
  // minimum (a whole latitude of points wastes every third level) take only
  // a few attempts.
  const std::uint64_t minimum_leaves =
      std::max<std::uint64_t>(1, (records.size() + kBucket - 1) / kBucket);
  std::uint64_t leaf_budget = minimum_leaves;
  std::uint64_t step = std::max<std::uint64_t>(1, minimum_leaves / 32);
  for (unsigned attempt = 0;; ++attempt) {
    if (stop_check.due()) return TreeParts{};
    const unsigned depth =
        leaf_budget <= 1 ? 0 : std::bit_width(leaf_budget - 1);
    if (depth > kMaxDepth) {
      panic(
          "cannot index these points: too many of them share coordinate "
          "values in every dimension (" +
          std::to_string(records.size()) +
          " distinct points need a tree more than " +
          std::to_string(kMaxDepth) + " levels deep)");
    }
    // The tight attempt has almost no spare room to move splits into, so
    // repairs there rarely succeed and get only a small budget.
    const std::uint64_t repair_work = kRepairWorkPerLevel * records.size() *
                                      (depth + 1) / (attempt == 0 ? 8 : 1);
    PackedPlanner planner(depth, attempt > 0, repair_work);
    const std::uint64_t shortage =
        planner.plan(records, 1, 0, leaf_budget * kBucket);
    if (shortage > 0) {
      leaf_budget += std::max(step, (shortage + kBucket - 1) / kBucket);
      if (attempt > 0) step *= 2;
      continue;
    }

    TreeParts tree;
    tree.stems.assign(std::size_t{1} << depth, kInf);
    for (const auto& split : planner.splits()) {
      tree.stems[split.node] = split.value;
    }
    tree.leaves.resize(planner.leaf_count());
    records = {};
    for (std::size_t item = 0; item < points.size(); ++item) {
      if (kept[item] == 0) continue;
      const std::size_t leaf = route_to_leaf(tree.stems, points[item]);
      if (leaf >= tree.leaves.size() || tree.leaves[leaf].size == kBucketSize) {
        panic("distinct-split build routed a point outside its plan");
      }
      append_to_leaf(tree.leaves[leaf], points[item],
                     static_cast<std::uint32_t>(item));
      ++tree.size;
    }
    return tree;
  }
}

}  // namespace quorvel::kdtree

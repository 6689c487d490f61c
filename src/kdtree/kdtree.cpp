#include "kdtree/kdtree.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "base/error.h"
#include "kdtree/diagnostics.h"
#include "kdtree/distinct_split_build.h"
#include "kdtree/leaf_scan.h"
#include "kdtree/planner.h"
#include "kdtree/routing.h"

namespace quorvel::kdtree {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The text of a float in diagnostics: the shortest digits that read back to
// the same value, ".0" appended to whole numbers, and "NaN", "inf", "-inf"
// for the values without digits.
template <typename Float>
void append_float(std::string& text, Float value) {
  if (std::isnan(value)) {
    text += "NaN";
    return;
  }
  if (std::isinf(value)) {
    text += value > 0 ? "inf" : "-inf";
    return;
  }
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value);
  const std::string_view digits(buffer, end.ptr - buffer);
  text += digits;
  if (digits.find_first_of(".e") == std::string_view::npos) text += ".0";
}

// ---------------------------------------------------------------------------
// Construction

enum class AddOutcome { kAdded, kLeafFull, kNoSuchLeaf };

// Inserts one point into the leaf its coordinates route it to, where the plan
// put room for it; "safe" because a full or missing leaf is reported, not
// written past.
AddOutcome safe_add_to_optimized(TreeParts& tree, const Point& point,
                                 std::uint32_t item) {
  const std::size_t leaf_index = route_to_leaf(tree.stems, point);
  if (leaf_index >= tree.leaves.size()) return AddOutcome::kNoSuchLeaf;
  LeafNode& leaf = tree.leaves[leaf_index];
  if (leaf.size == kBucketSize) {
    if (diagnostic_enabled(DiagnosticLevel::kError)) {
      std::string text =
          "Overflowing add to leaf #" + std::to_string(leaf_index) + ". item=[";
      for (std::size_t d = 0; d < kDimensions; ++d) {
        if (d > 0) text += ", ";
        append_float(text, point[d]);
      }
      text += ']';
      emit_diagnostic(DiagnosticLevel::kError, text);
    }
    if (diagnostic_enabled(DiagnosticLevel::kTrace)) {
      emit_diagnostic(
          DiagnosticLevel::kTrace,
          "Tree Stats: " +
              stats_of(tree.leaves, tree.stems, tree.size).to_string());
    }
    return AddOutcome::kLeafFull;
  }
  append_to_leaf(leaf, point, item);
  ++tree.size;
  return AddOutcome::kAdded;
}

// The tree exactly as planned, or nullopt where the plan cannot hold the
// points (a full leaf, a leaf past the plan) or cannot be made at all.
// Points are placed between stop requests in runs of this many: well under
// a millisecond of work.
constexpr std::size_t kPointsPerStopCheck = 1 << 16;

std::optional<TreeParts> build_as_planned(std::span<const Point> points,
                                          StopCheck& stop_check) {
  std::optional<StemPlan> plan = plan_stems(points, stop_check);
  if (!plan) return std::nullopt;
  TreeParts tree;
  tree.stems = std::move(plan->stems);
  tree.leaves.resize(plan->leaf_count);
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (i % kPointsPerStopCheck == 0 && stop_check.due()) return std::nullopt;
    if (safe_add_to_optimized(tree, points[i], static_cast<std::uint32_t>(i)) !=
        AddOutcome::kAdded) {
      return std::nullopt;
    }
  }
  if (first_missing_leaf(tree.stems, tree.leaves.size())) return std::nullopt;
  return tree;
}

// ---------------------------------------------------------------------------
// Query

// One query's state. Kept in one place so the recursion passes a single
// pointer; `offsets` are the per-dimension distances from the query to the
// current cell, `best_*` the running result.
struct Search {
  const double* stems;
  std::size_t stem_count;
  const LeafNode* leaves;
  const NodeBounds* leaf_bounds;  // One per leaf.
  const NodeBounds* stem_bounds;  // One per stem slot, or null.
  double query[kDimensions];
  double offsets[kDimensions];
  double best_distance;
  std::uint32_t best_item;
  bool corrupt;
};

// `value` rounded to a float no greater (round_up false) or no smaller.
inline float float_outward(double value, bool round_up) {
  float f = static_cast<float>(value);
  if (round_up ? static_cast<double>(f) < value
               : static_cast<double>(f) > value) {
    f = std::nextafter(f, round_up ? std::numeric_limits<float>::infinity()
                                   : -std::numeric_limits<float>::infinity());
  }
  return f;
}

// Two copies of the search: the baseline, and one for processors with AVX2.
namespace baseline {
#include "kdtree/nearest_search.inc"
}  // namespace baseline

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define QUORVEL_KDTREE_AVX2_SEARCH 1
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
#include "kdtree/nearest_search.inc"
}  // namespace avx2
#pragma GCC pop_options
#endif

using SearchFunction = void (*)(Search&, std::size_t, unsigned, double);

// The copy for this processor.
SearchFunction pick_search() {
#ifdef QUORVEL_KDTREE_AVX2_SEARCH
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return avx2::nearest_one_recurse;
#endif
  return baseline::nearest_one_recurse;
}

}  // namespace

ImmutableKdTree ImmutableKdTree::new_from_slice(std::span<const Point> points) {
  // never_stop() never says stop, so the build always gives a tree.
  return std::move(new_from_slice(points, never_stop())).value();
}

Result<ImmutableKdTree> ImmutableKdTree::new_from_slice(
    std::span<const Point> points, StopCheck& stop_check) {
  if (points.size() > std::numeric_limits<std::uint32_t>::max()) {
    panic("a tree holds at most 2^32 - 1 points; got " +
          std::to_string(points.size()));
  }
  std::optional<TreeParts> planned = build_as_planned(points, stop_check);
  if (stop_check.stopped()) return interrupted();
  TreeParts parts = planned ? std::move(*planned)
                            : build_with_distinct_splits(points, stop_check);
  if (stop_check.stopped()) return interrupted();
  // Both builds allocate every leaf a query can reach; the query relies on
  // it instead of checking leaf indices as it goes.
  if (parts.size > 0) {
    if (const std::optional<std::size_t> node =
            first_missing_leaf(parts.stems, parts.leaves.size())) {
      panic("built tree: node " + std::to_string(*node) +
            " leads to a leaf that was never allocated");
    }
  }
  return ImmutableKdTree(std::move(parts));
}

// How far a stored point's squared length may stray from 1. Every point is
// the unit vector of a latitude and longitude, whose squared length is 1
// within a few units in the last place (about 1e-16); a damaged coordinate
// is off by far more than this.
constexpr double kUnitLengthTolerance = 1e-9;

namespace {

// The region of space a query descends to: lo[d] <= p[d] < hi[d] in every
// dimension (a split equal to the coordinate sends it right).
struct RouteBox {
  std::array<double, kDimensions> lo;
  std::array<double, kDimensions> hi;
};

// Checks every point under `node` against the box the stems above it carve
// out. One box test per point instead of a descent from the root: the check
// runs on every load, so it must cost little beside decoding.
std::optional<Error> check_subtree(std::span<const LeafNode> leaves,
                                   std::span<const double> stems,
                                   std::size_t node, unsigned dim,
                                   const RouteBox& box) {
  if (node >= stems.size()) {
    const std::size_t l = node - stems.size();
    if (l >= leaves.size()) return std::nullopt;
    const LeafNode& leaf = leaves[l];
    for (std::size_t s = 0; s < leaf.size; ++s) {
      const Point point{leaf.content_points[0][s], leaf.content_points[1][s],
                        leaf.content_points[2][s]};
      const double length2 =
          point[0] * point[0] + point[1] * point[1] + point[2] * point[2];
      const auto where = [&] {
        return "tree.leaves[" + std::to_string(l) + "] slot " +
               std::to_string(s);
      };
      // Also false for an infinite coordinate, whose length2 is inf or NaN.
      if (!(std::fabs(length2 - 1.0) <= kUnitLengthTolerance)) {
        return Error(where() + " holds a point that is not a unit vector");
      }
      bool inside = true;
      for (std::size_t d = 0; d < kDimensions; ++d) {
        inside &= point[d] >= box.lo[d] && point[d] < box.hi[d];
      }
      if (!inside) {
        return Error(where() + " holds a point that the stems route to leaf " +
                     std::to_string(route_to_leaf(stems, point)));
      }
    }
    return std::nullopt;
  }
  const double split = stems[node];
  const unsigned next = dim == kDimensions - 1 ? 0 : dim + 1;
  // Left: the points with !(p >= split). A NaN split sends every point
  // left, so it bounds nothing there and leaves nothing for the right.
  RouteBox left = box;
  if (split == split) left.hi[dim] = std::min(left.hi[dim], split);
  if (auto error = check_subtree(leaves, stems, 2 * node, next, left)) {
    return error;
  }
  RouteBox right = box;
  right.lo[dim] = split == split ? std::max(right.lo[dim], split)
                                 : std::numeric_limits<double>::infinity();
  return check_subtree(leaves, stems, 2 * node + 1, next, right);
}

}  // namespace

std::optional<Error> first_misplaced_point(std::span<const LeafNode> leaves,
                                           std::span<const double> stems) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  RouteBox everything;
  everything.lo.fill(-kInf);
  everything.hi.fill(kInf);
  // The stem slots are a power of two, so every leaf lies at the same depth
  // and a left-first walk meets the leaves, and reports a fault, in index
  // order. A single slot means no stems: node 1 is leaf 0.
  return check_subtree(leaves, stems, 1, 0, everything);
}

Result<ImmutableKdTree> ImmutableKdTree::from_parts(
    std::vector<LeafNode> leaves, std::vector<double> stems, std::size_t size) {
  const auto str = [](std::uint64_t v) { return std::to_string(v); };
  std::uint64_t total = 0;
  for (std::size_t l = 0; l < leaves.size(); ++l) {
    const LeafNode& leaf = leaves[l];
    // Built only on failure: this loop runs once per leaf.
    const auto where = [&] { return "tree.leaves[" + str(l) + "]"; };
    if (leaf.size > kBucketSize) {
      return Error(where() + ".size is " + str(leaf.size) +
                   ", more than the 32 slots of a leaf");
    }
    total += leaf.size;
    for (std::size_t s = 0; s < leaf.size; ++s) {
      for (std::size_t d = 0; d < kDimensions; ++d) {
        if (std::isnan(leaf.content_points[d][s])) {
          return Error(where() + " slot " + str(s) + " holds a NaN coordinate");
        }
      }
    }
  }
  if (total != size) {
    return Error("the leaf sizes add up to " + str(total) +
                 ", but tree.size is " + str(size));
  }
  const std::size_t stem_slots = stems.size();
  if (stem_slots == 0 || (stem_slots & (stem_slots - 1)) != 0) {
    return Error("tree.stems has " + str(stem_slots) +
                 " slots, not a power of two");
  }
  if (leaves.size() > stem_slots) {
    return Error("tree.leaves has " + str(leaves.size()) +
                 " leaves, more than the " + str(stem_slots) + " stem slots");
  }
  if (size > 0) {
    if (const std::optional<std::size_t> node =
            first_missing_leaf(stems, leaves.size())) {
      return Error("tree node " + str(*node) + " leads to leaf " +
                   str(*node - stem_slots) + ", but tree.leaves has only " +
                   str(leaves.size()));
    }
  }
  return ImmutableKdTree(TreeParts{std::move(leaves), std::move(stems), size});
}

ImmutableKdTree::ImmutableKdTree(TreeParts parts)
    : leaves_(std::move(parts.leaves)),
      stems_(std::move(parts.stems)),
      size_(parts.size) {
  prepare();
}

ImmutableKdTree::ImmutableKdTree(ImmutableKdTree&& other) noexcept
    : leaves_(std::move(other.leaves_)),
      stems_(std::move(other.stems_)),
      size_(std::exchange(other.size_, 0)),
      leaf_bounds_(std::move(other.leaf_bounds_)),
      stem_bounds_(std::move(other.stem_bounds_)) {}

ImmutableKdTree& ImmutableKdTree::operator=(ImmutableKdTree&& other) noexcept {
  leaves_ = std::move(other.leaves_);
  stems_ = std::move(other.stems_);
  size_ = std::exchange(other.size_, 0);
  leaf_bounds_ = std::move(other.leaf_bounds_);
  stem_bounds_ = std::move(other.stem_bounds_);
  return *this;
}

void ImmutableKdTree::prepare() {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  constexpr NodeBounds kEmpty{{kInf, kInf, kInf}, {-kInf, -kInf, -kInf}};
  constexpr NodeBounds kEverywhere{{-kInf, -kInf, -kInf}, {kInf, kInf, kInf}};

  std::vector<NodeBounds> leaf_bounds(leaves_.size(), kEmpty);
  for (std::size_t l = 0; l < leaves_.size(); ++l) {
    const LeafNode& leaf = leaves_[l];
    NodeBounds& box = leaf_bounds[l];
    if (leaf.size == 0) continue;
    bool has_nan = false;
    for (std::size_t d = 0; d < kDimensions; ++d) {
      double lo = leaf.content_points[d][0];
      double hi = lo;
      for (std::size_t s = 0; s < leaf.size; ++s) {
        const double v = leaf.content_points[d][s];
        if (v != v) has_nan = true;
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
      }
      box.lo[d] = float_outward(lo, false);
      box.hi[d] = float_outward(hi, true);
    }
    if (has_nan) box = kEverywhere;
  }

  // Stems bottom-up. Only the children a query with finite coordinates can
  // enter count.
  std::vector<NodeBounds> stem_bounds;
  const std::size_t stem_count = stems_.size();
  if (stem_count <= 4 * leaves_.size() + 4) {
    stem_bounds.assign(stem_count, kEmpty);
    const auto bounds_of = [&](std::size_t node) -> const NodeBounds& {
      if (node < stem_count) return stem_bounds[node];
      const std::size_t leaf = node - stem_count;
      return leaf < leaf_bounds.size() ? leaf_bounds[leaf] : kEverywhere;
    };
    for (std::size_t k = stem_count; k-- > 1;) {
      const ChildrenEntered entered = finite_query_children(stems_[k]);
      NodeBounds box = kEmpty;
      for (std::size_t child : {2 * k, 2 * k + 1}) {
        if (child == 2 * k ? !entered.left : !entered.right) continue;
        const NodeBounds& c = bounds_of(child);
        for (std::size_t d = 0; d < kDimensions; ++d) {
          box.lo[d] = std::min(box.lo[d], c.lo[d]);
          box.hi[d] = std::max(box.hi[d], c.hi[d]);
        }
      }
      stem_bounds[k] = box;
    }
  }
  leaf_bounds_ = std::move(leaf_bounds);
  stem_bounds_ = std::move(stem_bounds);
}

QueryOutcome ImmutableKdTree::nearest_one(const Point& query) const {
  constexpr NearestResult kNone{std::numeric_limits<double>::max(), 0};
  if (!(std::isfinite(query[0]) && std::isfinite(query[1]) &&
        std::isfinite(query[2]))) {
    return {kNone, QueryStatus::kQueryNotFinite};
  }
  if (size_ == 0) return {kNone, QueryStatus::kNoPoints};

  Search search{
      stems_.data(),
      stems_.size(),
      leaves_.data(),
      leaf_bounds_.data(),
      stem_bounds_.size() == stems_.size() ? stem_bounds_.data() : nullptr,
      {query[0], query[1], query[2]},
      {0.0, 0.0, 0.0},
      std::numeric_limits<double>::max(),
      0,
      false};
  static const SearchFunction search_tree = pick_search();
  search_tree(search, 1, 0, 0.0);
  if (search.corrupt) return {kNone, QueryStatus::kCorruptTree};
  return {{search.best_distance, search.best_item}, QueryStatus::kOk};
}

TreeStats ImmutableKdTree::generate_stats() const {
  return stats_of(leaves_, stems_, size_);
}

TreeStats stats_of(std::span<const LeafNode> leaves,
                   std::span<const double> stems, std::size_t size) {
  TreeStats stats;
  stats.size = size;
  stats.capacity = leaves.size() * kBucketSize;
  stats.stem_count = stems.size();
  stats.leaf_count = leaves.size();
  for (const LeafNode& leaf : leaves) {
    if (leaf.size > kBucketSize) {
      panic("leaf holds " + std::to_string(leaf.size) + " points, more than " +
            std::to_string(kBucketSize));
    }
    ++stats.leaf_fill_counts[leaf.size];
  }
  stats.leaf_fill_ratio =
      static_cast<float>(stats.size) / static_cast<float>(stats.capacity);
  std::size_t infinite = 0;
  for (const double split : stems) {
    if (std::isinf(split)) ++infinite;
  }
  // Slot 0 is never used, so one infinite slot is expected.
  stats.unused_stem_count = infinite > 0 ? infinite - 1 : 0;
  stats.stem_fill_ratio = 1.0f - static_cast<float>(stats.unused_stem_count) /
                                     static_cast<float>(stats.stem_count - 1);
  return stats;
}

std::string TreeStats::to_string() const {
  std::string text = "TreeStats { size: " + std::to_string(size) +
                     ", capacity: " + std::to_string(capacity) +
                     ", stem_count: " + std::to_string(stem_count) +
                     ", leaf_count: " + std::to_string(leaf_count) +
                     ", leaf_fill_counts: [";
  for (std::size_t j = 0; j < leaf_fill_counts.size(); ++j) {
    if (j > 0) text += ", ";
    text += std::to_string(leaf_fill_counts[j]);
  }
  text += "], leaf_fill_ratio: ";
  append_float(text, leaf_fill_ratio);
  text += ", stem_fill_ratio: ";
  append_float(text, stem_fill_ratio);
  text += ", unused_stem_count: " + std::to_string(unused_stem_count) + " }";
  return text;
}

}  // namespace quorvel::kdtree

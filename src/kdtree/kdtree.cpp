#include "kdtree/kdtree.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "kdtree/diagnostics.h"
#include "kdtree/distinct_split_build.h"
#include "kdtree/planner.h"
#include "kdtree/routing.h"
#include "lib/error.h"

namespace quorvel::kdtree {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Debug text of a float, as Rust's Debug prints it: shortest round-trip
// digits, ".0" on whole numbers, "NaN" and "inf".
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

// Inserts one point into the leaf its coordinates route it to.
AddOutcome safe_add_to_optimized(ImmutableKdTree& tree, const Point& point,
                                 std::uint32_t item) {
  const std::size_t leaf_index = route_to_leaf(tree.stems, point);
  if (leaf_index >= tree.leaves.size()) return AddOutcome::kNoSuchLeaf;
  LeafNode& leaf = tree.leaves[leaf_index];
  if (leaf.size == kBucketSize) {
    if (diagnostic_enabled(DiagnosticLevel::kError)) {
      std::string text = "Overflowing add to leaf #" +
                         std::to_string(leaf_index) + ". item=[";
      for (std::size_t d = 0; d < kDimensions; ++d) {
        if (d > 0) text += ", ";
        append_float(text, point[d]);
      }
      text += ']';
      emit_diagnostic(DiagnosticLevel::kError, text);
    }
    if (diagnostic_enabled(DiagnosticLevel::kTrace)) {
      emit_diagnostic(DiagnosticLevel::kTrace,
                      "Tree Stats: " + tree.generate_stats().to_string());
    }
    return AddOutcome::kLeafFull;
  }
  append_to_leaf(leaf, point, item);
  ++tree.size;
  return AddOutcome::kAdded;
}

// True when every leaf a query with finite coordinates can visit exists. A
// finite split lets the query into both children; +inf only into the left
// (the bound to the right is infinite), -inf and NaN only into the right.
bool query_leaves_exist(const ImmutableKdTree& tree, std::size_t node) {
  if (node >= tree.stems.size()) {
    return node - tree.stems.size() < tree.leaves.size();
  }
  const double split = tree.stems[node];
  if (split == kInfinity) return query_leaves_exist(tree, 2 * node);
  if (!(split > -kInfinity)) return query_leaves_exist(tree, 2 * node + 1);
  return query_leaves_exist(tree, 2 * node) &&
         query_leaves_exist(tree, 2 * node + 1);
}

// The tree exactly as planned, or nullopt where the plan cannot hold the
// points (a full leaf, a leaf past the plan) or cannot be made at all.
std::optional<ImmutableKdTree> build_as_planned(std::span<const Point> points) {
  std::optional<StemPlan> plan = plan_stems(points);
  if (!plan) return std::nullopt;
  ImmutableKdTree tree;
  tree.stems = std::move(plan->stems);
  tree.leaves.resize(plan->leaf_count);
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (safe_add_to_optimized(tree, points[i], static_cast<std::uint32_t>(i)) !=
        AddOutcome::kAdded) {
      return std::nullopt;
    }
  }
  if (!query_leaves_exist(tree, 1)) return std::nullopt;
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
  std::size_t leaf_count;
  const NodeBounds* leaf_bounds;  // One per leaf, or null when not prepared.
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
  if (points.size() > std::numeric_limits<std::uint32_t>::max()) {
    panic("a tree holds at most 2^32 - 1 points; got " +
          std::to_string(points.size()));
  }
  std::optional<ImmutableKdTree> planned = build_as_planned(points);
  ImmutableKdTree tree = planned ? std::move(*planned)
                                 : build_with_distinct_splits(points);
  tree.prepare();
  return tree;
}

void ImmutableKdTree::prepare() {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  constexpr NodeBounds kEmpty{{kInf, kInf, kInf}, {-kInf, -kInf, -kInf}};
  constexpr NodeBounds kEverywhere{{-kInf, -kInf, -kInf}, {kInf, kInf, kInf}};

  std::vector<NodeBounds> leaf_bounds(leaves.size(), kEmpty);
  for (std::size_t l = 0; l < leaves.size(); ++l) {
    const LeafNode& leaf = leaves[l];
    NodeBounds& box = leaf_bounds[l];
    if (leaf.size > kBucketSize) {
      box = kEverywhere;
      continue;
    }
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
  // enter count: +inf sends it left only, -inf and NaN right only (the other
  // side's cell bound is infinite or NaN).
  std::vector<NodeBounds> stem_bounds;
  const std::size_t stem_count = stems.size();
  if (stem_count <= 4 * leaves.size() + 4) {
    stem_bounds.assign(stem_count, kEmpty);
    const auto bounds_of = [&](std::size_t node) -> const NodeBounds& {
      if (node < stem_count) return stem_bounds[node];
      const std::size_t leaf = node - stem_count;
      return leaf < leaf_bounds.size() ? leaf_bounds[leaf] : kEverywhere;
    };
    for (std::size_t k = stem_count; k-- > 1;) {
      const double split = stems[k];
      const bool skip_left =
          !(split > -std::numeric_limits<double>::infinity());
      const bool skip_right = split == std::numeric_limits<double>::infinity();
      NodeBounds box = kEmpty;
      for (std::size_t child : {2 * k, 2 * k + 1}) {
        if (child == 2 * k ? skip_left : skip_right) continue;
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
  if (size == 0) return {kNone, QueryStatus::kNoPoints};
  if (stems.empty()) return {kNone, QueryStatus::kCorruptTree};

  Search search{stems.data(),
                stems.size(),
                leaves.data(),
                leaves.size(),
                leaf_bounds_.size() == leaves.size() ? leaf_bounds_.data()
                                                     : nullptr,
                stem_bounds_.size() == stems.size() ? stem_bounds_.data()
                                                    : nullptr,
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
  stats.stem_fill_ratio =
      1.0f - static_cast<float>(stats.unused_stem_count) /
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

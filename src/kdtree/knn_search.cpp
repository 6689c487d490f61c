#include "kdtree/knn_search.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kdtree/leaf_scan.h"
#include "kdtree/routing.h"

namespace quorvel::kdtree {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The split-plane bound of a cell sums squared steps, in whatever order the
// descent met the dimensions, while a leaf sums the squares in dimension
// order; the two can differ by a few units in the last place where a point
// lies on the cell's planes. A far side is therefore skipped only when its
// bound exceeds the limit by more than that, so that no point at exactly the
// limit, or tied with the k-th, is lost.
constexpr double kCellBoundSlack = 1.0 - 0x1p-40;

// Squared distance from the query to the farthest corner of the box, no
// smaller than the leaf scan's distance to any point inside it, by the same
// monotone rounding. Infinite for the unbounded box of a corrupt leaf.
inline double box_upper_bound(const NodeBounds& box, const double* query) {
  const auto reach = [](float lo, float hi, double q) {
    const double below = q - static_cast<double>(lo);
    const double above = static_cast<double>(hi) - q;
    return below > above ? below : above;
  };
  const double r0 = reach(box.lo[0], box.hi[0], query[0]);
  const double r1 = reach(box.lo[1], box.hi[1], query[1]);
  const double r2 = reach(box.lo[2], box.hi[2], query[2]);
  return (r0 * r0 + r1 * r1) + r2 * r2;
}

// Orders results by distance, then by item.
inline bool result_before(const NearestResult& a, const NearestResult& b) {
  return a.distance < b.distance ||
         (a.distance == b.distance && a.item < b.item);
}

// The part of a search every form shares: the tree's arrays, the query and
// the per-dimension distances from the query to the current cell.
struct Walk {
  explicit Walk(const ImmutableKdTree& tree, const Point& query)
      : stems(tree.stems().data()),
        stem_count(tree.stems().size()),
        leaves(tree.leaves().data()),
        leaf_count(tree.leaves().size()),
        leaf_bounds(tree.leaf_bounds().data()),
        stem_bounds(tree.stem_bounds().size() == tree.stems().size()
                        ? tree.stem_bounds().data()
                        : nullptr),
        query{query[0], query[1], query[2]} {}

  // The bounds of `node`, or null for a stem when the tree keeps none.
  const NodeBounds* bounds_of(std::size_t node) const {
    if (node >= stem_count) return &leaf_bounds[node - stem_count];
    return stem_bounds != nullptr ? &stem_bounds[node] : nullptr;
  }

  const double* stems;
  std::size_t stem_count;
  const LeafNode* leaves;
  std::size_t leaf_count;
  const NodeBounds* leaf_bounds;
  const NodeBounds* stem_bounds;
  double query[kDimensions];
  double offsets[kDimensions] = {0.0, 0.0, 0.0};
  bool corrupt = false;
};

// Up to this many results the k nearest are kept by insertion, beyond it
// in a heap (see the two visitors).
constexpr std::size_t kSortedKnnMax = 16;

// Two copies of the searches: the baseline, and one for processors with
// AVX2, which scans a leaf in four-wide vectors.
namespace baseline {
#include "kdtree/knn_search.inc"
}  // namespace baseline

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define QUORVEL_KNN_AVX2_SEARCH 1
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
#include "kdtree/knn_search.inc"
}  // namespace avx2
#pragma GCC pop_options
#endif

// The copy of each search for this processor, chosen once.
struct Searches {
  std::size_t (*nearest_k)(Walk&, double, std::span<NearestResult>);
  void (*within)(Walk&, double, std::vector<NearestResult>&);
  std::uint64_t (*count)(Walk&, CountRadii, std::vector<NearestResult>&);
};

Searches pick_searches() {
#ifdef QUORVEL_KNN_AVX2_SEARCH
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) {
    return {avx2::search_nearest_k, avx2::search_within, avx2::search_count};
  }
#endif
  return {baseline::search_nearest_k, baseline::search_within,
          baseline::search_count};
}

const Searches& searches() {
  static const Searches chosen = pick_searches();
  return chosen;
}

// The status a search must stop at before it starts, or kOk.
QueryStatus precheck(const ImmutableKdTree& tree, const Point& query) {
  if (!(std::isfinite(query[0]) && std::isfinite(query[1]) &&
        std::isfinite(query[2]))) {
    return QueryStatus::kQueryNotFinite;
  }
  if (tree.size() == 0) return QueryStatus::kNoPoints;
  return QueryStatus::kOk;
}

}  // namespace

KnnOutcome nearest_k(const ImmutableKdTree& tree, const Point& query,
                     double max_distance, std::span<NearestResult> out) {
  const QueryStatus status = precheck(tree, query);
  if (status != QueryStatus::kOk || out.empty()) return {0, status};
  Walk walk(tree, query);
  const std::size_t count = searches().nearest_k(walk, max_distance, out);
  if (walk.corrupt) return {0, QueryStatus::kCorruptTree};
  return {count, QueryStatus::kOk};
}

QueryStatus append_within(const ImmutableKdTree& tree, const Point& query,
                          double max_distance,
                          std::vector<NearestResult>& out) {
  const QueryStatus status = precheck(tree, query);
  if (status != QueryStatus::kOk) return status;
  Walk walk(tree, query);
  searches().within(walk, max_distance, out);
  return walk.corrupt ? QueryStatus::kCorruptTree : QueryStatus::kOk;
}

CountOutcome count_within(const ImmutableKdTree& tree, const Point& query,
                          CountRadii radii,
                          std::vector<NearestResult>& borderline) {
  const QueryStatus status = precheck(tree, query);
  if (status != QueryStatus::kOk) return {0, status};
  Walk walk(tree, query);
  const std::uint64_t count = searches().count(walk, radii, borderline);
  if (walk.corrupt) return {0, QueryStatus::kCorruptTree};
  return {count, QueryStatus::kOk};
}

}  // namespace quorvel::kdtree

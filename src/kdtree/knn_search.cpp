#include "kdtree/knn_search.h"

#include <algorithm>
#include <cmath>
#include <limits>

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

// Squared distance from the query to the nearest point of the box, no
// greater than the leaf scan's distance to any point inside it: each gap is
// no greater than the rounded difference to such a point (rounding is
// monotone), and the squares are summed in the leaf scan's order.
inline double box_lower_bound(const NodeBounds& box, const double* query) {
  const auto gap = [](float lo, float hi, double q) {
    const double below = static_cast<double>(lo) - q;
    const double above = q - static_cast<double>(hi);
    return below > 0.0 ? below : (above > 0.0 ? above : 0.0);
  };
  const double g0 = gap(box.lo[0], box.hi[0], query[0]);
  const double g1 = gap(box.lo[1], box.hi[1], query[1]);
  const double g2 = gap(box.lo[2], box.hi[2], query[2]);
  return (g0 * g0 + g1 * g1) + g2 * g2;
}

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

  // The squared distances from the query to the 32 slots of a leaf, computed
  // as nearest_one's leaf scan computes them. True when a filled slot's
  // distance is NaN (a corrupt leaf).
  bool leaf_distances(const LeafNode& leaf, double* distances) const {
    const double q0 = query[0];
    const double q1 = query[1];
    const double q2 = query[2];
    for (std::size_t s = 0; s < kBucketSize; ++s) {
      const double d0 = leaf.content_points[0][s] - q0;
      const double d1 = leaf.content_points[1][s] - q1;
      const double d2 = leaf.content_points[2][s] - q2;
      distances[s] = (d0 * d0 + d1 * d1) + d2 * d2;
    }
    bool nan = false;
    for (std::size_t s = 0; s < leaf.size; ++s) {
      nan |= distances[s] != distances[s];
    }
    return nan;
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

// Visits the tree from `node` down, the closer side of every stem first.
// `visitor.enter(node)` decides whether a node's subtree is searched at all
// (it may also settle the subtree itself, returning false), `visitor.leaf`
// scans one leaf, and `visitor.limit()` is the distance beyond which no
// point matters, which may shrink as the search goes.
//
// A far side whose split-plane bound is infinite or NaN is never entered:
// that is the side of an infinite or NaN split that a query with finite
// coordinates cannot reach, and whose leaves need not exist.
template <typename Visitor>
void descend(Walk& walk, Visitor& visitor, std::size_t node, unsigned dim,
             double cell_bound) {
  if (walk.corrupt || !visitor.enter(node)) return;
  if (node >= walk.stem_count) {
    visitor.leaf(node - walk.stem_count);
    return;
  }
  const double split = walk.stems[node];
  const double q = walk.query[dim];
  const double old_offset = walk.offsets[dim];
  const double new_offset = std::fabs(q - split);
  const unsigned next = dim == kDimensions - 1 ? 0 : dim + 1;
  // q < split is false for a NaN split, which sends the query right first,
  // as the insertion rule does.
  const std::size_t closer = q < split ? 2 * node : 2 * node + 1;
  descend(walk, visitor, closer, next, cell_bound);

  const double step = new_offset - old_offset;
  const double bound = cell_bound + step * step;
  if (!(bound < kInfinity) || bound * kCellBoundSlack > visitor.limit()) {
    return;
  }
  walk.offsets[dim] = new_offset;
  descend(walk, visitor, closer ^ 1, next, bound);
  walk.offsets[dim] = old_offset;
}

// The k nearest: a max-heap of the best results so far, ordered by
// (distance, item), in the caller's output span.
class KnnVisitor {
 public:
  KnnVisitor(Walk& walk, double max_distance, std::span<NearestResult> heap)
      : walk_(walk), max_distance_(max_distance), heap_(heap) {}

  // Until the heap is full any point within the limit enters it; then only
  // one ahead of the heap's worst. A point at exactly the worst distance may
  // still win on its item, so only a strictly greater bound prunes.
  double limit() const {
    return filled_ == heap_.size() ? heap_[0].distance : max_distance_;
  }

  bool enter(std::size_t node) const {
    const NodeBounds* box = walk_.bounds_of(node);
    return box == nullptr || !(box_lower_bound(*box, walk_.query) > limit());
  }

  void leaf(std::size_t leaf_index) {
    const LeafNode& leaf = walk_.leaves[leaf_index];
    if (leaf.size == 0) return;
    alignas(64) double distances[kBucketSize];
    if (walk_.leaf_distances(leaf, distances)) {
      walk_.corrupt = true;
      return;
    }
    for (std::size_t s = 0; s < leaf.size; ++s) {
      const NearestResult candidate{distances[s], leaf.content_items[s]};
      if (filled_ < heap_.size()) {
        if (!(candidate.distance <= max_distance_)) continue;
        heap_[filled_++] = candidate;
        std::push_heap(heap_.begin(), heap_.begin() + filled_, result_before);
      } else if (result_before(candidate, heap_[0])) {
        std::pop_heap(heap_.begin(), heap_.end(), result_before);
        heap_.back() = candidate;
        std::push_heap(heap_.begin(), heap_.end(), result_before);
      }
    }
  }

  // Sorts the heap into the answer and returns its length.
  std::size_t finish() {
    std::sort_heap(heap_.begin(), heap_.begin() + filled_, result_before);
    return filled_;
  }

 private:
  Walk& walk_;
  double max_distance_;
  std::span<NearestResult> heap_;
  std::size_t filled_ = 0;
};

// Every point within a fixed radius, appended to the caller's vector.
class WithinVisitor {
 public:
  WithinVisitor(Walk& walk, double radius, std::vector<NearestResult>& out)
      : walk_(walk), radius_(radius), out_(out) {}

  double limit() const { return radius_; }

  bool enter(std::size_t node) const {
    const NodeBounds* box = walk_.bounds_of(node);
    return box == nullptr || !(box_lower_bound(*box, walk_.query) > radius_);
  }

  void leaf(std::size_t leaf_index) {
    const LeafNode& leaf = walk_.leaves[leaf_index];
    if (leaf.size == 0) return;
    alignas(64) double distances[kBucketSize];
    if (walk_.leaf_distances(leaf, distances)) {
      walk_.corrupt = true;
      return;
    }
    for (std::size_t s = 0; s < leaf.size; ++s) {
      if (distances[s] <= radius_) {
        out_.push_back({distances[s], leaf.content_items[s]});
      }
    }
  }

 private:
  Walk& walk_;
  double radius_;
  std::vector<NearestResult>& out_;
};

// A count within `sure`, handing back the points between `sure` and `maybe`.
class CountVisitor {
 public:
  CountVisitor(Walk& walk, CountRadii radii,
               std::vector<NearestResult>& borderline)
      : walk_(walk), radii_(radii), borderline_(borderline) {}

  double limit() const { return radii_.maybe; }

  // A subtree wholly within the sure radius is counted here, from the leaf
  // sizes alone.
  bool enter(std::size_t node) {
    const NodeBounds* box = walk_.bounds_of(node);
    if (box == nullptr) return true;
    if (box_lower_bound(*box, walk_.query) > radii_.maybe) return false;
    // The unbounded box of a corrupt leaf never counts wholesale: its
    // leaf must be scanned to be reported.
    const double reach = box_upper_bound(*box, walk_.query);
    if (reach < kInfinity && reach <= radii_.sure) {
      count += points_under(node);
      return false;
    }
    return true;
  }

  void leaf(std::size_t leaf_index) {
    const LeafNode& leaf = walk_.leaves[leaf_index];
    if (leaf.size == 0) return;
    alignas(64) double distances[kBucketSize];
    if (walk_.leaf_distances(leaf, distances)) {
      walk_.corrupt = true;
      return;
    }
    for (std::size_t s = 0; s < leaf.size; ++s) {
      const double d = distances[s];
      if (d <= radii_.sure) {
        ++count;
      } else if (d <= radii_.maybe) {
        borderline_.push_back({d, leaf.content_items[s]});
      }
    }
  }

  std::uint64_t count = 0;

 private:
  // The points a query could reach under `node`: the bounds that proved the
  // subtree inside cover only the children a finite query can enter, so the
  // count follows the same children.
  std::uint64_t points_under(std::size_t node) const {
    if (node >= walk_.stem_count) {
      const std::size_t leaf = node - walk_.stem_count;
      return leaf < walk_.leaf_count ? walk_.leaves[leaf].size : 0;
    }
    const ChildrenEntered entered = finite_query_children(walk_.stems[node]);
    return (entered.left ? points_under(2 * node) : 0) +
           (entered.right ? points_under(2 * node + 1) : 0);
  }

  Walk& walk_;
  CountRadii radii_;
  std::vector<NearestResult>& borderline_;
};

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
  KnnVisitor visitor(walk, max_distance, out);
  descend(walk, visitor, 1, 0, 0.0);
  if (walk.corrupt) return {0, QueryStatus::kCorruptTree};
  return {visitor.finish(), QueryStatus::kOk};
}

QueryStatus append_within(const ImmutableKdTree& tree, const Point& query,
                          double max_distance,
                          std::vector<NearestResult>& out) {
  const QueryStatus status = precheck(tree, query);
  if (status != QueryStatus::kOk) return status;
  Walk walk(tree, query);
  WithinVisitor visitor(walk, max_distance, out);
  descend(walk, visitor, 1, 0, 0.0);
  return walk.corrupt ? QueryStatus::kCorruptTree : QueryStatus::kOk;
}

CountOutcome count_within(const ImmutableKdTree& tree, const Point& query,
                          CountRadii radii,
                          std::vector<NearestResult>& borderline) {
  const QueryStatus status = precheck(tree, query);
  if (status != QueryStatus::kOk) return {0, status};
  Walk walk(tree, query);
  CountVisitor visitor(walk, radii, borderline);
  descend(walk, visitor, 1, 0, 0.0);
  if (walk.corrupt) return {0, QueryStatus::kCorruptTree};
  return {visitor.count, QueryStatus::kOk};
}

}  // namespace quorvel::kdtree

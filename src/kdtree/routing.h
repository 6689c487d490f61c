// The insertion rule shared by every build: which leaf a point belongs to.
//
// Starting at node 1, a point goes to child 2k+1 when its coordinate in the
// node's dimension is at least the split value and to 2k otherwise (so a NaN
// coordinate goes left), the dimension cycling 0, 1, 2 with depth, until the
// node number reaches the number of stem slots.
//
// A query with finite coordinates may enter only some children of a stem;
// every rule about which leaves must exist, and which bounds count, follows
// from finite_query_children below.
//
// Thread safety: pure functions.

#ifndef QUORVEL_KDTREE_ROUTING_H_
#define QUORVEL_KDTREE_ROUTING_H_

#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "kdtree/kdtree.h"

namespace quorvel::kdtree {

// Leaf index that `point` is inserted into; it may lie past the last leaf of a
// tree whose plan is unsound, which callers check.
// REQUIRES: stems is not empty.
inline std::size_t route_to_leaf(std::span<const double> stems,
                                 const Point& point) {
  std::size_t node = 1;
  unsigned dim = 0;
  while (node < stems.size()) {
    node = 2 * node + (point[dim] >= stems[node] ? 1 : 0);
    dim = dim == kDimensions - 1 ? 0 : dim + 1;
  }
  return node - stems.size();
}

// The children of a stem with split value `split` that a query with finite
// coordinates can enter. A finite split lets it into both. Below +inf every
// finite coordinate goes left, and the bound to the right is infinite, so it
// never goes right; -inf and NaN send it right (it compares not-below), with
// an infinite or NaN bound to the left, so it never goes left.
struct ChildrenEntered {
  bool left;
  bool right;
};

inline ChildrenEntered finite_query_children(double split) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  return {split == split && split != -kInf, split != kInf};
}

// The first node, in node order, that a query with finite coordinates can
// reach and that refers to a leaf index at or past `leaf_count`; nullopt when
// every reachable leaf exists.
// REQUIRES: stems is not empty.
inline std::optional<std::size_t> first_missing_leaf(
    std::span<const double> stems, std::size_t leaf_count) {
  const std::size_t stem_slots = stems.size();
  if (stem_slots == 1) {
    if (leaf_count == 0) return std::size_t{1};
    return std::nullopt;
  }
  // Children 2k and 2k+1 come after k, so one pass in node order visits
  // every reachable stem after its parent.
  std::vector<bool> reachable(stem_slots, false);
  reachable[1] = true;
  for (std::size_t k = 1; k < stem_slots; ++k) {
    if (!reachable[k]) continue;
    const ChildrenEntered entered = finite_query_children(stems[k]);
    for (std::size_t child : {2 * k, 2 * k + 1}) {
      if (child == 2 * k ? !entered.left : !entered.right) continue;
      if (child < stem_slots) {
        reachable[child] = true;
      } else if (child - stem_slots >= leaf_count) {
        return child;
      }
    }
  }
  return std::nullopt;
}

// Appends `point` with `item` to `leaf`.
// REQUIRES: leaf.size < kBucketSize.
inline void append_to_leaf(LeafNode& leaf, const Point& point,
                           std::uint32_t item) {
  for (std::size_t d = 0; d < kDimensions; ++d) {
    leaf.content_points[d][leaf.size] = point[d];
  }
  leaf.content_items[leaf.size] = item;
  ++leaf.size;
}

}  // namespace quorvel::kdtree

#endif  // QUORVEL_KDTREE_ROUTING_H_

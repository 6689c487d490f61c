// The insertion rule shared by every build: which leaf a point belongs to.
//
// Starting at node 1, a point goes to child 2k+1 when its coordinate in the
// node's dimension is at least the split value and to 2k otherwise (so a NaN
// coordinate goes left), the dimension cycling 0, 1, 2 with depth, until the
// node number reaches the number of stem slots.
//
// Thread safety: pure functions.

#ifndef QUORVEL_KDTREE_ROUTING_H_
#define QUORVEL_KDTREE_ROUTING_H_

#include <cstddef>
#include <span>

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

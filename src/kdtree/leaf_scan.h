// The arithmetic every search of the tree shares: the distance from a query
// to a node's bounds, and the distances from a query to the 32 slots of a
// leaf.
//
// Both are forced inline so that each copy of a search compiled for a wider
// instruction set (see kdtree.cpp and knn_search.cpp) vectorises them to its
// own registers. No copy enables FMA, so every copy computes bit-identical
// distances: a point's distance is the same number whichever search, and
// whichever copy of it, reports it.
//
// Thread safety: pure functions.

#ifndef QUORVEL_KDTREE_LEAF_SCAN_H_
#define QUORVEL_KDTREE_LEAF_SCAN_H_

#include <cstddef>

#include "kdtree/kdtree.h"

namespace quorvel::kdtree {

// Squared distance from `query` to the nearest point of the box, no greater
// than leaf_distances' distance to any point inside it: each gap is no
// greater than the rounded difference to such a point (rounding is
// monotone), and the squares are summed in the leaf scan's order. Query
// coordinates are finite and bounds are never NaN, so no NaN arises.
[[gnu::always_inline]] inline double box_lower_bound(const NodeBounds& box,
                                                     const double* query) {
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

// The squared distances from `query` to all 32 slots of `leaf`, filled or
// not, into distances[0, 32). Computing every slot keeps the loop
// straight-line arithmetic over the dimension-major rows, which the
// compiler turns into vector code; callers ignore the unfilled slots.
[[gnu::always_inline]] inline void leaf_distances(const LeafNode& leaf,
                                                  const double* query,
                                                  double* distances) {
  const double q0 = query[0];
  const double q1 = query[1];
  const double q2 = query[2];
  for (std::size_t s = 0; s < kBucketSize; ++s) {
    const double d0 = leaf.content_points[0][s] - q0;
    const double d1 = leaf.content_points[1][s] - q1;
    const double d2 = leaf.content_points[2][s] - q2;
    distances[s] = (d0 * d0 + d1 * d1) + d2 * d2;
  }
}

}  // namespace quorvel::kdtree

#endif  // QUORVEL_KDTREE_LEAF_SCAN_H_

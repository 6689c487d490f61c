// The arithmetic every search of the tree shares: the distance from a query
// to a node's bounds, the distances from a query to the 32 slots of a leaf,
// and the least of them.
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
#include <limits>

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

// Folds the upper half of both arrays onto the lower half, down to element 0:
// a min for `lowest`, a sum for `total`. Constant widths let every level
// become straight vector code.
template <std::size_t kWidth>
inline void fold_halves(double* lowest, double* total) {
  for (std::size_t s = 0; s < kWidth; ++s) {
    lowest[s] = lowest[s + kWidth] < lowest[s] ? lowest[s + kWidth] : lowest[s];
    total[s] += total[s + kWidth];
  }
  if constexpr (kWidth > 1) fold_halves<kWidth / 2>(lowest, total);
}

// The least of a leaf's filled distances, and whether any of them is NaN.
struct LeastDistance {
  double least;  // Meaningless when `nan`.
  bool nan;      // The leaf holds a point with a NaN coordinate.
};

// The least of distances[0, filled), and whether any of them is NaN.
// REQUIRES: 0 < filled <= 32; distances holds 32 values.
[[gnu::always_inline]] inline LeastDistance least_filled_distance(
    const double* distances, std::size_t filled) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  // Unfilled slots become +inf so they never win. Two reductions follow, both
  // pairwise trees of element-wise operations that vectorise: a min, and a
  // sum whose only purpose is to turn NaN if any filled distance is NaN
  // (distances are never negative, so +inf terms cannot cancel).
  alignas(64) double lowest[kBucketSize];
  alignas(64) double total[kBucketSize];
  if (filled == kBucketSize) {
    for (std::size_t s = 0; s < kBucketSize; ++s) {
      lowest[s] = distances[s];
      total[s] = distances[s];
    }
  } else {
    for (std::size_t s = 0; s < kBucketSize; ++s) {
      lowest[s] = s < filled ? distances[s] : kInfinity;
      total[s] = lowest[s];
    }
  }
  fold_halves<kBucketSize / 2>(lowest, total);
  return {lowest[0], total[0] != total[0]};
}

}  // namespace quorvel::kdtree

#endif  // QUORVEL_KDTREE_LEAF_SCAN_H_
